#!/usr/bin/python3
"""Relay benchmark: how fast mail passes from a provider to the local SMTP
server through quiln, compared with direct delivery and with socat.

Each round runs every workload through every way in turn (direct, quiln,
socat as it comes, socat with a 4096-byte buffer and TCP_NODELAY), so that
drifts of the machine touch all alike. Loopback only; every process is
bounded in time. Prints a Markdown table of medians (min-max).

    bench/run.py [--rounds N] [--build DIR] [--quiln PATH] [--ways W,...] [--no-taskset]
"""

import argparse
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import threading
import time

WORKLOADS = [("1 x 100 MB", 1, 100 * 1000 * 1000), ("1,000 x 10 KB", 1000, 10 * 1000),
             ("10,000 x 1 KB", 10000, 1000)]
WAYS = ["direct", "quiln", "socat", "socat tuned"]
TIME_LIMIT = 120


def start(cmd, prefix):
    return subprocess.Popen(prefix + cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


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
                    for line in f:
                        if line.startswith("VmHWM:"):
                            self.kib = max(self.kib, int(line.split()[1]))
            except (OSError, ValueError):
                return
            time.sleep(0.002)


def reap(proc, peak):
    """Waits for a process; returns (user+sys seconds, peak RSS in KiB)."""
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    peak.join(1)
    return usage.ru_utime + usage.ru_stime, peak.kib


def one_run(build, way, count, size, prefix, quiln):
    sink = start([f"{build}/bench/bench_sink"], prefix)
    sink_port = read_port(sink)
    relay = peak = None
    try:
        if way == "direct":
            provider = start([f"{build}/bench/bench_provider", "direct", str(sink_port), str(count), str(size)],
                             prefix)
        elif way == "quiln":
            provider = start([f"{build}/bench/bench_provider", "odmr", str(count), str(size)], prefix)
            port = read_port(provider)
            relay = start([quiln, "-a", str(port), "-p", str(sink_port), "127.0.0.1", "bench",
                           "bench-secret"], prefix)
            peak = PeakRss(relay.pid)
        else:
            port = free_port()
            tuned = way == "socat tuned"
            listen = f"TCP-LISTEN:{port},bind=127.0.0.1,reuseaddr" + (",nodelay" if tuned else "")
            target = f"TCP:127.0.0.1:{sink_port}" + (",nodelay" if tuned else "")
            relay = start(["socat"] + (["-b", "4096"] if tuned else []) + [listen, target], prefix)
            peak = PeakRss(relay.pid)
            # socat serves one connection; the provider retries until it listens.
            provider = start([f"{build}/bench/bench_provider", "direct", str(port), str(count), str(size)], prefix)
        out, err = provider.communicate(timeout=TIME_LIMIT)
        if provider.returncode != 0:
            raise RuntimeError(f"{way}: provider failed: {err}")
        result = json.loads(out.strip().splitlines()[-1])
        if relay is not None:
            cpu, rss = reap(relay, peak)
            result["cpu"], result["rss_kib"] = cpu, rss
        return result
    finally:
        for p in (relay, sink):
            if p is not None and p.poll() is None and p.returncode is None:
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()


def fmt(values, digits=1):
    return f"{statistics.median(values):.{digits}f} ({min(values):.{digits}f}-{max(values):.{digits}f})"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build", "default"))
    parser.add_argument("--quiln", help="the program to measure (default: BUILD/quiln)")
    parser.add_argument("--ways", default=",".join(WAYS), help="a subset of: " + ", ".join(WAYS))
    parser.add_argument("--no-taskset", action="store_true", help="let the scheduler place the processes")
    args = parser.parse_args()
    quiln = args.quiln or f"{args.build}/quiln"
    ways = [w for w in WAYS if w in args.ways.split(",")]
    prefix = [] if args.no_taskset or not shutil.which("taskset") else ["taskset", "-c", "0"]
    if not shutil.which("socat"):
        sys.exit("socat is missing: apt-get install socat")

    results = {(w[0], way): [] for w in WORKLOADS for way in ways}
    started = time.monotonic()
    for r in range(args.rounds):
        for name, count, size in WORKLOADS:
            for way in ways:
                results[(name, way)].append(one_run(args.build, way, count, size, prefix, quiln))
        print(f"round {r + 1}/{args.rounds} done ({time.monotonic() - started:.0f} s)", file=sys.stderr)

    print(f"{args.rounds} rounds, {'one CPU (taskset -c 0)' if prefix else 'any CPU'}; medians (min-max)\n")
    print("| workload | way | MB/s | messages/s | relay CPU s/MB | relay peak RSS KiB | RCPT round trip µs |")
    print("|---|---|---|---|---|---|---|")
    for name, _, _ in WORKLOADS:
        for way in ways:
            runs = results[(name, way)]
            mbs = [r["bytes"] / r["seconds"] / 1e6 for r in runs]
            msgs = [r["messages"] / r["seconds"] for r in runs]
            rtt = [r["rcpt_rtt_us"] for r in runs]
            cpu = [r["cpu"] / (r["bytes"] / 1e6) for r in runs] if way != "direct" else None
            rss = [r["rss_kib"] for r in runs] if way != "direct" else None
            print(f"| {name} | {way} | {fmt(mbs)} | {fmt(msgs, 0)} | {fmt(cpu, 5) if cpu else '-'} | "
                  f"{fmt(rss, 0) if rss else '-'} | {fmt(rtt)} |")
    if ways != WAYS:
        return
    print("\nRatios of medians (throughput; CPU per MB):\n")
    print("| workload | quiln/direct | quiln/socat | quiln/socat tuned | CPU quiln/socat | CPU quiln/socat tuned |")
    print("|---|---|---|---|---|---|")
    for name, _, _ in WORKLOADS:
        med = {way: statistics.median(r["bytes"] / r["seconds"] for r in results[(name, way)]) for way in WAYS}
        cpu = {way: statistics.median(r["cpu"] / r["bytes"] for r in results[(name, way)]) for way in WAYS[1:]}
        print(f"| {name} | {med['quiln'] / med['direct']:.2f} | {med['quiln'] / med['socat']:.2f} | "
              f"{med['quiln'] / med['socat tuned']:.2f} | {cpu['quiln'] / cpu['socat']:.2f} | "
              f"{cpu['quiln'] / cpu['socat tuned']:.2f} |")


if __name__ == "__main__":
    main()
