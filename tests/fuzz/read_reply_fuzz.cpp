// read_reply on a reply delivered in arbitrary pieces. The input is a list of
// pieces, each a length byte and that many bytes; they go out as packets of a
// local SOCK_SEQPACKET pair, so that each read gets exactly one piece, and the
// writing end is then shut. The result is -1 or a status from 0 to 999, the
// reply buffer holds what was received and a NUL, and 2048 bytes received
// always fail.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/transport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < size && pieces.size() < 200;) {
        const std::size_t length = std::min<std::size_t>(data[at] * 16u + 1u, size - at - 1);
        pieces.emplace_back(reinterpret_cast<const char*>(data + at + 1), length);
        at += 1 + length;
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0)
        std::abort();
    std::vector<std::size_t> boundaries{0};
    std::string all;
    for (const auto& piece : pieces) {
        if (piece.empty())
            continue; // an empty packet would read as the end
        if (send(pair[1], piece.data(), piece.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(piece.size()))
            std::abort();
        all += piece;
        boundaries.push_back(all.size());
    }
    shutdown(pair[1], SHUT_WR);

    const int status = read_reply(pair[0], 1);
    close(pair[0]);
    close(pair[1]);

    if (status < -1 || status > 999)
        std::abort();
    const char* buffer = get_reply_buffer();
    if (status >= 0) {
        // What was received is a whole number of pieces, below 2048 bytes.
        bool found = false;
        for (const std::size_t received : boundaries) {
            if (received > 0 && received < static_cast<std::size_t>(reply_buffer_size) && buffer[received] == '\0' &&
                std::memcmp(buffer, all.data(), received) == 0)
                found = true;
        }
        if (!found)
            std::abort();
    }
    // Pieces that bring the count to 2048 before a final line fail; a first
    // piece of 2048 bytes or more always does.
    if (!pieces.empty() && pieces[0].size() >= static_cast<std::size_t>(reply_buffer_size) &&
        (status != -1 || std::strncmp(get_last_error(), "Receive buffer overflow", 23) != 0))
        std::abort();
    return 0;
}
