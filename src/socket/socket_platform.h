// Between the shared address code of the socket layer and each platform's
// file; nothing outside src/socket includes it.
#pragma once

#include "socket/socket_layer.h"

// A dotted IPv4 address as the platform's inet_addr takes it ("127.1" and
// the other short forms included).
[[nodiscard]] bool sock_platform_dotted(const char* text, SockAddress* address) noexcept;

// The host that the resolver's `count` addresses (in its order) make: see
// sock_lookup.
void sock_host_plan(const SockAddress* found, int count, SockHost* host) noexcept;

// An IPv6 address in its 16 bytes, as the socket layer holds it: an
// IPv4-mapped one (::ffff:0:0/96) becomes the IPv4 address.
[[nodiscard]] SockAddress sock_address_from_ipv6(const unsigned char* bytes) noexcept;
