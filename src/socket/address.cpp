// Addresses of both families, the same on every platform: their text forms,
// the parsing of literals, the order in which a host's addresses are tried.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "socket/socket_platform.h"

namespace {

constexpr unsigned char ipv4_mapped_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
// Prefixes that always carry an IPv4 address in the last 32 bits, written
// with it dotted (RFC 5952, 5): IPv4-mapped (RFC 4291, 2.5.5.2), IPv4-translated
// (RFC 2765) and the NAT64 well-known prefix (RFC 6052, 2.1).
constexpr unsigned char ipv4_translated_prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0};
constexpr unsigned char nat64_prefix[12] = {0, 0x64, 0xff, 0x9b, 0, 0, 0, 0, 0, 0, 0, 0};

bool embeds_ipv4(const unsigned char* bytes) noexcept
{
    return std::memcmp(bytes, ipv4_mapped_prefix, 12) == 0 || std::memcmp(bytes, ipv4_translated_prefix, 12) == 0 ||
           std::memcmp(bytes, nat64_prefix, 12) == 0;
}

int hex_value(char c) noexcept
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "d.d.d.d", four decimal parts of 0 to 255 without leading zeros: the form
// RFC 4291, 2.2 allows in the last 32 bits of an IPv6 address.
bool parse_ipv4_tail(const char* text, std::size_t length, unsigned char* bytes) noexcept
{
    std::size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= length || text[i] != '.')
                return false;
            ++i;
        }
        const std::size_t start = i;
        int value = 0;
        while (i < length && i - start < 3 && text[i] >= '0' && text[i] <= '9')
            value = value * 10 + (text[i++] - '0');
        if (i == start || value > 255 || (i - start > 1 && text[start] == '0'))
            return false;
        bytes[part] = static_cast<unsigned char>(value);
    }
    return i == length;
}

// RFC 4291, 2.2: eight groups of one to four hex digits, one "::" standing
// for one or more zero groups, the last two groups possibly dotted.
bool parse_ipv6(const char* text, std::size_t length, unsigned char* bytes) noexcept
{
    unsigned char groups[16] = {};
    int count = 0; // bytes written to groups
    int gap = -1;  // where "::" stands, in bytes
    std::size_t i = 0;
    if (length >= 2 && text[0] == ':' && text[1] == ':') {
        gap = 0;
        i = 2;
    }
    while (i < length) {
        std::size_t end = i;
        while (end < length && text[end] != ':')
            ++end;
        if (std::memchr(text + i, '.', end - i) != nullptr) {
            if (end != length || count > 12 || !parse_ipv4_tail(text + i, end - i, groups + count))
                return false;
            count += 4;
            break; // the dotted part ends the text
        }
        if (end == i || end - i > 4 || count == 16)
            return false;
        unsigned value = 0;
        for (std::size_t k = i; k < end; ++k) {
            const int digit = hex_value(text[k]);
            if (digit < 0)
                return false;
            value = value << 4 | static_cast<unsigned>(digit);
        }
        groups[count++] = static_cast<unsigned char>(value >> 8);
        groups[count++] = static_cast<unsigned char>(value & 0xff);
        i = end;
        if (i == length)
            break;
        ++i; // the ':'
        if (i < length && text[i] == ':') {
            if (gap >= 0)
                return false;
            gap = count;
            ++i;
        } else if (i == length) {
            return false; // one ':' at the end
        }
    }
    if (gap < 0 ? count != 16 : count > 14)
        return false;
    std::memset(bytes, 0, 16);
    if (gap < 0) {
        std::memcpy(bytes, groups, 16);
    } else {
        std::memcpy(bytes, groups, static_cast<std::size_t>(gap));
        std::memcpy(bytes + 16 - (count - gap), groups + gap, static_cast<std::size_t>(count - gap));
    }
    return true;
}

