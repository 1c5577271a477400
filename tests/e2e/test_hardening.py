"""What a hostile or unlucky environment must not get from the program: the
secret from the process list, allocations during the dialogue."""

import os
import subprocess
import time

import pytest

from peers import QUILN, Provider, ScriptedPeer, SmtpSink, command, opening, run

ALLOC_COUNTER = os.environ.get("ALLOC_COUNTER")


def test_secret_is_blanked_in_the_process_list():
    peer = ScriptedPeer([("send", "220 x\r\n"), ("line",), ("sleep", 0.5), ("close",)])
    proc = subprocess.Popen(command(QUILN, ["-a", peer.port, "127.0.0.1", "user", "top-secret-value"]),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 10
        while not peer.lines and time.monotonic() < deadline:  # it has sent EHLO: start-up is over
            time.sleep(0.01)
        cmdline = open(f"/proc/{proc.pid}/cmdline", "rb").read()
    finally:
        proc.communicate(timeout=30)
        peer.join()
    assert peer.lines == ["EHLO quiln.invalid"]
    assert b"top-secret-value" not in cmdline
    assert b"user\0" in cmdline


def allocations(server, sink, tmp_path, options=(), per_session=None, sessions=1, mechanisms=("CRAM-MD5", "LOGIN")):
    queue = [("a@example.net", ["b@example.org"], b"Subject: x\r\n\r\nhello\r\n")] * 5
    provider = Provider("u", "s", ["example.org"], queue, per_session=per_session, accept_count=sessions,
                        host="::1" if ":" in server else "127.0.0.1", mechanisms=mechanisms).start()
    report = tmp_path / "alloc.report"
    env = dict(os.environ, LD_PRELOAD=ALLOC_COUNTER, ALLOC_REPORT=str(report))
    proc = subprocess.run(command(QUILN, ["-v", *options, "-a", provider.port, "-p", sink.port, "-s", server,
                                           server, "u", "s", "example.org"]), env=env, capture_output=True, timeout=60)
    assert provider.join()["error"] is None
    assert proc.returncode == 0, proc.stderr
    assert len(sink.envelopes) == 5
    counts = {}
    for line in (report.read_text() if report.exists() else "").splitlines():
        name, count, size = line.rsplit(" ", 2)
        counts[os.path.basename(name)] = (int(count), int(size))
    return counts


@pytest.mark.skipif(not ALLOC_COUNTER, reason="the allocation counter is not built with the sanitizers")
@pytest.mark.parametrize("server", ["127.0.0.1", "::1"])
def test_a_whole_pickup_allocates_nothing_of_its_own(server, tmp_path):
    # An address of either family is taken without a lookup.
    sink = SmtpSink(host=server)
    try:
        counts = allocations(server, sink, tmp_path)
    finally:
        sink.close()
    # Not one allocation from start to end: not the program's, nor the C
    # library's (stdout has a static buffer), nor a C++ runtime's.
    assert counts == {}


@pytest.mark.skipif(not ALLOC_COUNTER, reason="the allocation counter is not built with the sanitizers")
@pytest.mark.parametrize("mechanisms", [("CRAM-MD5", "LOGIN"), ("SCRAM-SHA-256",)], ids=["cram_md5", "scram"])
def test_repeated_pickups_allocate_nothing_either(sink, tmp_path, mechanisms):
    # One message per pickup: five that relay and one that gets 453.
    assert allocations("127.0.0.1", sink, tmp_path, ("-r", "10"), per_session=1, sessions=6,
                       mechanisms=mechanisms) == {}


@pytest.mark.skipif(not ALLOC_COUNTER, reason="the allocation counter is not built with the sanitizers")
def test_name_lookup_is_the_only_other_allocator(sink, tmp_path):
    counts = allocations("localhost", sink, tmp_path)
    assert set(counts) <= {"libc.so.6"}
    calls, size = counts.get("libc.so.6", (0, 0))
    assert calls <= 100 and size <= 64 * 1024, counts  # the resolver's, bounded
