#include <cstring>

#include "net/transport.h"

namespace {

unsigned char to_smtp_buffer[relay_buffer_size]; // read from the ATRN side, not yet sent on
unsigned char to_atrn_buffer[relay_buffer_size]; // read from the SMTP server, not yet sent on

// One direction of the relay: pending bytes sit at the front of the buffer in
// arrival order.
struct Direction {
    unsigned char* buffer;
    int pending;
};

// Reads what the socket holds into the free room. Returns 1 on data, 0 on an
// orderly close, -1 with last_error set.
int fill(sock_t from, std::uint32_t peer, Direction& d) noexcept
{
    const int n = sock_recv(from, d.buffer + d.pending, relay_buffer_size - d.pending);
    if (n == SOCK_AGAIN)
        return 1;
    if (n < 0) {
        const char* reason = socket_error_text();
        set_last_error("recv() error while reading data from %s: %s", sock_dotted(peer), reason);
        return -1;
    }
    if (n == 0)
        return 0;
    d.pending += n;
    return 1;
}

// Sends what is pending and moves any unsent rest to the front. Returns 0,
// or SOCK_FAILED with the socket's error code set.
int send_pending(sock_t to, Direction& d) noexcept
{
    const int n = sock_send(to, d.buffer, d.pending);
    if (n == SOCK_AGAIN)
        return 0;
    if (n < 0)
        return SOCK_FAILED;
    d.pending -= n;
    if (d.pending > 0)
        std::memmove(d.buffer, d.buffer + n, static_cast<std::size_t>(d.pending));
    return 0;
}

int drain(sock_t to, std::uint32_t peer, Direction& d) noexcept
{
    if (send_pending(to, d) == 0)
        return 0;
    const char* reason = socket_error_text();
    set_last_error("send() error writing to %s: %s", sock_dotted(peer), reason);
    return -1;
}

int check_channel(sock_t sock, std::uint32_t peer) noexcept
{
    int pending = 0;
    int length = 0;
    if (sock_pending_error(sock, &pending, &length) != 0 || length != static_cast<int>(sizeof pending) ||
        pending != 0) {
        const char* reason = socket_error_text();
        set_last_error("Error in data channel with %s: %s", sock_dotted(peer), reason);
        return -1;
    }
    return 0;
}

// After one side closed in order: whatever was already read for the side
// still open is delivered before the relay ends, so that neither the reply to
// the last message nor a pipelined last command is lost. A failure of that
// side now changes nothing: the relay ended by an orderly close.
void deliver_rest(sock_t to, Direction& d, int timeout_seconds) noexcept
{
    while (d.pending > 0) {
        SockWait wait{to, false, true, false, false};
        if (sock_wait(&wait, 1, timeout_seconds) <= 0 || send_pending(to, d) != 0)
            return;
    }
}

} // namespace

int relay_streams(sock_t atrn_sock, sock_t smtp_sock, int timeout_seconds) noexcept
{
    std::uint32_t atrn_peer = 0;
    std::uint32_t smtp_peer = 0;
    int port = 0;
    sock_peer(atrn_sock, &atrn_peer, &port);
    sock_peer(smtp_sock, &smtp_peer, &port);

    Direction to_smtp{to_smtp_buffer, 0};
    Direction to_atrn{to_atrn_buffer, 0};

    for (;;) {
        // A side is read only while there is room for what it sends, and
        // written only while something waits for it.
        SockWait set[2] = {
            {atrn_sock, to_smtp.pending < relay_buffer_size, to_atrn.pending > 0, false, false},
            {smtp_sock, to_atrn.pending < relay_buffer_size, to_smtp.pending > 0, false, false},
        };
        const int ready = sock_wait(set, 2, timeout_seconds);
        if (ready == 0) {
            set_last_error("Timeout error passig data");
            return -1;
        }
        if (ready < 0) {
            set_last_error("select() error passing data: %s", socket_error_text());
            return -1;
        }

        if (check_channel(atrn_sock, atrn_peer) != 0 || check_channel(smtp_sock, smtp_peer) != 0)
            return -1;

        if (set[0].readable) {
            const int status = fill(atrn_sock, atrn_peer, to_smtp);
            if (status < 0)
                return -1;
            if (status == 0) {
                deliver_rest(smtp_sock, to_smtp, timeout_seconds);
                return 0;
            }
        }
        if (set[1].readable) {
            const int status = fill(smtp_sock, smtp_peer, to_atrn);
            if (status < 0)
                return -1;
            if (status == 0) {
                deliver_rest(atrn_sock, to_atrn, timeout_seconds);
                return 0;
            }
        }
        if (set[0].writable && drain(atrn_sock, atrn_peer, to_atrn) != 0)
            return -1;
        if (set[1].writable && drain(smtp_sock, smtp_peer, to_smtp) != 0)
            return -1;
    }
}
