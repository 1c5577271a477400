"""Scripted peers on loopback for the black-box tests of the program.

A ScriptedPeer listens on 127.0.0.1 (port 0), accepts one connection and runs
a list of steps against it: send a reply (whole, in pieces, or byte by byte),
read a command line, pause, shut down its sending, close or reset, or meet
the test at an event. It records every line received.
Every wait is bounded, and the peer never outlives its test.
"""

import asyncio
import base64
import os
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "demo"))

from odmr_provider import Provider  # noqa: E402  (the demo provider)

QUILN = os.environ.get("QUILN", os.path.join(HERE, "..", "..", "build", "default", "quiln"))
QUILN_SHORT = os.environ.get("QUILN_SHORT_TIMEOUTS",
                             os.path.join(HERE, "..", "..", "build", "default", "quiln_short_timeouts"))

STEP_TIMEOUT = 15


def b64(text):
    return base64.b64encode(text.encode() if isinstance(text, str) else text).decode()


class ScriptedPeer:
    def __init__(self, steps, accept=True):
        self.steps = list(steps)
        self.lines = []          # command lines received, without CR LF
        self.events = []         # what happened, in order
        self.error = None
        self.leftover = b""
        self.listener = socket.create_server(("127.0.0.1", 0))
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


def closed_port():
    s = socket.create_server(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def run(args, binary=None, timeout=60):
    """Runs the program; returns (exit code, stdout, stderr) as text."""
    argv = [binary or QUILN] + [a if isinstance(a, bytes) else str(a) for a in args]
    proc = subprocess.run(argv, capture_output=True, timeout=timeout)
    return proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1")


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

    def __init__(self, close_after_data=False):
        from aiosmtpd.smtp import SMTP

        self.envelopes = []
        sink = self

        class Handler:
            async def handle_DATA(self, server, session, envelope):
                sink.envelopes.append((envelope.mail_from, list(envelope.rcpt_tos), envelope.original_content))
                return "250 2.0.0 stored"

        self.loop = asyncio.new_event_loop()
        ready = threading.Event()

        def serve():
            asyncio.set_event_loop(self.loop)
            self.server = self.loop.run_until_complete(
                self.loop.create_server(lambda: SMTP(Handler(), hostname="sink.example.org",
                                                     decode_data=False, data_size_limit=None),
                                        "127.0.0.1", 0))
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
