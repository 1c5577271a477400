#!/usr/bin/python3
"""A small ODMR provider (RFC 2645) for the demo and the end-to-end tests.

It holds a queue of messages for its customers' domains, speaks the server
side of the ATRN dialogue (EHLO, AUTH CRAM-MD5 or LOGIN, ATRN) and, once it
accepts ATRN, turns the connection round and delivers the queue over it as an
SMTP client. Delivered messages leave the queue. Like some real providers, it
can deliver only part of the queue per session and keep the rest for the next
ATRN (--per-session). It reports what it delivered as one JSON line on stdout.
"""

import argparse
import base64
import hashlib
import hmac
import json
import os
import smtplib
import socket
import sys
import threading
import time

from scram_server import ScramServer, b64

HOSTNAME = "odmr.example.net"


class ReversedSMTP(smtplib.SMTP):
    """An SMTP client on a connection that is already open: the ATRN one."""

    def __init__(self, sock, timeout):
        super().__init__(local_hostname=HOSTNAME, timeout=timeout)
        sock.settimeout(timeout)
        self.sock = sock
        self.file = None
        code, msg = self.getreply()
        if code != 220:
            raise smtplib.SMTPConnectError(code, msg)


class LineReader:
    def __init__(self, sock):
        self.sock = sock
        self.pending = b""

    def line(self):
        while b"\r\n" not in self.pending:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise EOFError("client closed the connection")
            self.pending += chunk
            if len(self.pending) > 8192:
                raise ValueError("line too long")
        line, _, self.pending = self.pending.partition(b"\r\n")
        return line.decode("latin-1")


