#include "net/transport.h"

int resolve_host(const char* name, SockHost* host, bool* looked_up) noexcept
{
    *looked_up = false;
    switch (sock_parse_literal(name, &host->address[0])) {
    case SockLiteral::address:
        host->count = 1;
        return 0;
    case SockLiteral::invalid:
        set_last_error("Invalid IPv6 address %s", name);
        return -1;
    case SockLiteral::none:
        break;
    }
    *looked_up = true;
    const int code = sock_lookup(name, host);
    if (code == 0)
        return 0;
    if (sock_error_host_not_found(code))
        set_last_error("Host %s not found", name);
    else
        set_last_error("Winsock error %d (%s)", code, name);
    return -1;
}
