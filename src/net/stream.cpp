#include "net/stream.h"

#include "net/transport.h"
#include "tls/tls.h"

namespace {

// Which readiness the TLS session's next read and next write wait for.
bool read_needs_write = false;
bool write_needs_read = false;

// The reason of the last TLS failure, or nullptr for the socket's own.
const char* tls_reason = nullptr;

bool carries_tls(sock_t sock) noexcept
{
    return sock != SOCK_INVALID && sock == tls_socket();
}

// Turns a TLS result into a socket result, and notes what the next call of
// the same kind waits for.
int from_tls(int result, bool* needs_other) noexcept
{
    *needs_other = false;
    if (result >= 0)
        return result;
    if (result == TLS_WANT_READ || result == TLS_WANT_WRITE) {
        *needs_other = true;
        return SOCK_AGAIN;
    }
    tls_reason = tls_error();
    return SOCK_FAILED;
}

} // namespace

int stream_recv(sock_t sock, void* buffer, int size) noexcept
{
    tls_reason = nullptr;
    if (!carries_tls(sock))
        return sock_recv(sock, buffer, size);
    const int result = tls_recv(buffer, size);
    const int status = from_tls(result, &read_needs_write);
    // A read may want the socket readable, which is no change of direction.
    if (result == TLS_WANT_READ)
        read_needs_write = false;
    return status;
}

int stream_send(sock_t sock, const void* data, int count) noexcept
{
    tls_reason = nullptr;
    if (!carries_tls(sock))
        return sock_send(sock, data, count);
    const int result = tls_send(data, count);
    const int status = from_tls(result, &write_needs_read);
    if (result == TLS_WANT_WRITE)
        write_needs_read = false;
    return status;
}

void stream_shutdown_send(sock_t sock) noexcept
{
    if (carries_tls(sock) && tls_shutdown_send() != 0)
        return;
    (void)sock_shutdown_send(sock);
}

const char* stream_error_text() noexcept
{
    return tls_reason != nullptr ? tls_reason : socket_error_text();
}

bool stream_buffered(sock_t sock) noexcept
{
    return carries_tls(sock) && tls_pending() > 0;
}

void stream_interest(SockWait* wait, bool read, bool write) noexcept
{
    if (!carries_tls(wait->sock)) {
        wait->want_read = read;
        wait->want_write = write;
        return;
    }
    wait->want_read = (read && !read_needs_write) || (write && write_needs_read);
    wait->want_write = (write && !write_needs_read) || (read && read_needs_write);
}

bool stream_can_read(const SockWait& wait) noexcept
{
    if (carries_tls(wait.sock) && read_needs_write)
        return wait.writable;
    return wait.readable;
}

bool stream_can_write(const SockWait& wait) noexcept
{
    if (carries_tls(wait.sock) && write_needs_read)
        return wait.readable;
    return wait.writable;
}

int stream_start_tls(sock_t sock, const char* host, int timeout_seconds) noexcept
{
    SockAddress peer{};
    int port = 0;
    sock_peer(sock, &peer, &port);
    read_needs_write = write_needs_read = false;
    // An address goes to the backend in its usual form (a dotted address
    // may be written shorter, as "127.1"; an IPv6 one in brackets), never
    // as a name.
    SockAddress address{};
    const bool is_address = sock_parse_literal(host, &address) == SockLiteral::address;
    if (tls_attach(sock, is_address ? sock_address_text(address).text : host, is_address) != 0) {
        set_last_error("%s", tls_error() != nullptr ? tls_error() : socket_error_text());
        return -1;
    }
    for (;;) {
        const int step = tls_handshake();
        if (step == 0)
            return 0;
        if (step == TLS_FAILED) {
            set_last_error("%s", tls_error() != nullptr ? tls_error() : socket_error_text());
            return -1;
        }
        SockWait wait{sock, step == TLS_WANT_READ, step == TLS_WANT_WRITE, false, false};
        const int ready = sock_wait(&wait, 1, timeout_seconds);
        if (ready == 0) {
            set_last_error("Timeout during the TLS handshake with %s", sock_address_text(peer).text);
            return -1;
        }
        if (ready < 0) {
            const char* reason = socket_error_text();
            set_last_error("select() error during the TLS handshake with %s: %s", sock_address_text(peer).text, reason);
            return -1;
        }
    }
}
