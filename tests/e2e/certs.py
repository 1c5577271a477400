"""Throwaway certificates for the TLS tests: a CA of their own and server
certificates for 127.0.0.1 and localhost, good or bad in one way each. Made
once per test session in a temporary directory; nothing is trusted outside
the tests."""

import datetime
import ipaddress
import ssl
import warnings

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

NOW = datetime.datetime.now(datetime.timezone.utc)
DAY = datetime.timedelta(days=1)


def _name(common_name):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])


def _certificate(subject, key, issuer, issuer_key, sans=(), ca=False, not_before=NOW - DAY, not_after=NOW + DAY,
                 extensions=()):
    builder = (x509.CertificateBuilder().subject_name(subject).issuer_name(issuer).public_key(key.public_key())
               .serial_number(x509.random_serial_number()).not_valid_before(not_before)
               .not_valid_after(not_after)
               .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
    if sans:
        builder = builder.add_extension(x509.SubjectAlternativeName(list(sans)), critical=False)
    for extension in extensions:
        builder = builder.add_extension(extension, critical=False)
    if ca:
        builder = builder.add_extension(x509.KeyUsage(digital_signature=True, key_cert_sign=True, crl_sign=True,
                                                      content_commitment=False, key_encipherment=False,
                                                      data_encipherment=False, key_agreement=False,
                                                      encipher_only=False, decipher_only=False), critical=True)
    # Under Wine a valid chain was refused once with "certificate signature
    # failure"; the suspect is an ECDSA r or s shorter than full width (a
    # leading zero byte, about 1 signature in 128). Sign again until both are
    # full width: the same certificate, without the chance.
    for _ in range(64):
        cert = builder.sign(issuer_key, hashes.SHA256())
        r, s = decode_dss_signature(cert.signature)
        if r.bit_length() > 248 and s.bit_length() > 248:
            break
    return cert


LOCAL_NAMES = (x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1")))
LOCAL_NAMES_BOTH_FAMILIES = LOCAL_NAMES + (x509.IPAddress(ipaddress.ip_address("::1")),)
# More names than fit in 16 KiB once decoded, none of them the server's.
OTHER_NAMES = tuple(x509.DNSName(f"host{i:03d}.quiln.example") for i in range(300))


class Certificates:
    """kinds: good (CA-signed, localhost, 127.0.0.1 and ::1), wrong_name (CA-signed
    for other.example), expired (CA-signed, ended yesterday), not_yet_valid
    (begins tomorrow), self_signed, common_name_only (no alternative names:
    CN=localhost under an organisation), by_intermediate (signed by an
    intermediate CA that the server sends along), nul_in_a_name (the DNS name
    "localhost\\0.evil.example", CN=localhost), many_names (300 other names,
    CN=localhost), many_names_and_localhost (299 others, then localhost;
    CN=other.example) and client_auth_only (its only extended key usage is
    clientAuth)."""

    def __init__(self, directory):
        self.directory = directory
        ca_key = ec.generate_private_key(ec.SECP256R1())
        self.ca = _certificate(_name("quiln test CA"), ca_key, _name("quiln test CA"), ca_key, ca=True,
                               not_after=NOW + 10 * DAY)
        self.ca_file = self._write("ca.pem", self.ca)
        intermediate_key = ec.generate_private_key(ec.SECP256R1())
        intermediate = _certificate(_name("quiln test intermediate CA"), intermediate_key, self.ca.subject, ca_key,
                                    ca=True, not_after=NOW + 5 * DAY)
        signers = {"ca": (self.ca, ca_key), "intermediate": (intermediate, intermediate_key)}
        self.files = {}
        self.fingerprints = {}
        self.subjects = {}  # in the one-line form quiln prints
        for kind, sans, signer, extra in [
            ("good", LOCAL_NAMES_BOTH_FAMILIES, "ca", {}),
            ("wrong_name", (x509.DNSName("other.example"),), "ca", {}),
            ("expired", LOCAL_NAMES, "ca", {"not_before": NOW - 10 * DAY, "not_after": NOW - DAY}),
            ("not_yet_valid", LOCAL_NAMES, "ca", {"not_before": NOW + DAY, "not_after": NOW + 2 * DAY}),
            ("self_signed", LOCAL_NAMES, "self", {}),
            ("common_name_only", (), "ca", {}),
            ("by_intermediate", LOCAL_NAMES, "intermediate", {}),
            ("nul_in_a_name", (x509.DNSName("localhost\0.evil.example"),), "ca", {"common_name": "localhost"}),
            ("many_names", OTHER_NAMES, "ca", {"common_name": "localhost"}),
            ("many_names_and_localhost", OTHER_NAMES[1:] + (x509.DNSName("localhost"),), "ca",
             {"common_name": "other.example"}),
            ("client_auth_only", LOCAL_NAMES, "ca",
             {"extensions": [x509.ExtendedKeyUsage([ExtendedKeyUsageOID.CLIENT_AUTH])]}),
        ]:
            key = ec.generate_private_key(ec.SECP256R1())
            common_name = extra.pop("common_name", f"{kind}.quiln.test")
            if kind == "common_name_only":
                subject = x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "quiln tests"),
                                     x509.NameAttribute(NameOID.COMMON_NAME, "localhost")])
                self.subjects[kind] = "/O=quiln tests/CN=localhost"
            else:
                subject = _name(common_name)
                self.subjects[kind] = f"/CN={common_name}"
            issuer, issuer_key = (subject, key) if signer == "self" else (signers[signer][0].subject,
                                                                           signers[signer][1])
            cert = _certificate(subject, key, issuer, issuer_key, sans=sans, **extra)
            key_file = directory / f"{kind}.key"
            key_file.write_bytes(key.private_bytes(serialization.Encoding.PEM,
                                                   serialization.PrivateFormat.PKCS8,
                                                   serialization.NoEncryption()))
            chain = [cert, intermediate] if signer == "intermediate" else [cert]
            self.files[kind] = (self._write(f"{kind}.pem", *chain), key_file)
            self.fingerprints[kind] = cert.fingerprint(hashes.SHA256()).hex()

    def _write(self, name, *certs):
        path = self.directory / name
        path.write_bytes(b"".join(cert.public_bytes(serialization.Encoding.PEM) for cert in certs))
        return path

    def server_context(self, kind="good", tls_max=None):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        if tls_max is not None:  # an old server: TLS 1.0 at most
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                context.minimum_version = ssl.TLSVersion.MINIMUM_SUPPORTED
                context.maximum_version = tls_max
            context.set_ciphers("DEFAULT:@SECLEVEL=0")
        context.load_cert_chain(*self.files[kind])
        return context
