"""Fault injection: at each step where the program waits for a reply, the
server closes, resets, stalls, floods or drips. Every case must end with its
own message and exit code, within the (shortened) time-outs, and leave no
connection open behind it."""

import pytest

from peers import (EHLO_REPLY, GREETING, QUILN_SHORT, RFC2195_CHALLENGE, SMTP_GREET_AND_QUIT, ScriptedPeer,
                   closed_port, opening, cram_md5_accepted, run)

# Where the server stands when the fault happens, and how the program words a
# failure to read the reply there.
STEPS = {
    "greeting": ([], "Error waiting banner from ATRN server: "),
    "ehlo": ([("send", GREETING), ("line",)], "Error in response to EHLO from ATRN server: "),
    "auth": (opening() + [("line",)], "Error in response to AUTH from ATRN server: "),
    "digest": (opening() + [("line",), ("send", f"334 {RFC2195_CHALLENGE}\r\n"), ("line",)],
               "Error in response to digest from ATRN server: "),
    "atrn": (opening() + cram_md5_accepted() + [("line",)], "Error in response to ATRN from ATRN server: "),
    "quit": (opening() + cram_md5_accepted() + [("line",), ("send", "453 none\r\n"), ("line",)],
             "Error in response to QUIT from ATRN server: "),
}

TIMEOUT = "Timeout error while waiting data from 127.0.0.1"
OVERFLOW = "Receive buffer overflow while reading data from 127.0.0.1"

FAULTS = {
    "close": ([("close",)], "recv() connection closed by 127.0.0.1"),
    "reset": ([("sleep", 0.1), ("reset",)],
              "recv() error while waiting data from 127.0.0.1: Connection reset by peer"),
    # The peer waits for the program to give up and close.
    "stall": ([("eof",)], TIMEOUT),
    "garbage": ([("send", "this is not a reply\r\n\x00\xff\xfe junk\r\n"), ("eof",)], TIMEOUT),
    "digits_only": ([("send", "250\r\n"), ("eof",)], TIMEOUT),
    "over_long_line": ([("send", "2" * 3000), ("eof",)], OVERFLOW),
    "reply_of_2048_bytes": ([("send", "250 " + "x" * 2042 + "\r\n"), ("eof",)], OVERFLOW),
    "ten_thousand_lines": ([("send", "250-line\r\n" * 10000), ("eof",)], OVERFLOW),
}


@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("step", STEPS)
def test_fault(step, fault):
    before, message = STEPS[step]
    steps, reason = FAULTS[fault]
    provider = ScriptedPeer(before + steps)
    # The local SMTP server is connected to only once authenticated.
    smtp = ScriptedPeer([("send", "220 local\r\n"), ("eof",)], accept=step in ("atrn", "quit"))
    code, out, err = run(["-a", provider.port, "-p", smtp.port, "127.0.0.1", "tim", "tanstaaftanstaaf"],
                         binary=QUILN_SHORT, timeout=30)
    provider.join()
    assert (code, out, err) == (5, "", message + reason + "\n")
    if steps[-1] == ("eof",):
        assert provider.events == ["eof"]  # the program closed its end
    if step in ("atrn", "quit"):
        smtp.join()
        assert smtp.events == ["eof"]


GOOD_REPLIES = {
    "greeting": GREETING, "ehlo": EHLO_REPLY, "auth": f"334 {RFC2195_CHALLENGE}\r\n", "digest": "235 ok\r\n",
}


