"""quiln's own TLS (-e): STARTTLS (RFC 3207) with certificate checks against
a CA of the tests' own, pinning (-f), the failures of the new step and of the
dialogue inside TLS, whole pickups relayed inside TLS, and the secret from a
file (-k)."""

import os
import random
import ssl
import subprocess
import time

import pytest

from certs import Certificates
from peers import (GREETING, QUILN, QUILN_SHORT, RFC2195_CHALLENGE, SECRET_FILE_OPEN_ADVICE, TLS_1_0_COMPLETES,
                   TLS_PROTOCOL, TLS_SESSION, Provider, ScriptedPeer, closed_port, cram_md5_accepted, opening, run,
                   tls_words)
from test_faults import FAULTS

USER, SECRET = "site", "shared secret"
STARTTLS_EHLO = "250-odmr.example.net\r\n250-STARTTLS\r\n250 ATRN\r\n"
ALLOC_COUNTER = os.environ.get("ALLOC_COUNTER")


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    return Certificates(tmp_path_factory.mktemp("certs"))


def colons(fingerprint):
    return ":".join(fingerprint[i:i + 2] for i in range(0, 64, 2)).upper()


def message(n, body):
    return f"From: sender@example.net\r\nTo: rcpt@example.org\r\nSubject: {n}\r\n\r\n".encode() + body


def tls_pickup(sink, certs, queue, options, kind="good", host="127.0.0.1", mode="-e", **provider_options):
    """mode: -e (STARTTLS) or -E (TLS on connect); the provider listens on
    ::1 when quiln is given an IPv6 address, else on 127.0.0.1."""
    provider = Provider(USER, SECRET, ["example.org"], queue, tls_context=certs.server_context(kind),
                        auth_in_clear=False, host="::1" if ":" in host else "127.0.0.1",
                        tls_on_connect=mode == "-E", **provider_options).start()
    started = time.monotonic()
    result = run([mode, *options, "-a", provider.port, "-p", sink.port, host, USER, SECRET], timeout=120)
    return result, provider.join(), time.monotonic() - started


def assert_all_delivered(sink, report, queue):
    assert report["error"] is None, report["error"]
    assert report["refused"] == [] and len(report["delivered"]) == len(queue)
    assert [e[2] for e in sink.envelopes] == [m[2] for m in queue]


