"""How a relayed session ends, judged by the mail it carries: an end that cuts
a message off is a failure, whichever side ends first; an end between
messages is a success; and -v counts what passed."""

import pytest

from peers import QUILN_SHORT, ScriptedPeer, cram_md5_accepted, opening, run

LOCAL = "127.0.0.2"  # the local server's address, told apart from the provider's in the messages
ENVELOPE = "MAIL FROM:<a@example.net>\r\nRCPT TO:<b@example.org>\r\nDATA\r\n"
CONTENT = "Subject: one\r\n\r\n..a stuffed dot\r\n"


def provider_session(*steps):
    """The provider's script: the dialogue, its 250 to ATRN, the local
    greeting, EHLO and its reply, then `steps`."""
    return opening() + cram_md5_accepted() + [("line",), ("send", "250 reversing\r\n"), ("line",),
                                              ("send", "EHLO odmr.example.net\r\n"), ("line",), *steps]


def local_session(*steps):
    return [("send", "220 local\r\n"), ("line",), ("send", "250 local\r\n"), *steps]


ONE_MESSAGE = [("send", ENVELOPE), ("line",), ("line",), ("line",), ("send", CONTENT + ".\r\n"), ("line",)]
ONE_MESSAGE_LOCAL = [("line",), ("line",), ("line",), ("send", "250 sender\r\n250 rcpt\r\n354 go\r\n"),
                     ("line",), ("line",), ("send", "250 queued\r\n")]

CUT = "Error passing data: connection closed by {} in the middle of a message\n"

# provider's steps, local server's steps, exit code, stderr
ENDS = {
    "provider_closes_in_the_content": (
        [("send", ENVELOPE), ("line",), ("line",), ("line",), ("send", "Subject: cut\r\n\r\nhalf a li"), ("close",)],
        [("line",), ("line",), ("line",), ("send", "250 sender\r\n250 rcpt\r\n354 go\r\n"), ("eof",)],
        5, CUT.format("127.0.0.1")),
    "local_server_closes_before_its_354": (
        [("send", ENVELOPE), ("line",), ("line",), ("eof",)],
        [("line",), ("line",), ("line",), ("send", "250 sender\r\n250 rcpt\r\n"), ("close",)],
        5, CUT.format(LOCAL)),
    "provider_closes_between_messages": (ONE_MESSAGE + [("close",)], ONE_MESSAGE_LOCAL + [("eof",)], 0, ""),
    "local_server_closes_after_its_reply": (ONE_MESSAGE + [("eof",)], ONE_MESSAGE_LOCAL + [("close",)], 0, ""),
}


@pytest.mark.parametrize("provider_steps, local_steps, code, err", ENDS.values(), ids=ENDS.keys())
def test_end_of_the_session(provider_steps, local_steps, code, err):
    provider = ScriptedPeer(provider_session(*provider_steps))
    local = ScriptedPeer(local_session(*local_steps), host=LOCAL)
    result = run(["-a", provider.port, "-s", LOCAL, "-p", local.port, "127.0.0.1", "tim", "tanstaaftanstaaf"],
                 binary=QUILN_SHORT, timeout=30)
    for peer in (provider, local):
        peer.join()
        assert peer.error is None, peer.error
    assert (result[0], result[2]) == (code, err)


def test_verbose_counts_what_passed():
    # Two messages through DATA, the second refused at its end, then one by
    # BDAT (RFC 3030) of two chunks; the SMTP server's replies decide.
    chunks = ["Subject: three\r\n", "\r\n.\r\nMAIL FROM:<x@y>\r\n"]
    provider = ScriptedPeer(provider_session(
        *ONE_MESSAGE, ("send", ENVELOPE), ("line",), ("line",), ("line",), ("send", "x\r\n.\r\n"), ("line",),
        ("send", "MAIL FROM:<a@example.net>\r\nRCPT TO:<b@example.org>\r\n"
                 f"BDAT {len(chunks[0])}\r\n{chunks[0]}BDAT {len(chunks[1])} LAST\r\n{chunks[1]}QUIT\r\n"),
        *[("line",)] * 5, ("eof",)))
    local = ScriptedPeer(local_session(
        *ONE_MESSAGE_LOCAL, ("line",), ("line",), ("line",), ("send", "250 sender\r\n250 rcpt\r\n354 go\r\n"),
        ("line",), ("line",), ("send", "554 no thanks\r\n"), *[("line",)] * 9,
        ("send", "250 sender\r\n250 rcpt\r\n250 chunk\r\n250 queued\r\n221 bye\r\n"), ("close",)))
    code, out, err = run(["-v", "-a", provider.port, "-p", local.port, "127.0.0.1", "tim", "tanstaaftanstaaf"],
                         binary=QUILN_SHORT, timeout=30)
    provider.join()
    local.join()
    assert (code, err) == (0, "")
    content = len(CONTENT) + len("x\r\n") + sum(len(c) for c in chunks)
    assert out.endswith("Connection has been reversed\n"
                        f"Messages relayed: 3 ({content} bytes), 2 accepted and 1 refused by the SMTP server\n")
