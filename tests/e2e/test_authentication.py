"""The AUTH exchanges: method choice, CRAM-MD5, LOGIN and their failures.

A run that authenticates goes on to connect to the local SMTP server; these
tests give it a port where nothing listens, so exit code 4 with that error
marks a successful authentication.
"""

import base64
import hashlib
import hmac

import pytest

from peers import (GREETING, RFC2195_CHALLENGE, RFC2195_RESPONSE, ScriptedPeer, b64, closed_port,
                   cram_md5_accepted, opening, run)


def ehlo(mechanisms):
    auth = f"250-AUTH {mechanisms}\r\n" if mechanisms is not None else ""
    return "250-odmr.example.net\r\n" + auth + "250 ATRN\r\n"


def authenticate(steps, user="tim", secret="tanstaaftanstaaf", options=()):
    peer = ScriptedPeer(steps)
    smtp_port = closed_port()
    result = run([*options, "-a", peer.port, "-p", smtp_port, "127.0.0.1", user, secret])
    peer.join()
    assert peer.error is None, peer.error
    return result, peer, f"Cannot connect to server 127.0.0.1:{smtp_port}. Connection refused"


def login_accepted(prompt="Username:"):
    return [("line",), ("send", f"334 {b64(prompt)}\r\n"), ("line",), ("send", f"334 {b64('Password:')}\r\n"),
            ("line",), ("send", "235 ok\r\n")]


def test_cram_md5_sends_the_rfc2195_response():
    (code, out, err), peer, refused = authenticate(opening() + cram_md5_accepted() + [("eof",)])
    assert peer.lines == ["EHLO quiln.invalid", "AUTH CRAM-MD5", RFC2195_RESPONSE]
    assert (code, out, err) == (4, "", refused)


@pytest.mark.parametrize("mechanisms, options, chosen", [
    ("CRAM-MD5 LOGIN", [], "CRAM-MD5"),
    ("LOGIN CRAM-MD5", [], "CRAM-MD5"),
    ("PLAIN LOGIN", [], "LOGIN"),
    ("cram-md5 login", ["-t", "login"], "LOGIN"),
    ("CRAM-MD5 LOGIN", ["-t", "Cram-Md5"], "CRAM-MD5"),
])
def test_method_choice(mechanisms, options, chosen):
    exchange = cram_md5_accepted() if chosen == "CRAM-MD5" else login_accepted()
    (code, out, err), peer, refused = authenticate(opening(ehlo(mechanisms)) + exchange + [("eof",)],
                                                   options=options)
    assert peer.lines[1] == f"AUTH {chosen}"
    assert (code, err) == (4, refused)


def test_login_sends_user_and_password_in_base64():
    (code, out, err), peer, refused = authenticate(opening(ehlo("LOGIN")) + login_accepted() + [("eof",)],
                                                   user="site-user", secret="p@ss word")
    assert peer.lines[1:] == ["AUTH LOGIN", b64("site-user"), b64("p@ss word")]
    assert (code, err) == (4, refused)


def test_login_prompt_compared_without_case():
    (code, out, err), peer, refused = authenticate(opening(ehlo("LOGIN")) + login_accepted("username:") +
                                                   [("eof",)])
    assert (code, err) == (4, refused)


@pytest.mark.parametrize("mechanisms", [None, "", "PLAIN DIGEST-MD5", "LOGINX"])
def test_no_common_method_is_an_internal_error(mechanisms):
    (code, out, err), peer, _ = authenticate(opening(ehlo(mechanisms)) + [("eof",)])
    assert (code, out, err) == (1, "", "Internal error.\n")
    assert peer.lines == ["EHLO quiln.invalid"]


def test_old_auth_equals_form_is_not_understood():
    steps = opening("250-x\r\n250-AUTH=LOGIN\r\n250 ATRN\r\n") + [("eof",)]
    (code, out, err), peer, _ = authenticate(steps)
    assert (code, err) == (1, "Internal error.\n")


def test_forced_method_not_offered_names_it_as_typed():
    (code, out, err), peer, _ = authenticate(opening(ehlo("CRAM-MD5")) + [("eof",)], options=["-t", "login"])
    assert (code, out, err) == (5, "", "Auth login is not available on the ATRN server\n")
    assert peer.lines == ["EHLO quiln.invalid"]


@pytest.mark.parametrize("length, code", [(94, 4), (95, 6)])
def test_cram_md5_user_length_limit(length, code):
    user = "u" * length
    steps = opening() + [("line",), ("send", f"334 {RFC2195_CHALLENGE}\r\n")] + (
        [("line",), ("send", "235 ok\r\n"), ("eof",)] if code == 4 else [("eof",)])
    (got, out, err), peer, refused = authenticate(steps, user=user)
    assert got == code
    if code == 6:
        assert err == "Internal error: buf too small. Try a shorter username.\n"
        assert peer.lines == ["EHLO quiln.invalid", "AUTH CRAM-MD5"]
    else:
        challenge = base64.b64decode(RFC2195_CHALLENGE)
        digest = hmac.new(b"tanstaaftanstaaf", challenge, hashlib.md5).hexdigest()
        assert peer.lines[2] == b64(f"{user} {digest}")


