#include "socket/known_peers.h"

#include <algorithm>
#include <iterator>

namespace {

struct KnownPeer {
    sock_t sock = SOCK_INVALID;
    SockAddress address = {SOCK_IPV4, {}};
    int port = 0;
};
KnownPeer known_peers[8];

KnownPeer* find_peer(sock_t sock) noexcept
{
    KnownPeer* const end = std::end(known_peers);
    KnownPeer* const found =
        std::find_if(std::begin(known_peers), end, [sock](const KnownPeer& k) { return k.sock == sock; });
    return found != end ? found : nullptr;
}

} // namespace

void remember_peer(sock_t sock, const SockAddress& address, int port) noexcept
{
    KnownPeer* known = find_peer(sock);
    if (known == nullptr)
        known = find_peer(SOCK_INVALID);
    if (known != nullptr)
        *known = {sock, address, port};
}

void forget_peer(sock_t sock) noexcept
{
    if (KnownPeer* known = find_peer(sock))
        *known = {};
}

void known_peer(sock_t sock, SockAddress* address, int* port) noexcept
{
    const KnownPeer* known = find_peer(sock);
    *address = known != nullptr ? known->address : SockAddress{SOCK_IPV4, {}};
    *port = known != nullptr ? known->port : 0;
}
