#!/usr/bin/python3
"""Relay benchmark: how fast mail passes from a provider to the local SMTP
server through quiln, compared with direct delivery and with what users would
pick instead.

The ways: direct; quiln; quiln with an observer of the relayed session that
watches nothing (the price of the real one); socat as it comes; socat with a
4096-byte buffer and TCP_NODELAY; the floor, a relay of one wait, one read and
one write per hop that watches and checks nothing (bench/floor_relay.cpp):
what no relay of that shape can beat here; inside TLS, quiln -e against the
provider's STARTTLS, and quiln in the clear behind stunnel, which does the
STARTTLS and verifies the provider's certificate (the README's recipe). The
certificates are throwaway ones made with openssl for the run. Each round runs
every workload through every way in turn (every other round in the reverse
order), so that drifts of the machine touch all alike; a ratio is the median
over the rounds of the two ways' ratio in each round. Loopback only; every
process is bounded in time. Prints Markdown tables of medians (min-max), the
ratios, and the goals with their measured ratios.

    bench/run.py [--rounds N] [--scale F] [--build DIR] [--quiln PATH] [--ways W,...] [--no-taskset]
"""

import argparse
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

WORKLOADS = [(1, 100 * 1000 * 1000), (1000, 10 * 1000), (10000, 1000)]
PLAIN_WAYS = ["direct", "quiln", "quiln bare", "socat", "socat tuned", "floor"]
TLS_WAYS = ["quiln -e", "stunnel"]
WAYS = PLAIN_WAYS + TLS_WAYS
TIME_LIMIT = 120
USER, SECRET, DOMAIN = "bench", "bench-secret", "bench.example"
# The name in the provider's certificate that stunnel checks; quiln, given
# 127.0.0.1, checks the certificate's IP address.
SERVER_NAME = "odmr.bench.example"


def label(count, size):
    unit = next((u for u in [(1e6, "MB"), (1e3, "KB"), (1, "B")] if size >= u[0]), (1, "B"))
    return f"{count:,} x {size / unit[0]:g} {unit[1]}"


def start(cmd, prefix, **kwargs):
    kwargs = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, **kwargs}
    return subprocess.Popen(prefix + cmd, text=True, **kwargs)


def read_port(proc):
    line = proc.stdout.readline()
    if not line:
        raise RuntimeError(proc.stderr.read())
    return int(line)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def listening(port):
    """True once something listens on 127.0.0.1:port (read from /proc, so
    that no connection is spent on finding out)."""
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[3] == "0A" and fields[1] == f"0100007F:{port:04X}":
                return True
    return False


def make_certificates(directory):
    """A throwaway CA and a server certificate it signed, for SERVER_NAME and
    127.0.0.1 (EC P-256, valid for two days). Returns (CA, certificate, key)."""
    ca, ca_key = os.path.join(directory, "ca.pem"), os.path.join(directory, "ca.key")
    cert, key = os.path.join(directory, "server.pem"), os.path.join(directory, "server.key")
    csr, ext = os.path.join(directory, "server.csr"), os.path.join(directory, "server.ext")
    with open(ext, "w") as f:
        f.write(f"basicConstraints=critical,CA:FALSE\nsubjectAltName=DNS:{SERVER_NAME},IP:127.0.0.1\n")
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    for cmd in (["req", "-x509"] + ec + ["-days", "2", "-subj", "/CN=quiln bench CA", "-keyout", ca_key, "-out", ca],
                ["req", "-new"] + ec + ["-subj", f"/CN={SERVER_NAME}", "-keyout", key, "-out", csr],
                ["x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial", "-days", "2",
                 "-extfile", ext, "-out", cert]):
        subprocess.run(["openssl"] + cmd, check=True, capture_output=True, timeout=60)
    return ca, cert, key


