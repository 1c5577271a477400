"""PLAIN and SCRAM-SHA-256 (with and without channel binding): which method
is chosen in the clear and inside TLS, the exchanges line by line against a
SCRAM server written from the RFCs, every refusal, and whole pickups against
the demo provider.

A run that authenticates goes on to connect to the local SMTP server; the
scripted tests give it a port where nothing listens, so exit code 4 with that
error marks a successful authentication."""

import base64
import ssl

import pytest

from certs import Certificates
from peers import (GREETING, TLS_AVAILABLE, TLS_BINDS, TLS_PROTOCOL, WINDOWS, Provider, ScramServer, ScriptedPeer, b64,
                   closed_port, cram_md5_accepted, log_entry, opening, run, run_logged, system_log_problem)
from scram_server import logging_context

USER, SECRET = "site", "pencil"
STARTTLS_EHLO = "250-odmr.example.net\r\n250-STARTTLS\r\n250 ATRN\r\n"
needs_tls = pytest.mark.skipif(not TLS_AVAILABLE, reason="a build without TLS")


def ehlo(mechanisms):
    return f"250-odmr.example.net\r\n250-AUTH {mechanisms}\r\n250 ATRN\r\n"


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    return Certificates(tmp_path_factory.mktemp("certs"))


def tls_context(certs, tmp_path, version):
    context = logging_context(certs.server_context(), str(tmp_path))
    if version == "TLSv1.2":
        context.maximum_version = ssl.TLSVersion.TLSv1_2
    return context


def opening_in_tls(context, mechanisms):
    return [("send", GREETING), ("line",), ("send", STARTTLS_EHLO), ("line",), ("send", "220 go ahead\r\n"),
            ("tls", context), ("line",), ("send", ehlo(mechanisms))]


def scram_steps(server, signature_in="235", final=None):
    """The server's side of a SCRAM exchange after the AUTH line."""
    def first(peer, conn):
        return f"334 {b64(server.first(peer.lines[-1].split(' ')[2], conn))}\r\n"

    def last(peer, conn):
        text = server.final(peer.lines[-1], conn)
        text = final(server) if final is not None else text
        return f"235 {b64(text)}\r\n" if signature_in == "235" else f"334 {b64(text)}\r\n"
    steps = [("line",), ("respond", first), ("line",), ("respond", last)]
    if signature_in == "334":
        steps += [("line",), ("send", "235 2.7.0 ok\r\n")]
    return steps + [("eof",)]


def plain_steps(final="235 ok\r\n"):
    return [("line",), ("send", final), ("eof",)]


def authenticate(steps, options=(), user=USER, secret=SECRET, host="127.0.0.1"):
    peer = ScriptedPeer(steps)
    smtp_port = closed_port()
    result = run([*options, "-a", peer.port, "-p", smtp_port, host, user, secret])
    peer.join()
    assert peer.error is None, peer.error
    return result, peer, f"Cannot connect to server 127.0.0.1:{smtp_port}. Connection refused"


def auth_line(peer):
    return next(line for line in peer.lines if line.startswith("AUTH"))


# Offered in the clear, forced or not: the method chosen, or the refusal.
CLEAR_CHOICES = {
    "scram_first": ("PLAIN LOGIN CRAM-MD5 SCRAM-SHA-256", [], "SCRAM-SHA-256"),
    "cram_md5_over_plain": ("PLAIN LOGIN CRAM-MD5", [], "CRAM-MD5"),
    "plus_needs_tls": ("SCRAM-SHA-256-PLUS SCRAM-SHA-256", [], "SCRAM-SHA-256"),
    "plain_only": ("PLAIN", [], (1, "Internal error.\n")),
    "plus_only": ("SCRAM-SHA-256-PLUS", [], (1, "Internal error.\n")),
    "plain_and_plus": ("SCRAM-SHA-256-PLUS PLAIN", [], (1, "Internal error.\n")),
    "plain_forced": ("PLAIN", ["-t", "plain"], "PLAIN"),
    "scram_forced_over_cram": ("CRAM-MD5 SCRAM-SHA-256", ["-t", "Scram-Sha-256"], "SCRAM-SHA-256"),
    "plus_forced": ("SCRAM-SHA-256-PLUS", ["-t", "scram-sha-256-plus"],
                    (5, "Auth scram-sha-256-plus is not available here\n")),
    "scram_forced_not_offered": ("CRAM-MD5", ["-t", "SCRAM-SHA-256"],
                                 (5, "Auth SCRAM-SHA-256 is not available on the ATRN server\n")),
}


