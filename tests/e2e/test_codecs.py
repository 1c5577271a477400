"""The codecs against Python's base64, hashlib and hmac on many random inputs."""

import base64
import hashlib
import hmac
import os
import random
import subprocess

from peers import command

TOOL = os.environ.get("CODEC_TOOL", os.path.join(os.path.dirname(__file__), "..", "..", "build", "default",
                                                  "tests", "codec_tool"))
rng = random.Random(4648)


def ask(lines):
    proc = subprocess.run(command(TOOL), input="\n".join(lines) + "\n", capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


def hexa(b):
    return b.hex() or "-"


def random_bytes(n):
    return bytes(rng.getrandbits(8) for _ in range(n))


def test_md5_in_random_pieces():
    cases = []
    for n in list(range(0, 200)) + [rng.randrange(200, 5000) for _ in range(100)]:
        for piece in (1, rng.randrange(1, 70), 55, 56, 64, 65):
            cases.append((random_bytes(n), piece))
    answers = ask([f"md5 {hexa(m)} {p}" for m, p in cases])
    assert answers == [hashlib.md5(m).hexdigest() for m, _ in cases]


def test_hmac_md5_keys_around_the_block_size():
    cases = [(random_bytes(k), random_bytes(rng.randrange(0, 300)))
             for k in (0, 1, 16, 63, 64, 65, 80, 200) for _ in range(25)]
    answers = ask([f"hmac {hexa(k)} {hexa(t)}" for k, t in cases])
    assert answers == [hmac.new(k, t, hashlib.md5).hexdigest() for k, t in cases]


def test_base64_encode_into_exact_short_and_long_buffers():
    lines, expected = [], []
    for n in range(0, 301):
        data = random_bytes(n)
        encoded = base64.b64encode(data)
        exact = len(encoded) + 1
        for size in (exact - 1, exact, exact + 1, 0, 1, 5):
            if size < 0:
                continue
            lines.append(f"enc {hexa(data)} {size}")
            if len(encoded) <= size - 1:
                expected.append("0 " + hexa(encoded + bytes(1)))
            else:  # whole groups only, as many as fit with room for a NUL
                groups = max(0, (size - 1) // 4)
                expected.append(f"1 {hexa(encoded[:4 * groups])}")
    assert ask(lines) == expected


def decode_expected(data, size):
    """Result and bytes of the decoder: whole groups, one byte kept for the NUL."""
    if len(data) <= size - 1:
        return f"{len(data)} {hexa(data)}"
    written = 0
    for start in range(0, len(data), 3):
        take = len(data[start:start + 3])
        if written + take > size - 1:
            break
        written += take
    return f"-3 {hexa(data[:written])}"


def test_base64_decode_round_trips_and_bounds():
    lines, expected = [], []
    for n in range(0, 301):
        data = random_bytes(n)
        tail = rng.choice([b"", b"\r\n", b" trailing words", b"\t", b"\n"])
        text = base64.b64encode(data) + tail
        for size in (n, n + 1, n + 2, 0, 1):
            lines.append(f"dec {hexa(text)} {size}")
            expected.append(decode_expected(data, size))
    assert ask(lines) == expected