def write_private(path, text):
    """Writes a file only its owner can read (it holds the secret)."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write(text)
    return path


class PeakRss(threading.Thread):
    """Follows a process's VmHWM (its peak resident set) until it ends. The
    rusage of a child forked from this interpreter would count the
    interpreter's pages that the child held before it exec'd."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.path = f"/proc/{pid}/status"
        self.kib = 0
        self.start()

    def run(self):
        while True:
            try:
                with open(self.path) as f:
                    status = dict(line.split(":", 1) for line in f if ":" in line)
                # Under taskset the first samples may be taskset's own, before
                # its exec (which starts a new peak).
                if status["Name"].strip() != "taskset" and "VmHWM" in status:
                    self.kib = max(self.kib, int(status["VmHWM"].split()[0]))
            except (OSError, ValueError, KeyError):
                return
            time.sleep(0.002)


def reap(proc, peak, limit=TIME_LIMIT):
    """Waits for a process, at most `limit` seconds before it is killed;
    returns (user+sys seconds, peak RSS in KiB)."""
    deadline = time.monotonic() + limit
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid != 0:
            break
        if time.monotonic() > deadline:
            proc.kill()
            os.wait4(proc.pid, 0)
            proc.returncode = -9
            raise RuntimeError(f"{proc.args}: still running after {limit} s")
        time.sleep(0.005)
    proc.returncode = os.waitstatus_to_exitcode(status)
    peak.join(1)
    return usage.ru_utime + usage.ru_stime, peak.kib


def wait_provider(provider, relays):
    """Waits for the provider's figures; fails at once when a relay fails
    first (the provider would wait for it until the time limit)."""
    deadline = time.monotonic() + TIME_LIMIT
    while True:
        try:
            return provider.communicate(timeout=0.05)
        except subprocess.TimeoutExpired:
            pass
        for proc, _ in relays:
            # WNOWAIT: looks without reaping, so that wait4 still gets the rusage.
            info = os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT)
            if info is not None and (info.si_code != os.CLD_EXITED or info.si_status != 0):
                raise RuntimeError(f"{proc.args} failed before the provider was done (status {info.si_status})")
        if time.monotonic() > deadline:
            raise RuntimeError(f"the provider was still running after {TIME_LIMIT} s")


