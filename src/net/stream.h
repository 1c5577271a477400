// Reading and writing one connection: through the TLS session when the
// connection carries it, straight to the socket otherwise. The reply reader,
// the command writer and the relay go through here, so that they need not
// know whether TLS is on.
#pragma once

#include "socket/socket_layer.h"

// Like sock_recv and sock_send: a count, 0 on an orderly close (read only;
// for TLS with or without close_notify), SOCK_FAILED or SOCK_AGAIN. After
// SOCK_AGAIN from stream_send the same data and count must be offered again.
[[nodiscard]] int stream_recv(sock_t sock, void* buffer, int size) noexcept;
[[nodiscard]] int stream_send(sock_t sock, const void* data, int count) noexcept;

// Ends this side's sending (the peer reads an orderly end); reading goes on.
// With TLS, close_notify goes first; when it cannot be sent at once, the
// connection is left as it is, and its end waits for the close of the run.
void stream_shutdown_send(sock_t sock) noexcept;

// The text of the last failed stream call: the TLS library's reason, or the
// socket's error text.
[[nodiscard]] const char* stream_error_text() noexcept;

// Bytes already decrypted: the next stream_recv needs no wait.
[[nodiscard]] bool stream_buffered(sock_t sock) noexcept;

// Sets wait->want_read and wait->want_write for a connection that is to be
// read (`read`) and/or written (`write`): a TLS read may need the socket
// writable, and a TLS write readable. After the wait, stream_can_read and
// stream_can_write tell whether the read or the write may be tried.
void stream_interest(SockWait* wait, bool read, bool write) noexcept;
[[nodiscard]] bool stream_can_read(const SockWait& wait) noexcept;
[[nodiscard]] bool stream_can_write(const SockWait& wait) noexcept;

// Starts TLS on the connected socket for the server named `host` and runs
// the handshake, waiting at most timeout_seconds each time. Returns 0 once
// the server's certificate is accepted, or -1 with one of: "Timeout during
// the TLS handshake with %s", "select() error during the TLS handshake with
// %s: %s", or the TLS library's reason (tls_peer() tells a refused
// certificate).
[[nodiscard]] int stream_start_tls(sock_t sock, const char* host, int timeout_seconds) noexcept;