# Which certificate the provider shows, what quiln is told, the name it is
# given for the provider, and the reason of the refusal (None: accepted).
CERTIFICATE_CASES = {
    "ca_file_by_address": ("good", lambda c: ["-c", c.ca_file], "127.0.0.1", None),
    "ca_file_by_name": ("good", lambda c: ["-c", c.ca_file], "localhost", None),
    # An IPv6 address, bare or in brackets, against the 16-byte addresses.
    "ca_file_by_ipv6_address": ("good", lambda c: ["-c", c.ca_file], "::1", None),
    "ca_file_by_bracketed_ipv6_address": ("good", lambda c: ["-c", c.ca_file], "[::1]", None),
    "ipv6_address_mismatch": ("wrong_name", lambda c: ["-c", c.ca_file], "::1", "IP address mismatch"),
    "ipv6_not_among_the_ipv4_addresses": ("by_intermediate", lambda c: ["-c", c.ca_file], "::1",
                                          "IP address mismatch"),
    "not_in_the_system_store": ("good", lambda c: [], "127.0.0.1", "unable to get local issuer certificate"),
    "name_mismatch": ("wrong_name", lambda c: ["-c", c.ca_file], "localhost", "hostname mismatch"),
    "address_mismatch": ("wrong_name", lambda c: ["-c", c.ca_file], "127.0.0.1", "IP address mismatch"),
    "expired": ("expired", lambda c: ["-c", c.ca_file], "127.0.0.1", "certificate has expired"),
    "self_signed": ("self_signed", lambda c: [], "127.0.0.1", "self-signed certificate"),
    "self_signed_pinned": ("self_signed", lambda c: ["-f", c.fingerprints["self_signed"]], "127.0.0.1", None),
    "pinned_in_colons_and_capitals": ("self_signed", lambda c: ["-f", colons(c.fingerprints["self_signed"])],
                                      "localhost", None),
    # The pin alone decides: neither the name nor the dates count then.
    "pinned_expired": ("expired", lambda c: ["-f", c.fingerprints["expired"]], "127.0.0.1", None),
    "pinned_other_name": ("wrong_name", lambda c: ["-f", c.fingerprints["wrong_name"]], "localhost", None),
    "wrong_pin": ("good", lambda c: ["-f", c.fingerprints["self_signed"]], "127.0.0.1",
                  "its SHA-256 fingerprint is not the one given with -f"),
    "not_yet_valid": ("not_yet_valid", lambda c: ["-c", c.ca_file], "localhost", "certificate is not yet valid"),
    # Without alternative names, a host name is checked against the common
    # name; an address never is.
    "common_name_by_name": ("common_name_only", lambda c: ["-c", c.ca_file], "localhost", None),
    "common_name_by_address": ("common_name_only", lambda c: ["-c", c.ca_file], "127.0.0.1", "IP address mismatch"),
    # The server sends the intermediate CA; -c names only the root.
    "chain_through_an_intermediate": ("by_intermediate", lambda c: ["-c", c.ca_file], "localhost", None),
    "intermediate_without_its_root": ("by_intermediate", lambda c: [], "localhost",
                                      "unable to get local issuer certificate"),
    # Listed DNS names decide alone, however many there are; a NUL inside
    # one is no end of it.
    "nul_in_a_listed_name": ("nul_in_a_name", lambda c: ["-c", c.ca_file], "localhost", "hostname mismatch"),
    "three_hundred_other_names": ("many_names", lambda c: ["-c", c.ca_file], "localhost", "hostname mismatch"),
    "the_server_last_of_three_hundred": ("many_names_and_localhost", lambda c: ["-c", c.ca_file], "localhost",
                                         None),
    "only_for_clients": ("client_auth_only", lambda c: ["-c", c.ca_file], "localhost",
                         "unsuitable certificate purpose"),
}


# Each case after STARTTLS (-e) and on connect (-E), where nothing is said in
# the clear.
@pytest.mark.parametrize("mode", ["-e", "-E"])
@pytest.mark.parametrize("case", CERTIFICATE_CASES)
def test_certificate_checks(sink, certs, case, mode):
    kind, options, host, reason = CERTIFICATE_CASES[case]
    queue = [("sender@example.net", ["rcpt@example.org"], message(i, b"inside TLS\r\n")) for i in range(3)]
    (code, out, err), report, _ = tls_pickup(sink, certs, queue, options(certs), kind=kind, host=host, mode=mode)
    in_clear = ["EHLO quiln.invalid", "STARTTLS"] if mode == "-e" else []
    if reason is None:
        assert (code, out, err) == (0, "", "")
        assert report["tls"] in ("TLSv1.2", "TLSv1.3")
        # AUTH was listed only inside TLS: the capabilities were read afresh.
        assert report["received"][:len(in_clear) + 2] == in_clear + ["EHLO quiln.invalid", "AUTH CRAM-MD5"]
        assert_all_delivered(sink, report, queue)
        return
    assert (code, out) == (7, "")
    assert err == (f"Certificate of ATRN server not accepted: {reason} (SHA-256 fingerprint "
                   f"{colons(certs.fingerprints[kind])}, subject {certs.subjects[kind]})\n")
    assert report["received"] == in_clear  # nothing more was said
    assert sink.envelopes == []


