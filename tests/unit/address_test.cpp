// Addresses of both families: literals, their RFC 5952 text, and the order in
// which a host's addresses are tried.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "socket/socket_layer.h"
#include "socket/socket_platform.h"

#ifdef _WIN32
#include <winsock2.h>
constexpr int network_unreachable = WSAENETUNREACH;
constexpr int address_not_available = WSAEADDRNOTAVAIL;
constexpr int refused = WSAECONNREFUSED;
#else
#include <cerrno>
constexpr int network_unreachable = ENETUNREACH;
constexpr int address_not_available = EADDRNOTAVAIL;
constexpr int refused = ECONNREFUSED;
#endif

namespace {

struct Literal {
    const char* text;
    SockLiteral kind;
    const char* written; // bare text of the address taken
};

class Literals : public testing::TestWithParam<Literal> {};

TEST_P(Literals, ParseAndWriteBack)
{
    const Literal& c = GetParam();
    SockAddress a{};
    ASSERT_EQ(sock_parse_literal(c.text, &a), c.kind) << c.text;
    if (c.kind == SockLiteral::address) {
        EXPECT_STREQ(sock_address_text(a).text, c.written) << c.text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Literals,
    testing::Values(
        Literal{"127.0.0.1", SockLiteral::address, "127.0.0.1"}, Literal{"127.1", SockLiteral::address, "127.0.0.1"},
        Literal{"odmr.example.net", SockLiteral::none, ""}, Literal{"localhost", SockLiteral::none, ""},
        Literal{"::1", SockLiteral::address, "::1"}, Literal{"[::1]", SockLiteral::address, "::1"},
        Literal{"::", SockLiteral::address, "::"},
        Literal{"2001:DB8:0:0:0:0:0:25", SockLiteral::address, "2001:db8::25"},
        Literal{"2001:0db8:0000:0000:0001:0000:0000:0001", SockLiteral::address, "2001:db8::1:0:0:1"},
        Literal{"2001:db8:0:1:1:1:1:1", SockLiteral::address, "2001:db8:0:1:1:1:1:1"}, // one zero group stays
        Literal{"1:0:0:2:0:0:0:3", SockLiteral::address, "1:0:0:2::3"},               // the longest run
        Literal{"1:0:0:2:3:0:0:4", SockLiteral::address, "1::2:3:0:0:4"},             // the first of equal runs
        Literal{"1::", SockLiteral::address, "1::"}, Literal{"fe80::1:2", SockLiteral::address, "fe80::1:2"},
        Literal{"::ffff:192.0.2.1", SockLiteral::address, "192.0.2.1"}, // IPv4-mapped: the IPv4 address
        Literal{"[::ffff:c000:0201]", SockLiteral::address, "192.0.2.1"},
        Literal{"::192.0.2.1", SockLiteral::address, "::c000:201"},
        Literal{"64:ff9b::c000:201", SockLiteral::address, "64:ff9b::192.0.2.1"},
        Literal{"::ffff:0:c000:201", SockLiteral::address, "::ffff:0:192.0.2.1"},
        Literal{"1:2:3:4:5:6:1.2.3.4", SockLiteral::address, "1:2:3:4:5:6:102:304"},
        Literal{"fe80::1%eth0", SockLiteral::invalid, ""}, Literal{"[fe80::1%25eth0]", SockLiteral::invalid, ""},
        Literal{"1:2:3:4:5:6:7:8:9", SockLiteral::invalid, ""}, Literal{"1:2:3:4:5:6:7", SockLiteral::invalid, ""},
        Literal{"1::2::3", SockLiteral::invalid, ""}, Literal{":1::", SockLiteral::invalid, ""},
        Literal{"1:", SockLiteral::invalid, ""}, Literal{"1:::2", SockLiteral::invalid, ""},
        Literal{"12345::", SockLiteral::invalid, ""}, Literal{"g::", SockLiteral::invalid, ""},
        Literal{"::1.2.3", SockLiteral::invalid, ""}, Literal{"::1.2.3.256", SockLiteral::invalid, ""},
        Literal{"::01.2.3.4", SockLiteral::invalid, ""}, Literal{"::1.2.3.4:5", SockLiteral::invalid, ""},
        Literal{"1:2:3:4:5:6:7:1.2.3.4", SockLiteral::invalid, ""}, Literal{"[::1", SockLiteral::invalid, ""},
        Literal{"[]", SockLiteral::invalid, ""}, Literal{"[127.0.0.1]", SockLiteral::invalid, ""},
        Literal{"host:366", SockLiteral::invalid, ""}));

TEST(AddressText, BracketedWhereAPortFollows)
{
    SockAddress a{};
    ASSERT_EQ(sock_parse_literal("2001:db8::25", &a), SockLiteral::address);
    EXPECT_STREQ(sock_address_text_for_port(a).text, "[2001:db8::25]");
    EXPECT_STREQ(sock_address_text_for_port(sock_any_address(a)).text, "[::]");
    ASSERT_EQ(sock_parse_literal("192.0.2.1", &a), SockLiteral::address);
    EXPECT_STREQ(sock_address_text_for_port(a).text, "192.0.2.1");
    // The longest text there is fits.
    ASSERT_EQ(sock_parse_literal("[64:ff9b:0:0:0:0:255.255.255.255]", &a), SockLiteral::address);
    EXPECT_STREQ(sock_address_text_for_port(a).text, "[64:ff9b::255.255.255.255]");
    ASSERT_EQ(sock_parse_literal("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", &a), SockLiteral::address);
    EXPECT_EQ(std::string(sock_address_text_for_port(a).text).size(), 41u);
}

SockAddress at(const char* text)
{
    SockAddress a{};
    EXPECT_EQ(sock_parse_literal(text, &a), SockLiteral::address);
    return a;
}

std::vector<std::string> texts(const SockHost& host)
{
    std::vector<std::string> out;
    for (int i = 0; i < host.count; ++i)
        out.emplace_back(sock_address_text(host.address[i]).text);
    return out;
}

TEST(HostPlan, FirstIPv4ThenTheIPv6AddressesElseTheFirstIPv6Alone)
{
    SockHost host{};
    const SockAddress mixed[] = {at("2001:db8::1"), at("192.0.2.1"), at("2001:db8::2"), at("192.0.2.2")};
    sock_host_plan(mixed, 4, &host);
    EXPECT_EQ(texts(host), (std::vector<std::string>{"192.0.2.1", "2001:db8::1", "2001:db8::2"}));
    const SockAddress only6[] = {at("2001:db8::1"), at("2001:db8::2")};
    sock_host_plan(only6, 2, &host);
    EXPECT_EQ(texts(host), std::vector<std::string>{"2001:db8::1"});
    const SockAddress only4[] = {at("192.0.2.1"), at("192.0.2.2")};
    sock_host_plan(only4, 2, &host);
    EXPECT_EQ(texts(host), std::vector<std::string>{"192.0.2.1"});
    std::vector<SockAddress> many(20, at("2001:db8::9"));
    many[3] = at("192.0.2.3");
    sock_host_plan(many.data(), 20, &host);
    EXPECT_EQ(host.count, sock_host_max);
    EXPECT_EQ(texts(host)[0], "192.0.2.3");
}

// A scripted attempt per address: the error it fails with, or 0 to connect.
struct Script {
    std::vector<int> errors;
    std::vector<std::string> tried;
};

sock_t scripted_attempt(const SockAddress& address, void* context)
{
    auto* script = static_cast<Script*>(context);
    const int error = script->errors[script->tried.size()];
    script->tried.emplace_back(sock_address_text(address).text);
    if (error == 0)
        return 7;
    sock_set_error(error);
    return SOCK_INVALID;
}

struct Walk {
    const char* name;
    std::vector<int> errors;
    std::size_t tried;
    bool connected;
    int last_error;
};

class Walks : public testing::TestWithParam<Walk> {};

TEST_P(Walks, NextAddressOnlyAfterUnreachable)
{
    const Walk& w = GetParam();
    SockHost host{};
    const SockAddress found[] = {at("192.0.2.1"), at("2001:db8::1"), at("2001:db8::2")};
    sock_host_plan(found, 3, &host);
    Script script{w.errors, {}};
    const sock_t sock = sock_connect_host(host, scripted_attempt, &script);
    EXPECT_EQ(script.tried.size(), w.tried);
    EXPECT_EQ(sock != SOCK_INVALID, w.connected);
    if (!w.connected) {
        EXPECT_EQ(sock_error(), w.last_error);
    }
    const std::vector<std::string> order{"192.0.2.1", "2001:db8::1", "2001:db8::2"};
    EXPECT_EQ(script.tried, std::vector<std::string>(order.begin(), order.begin() + static_cast<long>(w.tried)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Walks,
    testing::Values(Walk{"ipv4_connects", {0, 0, 0}, 1, true, 0},
                    Walk{"ipv4_refused_is_final", {refused, 0, 0}, 1, false, refused},
                    Walk{"ipv4_unreachable_then_ipv6", {network_unreachable, 0, 0}, 2, true, 0},
                    Walk{"both_unreachable_then_second_ipv6", {network_unreachable, address_not_available, 0}, 3, true, 0},
                    Walk{"all_fail_the_last_counts", {network_unreachable, network_unreachable, refused}, 3, false, refused},
                    Walk{"ipv6_refused_stops", {address_not_available, refused, 0}, 2, false, refused}),
    [](const testing::TestParamInfo<Walk>& info) { return std::string(info.param.name); });

} // namespace
