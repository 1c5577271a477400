// Loopback connections for the transport tests: the program's side comes from
// connect_with_timeout (non-blocking, as in a run), the peer's side is a
// plain blocking socket that the test drives.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "net/transport.h"

namespace loopback {

inline SockAddress literal(const char* text)
{
    SockAddress a{};
    EXPECT_EQ(sock_parse_literal(text, &a), SockLiteral::address) << text;
    return a;
}

inline const SockAddress address = literal("127.0.0.1");
inline const SockAddress address6 = literal("::1");
inline const SockAddress any = sock_any_address(address);

struct Listener {
    int fd = -1;
    int port = 0;

    explicit Listener(int backlog = 16, bool ipv6 = false)
    {
        fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sockaddr_in6 sa6{};
        sa6.sin6_family = AF_INET6;
        sa6.sin6_addr = in6addr_loopback;
        sockaddr* named = ipv6 ? reinterpret_cast<sockaddr*>(&sa6) : reinterpret_cast<sockaddr*>(&sa);
        socklen_t len = ipv6 ? sizeof sa6 : sizeof sa;
        EXPECT_EQ(bind(fd, named, len), 0);
        EXPECT_EQ(listen(fd, backlog), 0);
        EXPECT_EQ(getsockname(fd, named, &len), 0);
        port = ntohs(ipv6 ? sa6.sin6_port : sa.sin_port);
    }
    ~Listener() { close(fd); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
};

// The program's end and the peer's end of one connection.
struct Pair {
    sock_t ours = -1;
    int peer = -1;

    explicit Pair(bool ipv6 = false)
    {
        Listener l(16, ipv6);
        const SockAddress& to = ipv6 ? address6 : address;
        ours = connect_with_timeout(sock_any_address(to), 0, to, l.port, 5);
        EXPECT_GE(ours, 0) << get_last_error();
        peer = accept(l.fd, nullptr, nullptr);
        EXPECT_GE(peer, 0);
        timeval tv{10, 0}; // a broken test fails instead of hanging
        setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(peer, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    ~Pair()
    {
        if (ours >= 0)
            sock_close(ours);
        if (peer >= 0)
            close(peer);
    }
    Pair(const Pair&) = delete;
    Pair& operator=(const Pair&) = delete;

    void peer_send(const std::string& data) const
    {
        ASSERT_EQ(send(peer, data.data(), data.size(), MSG_NOSIGNAL), static_cast<ssize_t>(data.size()));
    }

    // Reads exactly n bytes, or what came before the peer's end closed.
    std::string peer_receive(std::size_t n) const
    {
        std::string got;
        char buf[65536];
        while (got.size() < n) {
            const ssize_t r = recv(peer, buf, std::min(sizeof buf, n - got.size()), 0);
            if (r <= 0)
                break;
            got.append(buf, static_cast<std::size_t>(r));
        }
        return got;
    }

    // Closes the peer's end with a reset (RST) instead of a FIN.
    void peer_reset()
    {
        linger l{1, 0};
        setsockopt(peer, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(peer);
        peer = -1;
    }

    void peer_close()
    {
        close(peer);
        peer = -1;
    }
};

inline std::string ends_with_reset(const std::string& text)
{
    const std::string tail = "Connection reset by peer";
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0 ? "" : text;
}

} // namespace loopback
