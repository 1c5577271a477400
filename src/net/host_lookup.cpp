#include <cstdio>
#include <cstdlib>

#include "net/transport.h"

void fail_host_lookup(int exit_code, const char* name)
{
    const int code = sock_error();
    if (sock_error_host_not_found(code))
        std::fprintf(stderr, "Host %s not found\n", name);
    else
        std::fprintf(stderr, "Winsock error %d (%s)\n", code, name);
    std::exit(exit_code);
}

std::uint32_t resolve_host(const char* name, int exit_code, bool* looked_up)
{
    *looked_up = false;
    const std::uint32_t dotted = sock_parse_dotted(name);
    if (dotted != SOCK_ADDRESS_NONE)
        return dotted;
    *looked_up = true;
    std::uint32_t address = 0;
    if (sock_lookup(name, &address) != 0)
        fail_host_lookup(exit_code, name);
    return address;
}
