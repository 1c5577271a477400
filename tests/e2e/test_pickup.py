"""ATRN and what follows it: the reply, the no-mail path, and the relay."""

import pytest

from peers import (QUILN_SHORT, RFC2195_RESPONSE, SMTP_GREET_AND_QUIT, ScriptedPeer, closed_port,
                   cram_md5_accepted, opening, run)

AUTHENTICATED = opening() + cram_md5_accepted()
SECRET = ["tim", "tanstaaftanstaaf"]


def pickup(provider_steps, smtp_steps, *options, domains=(), binary=None):
    provider = ScriptedPeer(AUTHENTICATED + provider_steps)
    smtp = ScriptedPeer(smtp_steps)
    result = run([*options, "-a", provider.port, "-p", smtp.port, "127.0.0.1", *SECRET, *domains], binary=binary)
    provider.join()
    smtp.join()
    return result, provider, smtp


NO_MAIL = [("line",), ("send", "453 no mail\r\n"), ("line",), ("send", "221 bye\r\n"), ("eof",)]


def test_no_mail_quits_both_silently():
    (code, out, err), provider, smtp = pickup(NO_MAIL, SMTP_GREET_AND_QUIT)
    assert (code, out, err) == (0, "", "")
    assert provider.lines[-2:] == ["ATRN", "QUIT"]
    assert smtp.lines == ["QUIT"]


def test_no_mail_in_verbose_mode():
    (code, out, err), provider, smtp = pickup(NO_MAIL, SMTP_GREET_AND_QUIT, "-v")
    assert (code, err) == (0, "")
    assert ("Connection has been reversed\n"
            "Your provider returned 453 to ATRN: there is no mail in queue for you\n") in out


@pytest.mark.parametrize("domains, command", [
    ([], "ATRN"),
    (["example.org"], "ATRN example.org"),
    (["dom1", "dom2"], "ATRN dom1,dom2"),
    (["a.example", "b.example", "c.example"], "ATRN a.example,b.example,c.example"),
])
def test_atrn_command(domains, command):
    (code, out, err), provider, smtp = pickup(NO_MAIL, SMTP_GREET_AND_QUIT, domains=domains)
    assert provider.lines[-2] == command
    assert code == 0


@pytest.mark.parametrize("lengths", [[165], [80, 84]], ids=["one", "two"])
def test_longest_atrn_command_fits_and_one_more_character_does_not(lengths):
    # "ATRN", the separators and the domains: 170 characters, 172 with CR LF.
    domains = [chr(ord("a") + i) * n for i, n in enumerate(lengths)]
    (code, out, err), provider, smtp = pickup(NO_MAIL, SMTP_GREET_AND_QUIT, "-h", "x", domains=domains)
    assert len(provider.lines[-2]) + 2 == 172
    assert code == 0
    domains[-1] += "z"
    (code, out, err), provider, smtp = pickup([("eof",)], [("eof",)], "-h", "x", domains=domains)
    assert (code, out, err) == (6, "", "Internal error: too many domains\n")
    assert provider.lines[-1] == RFC2195_RESPONSE  # nothing after authentication, no QUIT
    assert smtp.lines == [] and smtp.events == ["eof"]


@pytest.mark.parametrize("status, message", [
    (450, "Invalid response to ATRN command from ATRN server. Status = 450\n"
          " you do not have access to one of the domains you specified\n"),
    (451, "Invalid response to ATRN command from ATRN server. Status = 451\n"),
    (550, "Invalid response to ATRN command from ATRN server. Status = 550\n"),
    (252, "Invalid response to ATRN command from ATRN server. Status = 252\n"),
])
def test_refused_atrn(status, message):
    (code, out, err), provider, smtp = pickup([("line",), ("send", f"{status} no\r\n"), ("eof",)],
                                              [("send", "220 local\r\n"), ("eof",)])
    assert (code, out, err) == (5, "", message)
    assert provider.lines[-1] == "ATRN"  # no QUIT
    assert smtp.lines == []


def test_no_local_smtp_server():
    provider = ScriptedPeer(AUTHENTICATED + [("eof",)])
    port = closed_port()
    code, out, err = run(["-a", provider.port, "-p", port, "127.0.0.1", *SECRET])
    provider.join()
    assert (code, out, err) == (4, "", f"Cannot connect to server 127.0.0.1:{port}. Connection refused")
    assert provider.lines[-1] == RFC2195_RESPONSE and provider.events == ["eof"]


def test_atrn_reply_time_out():
    (code, out, err), provider, smtp = pickup([("line",), ("eof",)], [("eof",)], binary=QUILN_SHORT)
    assert (code, out, err) == (5, "", "Error in response to ATRN from ATRN server: Timeout error while waiting "
                                       "data from 127.0.0.1\n")


