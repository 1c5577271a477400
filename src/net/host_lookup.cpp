#include "net/transport.h"

int resolve_host(const char* name, std::uint32_t* address, bool* looked_up) noexcept
{
    *looked_up = false;
    const std::uint32_t dotted = sock_parse_dotted(name);
    if (dotted != SOCK_ADDRESS_NONE) {
        *address = dotted;
        return 0;
    }
    *looked_up = true;
    const int code = sock_lookup(name, address);
    if (code == 0)
        return 0;
    if (sock_error_host_not_found(code))
        set_last_error("Host %s not found", name);
    else
        set_last_error("Winsock error %d (%s)", code, name);
    return -1;
}
