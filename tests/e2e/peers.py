"""Scripted peers on loopback for the black-box tests of the program.

A ScriptedPeer listens on 127.0.0.1 (port 0; or another loopback address, so
that messages can tell two peers apart), accepts one connection and runs
a list of steps against it: send a reply (whole, in pieces, or byte by byte),
read a command line, pause, shut down its sending, close or reset, or meet
the test at an event. It records every line received.
Every wait is bounded, and the peer never outlives its test.
"""

import asyncio
import base64
import os
import re
import shlex
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "demo"))

from odmr_provider import Provider  # noqa: E402  (the demo provider)
from scram_server import ScramServer  # noqa: E402,F401

QUILN = os.environ.get("QUILN", os.path.join(HERE, "..", "..", "build", "default", "quiln"))
QUILN_SHORT = os.environ.get("QUILN_SHORT_TIMEOUTS",
                             os.path.join(HERE, "..", "..", "build", "default", "quiln_short_timeouts"))

# The same suites run against quiln.exe under Wine: QUILN_LAUNCHER gives the
# command that runs a program built for another platform (the Wine launcher).
# Everything that differs on Windows is said here, and only here.
LAUNCHER = shlex.split(os.environ.get("QUILN_LAUNCHER", ""))
WINDOWS = QUILN.lower().endswith(".exe")

STEP_TIMEOUT = 15


def b64(text):
    return base64.b64encode(text.encode() if isinstance(text, str) else text).decode()


class ScriptedPeer:
    def __init__(self, steps, accept=True, host="127.0.0.1"):  # or "::1"
        self.steps = list(steps)
        self.lines = []          # command lines received, without CR LF
        self.events = []         # what happened, in order
        self.error = None
        self.leftover = b""
        self.listener = socket.create_server((host, 0), family=socket.AF_INET6 if ":" in host else socket.AF_INET)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._run, daemon=True)
        if accept:
            self.thread.start()

    def _readline(self, conn):
        while b"\r\n" not in self.leftover:
            chunk = conn.recv(65536)
            if not chunk:
                raise EOFError("closed by the program")
            self.leftover += chunk
        line, _, self.leftover = self.leftover.partition(b"\r\n")
        return line

    def _run(self):
        conn = None
        try:
            self.listener.settimeout(STEP_TIMEOUT)
            conn, _ = self.listener.accept()
            conn.settimeout(STEP_TIMEOUT)
            for step in self.steps:
                kind, *args = step
                if kind == "send":
                    conn.sendall(args[0] if isinstance(args[0], bytes) else args[0].encode())
                elif kind == "pieces":  # data, piece size, pause between pieces
                    data, size, pause = args
                    data = data if isinstance(data, bytes) else data.encode()
                    for i in range(0, len(data), size):
                        conn.sendall(data[i:i + size])
                        time.sleep(pause)
                elif kind == "respond":  # a reply made from what came so far (and the connection)
                    reply = args[0](self, conn)
                    conn.sendall(reply if isinstance(reply, bytes) else reply.encode())
                elif kind == "line":
                    line = self._readline(conn)
                    self.lines.append(line.decode("latin-1"))
                elif kind == "tls":  # STARTTLS has been answered: the handshake, as the server
                    conn = args[0].wrap_socket(conn, server_side=True)
                    self.events.append("tls")
                elif kind == "collect":  # until this many bytes have come, unparsed
                    data = bytearray(self.leftover)
                    while len(data) < args[0]:
                        chunk = conn.recv(1 << 20)
                        if not chunk:
                            raise EOFError("closed by the program")
                        data += chunk
                    self.leftover = bytes(data)
                elif kind == "recv":  # whatever has come, unparsed (a TLS hello, say)
                    self.leftover += conn.recv(65536)
                elif kind == "raw":  # bytes on the socket beneath TLS: a corrupt record
                    os.write(conn.fileno(), args[0])
                elif kind == "sleep":
                    time.sleep(args[0])
                elif kind == "shut":  # end our sending; go on reading
                    conn.shutdown(socket.SHUT_WR)
                elif kind == "set":  # tell the test how far we are
                    args[0].set()
                elif kind == "wait":  # until the test says go on
                    if not args[0].wait(STEP_TIMEOUT):
                        raise TimeoutError("never told to go on")
                elif kind == "close":
                    conn.close()
                    conn = None
                    self.events.append("closed")
                    return
                elif kind == "reset":
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    conn.close()
                    conn = None
                    self.events.append("reset")
                    return
                elif kind == "eof":  # wait until the program closes
                    try:
                        while True:
                            chunk = conn.recv(65536)
                            if not chunk:
                                break
                            self.leftover += chunk
                        self.events.append("eof")
                    except ConnectionResetError:  # it closed with our data unread
                        self.events.append("eof")
                else:
                    raise ValueError(kind)
        except Exception as e:
            self.error = f"{type(e).__name__}: {e}"
        finally:
            if conn is not None:
                conn.close()
            self.listener.close()

    def join(self, timeout=STEP_TIMEOUT * 2):
        if not self.thread.is_alive() and self.thread.ident is None:  # never started
            self.listener.close()
            return self
        self.thread.join(timeout)
        assert not self.thread.is_alive(), "scripted peer still running"
        return self