class Provider:
    """One provider: accounts, a queue per domain, and a listening socket."""

    def __init__(self, user, secret, domains, queue, port=0, mechanisms=("CRAM-MD5", "LOGIN"),
                 timeout=20, accept_count=1, tls_context=None, per_session=None, auth_in_clear=True,
                 starttls_reply="220 2.0.0 ready to start TLS", end="quit", host="127.0.0.1", tls_on_connect=False):
        self.user = user
        self.secret = secret
        self.domains = [d.lower() for d in domains]
        self.queue = list(queue)  # (mail_from, [rcpt], bytes); what is delivered leaves it
        self.per_session = per_session  # at most this many messages per session; None: all
        self.mechanisms = mechanisms
        self.timeout = timeout
        self.accept_count = accept_count
        self.tls_context = tls_context  # offers STARTTLS (RFC 3207) when set
        self.tls_on_connect = tls_on_connect  # TLS from the first byte (RFC 8314) instead
        self.keylog = getattr(tls_context, "keylog_filename", None)  # for tls-exporter
        self.auth_in_clear = auth_in_clear  # False: AUTH is offered only inside TLS
        self.starttls_reply = starttls_reply
        # How the reversed session ends: "quit"; or, with TLS, closing without
        # QUIT after the last message, with ("close_notify") or without
        # ("close") a TLS close_notify.
        self.end = end
        self.listener = socket.create_server((host, port),
                                             family=socket.AF_INET6 if ":" in host else socket.AF_INET)
        self.port = self.listener.getsockname()[1]
        self.report = {"authenticated": False, "atrn": None, "delivered": [], "refused": [], "error": None,
                       "received": [], "tls": None, "sessions": 0}
        self.authenticated = False  # in the current session
        self.thread = None

    def start(self):
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()
        return self

    def join(self, timeout=60):
        self.thread.join(timeout)
        return self.report

    def serve(self):
        try:
            self.listener.settimeout(self.timeout)
            for _ in range(self.accept_count):
                conn, _ = self.listener.accept()
                with conn:
                    self.conn = conn
                    try:
                        self.session(conn)
                    finally:
                        self.conn.close()  # the TLS socket, when STARTTLS wrapped it
        except Exception as e:  # reported, never raised into the caller's thread
            self.report["error"] = f"{type(e).__name__}: {e}"
        finally:
            self.listener.close()

    def send(self, conn, text):
        conn.sendall(text.encode("latin-1") + b"\r\n")

    def session(self, conn):
        self.report["sessions"] += 1
        self.authenticated = False
        self.in_tls = False
        conn.settimeout(self.timeout)
        if self.tls_on_connect:
            conn = self.conn = self.tls_context.wrap_socket(conn, server_side=True)
            self.in_tls = True
            self.report["tls"] = conn.version()
        reader = LineReader(conn)
        self.send(conn, f"220 {HOSTNAME} ESMTP demo ODMR provider")
        while True:
            line = reader.line()
            self.report["received"].append(line)
            verb, _, arg = line.partition(" ")
            verb = verb.upper()
            if verb == "EHLO":
                # One write, as servers do: line by line, Nagle's algorithm and
                # the client's delayed ACK would stall each EHLO by 40 ms.
                lines = [f"250-{HOSTNAME} hello {arg}"]
                if self.tls_context is not None and not self.in_tls:
                    lines.append("250-STARTTLS")
                if self.auth_in_clear or self.in_tls:
                    lines.append("250-AUTH " + " ".join(self.mechanisms))
                lines.append("250 ATRN")
                self.send(conn, "\r\n".join(lines))
            elif verb == "STARTTLS" and self.tls_context is not None and not self.in_tls:
                self.send(conn, self.starttls_reply)
                if not self.starttls_reply.startswith("220"):
                    continue
                conn = self.conn = self.tls_context.wrap_socket(conn, server_side=True)
                reader = LineReader(conn)
                self.in_tls = True
                self.report["tls"] = conn.version()
            elif verb == "AUTH" and not self.auth_in_clear and not self.in_tls:
                self.send(conn, "538 5.7.11 encryption required for requested authentication mechanism")
            elif verb == "AUTH":
                mechanism, _, initial = arg.partition(" ")
                self.authenticate(conn, reader, mechanism.upper(), initial)
            elif verb == "ATRN":
                if self.atrn(conn, reader, arg):
                    return
            elif verb == "QUIT":
                self.send(conn, "221 2.0.0 bye")
                return
            else:
                self.send(conn, "502 5.5.1 command not recognised")

    def authenticate(self, conn, reader, mechanism, initial=""):
        if mechanism not in self.mechanisms:
            self.send(conn, "504 5.5.4 mechanism not supported")
            return
        if mechanism in ("PLAIN", "SCRAM-SHA-256", "SCRAM-SHA-256-PLUS") and not initial:
            self.send(conn, "334 ")  # RFC 4954, 4: the initial response on a line of its own
            initial = reader.line()
        if mechanism == "PLAIN":
            _, user, password = base64.b64decode(initial).decode("utf-8").split("\0")
            ok = user == self.user and password == self.secret
        elif mechanism.startswith("SCRAM-SHA-256"):
            scram = ScramServer(self.user, self.secret, plus_listed="SCRAM-SHA-256-PLUS" in self.mechanisms,
                                keylog=self.keylog)
            self.send(conn, "334 " + b64(scram.first(initial, conn)))
            final = scram.final(reader.line(), conn)
            if not scram.authenticated:
                self.send(conn, "535 5.7.8 authentication failed")
                return
            self.report["authenticated"] = self.authenticated = True
            self.send(conn, "235 2.7.0 " + b64(final))  # RFC 4954, 4: the server's last word with the 235
            return
        elif mechanism == "CRAM-MD5":
            challenge = f"<{os.getpid()}.{time.time_ns()}@{HOSTNAME}>".encode()
            self.send(conn, "334 " + base64.b64encode(challenge).decode())
            user, _, answer = base64.b64decode(reader.line()).decode("latin-1").rpartition(" ")
            expected = hmac.new(self.secret.encode(), challenge, hashlib.md5).hexdigest()
            ok = user == self.user and hmac.compare_digest(answer, expected)
        else:
            self.send(conn, "334 " + base64.b64encode(b"Username:").decode())
            user = base64.b64decode(reader.line()).decode("latin-1")
            self.send(conn, "334 " + base64.b64encode(b"Password:").decode())
            password = base64.b64decode(reader.line()).decode("latin-1")
            ok = user == self.user and password == self.secret
        self.report["authenticated"] = self.authenticated = ok
        self.send(conn, "235 2.7.0 authentication successful" if ok else "535 5.7.8 authentication failed")

    def atrn(self, conn, reader, arg):
        """Returns True when the connection was turned round and used."""
        self.report["atrn"] = arg
        if not self.authenticated:
            self.send(conn, "530 5.7.0 authentication required")
            return False
        # RFC 2645, 5.2: the domains are separated by commas; none means all.
        requested = [d.lower() for d in arg.split(",")] if arg else list(self.domains)
        if any(d not in self.domains for d in requested):
            self.send(conn, "450 4.7.0 access denied to one of the domains requested")
            return False
        mail = [m for m in self.queue if any(r.rpartition("@")[2].lower() in requested for r in m[1])]
        if not mail:
            self.send(conn, "453 4.3.0 no mail in the queue")
            return False
        if self.per_session is not None:
            mail = mail[:self.per_session]
        if reader.pending:
            raise ValueError("client spoke before the connection was turned round")
        self.send(conn, "250 2.0.0 OK, now reversing the connection")
        smtp = ReversedSMTP(conn, self.timeout)
        smtp.ehlo()
        for mail_from, rcpts, data in mail:
            try:
                refused = smtp.sendmail(mail_from, rcpts, data)
                self.report["delivered"].append({"from": mail_from, "to": rcpts, "refused": list(refused)})
                self.queue.remove((mail_from, rcpts, data))
            except smtplib.SMTPException as e:
                self.report["refused"].append({"from": mail_from, "to": rcpts, "error": str(e)})
        if self.end == "quit" or not self.in_tls:
            smtp.quit()
        elif self.end == "close_notify":
            try:  # sends close_notify, then waits for the client's (or its close)
                self.conn = conn.unwrap()
            except OSError:
                pass
        return True


