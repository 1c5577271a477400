#include "tls/name_match.h"

#include <cstring>
#include <string_view>

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

// "example.com." and "example.com" are the same name: the last dot is the
// root's, not a label's.
std::size_t without_root_dot(const char* name, std::size_t length) noexcept
{
    return length > 0 && name[length - 1] == '.' ? length - 1 : length;
}

} // namespace

bool dns_name_matches(const char* pattern, std::size_t length, const char* host) noexcept
{
    for (std::size_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(pattern[i]) <= 0x20 || static_cast<unsigned char>(pattern[i]) > 0x7e)
            return false;
    length = without_root_dot(pattern, length);
    const std::size_t host_length = without_root_dot(host, std::strlen(host));
    if (length == 0 || host_length == 0)
        return false;
    if (length > 2 && pattern[0] == '*' && pattern[1] == '.') {
        const char* rest = pattern + 1; // ".example.com"
        const std::size_t rest_length = length - 1;
        // Two labels after the wildcard, none of them empty.
        if (std::memchr(rest + 1, '.', rest_length - 1) == nullptr || std::memchr(rest, '*', rest_length) != nullptr)
            return false;
        for (std::size_t i = 0; i < rest_length; ++i)
            if (rest[i] == '.' && (i + 1 == rest_length || rest[i + 1] == '.'))
                return false;
        const std::size_t dot = std::string_view(host, host_length).find('.');
        return dot != std::string_view::npos && dot != 0 &&
               equal_ignoring_case(rest, rest_length, host + dot, host_length - dot);
    }
    return std::memchr(pattern, '*', length) == nullptr && equal_ignoring_case(pattern, length, host, host_length);
}
