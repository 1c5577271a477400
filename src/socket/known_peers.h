// The peers named when connecting, for either socket layer: a reset
// connection no longer tells its peer through getpeername(), and its
// messages must still name it.
#pragma once

#include "socket/socket_layer.h"

// Notes the peer of a socket being connected (eight sockets at most; more
// are not noted).
void remember_peer(sock_t sock, const SockAddress& address, int port) noexcept;

// Forgets the peer of a socket being closed.
void forget_peer(sock_t sock) noexcept;

// The noted peer of `sock`; 0.0.0.0 and 0 when none was noted.
void known_peer(sock_t sock, SockAddress* address, int* port) noexcept;