class Bench:
    """What every run needs: the programs, the CPU prefix, the temporary
    directory with the certificates."""

    def __init__(self, build, quiln, prefix, tmp):
        self.provider = f"{build}/bench/bench_provider"
        self.sink = f"{build}/bench/bench_sink"
        self.floor = f"{build}/bench/bench_floor"
        self.quiln, self.prefix, self.tmp = quiln, prefix, tmp
        # The same program with an observer that watches nothing.
        self.quiln_without_observer = f"{build}/bench/quiln_without_observer"
        self.stunnel = shutil.which("stunnel4") or shutil.which("stunnel")
        self.ca = self.cert = self.key = None

    def relay(self, cmd, relays, **kwargs):
        proc = start(cmd, self.prefix, **kwargs)
        relays.append((proc, PeakRss(proc.pid)))
        return proc

    def odmr_provider(self, count, size, tls, others):
        cmd = [self.provider, "odmr-tls" if tls else "odmr", str(count), str(size)]
        provider = start(cmd + ([self.cert, self.key] if tls else []), self.prefix)
        others.append(provider)
        return provider, read_port(provider)

    def one_run(self, way, count, size, wrap=()):
        """Delivers `count` messages of `size` bytes through `way`; returns the
        provider's figures with the relay processes' CPU seconds and peak RSS
        (both summed over the processes of the way). `wrap` goes before quiln's
        command (strace)."""
        others = []  # processes to end if the run fails
        relays = []  # (process, PeakRss), in the order they end
        serving = []  # relays that serve on until told to stop
        ok = False
        try:
            sink = start([self.sink], self.prefix)
            others.append(sink)
            sink_port = read_port(sink)
            quiln_to_sink = ["-p", str(sink_port), "127.0.0.1", USER, SECRET]
            if way == "direct":
                provider = start([self.provider, "direct", str(sink_port), str(count), str(size)], self.prefix)
                others.append(provider)
            elif way in ("quiln", "quiln -e", "quiln bare"):
                provider, port = self.odmr_provider(count, size, way == "quiln -e", others)
                tls = ["-e", "-c", self.ca] if way == "quiln -e" else []
                program = self.quiln_without_observer if way == "quiln bare" else self.quiln
                self.relay(list(wrap) + [program] + tls + ["-a", str(port)] + quiln_to_sink, relays)
            elif way == "stunnel":
                provider, port = self.odmr_provider(count, size, True, others)
                local = free_port()
                # The README's recipe: STARTTLS with the provider, its
                # certificate verified against the CA and the name.
                config = write_private(os.path.join(self.tmp, "stunnel.conf"), f"""foreground = yes
pid =
debug = err
[odmr]
client = yes
accept = 127.0.0.1:{local}
connect = 127.0.0.1:{port}
protocol = smtp
verifyChain = yes
CAfile = {self.ca}
checkHost = {SERVER_NAME}
""")
                with open(os.path.join(self.tmp, "stunnel.log"), "w") as log:
                    tunnel = start([self.stunnel, config], self.prefix, stdout=log, stderr=subprocess.STDOUT)
                others.append(tunnel)
                serving.append(tunnel)
                peak = PeakRss(tunnel.pid)
                deadline = time.monotonic() + 10
                while not listening(local):
                    if tunnel.poll() is not None or time.monotonic() > deadline:
                        raise RuntimeError(f"stunnel did not start: {open(log.name).read()}")
                    time.sleep(0.01)
                self.relay([self.quiln, "-a", str(local)] + quiln_to_sink, relays)
                relays.append((tunnel, peak))
            elif way == "floor":
                floor = self.relay([self.floor, str(sink_port)], relays)
                provider = start([self.provider, "direct", str(read_port(floor)), str(count), str(size)],
                                 self.prefix)
                others.append(provider)
            else:
                port = free_port()
                tuned = way == "socat tuned"
                listen = f"TCP-LISTEN:{port},bind=127.0.0.1,reuseaddr" + (",nodelay" if tuned else "")
                target = f"TCP:127.0.0.1:{sink_port}" + (",nodelay" if tuned else "")
                self.relay(["socat"] + (["-b", "4096"] if tuned else []) + [listen, target], relays)
                # socat serves one connection; the provider retries until it listens.
                provider = start([self.provider, "direct", str(port), str(count), str(size)], self.prefix)
                others.append(provider)
            out, err = wait_provider(provider, relays)
            if provider.returncode != 0:
                raise RuntimeError(f"{way}: provider failed: {err}")
            result = json.loads(out.strip().splitlines()[-1])
            result["cpu"] = result["rss_kib"] = 0
            for proc, peak in relays:
                if proc in serving:
                    proc.terminate()  # its CPU counts up to here
                cpu, rss = reap(proc, peak)
                if proc.returncode != 0 and proc.returncode != -15:
                    raise RuntimeError(f"{way}: {proc.args} ended with {proc.returncode}")
                result["cpu"] += cpu
                result["rss_kib"] += rss
            ok = True
            return result
        finally:
            for p in [r[0] for r in relays] + others:
                if p.returncode is None and p.poll() is None:
                    if not ok:
                        p.kill()
                    try:
                        p.wait(timeout=10)
                    except subprocess.TimeoutExpired:
                        p.kill()
                        p.wait()


def system_calls(bench, way, count, size):
    """One run of `way` (quiln or quiln -e) under `strace -c -f`: quiln's
    system calls by name, with their total."""
    out = os.path.join(bench.tmp, "strace.txt")
    bench.one_run(way, count, size, wrap=("strace", "-c", "-f", "-o", out))
    calls = {}
    with open(out) as f:
        for line in f:
            fields = line.split()
            # % time, seconds, usecs/call, calls, [errors,] syscall
            if len(fields) in (5, 6) and fields[3].isdigit():
                calls[fields[-1]] = int(fields[3])
    return calls


