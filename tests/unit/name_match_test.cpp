// The name check of a certificate's DNS names against the server's name,
// above all the wildcard rules, which the end-to-end tests do not reach.
#include <gtest/gtest.h>

#include <cstring>

#include "tls/name_match.h"

namespace {

struct NameCase {
    const char* pattern;
    const char* host;
    bool matches;
};

constexpr NameCase name_cases[] = {
    {"odmr.example.net", "odmr.example.net", true},
    {"ODMR.Example.NET", "odmr.example.net", true},
    {"odmr.example.net", "odmr.example.ne", false},
    {"odmr.example.net", "xodmr.example.net", false},
    {"*.example.net", "odmr.example.net", true},
    {"*.EXAMPLE.net", "odmr.example.NET", true},
    {"*.example.net", "example.net", false},           // stands for one label, not none
    {"*.example.net", "a.odmr.example.net", false},    // nor for two
    {"*.example.net", ".example.net", false},
    {"*.net", "example.net", false},                   // too wide to honour
    {"*", "localhost", false},
    {"od*.example.net", "odmr.example.net", false},    // only a whole label
    {"*.*.example.net", "a.b.example.net", false},
    {"odmr.*.net", "odmr.example.net", false},
    {"odmr.example.net\x01", "odmr.example.net\x01", false}, // control bytes never match
    {"odmr example.net", "odmr example.net", false},
    {"odmr.example.net.", "odmr.example.net", true},   // the root's dot is no label
    {"*.example.net", "odmr.example.net.", true},
    {"*.com.", "example.com.", false},                 // a top-level domain all the same
    {"*..", "a..", false},
    {"*..net", "a..net", false},                       // nor an empty label
};

TEST(NameMatch, DnsNamesAndWildcards)
{
    for (const NameCase& c : name_cases)
        EXPECT_EQ(dns_name_matches(c.pattern, std::strlen(c.pattern), c.host), c.matches)
            << c.pattern << " against " << c.host;
}

TEST(NameMatch, OnlyTheGivenLengthOfThePatternCounts)
{
    // A name from a certificate is not NUL-terminated: a NUL inside it is no end.
    const char with_nul[] = "odmr.example.net\0.evil";
    EXPECT_FALSE(dns_name_matches(with_nul, sizeof with_nul - 1, "odmr.example.net"));
    EXPECT_TRUE(dns_name_matches("odmr.example.netXYZ", 16, "odmr.example.net"));
}

} // namespace
