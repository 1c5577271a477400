"""Draining the queue: -r picks up again while the provider delivers, against
the demo provider holding back part of its queue per session; -i sets the
relay's idle time-out."""

import socket
import struct
import time

import pytest

from odmr_provider import ReversedSMTP
from peers import (QUILN, SMTP_GREET_AND_QUIT, Provider, ScriptedPeer, SmtpSink, cram_md5_accepted, opening, run)

USER, SECRET = "site", "shared secret"


def queue_of(count):
    return [("sender@example.net", [f"rcpt{i}@example.org"],
             f"Subject: {i}\r\n\r\nMessage {i}\r\n.a leading dot\r\n".encode()) for i in range(count)]


class FailingProvider(Provider):
    """The demo provider, failing a session as the test asks: in the second,
    it refuses ATRN, the local SMTP server is gone before it starts, or it
    turns the line round with nothing it can deliver; in the third, it
    resets the turned line before MAIL; or in the first, it resets it after
    the first message."""

    def __init__(self, *args, failure, sink, **kwargs):
        super().__init__(*args, **kwargs)
        self.failure = failure
        self.sink = sink

    def session(self, conn):
        if self.report["sessions"] == 1 and self.failure == "smtp_down":
            self.sink.close()  # returns once the sink no longer listens
        super().session(conn)

    def atrn(self, conn, reader, arg):
        session = self.report["sessions"]
        if session == 2 and self.failure == "refused":
            self.send(conn, "451 4.3.0 try again later")
            return True  # ends the session
        # The session it happens in, and the messages delivered before.
        turned = {"nothing_to_deliver": (2, 0), "reset_before_mail": (3, 0), "reset_after_first": (1, 1)}
        if turned.get(self.failure, (None,))[0] == session:
            self.send(conn, "250 2.0.0 OK, now reversing the connection")
            smtp = ReversedSMTP(conn, self.timeout)
            smtp.ehlo()
            for mail in self.queue[:turned[self.failure][1]]:
                smtp.sendmail(*mail)
                self.queue.remove(mail)
            if self.failure == "nothing_to_deliver":
                smtp.quit()
            else:
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return True
        return super().atrn(conn, reader, arg)


def refused_connect(sink):
    return f"Cannot connect to server 127.0.0.1:{sink.port}. Connection refused"


# queued, delivered per session, options, failure in the second session,
# sessions served, exit code, stderr, messages delivered, lines of stdout.
DRAINS = {
    "all_in_six_pickups": (5, 1, ["-r", "10"], None, 6, 0, "", 5, []),
    "count_reached_first": (5, 1, ["-r", "3"], None, 3, 0, "", 3, []),
    "without_r_one_pickup": (5, 1, [], None, 1, 0, "", 1, []),
    "r_1_is_one_pickup": (5, 2, ["-r1"], None, 1, 0, "", 2, []),
    "two_per_pickup": (5, 2, ["-r", "10"], None, 4, 0, "", 5, []),
    "nothing_queued": (0, 1, ["-r", "10"], None, 1, 0, "", 0, []),
    "login_keeps_the_secret": (3, 1, ["-r", "5", "-t", "LOGIN"], None, 4, 0, "", 3, []),
    "verbose": (3, 1, ["-r", "10", "-v"], None, 4, 0, "", 3,
                ["Pickup 2 of at most 10", "Pickup 3 of at most 10", "Pickup 4 of at most 10",
                 "Pickups that relayed mail: 3"]),
    "verbose_count_reached": (3, 1, ["-r", "2", "-v"], None, 2, 0, "", 2,
                              ["Pickup 2 of at most 2", "Pickups that relayed mail: 2"]),
    "atrn_refused_in_second": (5, 1, ["-r", "10"], "refused", 2, 5,
                               "Invalid response to ATRN command from ATRN server. Status = 451\n", 1, []),
    "smtp_down_in_second": (5, 1, ["-r", "10"], "smtp_down", 2, 4, refused_connect, 1, []),
    "fifty_one_per_pickup": (50, 1, ["-r", "100"], None, 51, 0, "", 50, []),
    # Ends that end the drain as 453 does: nothing could be delivered, or the
    # provider broke the line off between messages after mail had passed.
    "nothing_to_deliver_in_second": (5, 1, ["-r", "10"], "nothing_to_deliver", 2, 0, "", 1, []),
    "reset_before_mail_in_third": (5, 1, ["-r", "10", "-v"], "reset_before_mail", 3, 0, "", 2,
                                   ["Pickup 2 of at most 10", "Pickup 3 of at most 10",
                                    "Pickup 3 ended between messages: Error passing data: recv() error while "
                                    "reading data from 127.0.0.1: Connection reset by peer",
                                    "Pickups that relayed mail: 2"]),
    "reset_after_the_first_message": (5, 3, ["-r", "10", "-v"], "reset_after_first", 1, 0, "", 1,
                                      ["Pickup 1 ended between messages: Error passing data: recv() error while "
                                       "reading data from 127.0.0.1: Connection reset by peer",
                                       "Pickups that relayed mail: 1"]),
}


