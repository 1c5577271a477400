"""How a relayed session ends, judged by the mail it carries: an end that cuts
a message off is a failure, whichever side ends first; so is a local server
that refuses the session or leaves it before the provider's QUIT; an end
between messages is a success; and -v counts what passed."""

import pytest

from peers import QUILN_SHORT, ScriptedPeer, cram_md5_accepted, opening, run

LOCAL = "127.0.0.2"  # the local server's address, told apart from the provider's in the messages
ENVELOPE = "MAIL FROM:<a@example.net>\r\nRCPT TO:<b@example.org>\r\nDATA\r\n"
CONTENT = "Subject: one\r\n\r\n..a stuffed dot\r\n"


def provider_session(*steps, greeted=True):
    """The provider's script: the dialogue, its 250 to ATRN, the local
    greeting, EHLO and its reply, then `steps` (or, not greeted, `steps`
    right after the 250)."""
    turned = opening() + cram_md5_accepted() + [("line",), ("send", "250 reversing\r\n")]
    if not greeted:
        return turned + list(steps)
    return turned + [("line",), ("send", "EHLO odmr.example.net\r\n"), ("line",), *steps]


def local_session(*steps):
    return [("send", "220 local\r\n"), ("line",), ("send", "250 local\r\n"), *steps]


ONE_MESSAGE = [("send", ENVELOPE), ("line",), ("line",), ("line",), ("send", CONTENT + ".\r\n"), ("line",)]
ONE_MESSAGE_LOCAL = [("line",), ("line",), ("line",), ("send", "250 sender\r\n250 rcpt\r\n354 go\r\n"),
                     ("line",), ("line",), ("line",), ("line",), ("send", "250 queued\r\n")]
SLOW_REPLY_LOCAL = ONE_MESSAGE_LOCAL[:-1] + [("sleep", 0.3), ONE_MESSAGE_LOCAL[-1]]
# The message up to its "." and no further: the provider does not wait for the reply.
UP_TO_THE_DOT = [("send", ENVELOPE), ("line",), ("line",), ("line",), ("send", CONTENT + ".\r\n")]
QUIT = [("send", "QUIT\r\n"), ("line",)]
QUIT_LOCAL = [("line",), ("send", "221 bye\r\n")]


def refused_recipient(code):
    return ([("send", "MAIL FROM:<a@example.net>\r\nRCPT TO:<nobody@example.org>\r\n"), ("line",), ("line",),
             *QUIT, ("eof",)],
            [("line",), ("line",), ("send", f"250 sender\r\n{code} no such user or not now\r\n"), *QUIT_LOCAL,
             ("close",)])


CUT = "Error passing data: connection closed by {} in the middle of a message\n"
BEFORE_QUIT = f"Error passing data: connection closed by {LOCAL} before the provider's QUIT\n"
REFUSED = f"Error passing data: SMTP server {LOCAL} refused the session: {{}}\n"