@pytest.mark.parametrize("case", CLEAR_CHOICES)
def test_choice_in_the_clear(case):
    mechanisms, options, chosen = CLEAR_CHOICES[case]
    scram = ScramServer(USER, SECRET)
    exchange = {"SCRAM-SHA-256": scram_steps(scram), "PLAIN": plain_steps(),
                "CRAM-MD5": cram_md5_accepted() + [("eof",)]}.get(chosen, [("eof",)])
    (code, out, err), peer, refused = authenticate(opening(ehlo(mechanisms)) + exchange, options)
    if isinstance(chosen, tuple):
        assert (code, out, err) == (*chosen[:1], "", chosen[1])
        assert peer.lines == ["EHLO quiln.invalid"]
        return
    assert (code, err) == (4, refused)
    assert auth_line(peer).split(" ")[:2] == ["AUTH", chosen]
    if chosen == "SCRAM-SHA-256":
        assert scram.problems == [] and scram.flag == "n"  # no binding in the clear


def test_plain_sends_the_initial_response_on_the_auth_line():
    (code, out, err), peer, refused = authenticate(opening(ehlo("PLAIN")) + plain_steps(), ["-t", "PLAIN"],
                                                   user="tim", secret="tanstaaf")
    assert peer.lines[1] == "AUTH PLAIN " + b64("\0tim\0tanstaaf")
    assert (code, err) == (4, refused)


@pytest.mark.parametrize("secret_length, alone", [(367, False), (368, True), (760, True), (761, None)])
def test_plain_line_lengths(secret_length, alone):
    # "AUTH PLAIN " and the Base64 of NUL "tim" NUL secret: 512 octets with
    # CR LF at 367 characters of secret. Beyond, AUTH goes alone and the
    # response follows the 334 (RFC 4954, 4), up to 765 bytes of it.
    secret = "s" * secret_length
    steps = (plain_steps() if alone is False else
             [("line",), ("send", "334 \r\n")] + plain_steps() if alone else [("eof",)])
    (code, out, err), peer, refused = authenticate(opening(ehlo("PLAIN")) + steps, ["-t", "PLAIN"], user="tim",
                                                   secret=secret)
    if alone is None:
        assert (code, out, err) == (6, "", "Internal error: bufe too small !\n")
        assert peer.lines == ["EHLO quiln.invalid"]
        return
    assert (code, err) == (4, refused)
    response = b64(f"\0tim\0{secret}")
    assert peer.lines[1:] == ([f"AUTH PLAIN {response}"] if not alone else ["AUTH PLAIN", response])
    assert len(peer.lines[1]) + 2 <= 512


@pytest.mark.parametrize("final, expected", [
    ("535 5.7.8 no\r\n", "Authentication refused by server (invalid user or secret)\n"),
    ("454 4.7.0 later\r\n", "Invalid response to digest from ATRN server. Status = 454\n"),
    ("334 \r\n", "Invalid response to digest from ATRN server. Status = 334\n"),
])
def test_plain_final_status(final, expected):
    steps = [("line",), ("send", final)] + ([("line",), ("send", "221 bye\r\n")] if final[:3] == "535" else [])
    (code, out, err), peer, _ = authenticate(opening(ehlo("PLAIN")) + steps + [("eof",)], ["-t", "PLAIN"])
    assert (code, out, err) == (5, "", expected)
    assert peer.lines[-1] == ("QUIT" if final[:3] == "535" else auth_line(peer))