def closed_port(host="127.0.0.1"):
    s = socket.create_server((host, 0), family=socket.AF_INET6 if ":" in host else socket.AF_INET)
    port = s.getsockname()[1]
    s.close()
    return port


def command(binary, args=()):
    """The argument vector that runs a program built by this project.

    An argument given as bytes reaches the program as those bytes. Windows
    programs receive their arguments in the ANSI code page (1252 on an
    English system): such an argument goes to the launcher as the text that
    the code page maps those bytes to, and Wine, reading its own arguments
    as UTF-8 (LC_ALL=C.UTF-8 in tests/windows/CMakeLists.txt), hands the
    program the same bytes back.
    """
    def argument(a):
        if isinstance(a, bytes):
            return a.decode("cp1252") if WINDOWS else a
        return str(a)
    return LAUNCHER + [binary] + [argument(a) for a in args]


def console_text(data):
    """A program's stdout or stderr as text with the line ends it wrote.

    On Windows the C library writes text mode: every LF it is given goes out
    as CR LF (so a traced CR LF arrives as CR CR LF). Undo exactly that, and
    insist that it happened to every line end.
    """
    text = data.decode("latin-1")
    if WINDOWS:
        # Wine's SChannel, on GnuTLS, writes the library's own complaints
        # straight to the process's standard error: the emulator's, not ours.
        # They end with a bare LF, which nothing of quiln.exe writes.
        text = re.sub(r"^GnuTLS error: [^\r\n]*\n", "", text, flags=re.M)
        bare = text.replace("\r\n", "")
        assert "\n" not in bare, f"line end without CR on Windows: {text!r}"
        text = text.replace("\r\n", "\n")
    return text


def run(args, binary=None, timeout=60):
    """Runs the program; returns (exit code, stdout, stderr) as text."""
    proc = subprocess.run(command(binary or QUILN, args), capture_output=True, timeout=timeout)
    return proc.returncode, console_text(proc.stdout), console_text(proc.stderr)


# The system's log (-l). On Linux the program runs in a private mount
# namespace (root only) whose /dev holds nothing but /dev/log, a datagram
# socket of the test; with log="missing" not even that, with log="full" its
# queue is full. Under Wine 8 the event log is a stub that prints each report
# on the program's standard error when its channels are on: a fixme line with
# the type and the event ID, then the string as an err line (an error) or a
# trace line (information).
DEV_LOG = ('mount -t tmpfs -o size=64k,mode=755 quiln-test /dev && '
           '{ [ -z "$0" ] || { touch /dev/log && mount --bind "$0" /dev/log; }; } || exit 97; exec "$@"')