# The STARTTLS step going wrong: the server's script from its greeting on,
# and what quiln says (all with exit code 7 but the time-out).
def starttls_cases(certs):
    offered = [("send", GREETING), ("line",), ("send", STARTTLS_EHLO), ("line",)]
    failed = "TLS handshake with ATRN server failed: "
    return {
        "not_listed": (opening() + [("eof",)], "ATRN server does not offer STARTTLS, which -e requires\n"),
        "refused_with_454": (offered + [("send", "454 4.7.0 TLS not available\r\n"), ("eof",)],
                             "Invalid response to STARTTLS from ATRN server. Status = 454\n"),
        "data_behind_the_220": (offered + [("send", "220 go ahead\r\n250 injected\r\n"), ("eof",)],
                                "ATRN server sent data in the clear behind its 220 to STARTTLS\n"),
        "closed_in_the_handshake": (offered + [("send", "220 go ahead\r\n"), ("recv",), ("close",)],
                                    failed + "the server closed the connection during the handshake\n"),
        "garbage_in_the_handshake": (offered + [("send", "220 go ahead\r\n"), ("sleep", 0.2),
                                                ("send", "this is no TLS record\r\n" * 4), ("eof",)],
                                     failed + "wrong version number\n"),
        "stalled_handshake": (offered + [("send", "220 go ahead\r\n"), ("eof",)],
                              failed + "Timeout during the TLS handshake with 127.0.0.1\n"),
        "tls_1_0_only": (offered + [("send", "220 go ahead\r\n"),
                                    ("tls", certs.server_context("good", tls_max=ssl.TLSVersion.TLSv1))],
                         None),
    }


@pytest.mark.parametrize("case", ["not_listed", "refused_with_454", "data_behind_the_220",
                                  "closed_in_the_handshake", "garbage_in_the_handshake", "stalled_handshake",
                                  "tls_1_0_only"])
def test_starttls_step_failures(certs, case):
    steps, expected = starttls_cases(certs)[case]
    provider = ScriptedPeer(steps)
    code, out, err = run(["-e", "-c", certs.ca_file, "-a", provider.port, "-p", closed_port(), "127.0.0.1",
                          USER, SECRET], binary=QUILN_SHORT, timeout=30)
    provider.join()
    assert code == 7 and out == ""
    if expected is None and TLS_1_0_COMPLETES:  # refused on what was agreed, before a byte went through
        assert err == "TLS handshake with ATRN server failed: unsupported protocol\n"
    elif expected is None:  # the wording of the refusal is the library's
        assert err.startswith("TLS handshake with ATRN server failed: ") and "\n" not in err[:-1], err
        assert provider.error is not None and "tls" not in provider.events  # never got as far as TLS
    else:
        assert err == expected
    assert provider.lines[0] == "EHLO quiln.invalid" and "AUTH" not in " ".join(provider.lines)


# TLS on connect (-E) going wrong: a failed handshake is -e's (exit 7); once
# it is done, a failure is the dialogue's (exit 5). The server's script from
# the connection on.
def tls_on_connect_cases(certs):
    failed = "TLS handshake with ATRN server failed: "
    return {
        "plain_greeting": ([("send", GREETING), ("eof",)], 7, failed + "wrong version number\n"),
        "closed_at_once": ([("close",)], 7, failed + "the server closed the connection during the handshake\n"),
        "stalled_handshake": ([("eof",)], 7, failed + "Timeout during the TLS handshake with 127.0.0.1\n"),
        "closed_after_the_handshake": ([("tls", certs.server_context("good")), ("close",)], 5,
                                       "Error waiting banner from ATRN server: recv() connection closed by "
                                       "127.0.0.1\n"),
        "greeting_554": ([("tls", certs.server_context("good")), ("send", "554 go away\r\n"), ("eof",)], 5,
                         "Invalid response from ATRN server. Status = 554\n"),
        "no_starttls_inside": ([("tls", certs.server_context("good")), ("send", GREETING), ("line",),
                                ("send", "250-odmr.example.net\r\n250-AUTH CRAM-MD5\r\n250 ATRN\r\n"),
                                ("line",), ("close",)], 5, None),
    }


@pytest.mark.parametrize("case", ["plain_greeting", "closed_at_once", "stalled_handshake",
                                  "closed_after_the_handshake", "greeting_554", "no_starttls_inside"])