@pytest.mark.parametrize("signature_in", ["235", "334"])
def test_scram_exchange(signature_in):
    scram = ScramServer(USER, SECRET)
    (code, out, err), peer, refused = authenticate(opening(ehlo("SCRAM-SHA-256")) +
                                                   scram_steps(scram, signature_in), ["-v"])
    assert (code, err) == (4, refused)
    assert scram.problems == [] and scram.authenticated
    # The client-final message and, after a 334 with the signature, the
    # empty response; the trace shows the lines as they are sent.
    assert peer.lines[3:] == ([""] if signature_in == "334" else [])
    assert f"< {peer.lines[2]}" in out and "AUTH SCRAM-SHA-256 has been choosen" in out


@pytest.mark.parametrize("secret", [
    "p@ss word",
    pytest.param("p\u00e4ss", marks=pytest.mark.skipif(
        WINDOWS, reason="Windows hands a program its command line in the ANSI code page, not UTF-8")),
])
def test_scram_user_escaped_and_secret_as_given(secret):
    scram = ScramServer("a,b=c", secret)
    (code, out, err), peer, refused = authenticate(opening(ehlo("SCRAM-SHA-256")) + scram_steps(scram),
                                                   user="a,b=c", secret=secret)
    assert (code, err) == (4, refused)
    assert base64.b64decode(peer.lines[1].split(" ")[2]).startswith(b"n,,n=a=2Cb=3Dc,r=")
    assert scram.problems == []


# What a misbehaving server does after the client-first message, and what
# quiln says; in every case nothing more is sent.
def bad_first(text):
    return lambda scram: [("line",), ("send", f"334 {b64(text(scram))}\r\n"), ("eof",)]


def nonce_of(peer):
    return base64.b64decode(peer.lines[-1].split(" ")[2]).decode().split(",r=")[1]


SCRAM_REFUSALS = {
    "wrong_signature": (lambda scram: scram_steps(scram, final=lambda s: "v=" + b64(b"\0" * 32))[:-1],
                        "Authentication refused: the ATRN server's signature is wrong\n"),
    "235_without_signature": (lambda scram: scram_steps(scram)[:3] + [("send", "235 2.7.0 ok\r\n")],
                              "Authentication refused: the ATRN server's signature is wrong\n"),
    "server_error": (lambda scram: scram_steps(scram, signature_in="334", final=lambda s: "e=other-error\x07")[:4],
                     "Authentication refused by server: other-error\\x07\n"),
    "too_few_iterations": (lambda scram: [("line",), ("respond", lambda p, c: "334 " + b64(
        f"r={nonce_of(p)}x,s=c2FsdA==,i=4095") + "\r\n")], "Authentication refused: the ATRN server asks for "
                           "4095 iterations (4096 to 1000000 allowed)\n"),
    "too_many_iterations": (lambda scram: [("line",), ("respond", lambda p, c: "334 " + b64(
        f"r={nonce_of(p)}x,s=c2FsdA==,i=1000001") + "\r\n")], "Authentication refused: the ATRN server asks for "
                            "1000001 iterations (4096 to 1000000 allowed)\n"),
    "not_our_nonce": (bad_first(lambda scram: "r=someone-elses-nonce,s=c2FsdA==,i=4096"),
                      "Authentication refused: the ATRN server's nonce does not begin with ours\n"),
    "not_scram": (bad_first(lambda scram: "Username:"),
                  "Error in response to AUTH from ATRN server: unreadable SCRAM message\n"),
    "not_base64": (lambda scram: [("line",), ("send", "334 not*base64\r\n")],
                   "Error in response to AUTH from ATRN server: unreadable SCRAM message\n"),
    "auth_refused": (lambda scram: [("line",), ("send", "504 5.5.4 no\r\n")],
                     "Invalid response to AUTH from ATRN server. Status = 504\n"),
    "proof_454": (lambda scram: scram_steps(scram)[:3] + [("send", "454 4.7.0 later\r\n")],
                  "Invalid response to digest from ATRN server. Status = 454\n"),
}