def test_late_atrn_reply_is_still_accepted():
    # The test build waits 2 s for the reply to ATRN.
    (code, out, err), provider, smtp = pickup([("line",), ("sleep", 1.5)] + NO_MAIL[1:], SMTP_GREET_AND_QUIT,
                                              binary=QUILN_SHORT)
    assert (code, err) == (0, "")


@pytest.mark.parametrize("provider_steps, smtp_steps, message", [
    ([("line",), ("send", "453 none\r\n"), ("line",), ("close",)], [("eof",)],
     "Error in response to QUIT from ATRN server: recv() connection closed by 127.0.0.1\n"),
    (NO_MAIL, [("close",)], "Error waiting banner from SMTP server: recv() connection closed by 127.0.0.1\n"),
    (NO_MAIL, [("send", "220 local\r\n"), ("line",), ("close",)],
     "Error in response to QUIT from SMTP server: recv() connection closed by 127.0.0.1\n"),
], ids=["provider_quit", "smtp_banner", "smtp_quit"])
def test_no_mail_path_failures(provider_steps, smtp_steps, message):
    (code, out, err), provider, smtp = pickup(provider_steps, smtp_steps)
    assert (code, out, err) == (5, "", message)


def test_no_mail_path_smtp_banner_time_out():
    (code, out, err), provider, smtp = pickup(NO_MAIL, [("eof",)], binary=QUILN_SHORT)
    assert (code, err) == (5, "Error waiting banner from SMTP server: Timeout error while waiting data from "
                              "127.0.0.1\n")


def test_local_greeting_is_the_first_thing_the_provider_receives():
    provider_steps = [("line",), ("send", "250 reversing\r\n"), ("line",), ("send", "EHLO odmr.example.net\r\n"),
                      ("line",), ("send", "QUIT\r\n"), ("line",), ("close",)]
    smtp_steps = [("send", "220 local ESMTP\r\n"), ("line",), ("send", "250 local hello\r\n"), ("line",),
                  ("send", "221 bye\r\n"), ("eof",)]
    (code, out, err), provider, smtp = pickup(provider_steps, smtp_steps)
    assert (code, out, err) == (0, "", "")
    assert provider.lines[-3:] == ["220 local ESMTP", "250 local hello", "221 bye"]
    assert smtp.lines == ["EHLO odmr.example.net", "QUIT"]


def test_verbose_relay_prints_the_reversal_and_the_count():
    provider_steps = [("line",), ("send", "250 reversing\r\n"), ("line",), ("close",)]
    (code, out, err), provider, smtp = pickup(provider_steps, [("send", "220 local\r\n"), ("eof",)], "-v")
    assert (code, err) == (0, "")
    assert out.endswith("Connection has been reversed\n"
                        "Messages relayed: 0 (0 bytes), 0 accepted and 0 refused by the SMTP server\n")


def test_provider_pipelining_its_last_command_and_closing():
    # The relay ends on the provider's close; what it sent before is not lost.
    provider_steps = [("line",), ("send", "250 reversing\r\n"), ("line",),
                      ("send", "RSET\r\nQUIT\r\n"), ("close",)]
    smtp_steps = [("send", "220 local\r\n"), ("line",), ("line",), ("eof",)]
    (code, out, err), provider, smtp = pickup(provider_steps, smtp_steps)
    assert (code, err) == (0, "")
    assert smtp.lines == ["RSET", "QUIT"]


def test_smtp_server_closing_after_its_last_reply():
    provider_steps = [("line",), ("send", "250 reversing\r\n"), ("line",), ("send", "QUIT\r\n"), ("line",),
                      ("eof",)]
    smtp_steps = [("send", "220 local\r\n"), ("line",), ("send", "221 2.0.0 bye\r\n"), ("close",)]
    (code, out, err), provider, smtp = pickup(provider_steps, smtp_steps)
    assert (code, err) == (0, "")
    assert provider.lines[-1] == "221 2.0.0 bye"


@pytest.mark.parametrize("who", ["provider", "smtp"])
def test_reset_during_the_relay(who):
    provider_steps = [("line",), ("send", "250 reversing\r\n"), ("line",)]
    smtp_steps = [("send", "220 local\r\n"), ("sleep", 0.3)]
    if who == "provider":
        provider_steps += [("reset",)]
        smtp_steps += [("eof",)]
    else:
        provider_steps += [("eof",)]
        smtp_steps += [("reset",)]
    (code, out, err), provider, smtp = pickup(provider_steps, smtp_steps)
    assert code == 5
    assert err.startswith("Error passing data: ") and err.endswith(": Connection reset by peer\n"), err


def test_relay_idle_time_out():
    provider_steps = [("line",), ("send", "250 reversing\r\n"), ("line",), ("eof",)]
    smtp_steps = [("send", "220 local\r\n"), ("eof",)]
    (code, out, err), provider, smtp = pickup(provider_steps, smtp_steps, binary=QUILN_SHORT)
    assert (code, out, err) == (5, "", "Error passing data: Timeout error passig data\n")
