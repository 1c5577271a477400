"""Whole pickups: the demo provider delivers its queue through the program to a
real SMTP server (aiosmtpd), and every message must arrive byte for byte."""

import os
import random
import time

import pytest

from peers import Provider, run

USER, SECRET = "site", "shared secret"


def message(n, body):
    head = f"From: sender@example.net\r\nTo: rcpt@example.org\r\nSubject: {n}\r\n\r\n".encode()
    return head + body


def pickup(sink, queue, *options, mechanisms=("CRAM-MD5", "LOGIN"), domains=("example.org",), secret=SECRET):
    provider = Provider(USER, SECRET, ["example.org", "example.com"], queue, mechanisms=mechanisms).start()
    started = time.monotonic()
    result = run([*options, "-a", provider.port, "-p", sink.port, "127.0.0.1", USER, secret, *domains],
                 timeout=120)
    elapsed = time.monotonic() - started
    report = provider.join()
    return result, report, elapsed


def assert_all_delivered(sink, report, queue):
    assert report["error"] is None, report["error"]
    assert report["refused"] == []
    assert len(report["delivered"]) == len(queue)
    assert [e[2] for e in sink.envelopes] == [m[2] for m in queue]
    assert [(e[0], e[1]) for e in sink.envelopes] == [(m[0], m[1]) for m in queue]


@pytest.mark.parametrize("mechanisms", [("CRAM-MD5",), ("LOGIN",)])
def test_one_message(sink, mechanisms):
    queue = [("sender@example.net", ["rcpt@example.org"], message(1, b"Hello.\r\n"))]
    (code, out, err), report, _ = pickup(sink, queue, mechanisms=mechanisms)
    assert (code, out, err) == (0, "", "")
    assert_all_delivered(sink, report, queue)


def test_two_hundred_messages_to_two_domains(sink):
    queue = [("sender@example.net", [f"u{i}@example.org" if i % 2 else f"u{i}@example.com"],
              message(i, f"Message {i}\r\n".encode() * (i % 17 + 1))) for i in range(200)]
    (code, out, err), report, _ = pickup(sink, queue, domains=("example.org", "example.com"))
    assert (code, err) == (0, "")
    assert report["atrn"] == "example.org,example.com"
    assert_all_delivered(sink, report, queue)


def test_awkward_content_arrives_unchanged(sink):
    bodies = [
        b".\r\n..\r\n.leading dot\r\n",                     # dot-stuffing both ways
        b"bare\rcarriage return\r\n",
        b"8-bit \xe9\xe8\xff\x80 bytes\r\n",
        b"a line of 998 " + b"x" * 984 + b"\r\n",
        bytes(range(1, 10)) + b"\r\n" + b"\t\x0b\x0c\r\n",
    ]
    queue = [("sender@example.net", ["rcpt@example.org"], message(i, b)) for i, b in enumerate(bodies)]
    (code, out, err), report, _ = pickup(sink, queue)
    assert (code, err) == (0, "")
    assert_all_delivered(sink, report, queue)


def test_twenty_megabyte_message(sink):
    rng = random.Random(20)
    lines = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz0123456789 .") for _ in range(76)) for _ in range(4096)]
    body = b"\r\n".join(lines[i % 4096] for i in range(20 * 1024 * 1024 // 78)) + b"\r\n"
    queue = [("sender@example.net", ["rcpt@example.org"], message(1, body))]
    (code, out, err), report, elapsed = pickup(sink, queue)
    assert (code, err) == (0, "")
    assert_all_delivered(sink, report, queue)
    # A figure for the record, not an assertion.
    print(f"\n20 MB message: {len(body) / elapsed / 1e6:.1f} MB/s end to end ({elapsed:.2f} s)")


def test_wrong_secret_is_refused_and_nothing_delivered(sink):
    queue = [("sender@example.net", ["rcpt@example.org"], message(1, b"x\r\n"))]
    (code, out, err), report, _ = pickup(sink, queue, secret="wrong")
    assert (code, out, err) == (5, "", "Authentication refused by server (invalid user or secret)\n")
    assert sink.envelopes == []


def test_domain_not_granted(sink):
    queue = [("sender@example.net", ["rcpt@example.org"], message(1, b"x\r\n"))]
    (code, out, err), report, _ = pickup(sink, queue, domains=("example.org", "example.net"))
    assert code == 5
    assert err.endswith(" you do not have access to one of the domains you specified\n")


def test_nothing_queued(sink):
    (code, out, err), report, _ = pickup(sink, [], "-v")
    assert (code, err) == (0, "")
    assert "Your provider returned 453 to ATRN: there is no mail in queue for you\n" in out
    assert report["error"] is None and sink.envelopes == []