@pytest.mark.parametrize("case", SCRAM_REFUSALS)
def test_scram_refusals(case):
    steps, message = SCRAM_REFUSALS[case]
    scram = ScramServer(USER, SECRET)
    script = steps(scram)
    (code, out, err), peer, _ = authenticate(opening(ehlo("SCRAM-SHA-256")) + script + [("eof",)])
    assert (code, out, err) == (5, "", message)
    # Nothing after the last line the script read.
    assert len(peer.lines) == 1 + sum(1 for s in script if s[0] == "line")


@pytest.mark.skipif(system_log_problem() is not None, reason=str(system_log_problem()))
def test_system_log_holds_neither_the_secret_nor_the_proof():
    scram = ScramServer(USER, SECRET)
    steps = scram_steps(scram, final=lambda s: "v=" + b64(b"\0" * 32))[:-1] + [("eof",)]
    peer = ScriptedPeer(opening(ehlo("SCRAM-SHA-256")) + steps)
    code, out, err, entries = run_logged(["-l", "-v", "-a", peer.port, "-p", closed_port(), "127.0.0.1", USER,
                                          SECRET])
    peer.join()
    message = "Authentication refused: the ATRN server's signature is wrong"
    assert (code, err, entries) == (5, message + "\n", [log_entry("err", 5, message)])
    assert f"< {peer.lines[2]}" in out  # the proof: in the trace on stdout, as every line sent


def test_scram_wrong_secret_quits():
    scram = ScramServer(USER, "other secret")
    steps = scram_steps(scram)[:3] + [("send", "535 5.7.8 no\r\n"), ("line",), ("send", "221 bye\r\n"), ("eof",)]
    (code, out, err), peer, _ = authenticate(opening(ehlo("SCRAM-SHA-256")) + steps)
    assert (code, out, err) == (5, "", "Authentication refused by server (invalid user or secret)\n")
    assert peer.lines[-1] == "QUIT"
    scram.final(peer.lines[2])
    assert scram.problems == ["proof"]


def test_scram_long_user_sends_auth_alone():
    user = "u" * 400
    scram = ScramServer(user, SECRET)

    def first(peer, conn):
        return f"334 {b64(scram.first(peer.lines[-1], conn))}\r\n"
    steps = [("line",), ("send", "334 \r\n"), ("line",), ("respond", first)] + scram_steps(scram)[2:]
    (code, out, err), peer, refused = authenticate(opening(ehlo("SCRAM-SHA-256")) + steps, user=user)
    assert (code, err) == (4, refused)
    assert peer.lines[1] == "AUTH SCRAM-SHA-256" and scram.problems == []


# Inside TLS (-e): what is chosen, and the GS2 flag the server sees.
TLS_CHOICES = {
    "plus_first": ("PLAIN SCRAM-SHA-256 SCRAM-SHA-256-PLUS", [], "SCRAM-SHA-256-PLUS"),
    "scram_without_plus_says_y": ("SCRAM-SHA-256 PLAIN", [], "SCRAM-SHA-256"),
    "scram_forced_says_n": ("SCRAM-SHA-256-PLUS SCRAM-SHA-256", ["-t", "SCRAM-SHA-256"], "SCRAM-SHA-256"),
    "plain_only": ("PLAIN", [], "PLAIN"),
    "cram_md5_over_plain": ("PLAIN CRAM-MD5", [], "CRAM-MD5"),
}


