"""Start-up, greeting, EHLO and the capability check, against scripted servers."""

import os
import select
import subprocess
import time

import pytest

from peers import (AUTH_LISTING, EHLO_REPLY, GREETING, QUILN, QUILN_SHORT, RFC2195_RESPONSE, ScriptedPeer, closed_port, command,
                   cram_md5_accepted, opening, run)

ARGS = ["user", "secret"]


def dialogue(peer, *extra, binary=None, smtp_port=None):
    args = ["-a", peer.port, "-p", smtp_port or closed_port(), *extra, "127.0.0.1", *ARGS]
    result = run(args, binary=binary)
    peer.join()
    return result


@pytest.mark.parametrize("steps, message", [
    ([("send", "554 go away\r\n"), ("eof",)], "Invalid response from ATRN server. Status = 554\n"),
    ([("send", "220-first\r\n220-second\r\n421 busy\r\n"), ("eof",)],
     "Invalid response from ATRN server. Status = 421\n"),
    ([("close",)], "Error waiting banner from ATRN server: recv() connection closed by 127.0.0.1\n"),
    ([("send", "220 almost"), ("close",)],
     "Error waiting banner from ATRN server: recv() connection closed by 127.0.0.1\n"),
    ([("sleep", 0.2), ("reset",)], "Error waiting banner from ATRN server: recv() error while waiting data from 127.0.0.1: "
                   "Connection reset by peer\n"),
    ([("send", "220 x\r\n"), ("line",), ("send", "502 no EHLO here\r\n"), ("eof",)],
     "Invalid response to EHLO from ATRN server. Status = 502\n"),
    ([("send", "220 x\r\n"), ("line",), ("close",)],
     "Error in response to EHLO from ATRN server: recv() connection closed by 127.0.0.1\n"),
    ([("send", "220 x\r\n"), ("line",), ("send", "250-x\r\n250 AUTH CRAM-MD5\r\n"), ("eof",)],
     "ATRN server does not support ATRN !\n"),
    ([("send", "220 x\r\n"), ("line",), ("send", "250-x\r\n" + "250-" + "y" * 2100 + "\r\n"), ("eof",)],
     "Error in response to EHLO from ATRN server: Receive buffer overflow while reading data from 127.0.0.1\n"),
], ids=["554", "421_after_continuations", "closed", "closed_mid_line", "reset", "ehlo_502", "ehlo_closed",
        "no_atrn", "ehlo_overflow"])
def test_failures_end_with_code_5_and_send_nothing_more(steps, message):
    peer = ScriptedPeer(steps)
    code, out, err = dialogue(peer)
    assert (code, out, err) == (5, "", message)
    assert peer.error is None
    assert peer.lines in ([], ["EHLO quiln.invalid"])


def test_greeting_and_ehlo_in_pieces_then_auth():
    peer = ScriptedPeer([("pieces", GREETING, 1, 0.002), ("line",), ("pieces", EHLO_REPLY, 3, 0.002),
                         ("line",), ("close",)])
    code, out, err = dialogue(peer)
    assert peer.lines == ["EHLO quiln.invalid", "AUTH CRAM-MD5"]
    assert code == 5


@pytest.mark.parametrize("options, domains, ehlo", [
    ([], [], "EHLO quiln.invalid"),
    ([], ["dom1.example", "dom2.example"], "EHLO dom1.example"),
    (["-h", "mx.example.org"], ["dom1.example"], "EHLO mx.example.org"),
    (["-h", "d" * 120], [], "EHLO " + "d" * 120),
], ids=["default", "first_domain", "option", "longest"])
def test_ehlo_domain(options, domains, ehlo):
    peer = ScriptedPeer(opening() + [("close",)])
    code, out, err = run(options + ["-a", peer.port, "127.0.0.1", *ARGS] + domains)
    peer.join()
    assert peer.lines[0] == ehlo


def test_ehlo_domain_too_long_is_refused_before_connecting():
    peer = ScriptedPeer([], accept=False)
    code, out, err = run(["-a", peer.port, "-h", "d" * 121, "127.0.0.1", *ARGS])
    assert (code, out, err) == (6, "", "Internal error: EHLO domain too long (max 120 characters)\n")


def test_iis_mode_goes_on_without_atrn():
    peer = ScriptedPeer([("send", GREETING), ("line",), ("send", "250-iis\r\n250 AUTH LOGIN\r\n"), ("line",),
                         ("close",)])
    code, out, err = dialogue(peer, "-m")
    assert peer.lines == ["EHLO quiln.invalid", "AUTH LOGIN"]


