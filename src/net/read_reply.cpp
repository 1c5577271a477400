#include <cstdio>
#include <cstring>

#include "common/ascii.h"
#include "common/settings.h"
#include "common/wipe.h"
#include "net/stream.h"
#include "net/transport.h"

namespace {

char reply_buffer[reply_buffer_size];
// What the last read brought behind the reply's final line.
char reply_excess[reply_buffer_size];
int reply_excess_count;

// The first CR LF in [from, from + length), or nullptr.
const char* find_crlf(const char* from, int length) noexcept
{
    for (int i = 0; i + 1 < length; ++i) {
        if (from[i] == '\r' && from[i + 1] == '\n')
            return from + i;
    }
    return nullptr;
}

// The last line of a reply has a space after its code (RFC 5321, 4.2.1).
bool is_final_line(const char* line, int remaining) noexcept
{
    return remaining >= 4 && ascii_is_digit(line[0]) && ascii_is_digit(line[1]) &&
           ascii_is_digit(line[2]) && line[3] == ' ';
}

} // namespace

const char* get_reply_buffer() noexcept
{
    return reply_buffer;
}

void wipe_reply_buffer() noexcept
{
    secure_zero(reply_buffer, sizeof reply_buffer);
    secure_zero(reply_excess, sizeof reply_excess);
}

int get_reply_excess(const char** bytes) noexcept
{
    *bytes = reply_excess;
    return reply_excess_count;
}

int read_reply(sock_t sock, int timeout_seconds) noexcept
{
    SockAddress peer{};
    int peer_port = 0;
    sock_peer(sock, &peer, &peer_port);

    int received = 0;
    int scan = 0; // start of the first line not yet examined
    reply_excess_count = 0;
    for (;;) {
        // What TLS has already decrypted is read without a wait.
        if (!stream_buffered(sock)) {
            SockWait wait{sock, false, false, false, false};
            stream_interest(&wait, true, false);
            const int ready = sock_wait(&wait, 1, timeout_seconds);
            if (ready < 0) {
                const char* reason = socket_error_text();
                set_last_error("select() error while reading from %s: %s", sock_address_text(peer).text, reason);
                return -1;
            }
            if (ready == 0) {
                set_last_error("Timeout error while waiting data from %s", sock_address_text(peer).text);
                return -1;
            }
        }
        const int n = stream_recv(sock, reply_buffer + received, reply_buffer_size - received);
        if (n == SOCK_AGAIN)
            continue;
        if (n < 0) {
            const char* reason = stream_error_text();
            set_last_error("recv() error while waiting data from %s: %s", sock_address_text(peer).text, reason);
            return -1;
        }
        if (n == 0) {
            set_last_error("recv() connection closed by %s", sock_address_text(peer).text);
            return -1;
        }
        received += n;

        // Examine every line whose CR LF has arrived. The reply ends at the
        // CR LF of its final line, which must leave a byte for the NUL.
        for (;;) {
            const char* line = reply_buffer + scan;
            const int remaining = received - scan;
            const char* crlf = find_crlf(line, remaining);
            if (crlf == nullptr)
                break;
            const int end = static_cast<int>(crlf - reply_buffer) + 2;
            if (end >= reply_buffer_size)
                break;
            if (settings.verbose != 0) {
                std::printf("[%15s:%-4d] > ", sock_address_text_for_port(peer).text, peer_port);
                std::fwrite(line, 1, static_cast<std::size_t>(crlf - line), stdout);
                std::printf("\n");
            }
            if (is_final_line(line, remaining)) {
                reply_excess_count = received - end;
                std::memcpy(reply_excess, reply_buffer + end, static_cast<std::size_t>(reply_excess_count));
                // The text keeps what came behind the reply, unparsed, when
                // the NUL still fits after it.
                reply_buffer[received < reply_buffer_size ? received : end] = '\0';
                return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
            }
            // Step over the line: up to its first CR or LF (a bare one may
            // come before the CR LF), then over the run of CR and LF.
            while (scan < received && reply_buffer[scan] != '\r' && reply_buffer[scan] != '\n')
                ++scan;
            while (scan < received && (reply_buffer[scan] == '\r' || reply_buffer[scan] == '\n'))
                ++scan;
        }
        if (received >= reply_buffer_size) {
            set_last_error("Receive buffer overflow while reading data from %s", sock_address_text(peer).text);
            return -1;
        }
    }
}
