// read_reply on a reply delivered in arbitrary pieces. The input is a list of
// pieces, each a length byte and that many bytes; they go out as packets of a
// local SOCK_SEQPACKET pair, so that each read gets exactly one piece (cut to
// the room left in the reply buffer: the rest of a packet that does not fit is
// dropped), and the writing end is then shut. The result, the reply text, its
// NUL, what followed the final line and the error must agree with a slow,
// obvious reading of the same pieces.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/transport.h"

namespace {

constexpr std::size_t size = reply_buffer_size;

bool line_end(char c)
{
    return c == '\r' || c == '\n';
}

bool digit(char c)
{
    return c >= '0' && c <= '9';
}

// What read_reply must make of the pieces.
struct Expected {
    int status = -1;
    std::string received; // all it read
    std::size_t end = 0;  // behind the CR LF of the final line
    bool overflow = false;
};

// The first final line of `got`: lines begin at the start and behind every
// run of CR and LF, and end at the first CR LF from their start; a final line
// is three digits and a space, and must end with room for the NUL behind it.
bool first_final(const std::string& got, Expected* e)
{
    for (std::size_t p = 0; p < got.size(); ++p) {
        if (p > 0 && (!line_end(got[p - 1]) || line_end(got[p])))
            continue;
        const std::size_t crlf = got.find("\r\n", p);
        if (crlf == std::string::npos || crlf + 2 >= size)
            return false;
        if (p + 4 <= got.size() && digit(got[p]) && digit(got[p + 1]) && digit(got[p + 2]) && got[p + 3] == ' ') {
            e->status = (got[p] - '0') * 100 + (got[p + 1] - '0') * 10 + (got[p + 2] - '0');
            e->end = crlf + 2;
            return true;
        }
    }
    return false;
}

Expected reference(const std::vector<std::string>& pieces)
{
    Expected e;
    for (const auto& piece : pieces) {
        e.received += piece.substr(0, size - e.received.size());
        if (first_final(e.received, &e))
            return e;
        if (e.received.size() >= size) {
            e.overflow = true;
            return e;
        }
    }
    return e;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t length)
{
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < length && pieces.size() < 200;) {
        const std::size_t n = std::min<std::size_t>(data[at] * 16u + 1u, length - at - 1);
        if (n > 0) // an empty packet would read as the end
            pieces.emplace_back(reinterpret_cast<const char*>(data + at + 1), n);
        at += 1 + n;
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0)
        std::abort();
    for (const auto& piece : pieces) {
        if (send(pair[1], piece.data(), piece.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(piece.size()))
            std::abort();
    }
    shutdown(pair[1], SHUT_WR);

    const int status = read_reply(pair[0], 1);
    close(pair[0]);
    close(pair[1]);

    const Expected e = reference(pieces);
    if (status != e.status)
        std::abort();
    const char* buffer = get_reply_buffer();
    const char* excess = nullptr;
    const int excess_count = get_reply_excess(&excess);
    if (status < 0) {
        const char* expected_error = e.overflow ? "Receive buffer overflow" : "recv() connection closed";
        if (std::strncmp(get_last_error(), expected_error, std::strlen(expected_error)) != 0 || excess_count != 0)
            std::abort();
        return 0;
    }
    // The text holds all that was read, with the NUL behind it; when the read
    // filled the buffer, the NUL stands right behind the final line instead.
    const std::size_t nul = e.received.size() < size ? e.received.size() : e.end;
    if (std::memcmp(buffer, e.received.data(), nul) != 0 || buffer[nul] != '\0')
        std::abort();
    // What followed the final line is kept apart, whole.
    if (static_cast<std::size_t>(excess_count) != e.received.size() - e.end ||
        std::memcmp(excess, e.received.data() + e.end, static_cast<std::size_t>(excess_count)) != 0)
        std::abort();
    return 0;
}