SYSLOG_DATAGRAM = re.compile(rb"<(\d+)>[A-Z][a-z]{2} [ 1-3]\d \d\d:\d\d:\d\d quiln\[\d+\]: (.*)", re.S)
SYSLOG_LEVELS = {b"19": "err", b"22": "info"}  # facility mail
WINE_DEBUG_LINE = re.compile(rb"[0-9a-f]{4}:(fixme|err|warn|trace):\w+:(\w+) ([^\n]*)\n")
WINE_LEVELS = {(b"err", 1): "err", (b"trace", 4): "info"}  # EVENTLOG_ERROR_TYPE, _INFORMATION_TYPE
FILLER = b"<22>filler"


def system_log_problem():
    """Why the program's log cannot be read here, or None."""
    if WINDOWS:
        return None
    probe = subprocess.run(["unshare", "-m", "sh", "-c", DEV_LOG, "", "true"], capture_output=True, timeout=10)
    return None if probe.returncode == 0 else f"no private mount namespace (root only): {probe.stderr.decode().strip()}"


def log_entry(level, event_id, text):
    """An entry as the platform's log holds it: Linux has no event IDs."""
    return level, event_id if WINDOWS else None, text


def run_logged(args, log="socket", timeout=30):
    """Runs the program with its log read; returns (exit code, stdout,
    stderr, entries), each entry (level, event ID, text)."""
    entries, kind, event_id = [], None, None
    if WINDOWS:
        env = dict(os.environ, WINEDEBUG="-all,+eventlog,fixme+advapi")
        proc = subprocess.run(command(QUILN, args), capture_output=True, timeout=timeout, env=env)
        for cls, function, rest in WINE_DEBUG_LINE.findall(proc.stderr):
            if function == b"ReportEventW" and cls == b"fixme":
                kind, event_id = (int(f, 16) for f in rest.strip(b"()").split(b",")[1:4:2])
            elif function == b"ReportEventW":  # L"text", not escaped nor cut in the texts of the tests
                entries.append((WINE_LEVELS.get((cls, kind)), event_id, rest.decode("latin-1")[2:-1]))
        return proc.returncode, console_text(proc.stdout), console_text(WINE_DEBUG_LINE.sub(b"", proc.stderr)), entries
    with tempfile.TemporaryDirectory(dir="/tmp") as folder, \
            socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as receiver:  # a short path: sun_path has 108 bytes
        path = os.path.join(folder, "log")
        receiver.bind(path)
        receiver.setblocking(False)
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as filler:
            filler.connect(path)
            filler.setblocking(False)
            for _ in range(100000 if log == "full" else 0):
                try:
                    filler.send(FILLER)
                except BlockingIOError:
                    break
        proc = subprocess.run(["unshare", "-m", "sh", "-c", DEV_LOG, "" if log == "missing" else path,
                               *command(QUILN, args)], capture_output=True, timeout=timeout)
        assert proc.returncode != 97, proc.stderr
        for _ in range(100000):  # what is queued
            try:
                data = receiver.recv(65536)
            except BlockingIOError:
                break
            m = SYSLOG_DATAGRAM.fullmatch(data)
            if data != FILLER:
                entries.append((SYSLOG_LEVELS.get(m[1]) if m else data, None, m and m[2].decode("latin-1")))
    return proc.returncode, console_text(proc.stdout), console_text(proc.stderr), entries


# Host names of the tests' own: the program runs in a private mount namespace
# (root only) whose /etc/hosts is a file of the test, so that a name can
# resolve to IPv6 alone, to both families, or to an IPv4 address that no
# route reaches. Wine resolves through the same C library and file.
HOSTS_MOUNT = 'mount --bind "$0" /etc/hosts || exit 97; exec "$@"'


def hosts_problem():
    """Why the tests' hosts file cannot be used here, or None."""
    probe = subprocess.run(["unshare", "-m", "sh", "-c", HOSTS_MOUNT, "/etc/hosts", "true"], capture_output=True,
                           timeout=10)
    return None if probe.returncode == 0 else f"no private mount namespace (root only): {probe.stderr.decode().strip()}"


