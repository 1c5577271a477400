// Whether a DNS name of a certificate stands for the server's name.
#pragma once

#include <cstddef>

// RFC 6125, 6.4: case aside, equal; or a wildcard that is the whole leftmost
// label of a name of three labels or more ("*.example.com"), standing for
// exactly one label of the server's name. One dot at the end of either name
// (the root's) is not counted. pattern need not end with NUL; anything
// outside printable ASCII in it never matches.
[[nodiscard]] bool dns_name_matches(const char* pattern, std::size_t length, const char* host) noexcept;