def test_nothing_listening():
    port = closed_port()
    code, out, err = run(["-a", port, "127.0.0.1", *ARGS])
    assert (code, out, err) == (4, "", f"Cannot connect to server 127.0.0.1:{port}. Connection refused")


@pytest.mark.parametrize("options, message", [
    (["-s", "127.0.0.1"], "Host no-such-host.invalid not found\n"),
    (["-s", "other.invalid"], "Host no-such-host.invalid not found\n"),
])
def test_unknown_atrn_server_is_reported_first(options, message):
    code, out, err = run(options + ["no-such-host.invalid", *ARGS])
    assert (code, out, err) == (3, "", message)


def test_unknown_smtp_host_ends_before_any_connection():
    peer = ScriptedPeer([], accept=False)
    code, out, err = run(["-a", peer.port, "-s", "no-such-host.invalid", "127.0.0.1", *ARGS])
    assert (code, out, err) == (3, "", "Host no-such-host.invalid not found\n")


def test_greeting_time_out():
    peer = ScriptedPeer([("eof",)])
    code, out, err = dialogue(peer, binary=QUILN_SHORT)
    assert (code, err) == (5, "Error waiting banner from ATRN server: Timeout error while waiting data "
                              "from 127.0.0.1\n")


@pytest.mark.slow
def test_greeting_time_out_is_20_seconds():
    peer = ScriptedPeer([("sleep", 21)])
    code, out, err = dialogue(peer)
    assert (code, err) == (5, "Error waiting banner from ATRN server: Timeout error while waiting data "
                              "from 127.0.0.1\n")


def test_verbose_lines_in_order():
    peer = ScriptedPeer(opening() + cram_md5_accepted() + [("eof",)])
    smtp_port = closed_port()
    code, out, err = run(["-v", "-a", peer.port, "-p", smtp_port, "-s", "localhost", "localhost", "tim",
                          "tanstaaftanstaaf"])
    peer.join()
    assert (code, err) == (4, f"Cannot connect to server 127.0.0.1:{smtp_port}. Connection refused")
    lines = out.splitlines()
    local = lines[lines.index("Connected to ATRN server 127.0.0.1 on port %d" % peer.port) + 1]
    port = int(local.split(":")[1].split("]")[0])
    head = "[      127.0.0.1:%-4d] " % peer.port
    assert lines == [
        "QUILN v1.2.2 - On-Demand Mail Relay (RFC 2645) pickup client",
        "Relays the mail your provider holds for you to your own SMTP server",
        "",
        "using winsock version 2.2",
        "Supported auth types:",
        *AUTH_LISTING,
        "ATRN server localhost has address 127.0.0.1",
        "SMTP server localhost has address 127.0.0.1",
        f"Connecting to ATRN server 127.0.0.1 on port {peer.port} ...",
        f"Connected to ATRN server 127.0.0.1 on port {peer.port}",
        head + "> 220 odmr.example.net ESMTP",
        head + "< EHLO quiln.invalid",
        head + "> 250-odmr.example.net",
        head + "> 250-AUTH CRAM-MD5 LOGIN",
        head + "> 250 ATRN",
        "AUTH CRAM-MD5 has been choosen",
        head + "< AUTH CRAM-MD5",
        head + "> 334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+",
        head + "< " + RFC2195_RESPONSE,
        head + "> 235 ok",
        f"Connecting to SMTP server 127.0.0.1 on port {smtp_port} ...",
    ]
    assert port == peer.port


def test_verbose_lines_show_while_the_run_goes_on():
    # The server sits on its EHLO reply for 6 s; the trace of the EHLO must
    # reach the pipe long before that, while the program still waits.
    peer = ScriptedPeer([("send", GREETING), ("line",), ("sleep", 6), ("close",)])
    proc = subprocess.Popen(command(QUILN, ["-v", "-a", peer.port, "127.0.0.1", *ARGS]),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    seen = b""
    try:
        deadline = time.monotonic() + 10
        while not peer.lines and time.monotonic() < deadline:
            time.sleep(0.01)
        deadline = time.monotonic() + 4
        while b"EHLO quiln.invalid" not in seen and time.monotonic() < deadline:
            ready, _, _ = select.select([proc.stdout], [], [], 0.1)
            if ready:
                seen += os.read(proc.stdout.fileno(), 65536)
        still_running = proc.poll() is None
    finally:
        proc.communicate(timeout=30)
        peer.join()
    assert peer.lines == ["EHLO quiln.invalid"]
    assert b"EHLO quiln.invalid" in seen and still_running, seen


def test_dotted_address_prints_no_lookup_line():
    peer = ScriptedPeer([("close",)])
    code, out, err = dialogue(peer, "-v")
    assert "has address" not in out