# provider's steps, local server's steps, options, exit code, stderr; a
# provider's steps given as a tuple are taken right after the 250 to ATRN.
ENDS = {
    "provider_closes_in_the_content": (
        [("send", ENVELOPE), ("line",), ("line",), ("line",), ("send", "Subject: cut\r\n\r\nhalf a li"), ("close",)],
        [("line",), ("line",), ("line",), ("send", "250 sender\r\n250 rcpt\r\n354 go\r\n"), ("eof",)],
        [], 5, CUT.format("127.0.0.1")),
    "local_server_closes_before_its_354": (
        [("send", ENVELOPE), ("line",), ("line",), ("eof",)],
        [("line",), ("line",), ("line",), ("send", "250 sender\r\n250 rcpt\r\n"), ("close",)],
        [], 5, CUT.format(LOCAL)),
    "provider_closes_between_messages": (ONE_MESSAGE + [("close",)], ONE_MESSAGE_LOCAL + [("eof",)], [], 0, ""),
    "local_server_closes_after_quit": (ONE_MESSAGE + QUIT + [("eof",)], ONE_MESSAGE_LOCAL + QUIT_LOCAL + [("close",)],
                                       [], 0, ""),
    # QUIT ends a transaction whose message never began (RFC 5321, 4.1.1.10).
    "recipient_refused_then_quit": (*refused_recipient(550), [], 0, ""),
    "recipient_greylisted_then_quit": (*refused_recipient(450), [], 0, ""),
    # The provider gone before the reply to its "." (closed or half-closed),
    # its QUIT not sent: it never learns of the 250 and delivers again.
    # (The local server takes a moment, so that the provider surely ends first.)
    "provider_closes_right_after_the_dot": (UP_TO_THE_DOT + [("close",)], SLOW_REPLY_LOCAL + [("close",)],
                                            [], 5, CUT.format("127.0.0.1")),
    "provider_half_closes_after_the_dot": (UP_TO_THE_DOT + [("shut",), ("line",), ("eof",)],
                                           SLOW_REPLY_LOCAL + [("close",)], [], 5, CUT.format("127.0.0.1")),
    # The local server refuses or abandons the session.
    "local_server_closes_at_once": ((("eof",),), [("close",)], [], 5, BEFORE_QUIT),
    "local_server_greets_421": ((("line",), ("send", "QUIT\r\n"), ("eof",)),
                                [("send", "421 4.3.2 local busy\r\n"), ("close",)], [], 5,
                                REFUSED.format("421 4.3.2 local busy")),
    "local_server_greets_554": ((("line",), ("line",), ("send", "QUIT\r\n"), ("line",), ("eof",)),
                                [("send", b"554-no \x01service\xff\r\n554 here\r\n"), ("line",),
                                 ("send", "221 bye\r\n"), ("close",)], [], 5,
                                REFUSED.format("554-no \\x01service\\xFF")),
    "local_server_greets_with_a_long_line": ((("line",), ("send", "QUIT\r\n"), ("eof",)),
                                             [("send", "554 " + "x" * 200 + "\r\n"), ("close",)], [], 5,
                                             REFUSED.format("554 " + "x" * 116)),
    "local_server_closes_between_commands": ([("eof",)], [("close",)], [], 5, BEFORE_QUIT),
    # Its reply to the end still reaches the provider, which keeps no copy.
    "local_server_closes_after_its_reply": (ONE_MESSAGE + [("eof",)], ONE_MESSAGE_LOCAL + [("close",)], [], 5,
                                            BEFORE_QUIT),
    # A reply in the middle of the content, which the provider takes for the
    # reply to its end, stops the following with the message in transit.
    "early_reply_in_the_content": (
        [("send", ENVELOPE), ("line",), ("line",), ("line",), ("send", "Subject: x\r\n"), ("line",), ("eof",)],
        [("line",), ("line",), ("line",), ("send", "250 sender\r\n250 rcpt\r\n354 go\r\n"), ("line",),
         ("send", "250 Ok: queued\r\n"), ("close",)],
        [], 5, CUT.format(LOCAL)),
    # A content filter slower than -i behind a pipelined ".", QUIT and a half-close.
    "slow_filter_behind_dot_quit_and_half_close": (
        UP_TO_THE_DOT[:-1] + [("send", CONTENT + ".\r\nQUIT\r\n"), ("shut",), ("eof",)],
        ONE_MESSAGE_LOCAL[:-1] + [("line",), ("sleep", 2), ("eof",)],
        ["-i", "1"], 5, "Error passing data: Timeout error passig data\n"),
}


@pytest.mark.parametrize("provider_steps, local_steps, options, code, err", ENDS.values(), ids=ENDS.keys())
def test_end_of_the_session(provider_steps, local_steps, options, code, err):
    greeted = isinstance(provider_steps, list)
    provider = ScriptedPeer(provider_session(*provider_steps, greeted=greeted))
    local = ScriptedPeer(local_session(*local_steps) if greeted else local_steps, host=LOCAL)
    result = run([*options, "-a", provider.port, "-s", LOCAL, "-p", local.port, "127.0.0.1", "tim",
                  "tanstaaftanstaaf"], binary=QUILN_SHORT, timeout=30)
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


# provider's steps, local server's steps, exit code, stderr, the -v line of the pickup
VERBOSE = {
    # Servers take a tab after the verb as they take a space.
    "verbs_end_at_a_tab": (
        [("send", "MAIL\tFROM:<a@example.net>\r\nRCPT\tTO:<b@example.org>\r\nDATA\t\r\n"), ("line",), ("line",),
         ("line",), ("send", "x\r\n.\r\n"), ("line",), *QUIT, ("eof",)],
        [("line",), ("line",), ("line",), ("send", "250 sender\r\n250 rcpt\r\n354 go\r\n"), ("line",), ("line",),
         ("send", "250 queued\r\n"), *QUIT_LOCAL, ("close",)],
        0, "", "Messages relayed: 1 (3 bytes), 1 accepted and 0 refused by the SMTP server"),
    "early_reply_in_the_content": (*ENDS["early_reply_in_the_content"][:2], 5, CUT.format(LOCAL),
                                   "Messages relayed: unknown (a reply with no command waiting)"),
}


@pytest.mark.parametrize("provider_steps, local_steps, code, err, line", VERBOSE.values(), ids=VERBOSE.keys())
def test_verbose_line_of_the_pickup(provider_steps, local_steps, code, err, line):
    provider = ScriptedPeer(provider_session(*provider_steps))
    local = ScriptedPeer(local_session(*local_steps), host=LOCAL)
    result = run(["-v", "-a", provider.port, "-s", LOCAL, "-p", local.port, "127.0.0.1", "tim", "tanstaaftanstaaf"],
                 binary=QUILN_SHORT, timeout=30)
    for peer in (provider, local):
        peer.join()
        assert peer.error is None, peer.error
    assert (result[0], result[2]) == (code, err)
    assert result[1].endswith(f"Connection has been reversed\n{line}\n")