def test_tls_on_connect_failures(certs, case):
    steps, exit_code, expected = tls_on_connect_cases(certs)[case]
    provider = ScriptedPeer(steps)
    code, out, err = run(["-E", "-c", certs.ca_file, "-a", provider.port, "-p", closed_port(), "127.0.0.1",
                          USER, SECRET], binary=QUILN_SHORT, timeout=30)
    provider.join()
    assert (code, out) == (exit_code, "")
    if expected is not None:
        assert err == expected
    else:  # EHLO, then AUTH at once: no STARTTLS inside TLS
        assert provider.lines == ["EHLO quiln.invalid", "AUTH CRAM-MD5"]


# Faults where quiln waits for a reply, as in test_faults: at the STARTTLS
# reply in the clear, and at the second EHLO and at ATRN inside TLS.
def fault_steps(certs, step):
    offered = [("send", GREETING), ("line",), ("send", STARTTLS_EHLO), ("line",)]
    inside = offered + [("send", "220 go ahead\r\n"), ("tls", certs.server_context("good")), ("line",)]
    return {
        "starttls": (offered, "Error in response to STARTTLS from ATRN server: "),
        "ehlo_inside_tls": (inside, "Error in response to EHLO from ATRN server: "),
        "atrn_inside_tls": (inside + [("send", "250-odmr\r\n250-AUTH CRAM-MD5\r\n250 ATRN\r\n")] +
                            cram_md5_accepted() + [("line",)], "Error in response to ATRN from ATRN server: "),
    }[step]


@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("step", ["starttls", "ehlo_inside_tls", "atrn_inside_tls"])
def test_faults_at_the_new_steps(certs, step, fault):
    before, message_start = fault_steps(certs, step)
    steps, reason = FAULTS[fault]
    provider = ScriptedPeer(before + steps)
    smtp = ScriptedPeer([("send", "220 local\r\n"), ("eof",)], accept=step == "atrn_inside_tls")
    code, out, err = run(["-e", "-c", certs.ca_file, "-a", provider.port, "-p", smtp.port, "127.0.0.1", "tim",
                          "tanstaaftanstaaf"], binary=QUILN_SHORT, timeout=30)
    provider.join()
    smtp.join()
    assert (code, out, err) == (5, "", message_start + reason + "\n")


def test_corrupt_record_inside_tls(certs):
    """A record that does not decrypt, during the dialogue and during the
    relay: a failure with the library's reason, never data."""
    offered = [("send", GREETING), ("line",), ("send", STARTTLS_EHLO), ("line",), ("send", "220 go ahead\r\n"),
               ("tls", certs.server_context("good")), ("line",),
               ("send", "250-odmr\r\n250-AUTH CRAM-MD5\r\n250 ATRN\r\n")]
    forged = b"\x17\x03\x03\x00\x20" + bytes(range(32))  # application data that no key made
    results = []
    for steps, smtp_steps in [
        ([("line",), ("raw", forged), ("eof",)], None),
        (cram_md5_accepted() + [("line",), ("send", "250 reversing\r\n"), ("line",), ("raw", forged), ("eof",)],
         [("send", "220 local\r\n"), ("eof",)]),
    ]:
        provider = ScriptedPeer(offered + steps)
        smtp = ScriptedPeer(smtp_steps or [], accept=smtp_steps is not None)
        results.append(run(["-e", "-c", certs.ca_file, "-a", provider.port, "-p", smtp.port, "127.0.0.1", "tim",
                            "tanstaaftanstaaf"], binary=QUILN_SHORT, timeout=30))
        provider.join()
        smtp.join()
    reason = tls_words("decryption failed or bad record mac") + "\n"
    assert results[0] == (5, "", "Error in response to AUTH from ATRN server: recv() error while waiting data "
                                 "from 127.0.0.1: " + reason)
    assert results[1] == (5, "", "Error passing data: recv() error while reading data from 127.0.0.1: " + reason)


def reversed_inside_tls(certs):
    """A provider's script up to its 250 to ATRN, inside TLS."""
    return [("send", GREETING), ("line",), ("send", STARTTLS_EHLO), ("line",), ("send", "220 go ahead\r\n"),
            ("tls", certs.server_context("good")), ("line",),
            ("send", "250-odmr\r\n250-AUTH CRAM-MD5\r\n250 ATRN\r\n")] + cram_md5_accepted() + [("line",)]


