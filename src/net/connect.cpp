#include "net/transport.h"

namespace {

// Every failure after the socket exists closes it; last_error is set first.
sock_t abandon(sock_t sock) noexcept
{
    sock_close(sock);
    return SOCK_INVALID;
}

} // namespace

sock_t connect_with_timeout(std::uint32_t local_address, int local_port, std::uint32_t remote_address,
                            int remote_port, int timeout_seconds) noexcept
{
    const sock_t sock = sock_tcp();
    if (sock == SOCK_INVALID) {
        set_last_error("Cannot create socket. %s", socket_error_text());
        return SOCK_INVALID;
    }
    // Each message takes the error text first: converting an address for
    // printing must not disturb the error code.
    if (sock_bind(sock, local_address, local_port) != 0) {
        const char* reason = socket_error_text();
        set_last_error("Cannot bind socket to my address %s:%d. %s", sock_dotted(local_address),
                       local_port, reason);
        return abandon(sock);
    }
    // Non-blocking for the socket's whole life: every read and write waits
    // for readiness first, under its own time-out.
    if (sock_set_nonblocking(sock) != 0) {
        set_last_error("Cannot FIONBIO socket %s", socket_error_text());
        return abandon(sock);
    }
    if (sock_connect(sock, remote_address, remote_port) != 0 && !sock_error_in_progress(sock_error())) {
        const char* reason = socket_error_text();
        set_last_error("Cannot connect to server %s:%d. %s", sock_dotted(remote_address), remote_port,
                       reason);
        return abandon(sock);
    }

    SockWait wait{sock, true, true, false, false};
    const int ready = sock_wait(&wait, 1, timeout_seconds);
    if (ready == 0) {
        set_last_error("Timeout connecting to server %s:%d", sock_dotted(remote_address), remote_port);
        return abandon(sock);
    }
    if (ready < 0) {
        const char* reason = socket_error_text();
        set_last_error("Cannot connect to server %s:%d. %s", sock_dotted(remote_address), remote_port,
                       reason);
        return abandon(sock);
    }

    // Whatever woke the wait, the pending error decides whether the
    // connection stands.
    int pending = 0;
    int length = 0;
    if (sock_pending_error(sock, &pending, &length) != 0) {
        set_last_error("Cannot getsockopt(SO_ERROR) on socket. %s", socket_error_text());
        return abandon(sock);
    }
    if (length != static_cast<int>(sizeof pending)) {
        set_last_error("getsockopt(SO_ERROR) failed returning an invalid number of bytes");
        return abandon(sock);
    }
    if (pending != 0) {
        const char* reason = socket_error_text();
        set_last_error("Cannot connect to server %s:%d. %s", sock_dotted(remote_address), remote_port,
                       reason);
        return abandon(sock);
    }
    return sock;
}