@needs_tls
@pytest.mark.parametrize("version", ["TLSv1.2", "TLSv1.3"])
@pytest.mark.parametrize("case", TLS_CHOICES)
def test_choice_inside_tls(certs, tmp_path, case, version):
    if version == "TLSv1.3" and TLS_PROTOCOL != "TLSv1.3":
        pytest.skip("Wine's SChannel offers TLS 1.2 at most")
    mechanisms, options, chosen = TLS_CHOICES[case]
    context = tls_context(certs, tmp_path, version)
    scram = ScramServer(USER, SECRET, plus_listed="PLUS" in mechanisms, keylog=context.keylog_filename)
    if chosen == "SCRAM-SHA-256-PLUS" and not TLS_BINDS:
        chosen = "SCRAM-SHA-256"  # no binding from this TLS library: -PLUS counts as not offered
    exchange = {"PLAIN": plain_steps(), "CRAM-MD5": cram_md5_accepted() + [("eof",)]}.get(chosen, scram_steps(scram))
    (code, out, err), peer, refused = authenticate(opening_in_tls(context, mechanisms) + exchange,
                                                   ["-e", "-c", str(certs.ca_file), *options])
    assert (code, err) == (4, refused)
    assert auth_line(peer).split(" ")[:2] == ["AUTH", chosen]
    if chosen.startswith("SCRAM"):
        flag = {"plus_first": "p=" + ("tls-exporter" if version == "TLSv1.3" else "tls-unique"),
                "scram_without_plus_says_y": "y" if TLS_BINDS else "n"}.get(case, "n")
        assert (scram.flag, scram.problems) == (flag, [])


@needs_tls
def test_plus_binding_to_another_session_is_refused(certs, tmp_path):
    # A man in the middle holds two TLS sessions: the server checks c=
    # against its own, which differs.
    context = tls_context(certs, tmp_path, "TLSv1.2")
    scram = ScramServer(USER, SECRET, plus_listed=True, keylog=context.keylog_filename)
    if not TLS_BINDS:
        pytest.skip("no binding from this TLS library")

    def last(peer, conn):
        server_final = scram.final(peer.lines[-1], None)  # as if on a session without TLS: no binding data
        return "535 5.7.8 no\r\n" if scram.problems else f"235 {b64(server_final)}\r\n"
    steps = (opening_in_tls(context, "SCRAM-SHA-256-PLUS") +
             [("line",), ("respond", lambda p, c: f"334 {b64(scram.first(p.lines[-1].split(' ')[2], c))}\r\n"),
              ("line",), ("respond", last), ("line",), ("send", "221 bye\r\n"), ("eof",)])
    (code, out, err), peer, _ = authenticate(steps, ["-e", "-c", str(certs.ca_file)])
    assert (code, err) == (5, "Authentication refused by server (invalid user or secret)\n")
    assert scram.problems and scram.problems[0].startswith("binds to p=tls-unique")


# Whole pickups against the demo provider: PLAIN and SCRAM inside TLS, and a
# drain of three sessions with one SCRAM exchange each.
@needs_tls
@pytest.mark.parametrize("mechanisms, expected", [
    (("PLAIN",), "PLAIN"),
    (("PLAIN", "SCRAM-SHA-256"), "SCRAM-SHA-256"),
    (("SCRAM-SHA-256-PLUS", "SCRAM-SHA-256"), "SCRAM-SHA-256-PLUS"),
])
def test_pickup_inside_tls(sink, certs, tmp_path, mechanisms, expected):
    if expected.endswith("PLUS") and not TLS_BINDS:
        expected = "SCRAM-SHA-256"
    queue = [("sender@example.net", ["rcpt@example.org"], f"Subject: {i}\r\n\r\nbody\r\n".encode())
             for i in range(3)]
    provider = Provider(USER, SECRET, ["example.org"], queue, mechanisms=mechanisms,
                        tls_context=logging_context(certs.server_context(), str(tmp_path)), auth_in_clear=False,
                        per_session=1, accept_count=4).start()
    code, out, err = run(["-e", "-c", str(certs.ca_file), "-r", "5", "-a", provider.port, "-p", sink.port,
                          "127.0.0.1", USER, SECRET], timeout=120)
    report = provider.join()
    assert (code, err, report["error"]) == (0, "", None)
    assert [line.split(" ")[:2] for line in report["received"] if line.startswith("AUTH")] == \
        [["AUTH", expected]] * 4
    assert len(sink.envelopes) == 3