// Writes `count` groups with the longest run of two or more zero groups
// (the first of equal runs) as "::" (RFC 5952, 4.2).
char* put_groups(char* out, const unsigned char* bytes, int count) noexcept
{
    unsigned groups[8] = {};
    for (std::size_t g = 0; g < static_cast<std::size_t>(count); ++g)
        groups[g] = static_cast<unsigned>(bytes[2 * g]) << 8 | bytes[2 * g + 1];
    int best = -1;
    int best_length = 1;
    for (int g = 0; g < count;) {
        int run = 0;
        while (g + run < count && groups[g + run] == 0)
            ++run;
        if (run > best_length) {
            best = g;
            best_length = run;
        }
        g += run > 0 ? run : 1;
    }
    for (int g = 0; g < count; ++g) {
        if (g == best) {
            *out++ = ':';
            *out++ = ':';
            g += best_length - 1;
            continue;
        }
        if (g > 0 && g != best + best_length)
            *out++ = ':';
        out += std::snprintf(out, 5, "%x", groups[g]); // at most four digits
    }
    *out = '\0';
    return out;
}

void put_text(const SockAddress& address, char* out) noexcept
{
    const unsigned char* b = address.bytes;
    if (address.family != SOCK_IPV6) { // an address never filled in reads 0.0.0.0, as before
        std::snprintf(out, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
        return;
    }
    if (!embeds_ipv4(b)) {
        put_groups(out, b, 8);
        return;
    }
    char* end = put_groups(out, b, 6);
    if (end[-1] != ':')
        *end++ = ':';
    std::snprintf(end, 16, "%u.%u.%u.%u", b[12], b[13], b[14], b[15]);
}

} // namespace

SockAddress sock_address_from_ipv6(const unsigned char* bytes) noexcept
{
    SockAddress address{};
    if (std::memcmp(bytes, ipv4_mapped_prefix, 12) == 0) {
        address.family = SOCK_IPV4;
        std::memcpy(address.bytes, bytes + 12, 4);
    } else {
        address.family = SOCK_IPV6;
        std::memcpy(address.bytes, bytes, 16);
    }
    return address;
}

SockAddress sock_any_address(const SockAddress& like) noexcept
{
    return SockAddress{like.family, {}};
}

SockAddressText sock_address_text(const SockAddress& address) noexcept
{
    SockAddressText text{};
    put_text(address, text.text);
    return text;
}

SockAddressText sock_address_text_for_port(const SockAddress& address) noexcept
{
    SockAddressText text{};
    if (address.family != SOCK_IPV6) {
        put_text(address, text.text);
        return text;
    }
    text.text[0] = '[';
    put_text(address, text.text + 1);
    const std::size_t length = std::strlen(text.text);
    text.text[length] = ']';
    text.text[length + 1] = '\0';
    return text;
}

int sock_address_bytes(const SockAddress& address, unsigned char* bytes) noexcept
{
    const int count = address.family == SOCK_IPV6 ? 16 : 4;
    std::memcpy(bytes, address.bytes, static_cast<std::size_t>(count));
    return count;
}

SockLiteral sock_parse_literal(const char* text, SockAddress* address) noexcept
{
    if (sock_platform_dotted(text, address))
        return SockLiteral::address;
    std::size_t length = std::strlen(text);
    const bool bracketed = length >= 2 && text[0] == '[' && text[length - 1] == ']';
    if (!bracketed && std::strchr(text, ':') == nullptr && std::strchr(text, '[') == nullptr)
        return SockLiteral::none; // a host name
    if (bracketed) {
        ++text;
        length -= 2;
    }
    unsigned char bytes[16];
    if (!parse_ipv6(text, length, bytes))
        return SockLiteral::invalid; // a zone index ("%eth0") included
    *address = sock_address_from_ipv6(bytes);
    return SockLiteral::address;
}

void sock_host_plan(const SockAddress* found, int count, SockHost* host) noexcept
{
    host->count = 0;
    for (int i = 0; i < count; ++i)
        if (found[i].family == SOCK_IPV4) {
            host->address[host->count++] = found[i];
            break;
        }
    // Without IPv4, the first IPv6 address alone; with it, the IPv6 ones
    // after it, for a network that has no IPv4 route.
    for (int i = 0; i < count && host->count < sock_host_max; ++i)
        if (found[i].family == SOCK_IPV6) {
            host->address[host->count++] = found[i];
            if (host->count == 1)
                break;
        }
}

sock_t sock_connect_host(const SockHost& host, SockAttempt attempt, void* context) noexcept
{
    sock_t sock = SOCK_INVALID;
    for (int i = 0; i < host.count; ++i) {
        sock = attempt(host.address[i], context);
        if (sock != SOCK_INVALID || !sock_error_unreachable(sock_error()))
            break;
    }
    return sock;
}