def sample_queue(domain):
    """Three small messages for the demo."""
    messages = []
    for n, (subject, body) in enumerate([
        ("Welcome", "Your mail is now picked up with ATRN (RFC 2645)."),
        ("Dots and lines", ".a line that starts with a dot\r\n..and one with two"),
        ("Last one", "That is all the mail held for " + domain + "."),
    ], start=1):
        data = (f"From: provider@example.net\r\nTo: postmaster@{domain}\r\nSubject: {subject}\r\n"
                f"Message-ID: <{n}.demo@example.net>\r\n\r\n{body}\r\n").encode()
        messages.append(("provider@example.net", [f"postmaster@{domain}"], data))
    return messages


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file", help="write the listening port here once ready")
    parser.add_argument("--user", default="demo")
    parser.add_argument("--secret", default="tanstaaftanstaaf")
    parser.add_argument("--domain", action="append", default=[])
    parser.add_argument("--empty", action="store_true", help="hold no mail (ATRN gets 453)")
    parser.add_argument("--timeout", type=float, default=20)
    parser.add_argument("--per-session", type=int, metavar="N",
                        help="deliver at most N messages per session and keep the rest for the next ATRN "
                             "(serves sessions until one gets 453)")
    args = parser.parse_args()
    if args.per_session is not None and args.per_session < 1:
        parser.error("--per-session must be at least 1")
    domains = args.domain or ["example.org"]
    queue = [] if args.empty else [m for d in domains for m in sample_queue(d)]
    sessions = 1
    if args.per_session is not None:  # the sessions that deliver, then the one that gets 453
        sessions = -(-len(queue) // args.per_session) + 1
    provider = Provider(args.user, args.secret, domains, queue, args.port, timeout=args.timeout,
                        accept_count=sessions, per_session=args.per_session)
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as f:
            f.write(str(provider.port))
        os.replace(args.port_file + ".tmp", args.port_file)
    else:
        print(provider.port, flush=True)
    provider.start()
    report = provider.join(args.timeout * (sessions + 2))
    print(json.dumps(report), flush=True)
    return 0 if report["error"] is None else 1


if __name__ == "__main__":
    sys.exit(main())