def run_with_hosts(hosts, args, timeout=60):
    """Runs the program with `hosts` as /etc/hosts; returns as run() does."""
    with tempfile.NamedTemporaryFile("w", prefix="quiln-hosts-") as f:
        f.write(hosts)
        f.flush()
        proc = subprocess.run(["unshare", "-m", "sh", "-c", HOSTS_MOUNT, f.name, *command(QUILN, args)],
                              capture_output=True, timeout=timeout)
    assert proc.returncode != 97, proc.stderr
    return proc.returncode, console_text(proc.stdout), console_text(proc.stderr)


# Tests that cannot run against quiln.exe, with the reason (conftest.py skips
# them there). Names as pytest gives them, parameters included; * matches any
# text.
WINE_LOSES_RESETS = ("under Wine 8 a recv after the peer's reset returns 0, an orderly close, where Windows "
                     "fails it with WSAECONNRESET (10054)")
WINE_IGNORES_GROUP_BITS = ("Wine builds a file's access list from its mode bits: SYSTEM, the owner's bits and "
                           "the 'other' bits (as Everyone), never the group bits, so a file readable by its group "
                           "looks private to quiln.exe")
NO_ALLOC_COUNTER = "counts allocations with LD_PRELOAD, a Linux loader feature"
NOT_ON_WINDOWS = {
    "test_failures_end_with_code_5_and_send_nothing_more[[]reset[]]": WINE_LOSES_RESETS,
    "test_fault[[]*-reset[]]": WINE_LOSES_RESETS,
    "test_faults_during_the_relay[[]*-reset[]]": WINE_LOSES_RESETS,
    "test_reset_during_the_relay[[]*[]]": WINE_LOSES_RESETS,
    "test_reply_just_before_a_reset_still_reaches_the_provider": WINE_LOSES_RESETS,
    "test_every_reply_before_a_reset_reaches_the_provider": WINE_LOSES_RESETS,
    "test_drain[[]reset_*[]]": WINE_LOSES_RESETS,
    "test_faults_at_the_new_steps[[]*-reset[]]": WINE_LOSES_RESETS,
    "test_secret_is_blanked_in_the_process_list":
        "/proc shows Wine's own Unix arguments, not the Windows command line; "
        "its blanking is tested inside the process (tests/windows)",
    "test_a_whole_pickup_allocates_nothing_of_its_own[[]*[]]": NO_ALLOC_COUNTER,
    "test_repeated_pickups_allocate_nothing_either": NO_ALLOC_COUNTER,
    "test_name_lookup_is_the_only_other_allocator": NO_ALLOC_COUNTER,
    "test_secret_from_a_file[[]readable_by_group[]]": WINE_IGNORES_GROUP_BITS,
    "test_a_log_that_cannot_take_the_entry_changes_nothing[[]*[]]":
        "Wine's event log is a stub that takes every entry: it cannot be made missing or full",
}

# What the TLS library shows where its words or abilities differ. Wine 8's
# SChannel (on GnuTLS) negotiates TLS 1.2 at most, names the cipher suite in
# its own way, reports every record that does not decrypt as an internal
# error, and ignores the protocol limits of the newer form of credentials
# (SCH_CREDENTIALS), so that a TLS 1.0 server completes its handshake before
# quiln refuses the session (on Windows itself, as with OpenSSL, the client
# never offers TLS 1.0).
if WINDOWS:
    TLS_SESSION = "TLSv1.2, TLS_ECDHE_ECDSA_WITH_AES_256_GCM_<unknown>"
    TLS_WORDING = {"decryption failed or bad record mac": "internal error in the security library"}
    TLS_1_0_COMPLETES = True
else:
    TLS_SESSION = "TLSv1.3, TLS_AES_256_GCM_SHA384"
    TLS_WORDING = {}
    TLS_1_0_COMPLETES = False