@pytest.mark.parametrize("case", DRAINS.values(), ids=DRAINS.keys())
def test_drain(sink, case):
    queued, per_session, options, failure, sessions, code, err, delivered, out_lines = case
    queue = queue_of(queued)
    provider = FailingProvider(USER, SECRET, ["example.org"], queue, timeout=10, accept_count=sessions,
                               per_session=per_session, failure=failure, sink=sink).start()
    started = time.monotonic()
    result = run([*options, "-a", provider.port, "-p", sink.port, "127.0.0.1", USER, SECRET, "example.org"],
                 timeout=120)
    elapsed = time.monotonic() - started
    report = provider.join()

    expected_err = err(sink) if callable(err) else err
    assert (result[0], result[2]) == (code, expected_err)
    assert report["sessions"] == sessions
    if failure == "smtp_down":  # the program hung up after authenticating
        assert report["error"] == "EOFError: client closed the connection"
    else:
        assert report["error"] is None, report["error"]
    # What was delivered arrived once, whole and in order; the rest is still queued.
    assert report["refused"] == []
    assert [e[2] for e in sink.envelopes] == [m[2] for m in queue[:delivered]]
    assert [(e[0], e[1]) for e in sink.envelopes] == [(m[0], m[1]) for m in queue[:delivered]]
    assert provider.queue == queue[delivered:]
    if "-v" in options:
        lines = result[1].splitlines()
        assert [line for line in lines if line.startswith("Pickup")] == out_lines
        assert lines.count("Connecting to ATRN server 127.0.0.1 on port %d ..." % provider.port) == sessions
    else:
        assert result[1] == ""
    if queued >= 50:  # a figure for the record, not an assertion
        print(f"\n{queued} messages, one per pickup: {elapsed:.2f} s ({sessions} pickups)")


# What the local server refuses, and the run's count of the messages.
REFUSALS = {
    "every_recipient_over_quota": ({"rcpt_reply": "452 4.2.2 mailbox full"},
                                   "Messages relayed: 0 (0 bytes), 0 accepted and 0 refused by the SMTP server"),
    "every_message_for_now": ({"data_reply": "451 4.7.1 try again later"},
                              "Messages relayed: 1 ({} bytes), 0 accepted and 1 refused by the SMTP server"),
}


@pytest.mark.parametrize("refusal, totals", REFUSALS.values(), ids=REFUSALS.keys())
def test_a_pickup_whose_mail_is_refused_ends_the_drain(refusal, totals):
    # Picking up again would only bring the same message back.
    sink = SmtpSink(**refusal)
    queue = queue_of(3)
    provider = Provider(USER, SECRET, ["example.org"], queue, timeout=10, accept_count=1, per_session=1).start()
    try:
        code, out, err = run(["-r", "3", "-v", "-a", provider.port, "-p", sink.port, "127.0.0.1", USER, SECRET],
                             timeout=60)
        report = provider.join()
    finally:
        sink.close()
    assert (code, err) == (0, "")
    assert report["sessions"] == 1 and report["error"] is None
    assert provider.queue == queue and sink.envelopes == []
    stuffed = len(queue[0][2].replace(b"\n.", b"\n.."))
    assert out.splitlines()[-2:] == ["Pickups that relayed mail: 0", totals.format(stuffed)]


def relay_pausing(pause):
    """A provider that turns the line round, then is silent for `pause`
    seconds before it quits."""
    return opening() + cram_md5_accepted() + [
        ("line",), ("send", "250 reversing\r\n"), ("line",), ("sleep", pause), ("send", "QUIT\r\n"),
        ("line",), ("close",)]


# -i, against the program with its normal time-outs: the provider is silent
# for 2 s in the relay.
IDLE = {
    "shorter_than_the_pause": (["-i", "1"], 5, "Error passing data: Timeout error passig data\n"),
    "longer_than_the_pause": (["-i4"], 0, ""),
    "with_repeated_pickups": (["-r", "1", "-i", "1"], 5, "Error passing data: Timeout error passig data\n"),
}


@pytest.mark.parametrize("options, code, err", IDLE.values(), ids=IDLE.keys())
def test_relay_idle_time_out(options, code, err):
    provider = ScriptedPeer(relay_pausing(2))
    smtp = ScriptedPeer(SMTP_GREET_AND_QUIT)
    result = run([*options, "-a", provider.port, "-p", smtp.port, "127.0.0.1", "tim", "tanstaaftanstaaf"],
                 binary=QUILN)
    provider.join()
    smtp.join()
    assert result == (code, "", err)
    if code == 0:
        assert provider.lines[-1] == "221 bye" and smtp.lines == ["QUIT"]
