#include "net/transport.h"

namespace {

// Every failure after the socket exists closes it; last_error is set first.
// The failure's error code stays current for the caller's choice of the next
// address (0 when the failure has none).
sock_t abandon(sock_t sock, int code) noexcept
{
    sock_close(sock);
    sock_set_error(code);
    return SOCK_INVALID;
}

struct Attempt {
    int port;
    int timeout_seconds;
    ConnectNotice notice;
    void* context;
};

sock_t attempt_address(const SockAddress& address, void* context) noexcept
{
    const Attempt* attempt = static_cast<const Attempt*>(context);
    attempt->notice(address, attempt->context);
    return connect_with_timeout(sock_any_address(address), 0, address, attempt->port, attempt->timeout_seconds);
}

} // namespace

sock_t connect_with_timeout(const SockAddress& local_address, int local_port, const SockAddress& remote_address,
                            int remote_port, int timeout_seconds) noexcept
{
    const sock_t sock = sock_tcp(remote_address);
    if (sock == SOCK_INVALID) {
        set_last_error("Cannot create socket. %s", socket_error_text());
        return SOCK_INVALID;
    }
    // Each message takes the error text first: converting an address for
    // printing must not disturb the error code.
    if (sock_bind(sock, local_address, local_port) != 0) {
        const int code = sock_error();
        const char* reason = socket_error_text();
        set_last_error("Cannot bind socket to my address %s:%d. %s", sock_address_text_for_port(local_address).text,
                       local_port, reason);
        return abandon(sock, code);
    }
    // Non-blocking for the socket's whole life: every read and write waits
    // for readiness first, under its own time-out.
    if (sock_set_nonblocking(sock) != 0) {
        const int code = sock_error();
        set_last_error("Cannot FIONBIO socket %s", socket_error_text());
        return abandon(sock, code);
    }
    const SockAddressText remote = sock_address_text_for_port(remote_address);
    if (sock_connect(sock, remote_address, remote_port) != 0 && !sock_error_in_progress(sock_error())) {
        const int code = sock_error();
        const char* reason = socket_error_text();
        set_last_error("Cannot connect to server %s:%d. %s", remote.text, remote_port, reason);
        return abandon(sock, code);
    }

    SockWait wait{sock, true, true, false, false};
    const int ready = sock_wait(&wait, 1, timeout_seconds);
    if (ready == 0) {
        set_last_error("Timeout connecting to server %s:%d", remote.text, remote_port);
        return abandon(sock, 0);
    }
    if (ready < 0) {
        const int code = sock_error();
        const char* reason = socket_error_text();
        set_last_error("Cannot connect to server %s:%d. %s", remote.text, remote_port, reason);
        return abandon(sock, code);
    }

    // Whatever woke the wait, the pending error decides whether the
    // connection stands.
    int pending = 0;
    int length = 0;
    if (sock_pending_error(sock, &pending, &length) != 0) {
        const int code = sock_error();
        set_last_error("Cannot getsockopt(SO_ERROR) on socket. %s", socket_error_text());
        return abandon(sock, code);
    }
    if (length != static_cast<int>(sizeof pending)) {
        set_last_error("getsockopt(SO_ERROR) failed returning an invalid number of bytes");
        return abandon(sock, 0);
    }
    if (pending != 0) {
        const char* reason = socket_error_text();
        set_last_error("Cannot connect to server %s:%d. %s", remote.text, remote_port, reason);
        return abandon(sock, pending);
    }
    return sock;
}

sock_t connect_to_host(const SockHost& host, int port, int timeout_seconds, ConnectNotice notice,
                       void* context) noexcept
{
    Attempt attempt{port, timeout_seconds, notice, context};
    return sock_connect_host(host, attempt_address, &attempt);
}
