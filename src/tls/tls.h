// TLS on the connection to the ATRN server (STARTTLS, RFC 3207): what every
// backend provides. One session per run; the backend keeps its state.
//
// The socket stays non-blocking: a call that cannot go on without the
// network returns TLS_WANT_READ or TLS_WANT_WRITE, and the caller waits for
// that readiness and calls again with the same arguments. Nothing here
// waits, prints or ends the process.
#pragma once

#include "socket/socket_layer.h"

// Results besides counts.
inline constexpr int TLS_FAILED = -1;
inline constexpr int TLS_WANT_READ = -2;  // call again once the socket is readable
inline constexpr int TLS_WANT_WRITE = -3; // call again once the socket is writable
inline constexpr int TLS_BAD_CA_FILE = -4; // tls_prepare: the CA file cannot serve

inline constexpr int tls_pin_size = 32; // a SHA-256 fingerprint

// False in a build without TLS; every other call then fails.
[[nodiscard]] bool tls_available() noexcept;

// Starts the library and sets what the session will trust: only the
// certificate whose SHA-256 fingerprint is `pin` (tls_pin_size bytes) when
// pin is given, else the CA certificates of the PEM file ca_file, else the
// system's store. Returns 0, TLS_BAD_CA_FILE when the CA file cannot be
// used, or TLS_FAILED when the library cannot; the reason in tls_error().
[[nodiscard]] int tls_prepare(const char* ca_file, const unsigned char* pin) noexcept;

// Ties a session to the connected socket, for the server named `host`: a
// DNS name, or (is_address) an address as the socket layer writes it (a
// dotted IPv4 address in its usual four-part form, an IPv6 address without
// brackets), checked against the certificate's IP addresses and never sent
// as the server name. Returns 0, or
// TLS_FAILED.
[[nodiscard]] int tls_attach(sock_t sock, const char* host, bool is_address) noexcept;

// One step of the handshake: 0 when it is done and the certificate was
// accepted, TLS_WANT_READ, TLS_WANT_WRITE or TLS_FAILED (reason in
// tls_error(); see tls_refusal() for a refused certificate).
[[nodiscard]] int tls_handshake() noexcept;

// Count of bytes read (1 to size), 0 when the server ended its sending (with
// close_notify or a plain close of the connection), TLS_WANT_*, or
// TLS_FAILED (a fatal alert, a corrupt record, a failed socket).
[[nodiscard]] int tls_recv(void* buffer, int size) noexcept;

// Count of bytes taken (1 to count), TLS_WANT_* or TLS_FAILED. After
// TLS_WANT_*, the same data and count must be offered again.
[[nodiscard]] int tls_send(const void* data, int count) noexcept;

// Ends this side's sending with close_notify; reading goes on. Returns 0
// once it is sent, TLS_WANT_* or TLS_FAILED.
[[nodiscard]] int tls_shutdown_send() noexcept;

// Bytes that tls_recv returns without a wait on the socket: decrypted, or
// whole records the library holds; positive too when what it holds ends the
// stream (an end or a failure that tls_recv will report).
[[nodiscard]] int tls_pending() noexcept;

// The socket that carries the session, or SOCK_INVALID.
[[nodiscard]] sock_t tls_socket() noexcept;

// Sends close_notify when the session is sound (without waiting for the
// server's), then frees the session and wipes its keys. The socket stays
// open. Calling it without a session does nothing. What tls_prepare set up
// stays for the next session.
void tls_close() noexcept;

// Ends TLS for the run: frees what tls_prepare set up and wipes the pin.
void tls_release() noexcept;

// The reason of the last TLS_FAILED, or nullptr when the socket itself
// failed (its error code is then the current one).
[[nodiscard]] const char* tls_error() noexcept;

// Whether this build can give a channel binding (RFC 5056) on some TLS
// version, for SCRAM-SHA-256-PLUS.
[[nodiscard]] bool tls_can_bind() noexcept;

inline constexpr int tls_binding_max = 64;

// The channel binding of the session that is up: tls-exporter (RFC 9266) on
// TLS 1.3, tls-unique (RFC 5929) on TLS 1.2. Writes its data (at most
// tls_binding_max bytes) and sets *type to the binding's name. Returns the
// length, or 0 when this session gives none.
[[nodiscard]] int tls_channel_binding(unsigned char* out, const char** type) noexcept;

// The server's certificate as the handshake saw it.
struct TlsPeer {
    bool refused;            // the certificate failed the checks or the pin
    bool pinned;             // accepted by its fingerprint, not by a CA
    const char* reason;      // why it was refused ("" when it was not)
    const char* fingerprint; // SHA-256, as hex pairs with colons ("" when none came)
    const char* subject;     // one-line form ("" when none came)
    const char* protocol;    // "TLSv1.3", ... once the handshake is done
    const char* cipher;
};
void tls_peer(TlsPeer* peer) noexcept;
