// Bytes as lower-case hex, for the tests and the test tools.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

inline std::string hex(const unsigned char* d, std::size_t n)
{
    std::string s;
    char two[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", d[i]);
        s += two;
    }
    return s;
}
