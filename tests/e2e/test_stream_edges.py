"""The edges of the relayed stream: bytes that come with the 250 to ATRN, a
reset right behind a reply, a half-closed side, and standard streams the
program was started without. Nothing may be lost on the way, and nothing of
the program's own output may reach a server."""

import os
import signal
import subprocess
import threading
import time

import pytest

from peers import (QUILN_SHORT, SMTP_GREET_AND_QUIT, STEP_TIMEOUT, ScriptedPeer, command, console_text,
                   cram_md5_accepted, opening)

ARGS = ["127.0.0.1", "tim", "tanstaaftanstaaf"]
COMMANDS = ["EHLO quiln.invalid", "AUTH CRAM-MD5", "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw", "ATRN"]


def provider_until_atrn(*after):
    return ScriptedPeer(opening() + cram_md5_accepted() + [("line",), *after])


def start(provider, smtp, *options, **popen):
    argv = command(QUILN_SHORT, [*options, "-a", provider.port, "-p", smtp.port, *ARGS])
    return subprocess.Popen(argv, stdout=popen.pop("stdout", subprocess.PIPE), stderr=subprocess.PIPE, **popen)


def finish(proc, *peers):
    out, err = proc.communicate(timeout=30)
    for peer in peers:
        peer.join()
        assert peer.error is None, peer.error
    return proc.returncode, console_text(out or b""), console_text(err)


def test_commands_behind_the_250_reach_the_local_server():
    noops = "NOOP\r\n" * 700  # with the 250, more than the reply buffer holds
    for first, replies in (("EHLO site\r\n", ["250 local"]), (noops, ["250 ok"] * 700)):
        provider = provider_until_atrn(("send", "250 reversing\r\n" + first),
                                       *[("line",)] * (1 + len(replies)), ("close",))
        smtp = ScriptedPeer([("send", "220 local\r\n"), *[("line",)] * len(replies),
                             ("send", "".join(r + "\r\n" for r in replies)), ("eof",)])
        code, out, err = finish(start(provider, smtp), provider, smtp)
        assert (code, err) == (0, "")
        assert smtp.lines == first.split("\r\n")[:-1]
        assert provider.lines[4:] == ["220 local", *replies]


def test_reply_just_before_a_reset_still_reaches_the_provider():
    greeted, stopped = threading.Event(), threading.Event()
    provider = provider_until_atrn(("send", "250 reversing\r\n"), ("line",), ("set", greeted), ("line",), ("eof",))
    smtp = ScriptedPeer([("send", "220 local\r\n"), ("wait", stopped), ("send", "250 queued\r\n"), ("reset",)])
    proc = start(provider, smtp)
    assert greeted.wait(STEP_TIMEOUT)
    # Stopped, the program finds the reply and the reset waiting together.
    stop_while(proc, stopped, smtp)
    code, out, err = finish(proc, provider, smtp)
    assert provider.lines[4:] == ["220 local", "250 queued"]
    assert code == 5
    assert err.startswith("Error passing data: ") and err.endswith("Connection reset by peer\n")


def test_provider_half_close_still_gets_the_replies():
    # RFC 2920 pipelining of the end of a message and QUIT, then a half-close:
    # the replies must still reach the provider, or it delivers the message again.
    provider = provider_until_atrn(("send", "250 reversing\r\n"), ("line",), ("send", ".\r\nQUIT\r\n"), ("shut",),
                                   ("line",), ("line",), ("eof",))
    smtp = ScriptedPeer([("send", "220 local\r\n"), ("line",), ("line",), ("sleep", 0.3),
                         ("send", "250 queued\r\n221 bye\r\n"), ("close",)])
    code, out, err = finish(start(provider, smtp), provider, smtp)
    assert (code, err) == (0, "")
    assert smtp.lines == [".", "QUIT"]
    assert provider.lines[4:] == ["220 local", "250 queued", "221 bye"]


@pytest.mark.parametrize("closed, reply, options, expected",
                         [(1, "453 none\r\n", ["-v"], 0), (2, "450 denied\r\n", [], 5)])
def test_closed_standard_streams_never_become_a_server_connection(closed, reply, options, expected):
    if closed == 2 and os.environ.get("QUILN_MEMCHECK"):
        pytest.skip("valgrind itself cannot start without standard error")
    ending = [("line",), ("send", "221 bye\r\n"), ("eof",)] if expected == 0 else [("eof",)]
    provider = provider_until_atrn(("send", reply), *ending)
    smtp = ScriptedPeer(SMTP_GREET_AND_QUIT if expected == 0 else [("send", "220 local\r\n"), ("eof",)])
    proc = start(provider, smtp, *options, stdout=subprocess.DEVNULL if closed == 2 else None,
                 preexec_fn=lambda fd=closed: os.close(fd))
    code, _, _ = finish(proc, provider, smtp)
    assert code == expected
    assert provider.lines == COMMANDS + (["QUIT"] if expected == 0 else [])
    assert provider.leftover == b""


def stop_while(proc, go_on, peer):
    """Stops the program, tells the peer to go on, waits for the peer to
    finish, and lets the program go on: it finds all the peer did waiting."""
    proc.send_signal(signal.SIGSTOP)
    try:
        for _ in range(100):
            with open(f"/proc/{proc.pid}/stat") as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "T":
                    break
            time.sleep(0.01)
        go_on.set()
        peer.join()
    finally:
        proc.send_signal(signal.SIGCONT)


def test_every_reply_before_a_reset_reaches_the_provider():
    # Pipelined MAIL, 4,500 RCPT and BDAT (RFC 2920, 3030), answered in one
    # write of 63 KB, four times what the relay holds, before a reset: the
    # provider must see its message queued, or it delivers it again.
    batch = ("MAIL FROM:<a@example.net>\r\n" + "".join(f"RCPT TO:<u{i:04d}@example.org>\r\n" for i in range(4500)) +
             "BDAT 7 LAST\r\nhello\r\n")
    replies = "250 2.1.0 Ok\r\n" + "250 2.1.5 Ok\r\n" * 4500 + "250 2.0.0 Ok: queued as 4F1A\r\n"
    received, stopped = threading.Event(), threading.Event()
    provider = provider_until_atrn(("send", "250 reversing\r\n"), ("line",), ("send", "EHLO p\r\n"), ("line",),
                                   ("send", batch), ("collect", len(replies)), ("eof",))
    smtp = ScriptedPeer([("send", "220 local\r\n"), ("line",), ("send", "250 local\r\n"), ("collect", len(batch)),
                         ("set", received), ("wait", stopped), ("send", replies), ("reset",)])
    proc = start(provider, smtp)
    assert received.wait(STEP_TIMEOUT)
    stop_while(proc, stopped, smtp)
    code, out, err = finish(proc, provider, smtp)
    assert provider.leftover == replies.encode()
    assert code == 5
    assert err.startswith("Error passing data: ") and err.endswith("Connection reset by peer\n")
