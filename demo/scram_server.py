"""The server side of SCRAM-SHA-256 and SCRAM-SHA-256-PLUS (RFC 5802, 7677)
for the demo provider and the tests, written from the RFCs with Python's
own hashes, and the TLS channel bindings as a server sees them: tls-unique
(RFC 5929) from Python's ssl module, tls-exporter (RFC 9266) from the
session's exporter secret, which the server's context logs to a file."""

import base64
import hashlib
import hmac
import os
import ssl


def b64(data):
    return base64.b64encode(data if isinstance(data, bytes) else data.encode()).decode()


def _hkdf_expand_label(hash_name, secret, label, context, length):
    """RFC 8446, 7.1."""
    info = length.to_bytes(2, "big") + bytes([len(b"tls13 " + label)]) + b"tls13 " + label + \
        bytes([len(context)]) + context
    out, block, counter = b"", b"", 1
    while len(out) < length:
        block = hmac.new(secret, block + info + bytes([counter]), hash_name).digest()
        out += block
        counter += 1
    return out[:length]


def tls_exporter(conn, keylog):
    """RFC 9266: 32 bytes of the TLS 1.3 exporter (RFC 8446, 7.5) with the
    label EXPORTER-Channel-Binding and an empty context."""
    secret = None
    with open(keylog) as f:
        for line in f:
            words = line.split()
            if len(words) == 3 and words[0] == "EXPORTER_SECRET":
                secret = bytes.fromhex(words[2])  # the last session's
    hash_name = "sha384" if conn.cipher()[0].endswith("SHA384") else "sha256"
    empty = hashlib.new(hash_name, b"").digest()
    derived = _hkdf_expand_label(hash_name, secret, b"EXPORTER-Channel-Binding", empty,
                                 hashlib.new(hash_name).digest_size)
    return _hkdf_expand_label(hash_name, derived, b"exporter", empty, 32)


def server_binding(conn, keylog=None):
    """The binding a client should bind to on this connection: (name, data),
    or (None, b"") outside TLS."""
    if not isinstance(conn, ssl.SSLSocket):
        return None, b""
    if conn.version() == "TLSv1.3":
        return "tls-exporter", tls_exporter(conn, keylog)
    return "tls-unique", conn.get_channel_binding("tls-unique")


def logging_context(context, directory):
    """Makes a server context log its sessions' secrets, for tls-exporter."""
    context.keylog_filename = os.path.join(directory, "keylog.txt")
    return context


class ScramServer:
    """One SCRAM exchange. first() answers the client-first message (the
    AUTH line's initial response, or a line of its own), final() the
    client-final one; both return the text to send. What went wrong, from the
    server's view, is in self.problems."""

    def __init__(self, user, secret, salt=b"sodium chloride", iterations=4096, server_nonce="3rfcNHYJY1ZVvWVs7j",
                 plus_listed=False, keylog=None):
        self.user, self.secret = user, secret
        self.salt, self.iterations, self.server_nonce = salt, iterations, server_nonce
        self.plus_listed = plus_listed  # whether the server listed -PLUS (a "y" is then a downgrade)
        self.keylog = keylog
        self.problems = []
        self.gs2_header = self.bare = self.server_first = self.nonce = None
        self.server_signature = None
        self.authenticated = False

    def first(self, client_first_b64, conn=None):
        message = base64.b64decode(client_first_b64).decode("utf-8")
        flag, authzid, self.bare = message.split(",", 2)
        self.gs2_header = f"{flag},{authzid},"
        attributes = dict(a.split("=", 1) for a in self.bare.split(","))
        user = attributes["n"].replace("=2C", ",").replace("=3D", "=")
        if user != self.user:
            self.problems.append(f"user {user!r}")
        self.flag = flag
        self.nonce = attributes["r"] + self.server_nonce
        self.server_first = f"r={self.nonce},s={b64(self.salt)},i={self.iterations}"
        return self.server_first

    def final(self, client_final_b64, conn=None):
        message = base64.b64decode(client_final_b64).decode("utf-8")
        without_proof, _, proof = message.rpartition(",p=")
        attributes = dict(a.split("=", 1) for a in without_proof.split(","))
        name, data = server_binding(conn, self.keylog)
        if self.flag.startswith("p="):
            if self.flag != f"p={name}":
                self.problems.append(f"binds to {self.flag}, the session offers {name}")
            expected_c = b64(self.gs2_header.encode() + data)
        else:
            if self.flag == "y" and self.plus_listed:
                self.problems.append("y though -PLUS was listed: a downgrade")
            expected_c = b64(self.gs2_header)
        if attributes.get("c") != expected_c:
            self.problems.append(f"c={attributes.get('c')}, not {expected_c}")
        if attributes.get("r") != self.nonce:
            self.problems.append("nonce")
        salted = hashlib.pbkdf2_hmac("sha256", self.secret.encode(), self.salt, self.iterations)
        client_key = hmac.new(salted, b"Client Key", "sha256").digest()
        stored_key = hashlib.sha256(client_key).digest()
        auth_message = f"{self.bare},{self.server_first},{without_proof}".encode()
        signature = hmac.new(stored_key, auth_message, "sha256").digest()
        recovered = bytes(a ^ b for a, b in zip(base64.b64decode(proof), signature))
        if not hmac.compare_digest(hashlib.sha256(recovered).digest(), stored_key):
            self.problems.append("proof")
        server_key = hmac.new(salted, b"Server Key", "sha256").digest()
        self.server_signature = b64(hmac.new(server_key, auth_message, "sha256").digest())
        self.authenticated = not self.problems
        return f"v={self.server_signature}" if self.authenticated else "e=invalid-proof"
