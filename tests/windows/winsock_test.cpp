// Winsock's own part of the socket layer: the judgement of the granted
// versions, the Winsock numbers in error texts, and "host not found".
#include <gtest/gtest.h>

#include <string>

#include "socket/socket_layer_winsock.h"
#include "net/transport.h"

namespace {

struct VersionCase {
    WORD granted;
    WORD highest;
    SockVersion expected;
    bool usable;
};

TEST(WinsockVersions, LowByteIsMajorHighByteIsMinorOnlyTwoIsUsable)
{
    const VersionCase cases[] = {
        {0x0202, 0x0202, {2, 2, 2, 2}, true},
        {0x0002, 0x0102, {2, 0, 2, 1}, true}, // 2.0 granted, 2.1 the highest
        {0x0101, 0x0101, {1, 1, 1, 1}, false}, // a Winsock 1 library
        {0x0203, 0x0302, {3, 2, 2, 3}, false}, // a future 3.2
        {0x0000, 0x0000, {0, 0, 0, 0}, false},
    };
    for (const VersionCase& c : cases) {
        WSADATA data{};
        data.wVersion = c.granted;
        data.wHighVersion = c.highest;
        const SockVersion v = sock_versions_granted(data);
        EXPECT_EQ(v.major, c.expected.major) << std::hex << c.granted;
        EXPECT_EQ(v.minor, c.expected.minor) << std::hex << c.granted;
        EXPECT_EQ(v.high_major, c.expected.high_major) << std::hex << c.highest;
        EXPECT_EQ(v.high_minor, c.expected.high_minor) << std::hex << c.highest;
        EXPECT_EQ(sock_version_usable(v), c.usable) << std::hex << c.granted;
    }
}

TEST(WinsockStartup, GrantsVersionTwo)
{
    SockVersion v{};
    ASSERT_EQ(sock_startup(&v), 0);
    EXPECT_EQ(v.major, 2);
    EXPECT_EQ(v.minor, 2);
    EXPECT_GE(v.high_major, 2);
}

TEST(WinsockErrorText, WinsockNumbers)
{
    const std::pair<int, const char*> cases[] = {
        {WSAECONNREFUSED, "Connection refused"},
        {WSAEHOSTUNREACH, "Host unreachable"},
        {WSAEFAULT, "Bad address"},
        {WSAECONNRESET, "Connection reset by peer"},
        {WSAETIMEDOUT, "Winsock error 10060"},
        {WSAEADDRINUSE, "Winsock error 10048"},
        {0, "Winsock error 0"},
    };
    for (const auto& [code, text] : cases) {
        sock_set_error(code);
        EXPECT_EQ(sock_error(), code);
        EXPECT_STREQ(socket_error_text(), text) << code;
    }
}

TEST(WinsockErrorText, AWouldBlockConnectIsUnderWay)
{
    EXPECT_TRUE(sock_error_in_progress(WSAEWOULDBLOCK));
    EXPECT_FALSE(sock_error_in_progress(WSAECONNREFUSED));
    EXPECT_FALSE(sock_error_in_progress(0));
}

TEST(WinsockLookup, UnknownNameIsHostNotFound)
{
    SockVersion v{};
    ASSERT_EQ(sock_startup(&v), 0);
    SockHost host{};
    const int code = sock_lookup("no-such-host.invalid", &host);
    EXPECT_EQ(code, WSAHOST_NOT_FOUND);
    EXPECT_EQ(sock_error(), WSAHOST_NOT_FOUND);
    EXPECT_TRUE(sock_error_host_not_found(code));
    EXPECT_FALSE(sock_error_host_not_found(WSATRY_AGAIN));
}

TEST(WinsockLookup, DottedAddressesAndLocalhost)
{
    SockVersion v{};
    ASSERT_EQ(sock_startup(&v), 0);
    SockAddress address{};
    ASSERT_EQ(sock_parse_literal("10.1.2.3", &address), SockLiteral::address);
    EXPECT_STREQ(sock_address_text(address).text, "10.1.2.3");
    EXPECT_EQ(sock_parse_literal("not-dotted", &address), SockLiteral::none);
    SockHost host{};
    ASSERT_EQ(sock_lookup("localhost", &host), 0);
    EXPECT_STREQ(sock_address_text(host.address[0]).text, "127.0.0.1");
}

class WinsockConnect : public testing::TestWithParam<const char*> {};

TEST_P(WinsockConnect, RefusedCarriesTheWinsockReason)
{
    SockVersion v{};
    ASSERT_EQ(sock_startup(&v), 0);
    SockAddress address{};
    ASSERT_EQ(sock_parse_literal(GetParam(), &address), SockLiteral::address);
    // A port that was just free: bind one, note it, close it.
    const sock_t probe = sock_tcp(address);
    ASSERT_NE(probe, SOCK_INVALID);
    ASSERT_EQ(sock_bind(probe, address, 0), 0);
    sockaddr_storage sa{};
    int size = sizeof sa;
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&sa), &size), 0);
    const int port = ntohs(reinterpret_cast<const sockaddr_in*>(&sa)->sin_port); // where both families keep it
    sock_close(probe);

    EXPECT_EQ(connect_with_timeout(sock_any_address(address), 0, address, port, 5), SOCK_INVALID);
    EXPECT_EQ(std::string(get_last_error()), "Cannot connect to server " +
                                                 std::string(sock_address_text_for_port(address).text) + ":" +
                                                 std::to_string(port) + ". Connection refused");
}

INSTANTIATE_TEST_SUITE_P(BothFamilies, WinsockConnect, testing::Values("127.0.0.1", "::1"));

} // namespace