def test_what_tls_already_holds_is_relayed_at_once(certs):
    """Commands that came in the same TLS record as the 250 to ATRN, beyond
    what the reply reader takes, sit decrypted inside the TLS library where
    no wait on the socket can see them: they must reach the local server
    without the provider sending anything more."""
    # 4,406 bytes: more than a reply's buffer; QUIT last, so that the local
    # server may close.
    pipelined = "".join(f"NOOP {i:04d}\r\n" for i in range(400)) + "QUIT\r\n"
    provider = ScriptedPeer(reversed_inside_tls(certs)[:-1] +
                            [("line",), ("send", "250 reversing\r\n" + pipelined), ("eof",)])
    smtp = ScriptedPeer([("send", "220 local\r\n")] + [("line",)] * 401 + [("close",)])
    code, out, err = run(["-e", "-c", certs.ca_file, "-a", provider.port, "-p", smtp.port, "127.0.0.1", "tim",
                          "tanstaaftanstaaf"], binary=QUILN_SHORT, timeout=30)
    provider.join()
    smtp.join()
    assert (code, out, err) == (0, "", "")
    assert smtp.lines == [f"NOOP {i:04d}" for i in range(400)] + ["QUIT"]
    assert provider.leftover == b"220 local\r\n"  # and the greeting went the other way


