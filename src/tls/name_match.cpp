#include "tls/name_match.h"

#include <cstring>

namespace {

char lower(char c) noexcept
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_ignoring_case(const char* a, std::size_t a_length, const char* b, std::size_t b_length) noexcept
{
    if (a_length != b_length)
        return false;
    for (std::size_t i = 0; i < a_length; ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

} // namespace

bool dns_name_matches(const char* pattern, std::size_t length, const char* host) noexcept
{
    for (std::size_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(pattern[i]) <= 0x20 || static_cast<unsigned char>(pattern[i]) > 0x7e)
            return false;
    if (length > 2 && pattern[0] == '*' && pattern[1] == '.') {
        const char* rest = pattern + 1; // ".example.com"
        const std::size_t rest_length = length - 1;
        if (std::memchr(rest + 1, '.', rest_length - 1) == nullptr || std::memchr(rest, '*', rest_length) != nullptr)
            return false;
        const char* dot = std::strchr(host, '.');
        return dot != nullptr && dot != host && equal_ignoring_case(rest, rest_length, dot, std::strlen(dot));
    }
    return std::memchr(pattern, '*', length) == nullptr &&
           equal_ignoring_case(pattern, length, host, std::strlen(host));
}