@pytest.mark.parametrize("which", ["user", "secret"])
@pytest.mark.parametrize("length", [129, 130])
def test_login_value_length_limit(which, length):
    value = "v" * length
    user, secret = (value, "pw") if which == "user" else ("me", value)
    steps = opening(ehlo("LOGIN")) + (login_accepted() if length == 129 else
                                      login_accepted()[:2 if which == "user" else 4]) + [("eof",)]
    (code, out, err), peer, refused = authenticate(steps, user=user, secret=secret)
    if length == 129:
        assert (code, err) == (4, refused)
        assert len(peer.lines[2 if which == "user" else 3]) == 172
    else:
        assert (code, out, err) == (6, "", "Internal error: bufe too small !\n")


def test_login_prompt_other_than_username():
    steps = opening(ehlo("LOGIN")) + [("line",), ("send", f"334 {b64('Password:')}\r\n"), ("eof",)]
    (code, out, err), peer, _ = authenticate(steps)
    assert (code, out, err) == (6, "", "Invalid response to AUTH LOGIN from ATRN server. Status is 334 but no "
                                       "\"Username:\" has been found\n")


def test_login_challenge_not_base64():
    steps = opening(ehlo("LOGIN")) + [("line",), ("send", "334 not*base64\r\n"), ("eof",)]
    (code, out, err), peer, _ = authenticate(steps)
    assert code == 6


@pytest.mark.parametrize("challenge", ["not*base64", "abc", b64("x" * 200)], ids=["bad", "truncated", "too_long"])
def test_cram_md5_unusable_challenge_is_answered_as_empty(challenge):
    steps = opening() + [("line",), ("send", f"334 {challenge}\r\n"), ("line",), ("send", "535 no\r\n"),
                         ("line",), ("send", "221 bye\r\n"), ("eof",)]
    (code, out, err), peer, _ = authenticate(steps)
    assert peer.lines[2] == b64("tim " + hmac.new(b"tanstaaftanstaaf", b"", hashlib.md5).hexdigest())
    assert code == 5


def test_login_username_answered_535_has_an_empty_error_text():
    steps = opening(ehlo("LOGIN")) + [("line",), ("send", f"334 {b64('Username:')}\r\n"), ("line",),
                                      ("send", "535 no such user\r\n"), ("eof",)]
    (code, out, err), peer, _ = authenticate(steps)
    assert (code, out, err) == (5, "", "Error in response to our username from ATRN server: \n")


@pytest.mark.parametrize("method", ["CRAM-MD5", "LOGIN"])
def test_refused_authentication_quits(method):
    exchange = cram_md5_accepted() if method == "CRAM-MD5" else login_accepted()
    exchange[-1] = ("send", "535 5.7.8 no\r\n")
    steps = opening(ehlo(method)) + exchange + [("line",), ("send", "221 bye\r\n"), ("eof",)]
    (code, out, err), peer, _ = authenticate(steps)
    assert (code, out, err) == (5, "", "Authentication refused by server (invalid user or secret)\n")
    assert peer.lines[-1] == "QUIT"


def test_refused_authentication_quits_even_without_a_reply_to_quit():
    steps = opening() + cram_md5_accepted()[:-1] + [("send", "535 no\r\n"), ("line",), ("close",)]
    (code, out, err), peer, _ = authenticate(steps)
    assert code == 5
    assert err == ("Authentication refused by server (invalid user or secret)\n"
                   "Error in response to QUIT from ATRN server: recv() connection closed by 127.0.0.1\n")


@pytest.mark.parametrize("steps, message", [
    ([("line",), ("send", "504 unknown mechanism\r\n"), ("eof",)],
     "Invalid response to AUTH from ATRN server. Status = 504\n"),
    ([("line",), ("close",)], "Error in response to AUTH from ATRN server: recv() connection closed by 127.0.0.1\n"),
    ([("line",), ("send", f"334 {RFC2195_CHALLENGE}\r\n"), ("line",), ("close",)],
     "Error in response to digest from ATRN server: recv() connection closed by 127.0.0.1\n"),
    ([("line",), ("send", f"334 {RFC2195_CHALLENGE}\r\n"), ("line",), ("send", "454 try later\r\n"), ("eof",)],
     "Invalid response to digest from ATRN server. Status = 454\n"),
], ids=["auth_504", "auth_closed", "digest_closed", "digest_454"])
def test_cram_md5_failures(steps, message):
    (code, out, err), peer, _ = authenticate(opening() + steps)
    assert (code, out, err) == (5, "", message)


@pytest.mark.parametrize("cut, message", [
    (3, "Error in response to our username from ATRN server: recv() connection closed by 127.0.0.1\n"),
    (5, "Error in response to our password from ATRN server: recv() connection closed by 127.0.0.1\n"),
])
def test_login_failures(cut, message):
    steps = opening(ehlo("LOGIN")) + login_accepted()[:cut] + [("close",)]
    (code, out, err), peer, _ = authenticate(steps)
    assert (code, out, err) == (5, "", message)


def test_final_status_235_in_a_multiline_reply():
    steps = opening() + cram_md5_accepted()[:-1] + [("send", "235-welcome\r\n235 ok\r\n"), ("eof",)]
    (code, out, err), peer, refused = authenticate(steps)
    assert (code, err) == (4, refused)