TLS_PROTOCOL = TLS_SESSION.split(",")[0]


def tls_words(text):
    """The TLS library's words for a reason, as the platform's library says it."""
    return TLS_WORDING.get(text, text)


# The refusal of a secret file that others may use ends with advice in the
# platform's terms.
SECRET_FILE_OPEN_ADVICE = ("open to other users: let only your account read it "
                           "(icacls FILE /inheritance:r /grant:r %USERNAME%:R)" if WINDOWS else
                           "open to its group or others: chmod 600 it")


# A build without TLS (QUILN_TLS=OFF) refuses -e, -c and -f, and its usage
# text says so in one line instead of describing them.
TLS_AVAILABLE = os.environ.get("QUILN_TLS", "ON") != "OFF"

# Whether the TLS library gives quiln a channel binding for
# SCRAM-SHA-256-PLUS: OpenSSL does, and Wine's SChannel gives tls-unique on
# TLS 1.2 (the only version it speaks).
TLS_BINDS = TLS_AVAILABLE

# The methods the usage text and -v list, with their state: binding to TLS
# (SCRAM-SHA-256-PLUS) needs a build with TLS.
AUTH_LISTING = [" CRAM-MD5: OK", " LOGIN: OK", " PLAIN: OK", " SCRAM-SHA-256: OK",
                " SCRAM-SHA-256-PLUS: " + ("OK" if TLS_AVAILABLE else "Error: TLS is not available in this build")]


# The usual opening of a dialogue, from the server's side.
GREETING = "220 odmr.example.net ESMTP\r\n"
EHLO_REPLY = "250-odmr.example.net\r\n250-AUTH CRAM-MD5 LOGIN\r\n250 ATRN\r\n"
RFC2195_CHALLENGE = "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+"
RFC2195_RESPONSE = "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw"


# A local SMTP server on the no-mail path: its greeting, then QUIT.
SMTP_GREET_AND_QUIT = [("send", "220 local ESMTP\r\n"), ("line",), ("send", "221 bye\r\n"), ("eof",)]


def opening(ehlo_reply=EHLO_REPLY):
    return [("send", GREETING), ("line",), ("send", ehlo_reply)]


def cram_md5_accepted():
    return [("line",), ("send", f"334 {RFC2195_CHALLENGE}\r\n"), ("line",), ("send", "235 ok\r\n")]


class SmtpSink:
    """A real SMTP server (aiosmtpd) on loopback that keeps what it receives."""

    def __init__(self, close_after_data=False, rcpt_reply=None, data_reply=None, host="127.0.0.1"):
        """rcpt_reply, data_reply: the reply to every RCPT, to every
        message's end, instead of accepting it."""
        from aiosmtpd.smtp import SMTP

        self.envelopes = []
        sink = self

        class Handler:
            async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
                if rcpt_reply:
                    return rcpt_reply
                envelope.rcpt_tos.append(address)
                return "250 OK"

            async def handle_DATA(self, server, session, envelope):
                if data_reply:
                    return data_reply
                sink.envelopes.append((envelope.mail_from, list(envelope.rcpt_tos), envelope.original_content))
                return "250 2.0.0 stored"

        self.loop = asyncio.new_event_loop()
        ready = threading.Event()

        def serve():
            asyncio.set_event_loop(self.loop)
            self.server = self.loop.run_until_complete(
                self.loop.create_server(lambda: SMTP(Handler(), hostname="sink.example.org",
                                                     decode_data=False, data_size_limit=None),
                                        host, 0))
            self.port = self.server.sockets[0].getsockname()[1]
            ready.set()
            self.loop.run_forever()

        self.thread = threading.Thread(target=serve, daemon=True)
        self.thread.start()
        ready.wait(10)

    def close(self):
        def stop():
            self.server.close()
            self.loop.stop()
        self.loop.call_soon_threadsafe(stop)
        self.thread.join(10)
