"""-l: each line of the error messages of a run, word for word, at err; one
line at info when it succeeds; nothing else, neither the trace nor the
secret; and no change to the run when the log cannot take an entry."""

import os

import pytest

from peers import (SMTP_GREET_AND_QUIT, TLS_AVAILABLE, ScriptedPeer, b64, closed_port, cram_md5_accepted, log_entry,
                   opening, run_logged, system_log_problem)

PROBLEM = system_log_problem()
pytestmark = pytest.mark.skipif(PROBLEM is not None, reason=str(PROBLEM))

SECRET = "tanstaaftanstaaf"
AUTHENTICATED = opening() + cram_md5_accepted()
LOCAL = [("send", "220 local\r\n"), ("eof",)]
TURNED = AUTHENTICATED + [("line",), ("send", "250 go\r\n"), ("line",)]
REFUSED_450 = ["Invalid response to ATRN command from ATRN server. Status = 450",
               " you do not have access to one of the domains you specified"]
LOGIN_REFUSED = opening("250-x\r\n250-AUTH LOGIN\r\n250 ATRN\r\n") + [
    ("line",), ("send", f"334 {b64('Username:')}\r\n"), ("line",), ("send", f"334 {b64('Password:')}\r\n"),
    ("line",), ("send", "535 no\r\n"), ("line",), ("send", "221 bye\r\n"), ("eof",)]
REFUSED_LOGIN = "Authentication refused by server (invalid user or secret)"
NO_SERVER = "Cannot connect to server 127.0.0.1:{port}. Connection refused"  # no line end

# provider's steps, local server's (None: nothing listens), exit code, stderr
# lines, the entries: (level, event ID, text); {port} is the local server's
ROWS = {
    "relayed": (TURNED + [("send", "MAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\nDATA\r\n"), ("line",), ("line",),
                          ("line",), ("send", "Subject: x\r\n\r\nhi\r\n.\r\n"), ("line",), ("close",)],
                [("send", "220 local\r\n"), *[("line",)] * 3, ("send", "250 a\r\n250 b\r\n354 go\r\n"),
                 *[("line",)] * 4, ("send", "250 queued\r\n"), ("eof",)], 0, [],
                [("info", 0, "Picked up 1 message (18 bytes) from 127.0.0.1 in 1 pickup")]),
    # Each message refused at its end: the provider keeps it.
    "refused": (TURNED + [("send", "MAIL FROM:<a@b>\r\nRCPT TO:<c@d>\r\nDATA\r\n"), ("line",), ("line",),
                          ("line",), ("send", "Subject: x\r\n\r\nhi\r\n.\r\n"), ("line",), ("send", "QUIT\r\n"),
                          ("line",), ("close",)],
                [("send", "220 local\r\n"), *[("line",)] * 3, ("send", "250 a\r\n250 b\r\n354 go\r\n"),
                 *[("line",)] * 4, ("send", "554 5.7.1 spam\r\n"), ("line",), ("send", "221 bye\r\n"), ("eof",)],
                0, [], [("info", 0, "Picked up 0 messages (0 bytes) from 127.0.0.1 in 1 pickup; 1 refused by the "
                                    "SMTP server")]),
    "turned_without_mail": (TURNED + [("close",)], LOCAL, 0, [],
                            [("info", 0, "Picked up 0 messages (0 bytes) from 127.0.0.1 in 1 pickup")]),
    "not_followed": (TURNED + [("send", "STARTTLS\r\n"), ("line",), ("close",)],
                     [("send", "220 local\r\n"), ("line",), ("send", "454 not now\r\n"), ("eof",)], 0, [],
                     [("info", 0, "Picked up mail from 127.0.0.1: count unknown")]),
    "no_mail": (AUTHENTICATED + [("line",), ("send", "453 none\r\n"), ("line",), ("send", "221 bye\r\n"), ("eof",)],
                SMTP_GREET_AND_QUIT, 0, [], [("info", 0, "No mail waiting at 127.0.0.1")]),
    "refused_450": (AUTHENTICATED + [("line",), ("send", "450 no\r\n"), ("eof",)], LOCAL, 5,
                    [line + "\n" for line in REFUSED_450], [("err", 5, line) for line in REFUSED_450]),
    "login_refused": (LOGIN_REFUSED, None, 5, [REFUSED_LOGIN + "\n"], [("err", 5, REFUSED_LOGIN)]),
    "no_local_server": (AUTHENTICATED + [("eof",)], None, 4, [NO_SERVER], [("err", 4, NO_SERVER)]),
}


def pickup(row, *options, log="socket"):
    provider_steps, local_steps, code, err, entries = ROWS[row]
    provider = ScriptedPeer(provider_steps)
    local = ScriptedPeer(local_steps) if local_steps is not None else None
    port = local.port if local else closed_port()
    result = run_logged([*options, "-a", provider.port, "-p", port, "127.0.0.1", "tim", SECRET], log=log)
    for peer in (provider, local or provider):
        peer.join()
    return result, code, "".join(err).format(port=port), [log_entry(*e[:2], e[2].format(port=port)) for e in entries]


@pytest.mark.parametrize("options", [["-l"], ["-l", "-v"], []], ids=["l", "l_verbose", "without_l"])
@pytest.mark.parametrize("row", ROWS)
def test_what_a_run_logs(row, options):
    (code, out, err, entries), want_code, want_err, want_entries = pickup(row, *options)
    assert (code, err) == (want_code, want_err)
    assert out == "" or "-v" in options
    # Exactly these: the trace of -v (LOGIN's secret in Base64) stays on stdout.
    assert entries == (want_entries if "-l" in options else [])
    assert row != "login_refused" or ("-v" in options) == (b64(SECRET) in out)


@pytest.mark.parametrize("log", ["missing", "full"])  # full: a blocking send would hold the run up for good
@pytest.mark.parametrize("row", ["refused_450", "relayed"])
def test_a_log_that_cannot_take_the_entry_changes_nothing(row, log):
    (code, out, err, entries), want_code, want_err, _ = pickup(row, "-l", log=log)
    assert (code, out, err, entries) == (want_code, "", want_err, [])


@pytest.mark.skipif(not TLS_AVAILABLE, reason="a build without TLS refuses -c")
@pytest.mark.parametrize("kind", ["missing", "fifo"])
def test_a_refused_ca_file_is_logged(tmp_path, kind):
    path = tmp_path / "ca.pem"
    if kind == "fifo":
        os.mkfifo(path)
    reason = "not a regular file" if kind == "fifo" else "No such file or directory"
    message = f"Cannot read the CA certificates in {path}: {reason}"
    code, out, err, entries = run_logged(["-l", "-e", "-c", path, "-a", closed_port(), "127.0.0.1", "tim", SECRET],
                                         timeout=10)
    assert (code, out, err, entries) == (1, "", message + "\n", [log_entry("err", 1, message)])