@pytest.mark.parametrize("step", GOOD_REPLIES)
@pytest.mark.parametrize("how", ["drip", "binary_text"])
def test_awkward_but_valid_replies(step, how):
    """Dripped one byte at a time, or with NUL and 8-bit bytes in the text of
    a line, each reply still counts; the run gets as far as ATRN."""
    script = []
    for name, reply in GOOD_REPLIES.items():
        if name != "greeting":
            script.append(("line",))
        if name == step and how == "drip":
            script.append(("pieces", reply, 1, 0.001))
        elif name == step and name in ("greeting", "digest"):
            script.append(("send", reply[:4] + "\x00\xff\x80 text" + reply[4:]))
        elif name == step and name == "ehlo":
            script.append(("send", "250-odmr \xff\xfe\r\n" + reply[reply.index("\n") + 1:]))
        else:
            script.append(("send", reply))
    provider = ScriptedPeer(script + [("line",), ("send", "453 none\r\n"), ("line",), ("send", "221 bye\r\n"),
                                      ("eof",)])
    smtp = ScriptedPeer(SMTP_GREET_AND_QUIT)
    code, out, err = run(["-a", provider.port, "-p", smtp.port, "127.0.0.1", "tim", "tanstaaftanstaaf"],
                         binary=QUILN_SHORT, timeout=30)
    provider.join()
    smtp.join()
    if step == "auth" and how == "binary_text":
        return  # a challenge with other bytes is another challenge: covered with the authentication tests
    assert (code, err) == (0, "")
    assert provider.lines[-2:] == ["ATRN", "QUIT"]


def test_nul_in_the_ehlo_reply_hides_what_follows():
    # The capability scan reads the reply as a text: it ends at a NUL byte.
    provider = ScriptedPeer([("send", GREETING), ("line",), ("send", "250-odmr\r\n250-x\x00y\r\n250 ATRN\r\n"),
                             ("eof",)])
    code, out, err = run(["-a", provider.port, "-p", closed_port(), "127.0.0.1", "tim", "secret"])
    provider.join()
    assert (code, err) == (5, "ATRN server does not support ATRN !\n")


@pytest.mark.parametrize("side, fault", [
    ("provider", "close"), ("provider", "reset"), ("smtp", "close"), ("smtp", "reset"), ("both", "stall"),
])
def test_faults_during_the_relay(side, fault):
    provider_steps = opening() + cram_md5_accepted() + [("line",), ("send", "250 reversing\r\n"), ("line",)]
    smtp_steps = [("send", "220 local\r\n")]
    action = {"close": [("close",)], "reset": [("sleep", 0.1), ("reset",)], "stall": [("eof",)]}
    provider_steps += action[fault] if side in ("provider", "both") else [("eof",)]
    smtp_steps += action[fault] if side in ("smtp", "both") else [("eof",)]
    provider = ScriptedPeer(provider_steps)
    smtp = ScriptedPeer(smtp_steps)
    code, out, err = run(["-a", provider.port, "-p", smtp.port, "127.0.0.1", "tim", "tanstaaftanstaaf"],
                         binary=QUILN_SHORT, timeout=30)
    provider.join()
    smtp.join()
    if fault == "close" and side == "provider":
        assert (code, err) == (0, "")
    elif fault == "close":  # the local server abandoned the session
        assert (code, err) == (5, "Error passing data: connection closed by 127.0.0.1 before the provider's QUIT\n")
    elif fault == "reset":
        assert code == 5 and err.startswith("Error passing data: ") and err.endswith("Connection reset by peer\n")
    else:
        assert (code, err) == (5, "Error passing data: Timeout error passig data\n")
    # Whatever happened, the program closed both connections before it ended.
    for peer, events in ((provider, provider.events), (smtp, smtp.events)):
        assert events and events[-1] in ("eof", "closed", "reset")


@pytest.mark.slow
def test_relay_idle_time_out_is_60_seconds():
    provider_steps = opening() + cram_md5_accepted() + [("line",), ("send", "250 reversing\r\n"), ("line",),
                                                        ("sleep", 62), ("eof",)]
    provider = ScriptedPeer(provider_steps)
    smtp = ScriptedPeer([("send", "220 local\r\n"), ("sleep", 62), ("eof",)])
    code, out, err = run(["-a", provider.port, "-p", smtp.port, "127.0.0.1", "tim", "tanstaaftanstaaf"],
                         timeout=120)
    provider.join(90)
    smtp.join(90)
    assert (code, err) == (5, "Error passing data: Timeout error passig data\n")
