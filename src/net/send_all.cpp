#include <cstdio>

#include "common/settings.h"
#include "net/stream.h"
#include "net/transport.h"

int send_all(sock_t sock, int timeout_seconds, const char* data, int count) noexcept
{
    SockAddress peer{};
    int peer_port = 0;
    sock_peer(sock, &peer, &peer_port);
    if (settings.verbose != 0)
        std::printf("[%15s:%-4d] < %*.*s", sock_address_text_for_port(peer).text, peer_port, count, count, data);

    int sent = 0;
    while (sent < count) {
        SockWait wait{sock, false, false, false, false};
        stream_interest(&wait, false, true);
        const int ready = sock_wait(&wait, 1, timeout_seconds);
        if (ready <= 0) {
            // A time-out sets no code: the text is whatever the library holds.
            const char* reason = socket_error_text();
            set_last_error(ready == 0 ? "timeout error writing to %s: %s" : "select() error writing to %s: %s",
                           sock_address_text(peer).text, reason);
            return -1;
        }
        int pending = 0;
        int length = 0;
        if (sock_pending_error(sock, &pending, &length) != 0) {
            const char* reason = socket_error_text();
            set_last_error("error (1) writing to %s: %s", sock_address_text(peer).text, reason);
            return -1;
        }
        if (length != static_cast<int>(sizeof pending) || pending != 0) {
            const char* reason = socket_error_text();
            set_last_error("error writing to %s: %s", sock_address_text(peer).text, reason);
            return -1;
        }
        const int n = stream_send(sock, data + sent, count - sent);
        if (n == SOCK_AGAIN)
            continue;
        if (n < 0) {
            const char* reason = stream_error_text();
            set_last_error("send() error writing to %s: %s", sock_address_text(peer).text, reason);
            return -1;
        }
        sent += n;
    }
    return 0;
}
