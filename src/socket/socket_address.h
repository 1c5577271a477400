// The platforms' sockaddr_in and sockaddr_in6 to and from the socket layer's
// SockAddress; POSIX and Winsock lay them out alike. Only the two platform
// files include it.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdint>
#include <cstring>

#include "socket/socket_layer.h"
#include "socket/socket_platform.h"

// Fills `storage` with `address` and `port`; returns the size to pass with it.
inline int socket_address(const SockAddress& address, int port, sockaddr_storage* storage) noexcept
{
    *storage = {};
    if (address.family == SOCK_IPV6) {
        auto* sa = reinterpret_cast<sockaddr_in6*>(storage);
        sa->sin6_family = AF_INET6;
        sa->sin6_port = htons(static_cast<std::uint16_t>(port));
        std::memcpy(&sa->sin6_addr, address.bytes, 16);
        return static_cast<int>(sizeof *sa);
    }
    auto* sa = reinterpret_cast<sockaddr_in*>(storage);
    sa->sin_family = AF_INET;
    sa->sin_port = htons(static_cast<std::uint16_t>(port));
    std::memcpy(&sa->sin_addr, address.bytes, 4);
    return static_cast<int>(sizeof *sa);
}

// false for a family other than IPv4 and IPv6.
inline bool from_socket_address(const sockaddr* sa, SockAddress* address, int* port) noexcept
{
    if (sa->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
        *address = SockAddress{SOCK_IPV4, {}};
        std::memcpy(address->bytes, &in->sin_addr, 4);
        *port = ntohs(in->sin_port);
        return true;
    }
    if (sa->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
        *address = sock_address_from_ipv6(reinterpret_cast<const unsigned char*>(&in6->sin6_addr));
        *port = ntohs(in6->sin6_port);
        return true;
    }
    return false;
}