def per_hop(calls):
    """System calls per relayed hop: every send passes on what one read
    brought, so the sends count the hops."""
    hops = calls.get("sendto", 0) + calls.get("write", 0)
    return calls.get("total", 0) / hops if hops else float("inf")


def fmt(values, digits=1):
    return f"{statistics.median(values):.{digits}f} ({min(values):.{digits}f}-{max(values):.{digits}f})"


def median_of(runs, what):
    return statistics.median(what(r) for r in runs)


def paired_ratio(results, name, way, other, what=None):
    """The median over the rounds of what `way` measured against `other` in
    the same round, None if either was not run. A round's two runs are close
    in time, so the machine's slower moments (a run of 1,000 x 10 KB lasts a
    seventh of a second) touch both; a ratio of the two medians would pair a
    run with one from another moment."""
    what = what or mb_per_s
    runs, others = results.get((name, way)), results.get((name, other))
    if not runs or not others:
        return None
    return statistics.median(what(a) / what(b) for a, b in zip(runs, others))


def mb_per_s(r):
    return r["bytes"] / r["seconds"] / 1e6


def msgs_per_s(r):
    return r["messages"] / r["seconds"]


def cpu_per_mb(r):
    return r["cpu"] / (r["bytes"] / 1e6)


def goals(results, names, syscalls):
    """The goals of the relay as (text, measured ratio, met, what the floor
    reaches in quiln's place or None); a goal whose ways were not run is left
    out."""
    def med(name, way, what=mb_per_s):
        runs = results.get((name, way))
        return median_of(runs, what) if runs else None

    def ratio_of(name, way, other, what=mb_per_s):
        return paired_ratio(results, name, way, other, what)

    def floor_against(name, way, what=mb_per_s):
        return ratio_of(name, "floor", way, what)

    out = []

    def add(text, ratio, met, floor=None):
        out.append((text, ratio, met, floor))

    large, middle, small = names[0], names[1], names[2]
    # Against the better socat, where the floor shows a relay of this shape
    # can reach it on this machine: (workload, throughput, CPU per MB), None
    # for no goal. On the small workloads every hop costs any relay on the
    # one CPU a TCP send, a receive and two context switches, and the floor
    # itself stays below what these goals once asked there.
    against_socat = {large: (1.5, 0.8), middle: (None, 0.8)}
    for name, (speed, cpu) in against_socat.items():
        socats = [w for w in ("socat", "socat tuned") if med(name, w) is not None]
        if med(name, "quiln") is None or not socats:
            continue
        better = max(socats, key=lambda w: med(name, w))
        if speed is not None:
            ratio = ratio_of(name, "quiln", better)
            add(f"{name}: quiln >= {speed} x the better socat ({better}), throughput", ratio, ratio >= speed,
                floor_against(name, better))
        ratio = ratio_of(name, "quiln", better, cpu_per_mb)
        add(f"{name}: quiln's CPU per MB <= {cpu} x {better}'s", ratio, ratio <= cpu,
            floor_against(name, better, cpu_per_mb))
    # Against the floor on every workload: what quiln's own work costs.
    for name in names:
        if med(name, "quiln") is None or med(name, "floor") is None:
            continue
        ratio = ratio_of(name, "quiln", "floor")
        add(f"{name}: quiln >= 0.95 x the floor, throughput", ratio, ratio >= 0.95)
        ratio = ratio_of(name, "quiln", "floor", cpu_per_mb)
        add(f"{name}: quiln's CPU per MB <= 1.15 x the floor's", ratio, ratio <= 1.15)
    if med(large, "quiln") is not None and med(large, "direct") is not None:
        ratio = ratio_of(large, "quiln", "direct")
        add(f"{large}: quiln >= 0.45 x direct, throughput", ratio, ratio >= 0.45, floor_against(large, "direct"))
    for name in (middle, small):
        if med(name, "quiln -e") is not None and med(name, "stunnel") is not None:
            ratio = ratio_of(name, "quiln -e", "stunnel")
            add(f"{name}, TLS: quiln -e >= 1.5 x quiln behind stunnel, throughput", ratio, ratio >= 1.5)
    if med(large, "quiln -e") is not None and med(large, "stunnel") is not None:
        ratio = ratio_of(large, "quiln -e", "stunnel", cpu_per_mb)
        add(f"{large}, TLS: quiln -e's CPU per MB <= 0.7 x that of quiln and stunnel together", ratio, ratio <= 0.7)
    # What following the relayed SMTP session costs the relay.
    for name, most in ((large, 0.05), (middle, 0.02), (small, 0.02)):
        if med(name, "quiln") is not None and med(name, "quiln bare") is not None:
            ratio = ratio_of(name, "quiln", "quiln bare")
            add(f"{name}: quiln >= {1 - most:.2f} x quiln without its observer, throughput", ratio,
                ratio >= 1 - most)
    if syscalls:
        ratio = per_hop(syscalls)
        add(f"{small}: quiln's system calls per relayed hop <= 3.1 (strace -c -f, one run)", ratio, ratio <= 3.1)
    plain = [r["rss_kib"] for name in names for r in results.get((name, "quiln"), [])]
    if plain:
        # libssl and libcrypto are mapped at start (about 2.2 MiB, shared with
        # every process that uses them) though a plain run never touches TLS.
        add("peak RSS of a plain run (the largest of all quiln runs) <= 4 MiB, in MiB", max(plain) / 1024,
            max(plain) <= 4096)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build", "default"))
    parser.add_argument("--quiln", help="the program to measure (default: BUILD/quiln)")
    parser.add_argument("--ways", default=",".join(WAYS), help="a subset of: " + ", ".join(WAYS))
    parser.add_argument("--scale", type=float, default=1.0,
                        help="scale the large message and the message counts (e.g. 0.1 for a quick try)")
    parser.add_argument("--no-taskset", action="store_true", help="let the scheduler place the processes")
    args = parser.parse_args()
    quiln = args.quiln or f"{args.build}/quiln"
    ways = [w for w in WAYS if w in args.ways.split(",")]
    if not ways or args.rounds < 1 or not 0 < args.scale <= 1:
        sys.exit("nothing to measure: check --ways, --rounds and --scale")
    prefix = [] if args.no_taskset or not shutil.which("taskset") else ["taskset", "-c", "0"]
    needed = {"socat": "socat", "socat tuned": "socat", "quiln -e": "openssl", "stunnel": "stunnel4"}
    for way, program in (("quiln bare", "quiln_without_observer"), ("floor", "bench_floor")):
        if way in ways and not os.access(f"{args.build}/bench/{program}", os.X_OK):
            sys.exit(f"build {program} first (the way \"{way}\"): scripts/bench.sh does")
    for way in ways:
        tool = needed.get(way)
        if tool and not (shutil.which(tool) or (tool == "stunnel4" and shutil.which("stunnel"))):
            sys.exit(f"{tool} is missing (the way \"{way}\"): apt-get install {tool}")

    # (name, count, size)
    workloads = []
    for count, size in WORKLOADS:
        if count == 1:
            size = max(1000, round(size * args.scale))
        else:
            count = max(10, round(count * args.scale))
        workloads.append((label(count, size), count, size))

    results = {(w[0], way): [] for w in workloads for way in ways}
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="quiln-bench-") as tmp:
        bench = Bench(args.build, quiln, prefix, tmp)
        if "quiln -e" in ways or "stunnel" in ways:
            bench.ca, bench.cert, bench.key = make_certificates(tmp)
        for r in range(args.rounds):
            # Every other round in the reverse order, so that no way always
            # runs right after another.
            order = ways if r % 2 == 0 else ways[::-1]
            for name, count, size in workloads:
                for way in order:
                    results[(name, way)].append(bench.one_run(way, count, size))
            print(f"round {r + 1}/{args.rounds} done ({time.monotonic() - started:.0f} s)", file=sys.stderr)
        # Apart from the timed rounds: strace slows what it traces.
        syscalls = {}
        if "quiln" in ways and shutil.which("strace"):
            _, count, size = workloads[2]
            syscalls = system_calls(bench, "quiln", count, size)

    print(f"{args.rounds} rounds, {'one CPU (taskset -c 0)' if prefix else 'any CPU'}, "
          f"{time.monotonic() - started:.0f} s; medians (min-max). Relay CPU and peak RSS are those of all the "
          "relay's processes together (quiln and stunnel in the way \"stunnel\"; peak RSS summed).")
    print()
    print("| workload | way | messages run | MB/s | messages/s | relay CPU s/MB | relay peak RSS KiB "
          "| RCPT round trip µs |")
    print("|---|---|---|---|---|---|---|---|")
    for name, _, _ in workloads:
        for way in ways:
            runs = results[(name, way)]
            relayed = way != "direct"
            cpu = fmt([cpu_per_mb(r) for r in runs], 5) if relayed else "-"
            rss = fmt([r["rss_kib"] for r in runs], 0) if relayed else "-"
            print(f"| {name} | {way} | {runs[0]['messages']:,} | {fmt([mb_per_s(r) for r in runs])} | "
                  f"{fmt([msgs_per_s(r) for r in runs], 0)} | {cpu} | {rss} | "
                  f"{fmt([r['rcpt_rtt_us'] for r in runs])} |")

    print("\nRatios: the median over the rounds of each round's ratio (throughput; CPU per MB):\n")
    pairs = [("quiln", "direct"), ("quiln", "quiln bare"), ("quiln", "socat"), ("quiln", "socat tuned"),
             ("quiln", "floor"), ("floor", "socat tuned"), ("quiln -e", "stunnel"),
             ("quiln -e", "quiln")]
    pairs = [p for p in pairs if p[0] in ways and p[1] in ways]
    print("| workload | " + " | ".join(f"{a}/{b}" for a, b in pairs) + " | " +
          " | ".join(f"CPU {a}/{b}" for a, b in pairs if b != "direct") + " |")
    print("|---|" + "---|" * (2 * len(pairs) - sum(b == "direct" for _, b in pairs)))
    for name, _, _ in workloads:
        speed = [paired_ratio(results, name, a, b) for a, b in pairs]
        cpu = [paired_ratio(results, name, a, b, cpu_per_mb) for a, b in pairs if b != "direct"]
        print(f"| {name} | " + " | ".join(f"{r:.2f}" for r in speed) + " | " +
              " | ".join(f"{r:.2f}" for r in cpu) + " |")

    if syscalls:
        print(f"\nquiln's system calls relaying {workloads[2][0]} (strace -c -f, one run): " +
              ", ".join(f"{k} {v:,}" for k, v in sorted(syscalls.items(), key=lambda kv: -kv[1])[:6]) +
              f"; {per_hop(syscalls):.2f} per relayed hop")

    print("\nGoals (ratios as above), and where the way \"floor\" ran, what it reaches in quiln's place:\n")
    print("| goal | measured | | floor |")
    print("|---|---|---|---|")
    for text, ratio, met, floor in goals(results, [w[0] for w in workloads], syscalls):
        print(f"| {text} | {ratio:.3f} | {'met' if met else 'not met'} | "
              f"{'-' if floor is None else f'{floor:.3f}'} |")


if __name__ == "__main__":
    main()
