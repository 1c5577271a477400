"""TLS without options of quiln's own: stunnel in client mode (protocol smtp,
certificate verified) sits between quiln and a provider that offers STARTTLS.
quiln speaks plain text to stunnel's local port; the dialogue and the relay
reach the provider over TLS."""

import os
import shutil
import ssl
import subprocess
import time

import pytest

from peers import Provider, closed_port, run

STUNNEL = shutil.which("stunnel4") or shutil.which("stunnel")
pytestmark = pytest.mark.skipif(STUNNEL is None or shutil.which("openssl") is None,
                                reason="stunnel4 and openssl are needed (scripts/install-deps.sh)")


def listening(port):
    """True once something listens on 127.0.0.1:port (read from /proc, so no
    connection is spent on finding out)."""
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            local, state = line.split()[1], line.split()[3]
            if state == "0A" and local == f"0100007F:{port:04X}":
                return True
    return False


@pytest.fixture
def certificate(tmp_path):
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                    "/CN=localhost", "-addext", "subjectAltName=DNS:localhost", "-keyout", str(key), "-out",
                    str(cert)], check=True, capture_output=True, timeout=60)
    return cert, key


@pytest.mark.parametrize("host", ["localhost", "impostor.example"], ids=["verified", "wrong_name"])
def test_pickup_through_stunnel(sink, certificate, tmp_path, host):
    cert, key = certificate
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    queue = [("sender@example.net", ["rcpt@example.org"], f"Subject: {i}\r\n\r\nover TLS {i}\r\n".encode())
             for i in range(3)]
    provider = Provider("site", "secret", ["example.org"], queue, tls_context=context).start()

    local_port = closed_port()  # free for stunnel to listen on
    config = tmp_path / "stunnel.conf"
    config.write_text(f"""foreground = yes
pid =
debug = notice
[odmr]
client = yes
accept = 127.0.0.1:{local_port}
connect = 127.0.0.1:{provider.port}
protocol = smtp
verifyChain = yes
CAfile = {cert}
checkHost = {host}
reset = no
""")
    tunnel = subprocess.Popen([STUNNEL, str(config)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + 10
        while not listening(local_port):
            assert time.monotonic() < deadline, "stunnel did not start"
            assert tunnel.poll() is None, tunnel.stdout.read().decode()
            time.sleep(0.02)
        code, out, err = run(["-t", "CRAM-MD5", "-a", local_port, "-p", sink.port, "127.0.0.1", "site", "secret",
                              "example.org"])
        report = provider.join()
    finally:
        tunnel.terminate()
        tunnel.wait(10)
    if host != "localhost":
        # A certificate for another name: stunnel drops the connection after
        # the greeting, and nothing is delivered. (reset = no: with a reset,
        # whether the EHLO still goes out is a race.)
        assert code == 5 and err.startswith("Error in response to EHLO from ATRN server: "), err
        assert sink.envelopes == []
        return
    assert (code, out, err) == (0, "", "")
    assert report["error"] is None
    assert report["tls"] in ("TLSv1.2", "TLSv1.3")
    # stunnel spoke the plain-text part; quiln's own EHLO came over TLS.
    assert report["received"][:3] == ["EHLO localhost", "STARTTLS", "EHLO example.org"]
    assert [e[2] for e in sink.envelopes] == [m[2] for m in queue]