def test_a_slow_provider_gets_every_byte_in_order(certs):
    """24 MB from the local server toward a provider that does not read for a
    while (more than the sockets between them hold): the relay must stop
    reading the local server while TLS cannot take more, and go on when it
    can; nothing may be lost, doubled or reordered."""
    rng = random.Random(8)
    words = [bytes(rng.choice(b"abcdefgh") for _ in range(60)) for _ in range(1000)]
    data = b"".join(b"250-%07d %s\r\n" % (i, words[i % 1000]) for i in range(24 * 1024 * 1024 // 72))
    provider = ScriptedPeer(reversed_inside_tls(certs)[:-1] +
                            [("line",), ("send", "250 reversing\r\n"), ("sleep", 1.0),
                             ("collect", len(data) + len("220 local\r\n")), ("close",)])
    smtp = ScriptedPeer([("send", b"220 local\r\n" + data), ("eof",)])
    code, out, err = run(["-e", "-c", certs.ca_file, "-a", provider.port, "-p", smtp.port, "127.0.0.1", "tim",
                          "tanstaaftanstaaf"], timeout=60)
    provider.join()
    smtp.join()
    assert provider.error is None, provider.error
    assert (code, out, err) == (0, "", "")
    assert provider.leftover == b"220 local\r\n" + data


@pytest.mark.parametrize("end", ["quit", "close_notify", "close"])
def test_two_hundred_messages_inside_tls(sink, certs, end):
    """However the provider ends the reversed session (QUIT; or closing after
    its last message with or without close_notify), all of it arrives, byte
    for byte, and the run succeeds."""
    queue = [("sender@example.net", ["rcpt@example.org"], message(i, f"Message {i}\r\n".encode() * (i % 17 + 1)))
             for i in range(200)]
    (code, out, err), report, _ = tls_pickup(sink, certs, queue, ["-c", certs.ca_file], end=end)
    assert (code, out, err) == (0, "", "")
    assert_all_delivered(sink, report, queue)


def test_a_close_inside_the_content_fails_the_run(certs):
    """A provider that closes in the middle of a message, without
    close_notify: the local server discards the rest and the provider keeps
    the message, but the run must not report success."""
    provider = ScriptedPeer(reversed_inside_tls(certs)[:-1] + [
        ("line",), ("send", "250 reversing\r\n"), ("line",),
        ("send", "MAIL FROM:<a@example.net>\r\nRCPT TO:<b@example.org>\r\nDATA\r\n"), ("line",), ("line",),
        ("line",), ("send", "Subject: cut\r\n\r\nhalf a li"), ("close",)])
    smtp = ScriptedPeer([("send", "220 local\r\n"), ("line",), ("line",), ("line",),
                         ("send", "250 sender\r\n250 rcpt\r\n354 go\r\n"), ("eof",)])
    result = run(["-e", "-c", certs.ca_file, "-a", provider.port, "-p", smtp.port, "127.0.0.1", "tim",
                  "tanstaaftanstaaf"], binary=QUILN_SHORT, timeout=30)
    provider.join()
    smtp.join()
    assert result == (5, "", "Error passing data: connection closed by 127.0.0.1 in the middle of a message\n")


def test_every_pickup_of_a_run_has_its_own_tls_session(sink, certs):
    """-r with a provider that delivers one message per session: each pickup
    does STARTTLS and the certificate check afresh, and the queue drains."""
    queue = [("sender@example.net", ["rcpt@example.org"], message(i, b"one per pickup\r\n")) for i in range(3)]
    (code, out, err), report, _ = tls_pickup(sink, certs, queue, ["-r", "10", "-c", certs.ca_file], per_session=1,
                                             accept_count=4)
    assert (code, out, err) == (0, "", "")
    assert report["sessions"] == 4 and report["received"].count("STARTTLS") == 4
    assert_all_delivered(sink, report, queue)


@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
def test_twenty_megabyte_message(sink, certs, tls):
    rng = random.Random(20)
    lines = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz0123456789 .") for _ in range(76)) for _ in range(4096)]
    body = b"\r\n".join(lines[i % 4096] for i in range(20 * 1024 * 1024 // 78)) + b"\r\n"
    queue = [("sender@example.net", ["rcpt@example.org"], message(1, body))]
    provider = Provider(USER, SECRET, ["example.org"], queue,
                        tls_context=certs.server_context("good") if tls else None).start()
    options = ["-e", "-c", certs.ca_file] if tls else []
    started = time.monotonic()
    code, out, err = run([*options, "-a", provider.port, "-p", sink.port, "127.0.0.1", USER, SECRET], timeout=120)
    elapsed = time.monotonic() - started
    report = provider.join()
    assert (code, err) == (0, "")
    assert report["tls"] == (TLS_PROTOCOL if tls else None)
    assert_all_delivered(sink, report, queue)
    # A figure for the record, not an assertion.
    print(f"\n20 MB message {'inside TLS' if tls else 'in the clear'}: {len(body) / elapsed / 1e6:.1f} MB/s "
          f"end to end ({elapsed:.2f} s)")


def test_verbose_inside_tls(sink, certs):
    queue = [("sender@example.net", ["rcpt@example.org"], message(1, b"hello\r\n"))]
    (code, out, err), report, _ = tls_pickup(sink, certs, queue, ["-v", "-f", certs.fingerprints["good"]])
    assert (code, err) == (0, "")
    port = out.split("[      127.0.0.1:")[1].split("]")[0]
    lines = out.splitlines()
    up = lines.index(f"TLS is up: {TLS_SESSION}; certificate of /CN=good.quiln.test accepted "
                     "by its SHA-256 fingerprint (-f)")
    # The trace inside TLS looks as it does in the clear.
    assert lines[up - 2:up] == [f"[      127.0.0.1:{port}] < STARTTLS",
                                f"[      127.0.0.1:{port}] > 220 2.0.0 ready to start TLS"]
    assert lines[up + 1:up + 5] == [f"[      127.0.0.1:{port}] < EHLO quiln.invalid",
                                    f"[      127.0.0.1:{port}] > 250-odmr.example.net hello quiln.invalid",
                                    f"[      127.0.0.1:{port}] > 250-AUTH CRAM-MD5 LOGIN",
                                    f"[      127.0.0.1:{port}] > 250 ATRN"]
    assert_all_delivered(sink, report, queue)


# Command lines refused before any connection (the ATRN port is closed, so a
# connection attempt would end with exit code 4 instead).
def refused_command_lines(certs, tmp_path):
    no_certificate = tmp_path / "empty.pem"
    no_certificate.write_text("no certificate here\n")
    fifo = tmp_path / "ca.fifo"  # reading it would wait for a writer for ever
    os.mkfifo(fifo)
    fp = certs.fingerprints["good"]
    fp_msg = "You must specify a SHA-256 fingerprint (64 hex digits) after -f\n"
    need_e = "-c and -f need -e or -E: without TLS no certificate is checked\n"
    return {
        "c_without_e": (["-c", certs.ca_file], need_e),
        "f_without_e": (["-f", fp], need_e),
        "e_and_E": (["-e", "-E"], "-e and -E cannot be used together\n"),
        "E_and_e_with_a_pin": (["-E", "-f", fp, "-e"], "-e and -E cannot be used together\n"),
        "c_and_f": (["-e", "-c", certs.ca_file, "-f", fp], "Give -c or -f, not both: trust a CA or pin one "
                                                           "certificate\n"),
        "c_missing_file": (["-e", "-c", "/nonexistent/ca.pem"],
                           "Cannot read the CA certificates in /nonexistent/ca.pem: No such file or directory\n"),
        "c_fifo": (["-e", "-c", fifo], f"Cannot read the CA certificates in {fifo}: not a regular file\n"),
        "c_directory": (["-e", "-c", tmp_path], f"Cannot read the CA certificates in {tmp_path}: not a regular file\n"),
        "c_no_certificate": (["-e", "-c", no_certificate],
                             f"Cannot load the CA certificates in {no_certificate}: no certificate or crl found\n"),
        "c_without_value": (["-e", "-c"], "You must specify a file of CA certificates after -c\n"),
        "f_63_digits": (["-e", "-f", fp[:63]], fp_msg),
        "f_65_digits": (["-e", "-f", fp + "0"], fp_msg),
        "f_not_hex": (["-e", "-f", "g" + fp[1:]], fp_msg),
        "f_empty": (["-e", "-f", ""], fp_msg),
        "f_without_value": (["-e", "-f"], fp_msg),
        "k_without_value": (["-k"], "You must specify the file that holds the secret after -k\n"),
        "k_before_an_option": (["-k", "-v"], "You must specify the file that holds the secret after -k\n"),
    }


@pytest.mark.parametrize("case", ["c_without_e", "f_without_e", "e_and_E", "E_and_e_with_a_pin", "c_and_f",
                                  "c_missing_file", "c_fifo", "c_directory", "c_no_certificate",
                                  "c_without_value", "f_63_digits", "f_65_digits", "f_not_hex", "f_empty",
                                  "f_without_value", "k_without_value", "k_before_an_option"])
def test_refused_command_lines(certs, tmp_path, case):
    options, message_text = refused_command_lines(certs, tmp_path)[case]
    code, out, err = run(["-a", closed_port(), "127.0.0.1", USER, SECRET, *options], timeout=10)
    assert (code, out, err) == (1, "", message_text)


# -k: the file's content (or what makes it) and mode, where -k stands, and
# what quiln says.
NOT_A_REGULAR_FILE = (1, "Cannot read the secret from {path}: not a regular file\n")
SECRET_FILE_CASES = {
    "lf": (SECRET + "\n", 0o600, "before", None),
    "crlf_and_more_lines": (SECRET + "\r\nanother line\r\n", 0o400, "before", None),
    "no_line_end": (SECRET, 0o600, "before", None),
    "after_the_positionals": (SECRET + "\n", 0o600, "after", None),
    "readable_by_group": (SECRET + "\n", 0o640, "before",
                          (1, "The secret file {path} is " + SECRET_FILE_OPEN_ADVICE + "\n")),
    "readable_by_others": (SECRET + "\n", 0o604, "before",
                           (1, "The secret file {path} is " + SECRET_FILE_OPEN_ADVICE + "\n")),
    "writable_by_others": (SECRET + "\n", 0o602, "before",
                           (1, "The secret file {path} is " + SECRET_FILE_OPEN_ADVICE + "\n")),
    "empty_first_line": ("\n" + SECRET + "\n", 0o600, "before",
                         (1, "The first line of the secret file {path} is empty\n")),
    "missing": (None, 0o600, "before", (1, "Cannot read the secret from {path}: No such file or directory\n")),
    # Opening a FIFO without a writer must not wait for one.
    "fifo": (os.mkfifo, 0o600, "before", NOT_A_REGULAR_FILE),
    "directory": (os.mkdir, 0o700, "before", NOT_A_REGULAR_FILE),
    # As long a password on the command line ends the same way.
    "too_long_for_login": ("x" * 130 + "\n", 0o600, "before", (6, "Internal error: bufe too small !\n")),
    "too_long_for_the_buffer": ("x" * 200000 + "\n", 0o600, "before",
                                (6, "Internal error: the secret in {path} is too long (max 131071 bytes)\n")),
}


@pytest.mark.parametrize("case", SECRET_FILE_CASES)
def test_secret_from_a_file(sink, tmp_path, case):
    content, mode, where, refusal = SECRET_FILE_CASES[case]
    path = tmp_path / "secret"
    if callable(content):
        content(path)
    elif content is not None:
        path.write_text(content)
    if content is not None:
        path.chmod(mode)
    queue = [("sender@example.net", ["rcpt@example.org"], message(1, b"hello\r\n"))]
    mechanisms = ("LOGIN",) if case == "too_long_for_login" else ("CRAM-MD5", "LOGIN")
    provider = Provider(USER, SECRET, ["example.org", "example.com"], queue, mechanisms=mechanisms,
                        timeout=5).start()
    positionals = ["127.0.0.1", USER, "example.org", "example.com"]
    # An absolute path as a separate argument is the file's name, not an option.
    options = ["-a", provider.port, "-p", sink.port, "-k", str(path)]
    code, out, err = run(options + positionals if where == "before" else positionals + options, timeout=10)
    report = provider.join()
    if refusal is None:
        assert (code, out, err) == (0, "", "")
        assert report["authenticated"] and report["atrn"] == "example.org,example.com"
        assert_all_delivered(sink, report, queue)
    else:
        assert (code, out, err) == (refusal[0], "", refusal[1].format(path=path))
        assert sink.envelopes == []


def tls_allocations(sink, certs, tmp_path, count):
    queue = [("a@example.net", ["b@example.org"], message(i, b"hello\r\n" * 100)) for i in range(count)]
    provider = Provider(USER, SECRET, ["example.org"], queue, tls_context=certs.server_context("good")).start()
    report, peak = tmp_path / f"alloc.{count}", tmp_path / f"peak.{count}"
    env = dict(os.environ, LD_PRELOAD=ALLOC_COUNTER, ALLOC_REPORT=str(report), ALLOC_PEAK_REPORT=str(peak))
    proc = subprocess.run([QUILN, "-e", "-c", str(certs.ca_file), "-a", str(provider.port), "-p", str(sink.port),
                           "127.0.0.1", USER, SECRET], env=env, capture_output=True, timeout=120)
    assert provider.join()["error"] is None
    assert proc.returncode == 0, proc.stderr
    counts = {}
    for line in report.read_text().splitlines():
        name, calls, size = line.rsplit(" ", 2)
        counts[os.path.basename(name)] = (int(calls), int(size))
    return counts, int(peak.read_text())


@pytest.mark.skipif(not ALLOC_COUNTER, reason="the allocation counter is not built with the sanitizers")
def test_tls_memory_does_not_grow_with_the_messages(sink, certs, tmp_path):
    few, few_peak = tls_allocations(sink, certs, tmp_path, 10)
    many, many_peak = tls_allocations(sink, certs, tmp_path, 1000)
    print(f"\nheap held at most: {few_peak} bytes for 10 messages, {many_peak} for 1,000"
          f"\nallocations (calls, bytes) for 10 messages: {few}\nfor 1,000 messages: {many}")
    # The program itself allocates nothing, inside TLS as in the clear.
    assert "quiln" not in many and "quiln_short_timeouts" not in many
    # The library allocates and frees per record, but what it holds at once
    # is set by the handshake: the same for 1,000 messages as for 10.
    assert many_peak == few_peak
