// The option scanner and the settings it fills, for command lines that the
// program accepts. Refused command lines end the process and are tested
// black-box (tests/e2e/test_command_line.py).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "common/settings.h"
#include "tls/tls.h"

namespace {

struct Scan {
    int result;
    const char* value; // nullptr for none
};

struct ScanCase {
    std::vector<const char*> args; // without the program name
    std::vector<Scan> expected;    // results in order, the final 0 included
    std::vector<int> index_after;  // option_index after each call
};

void PrintTo(const ScanCase& c, std::ostream* os)
{
    for (const char* a : c.args)
        *os << '"' << a << "\" ";
}

class NextOption : public ::testing::TestWithParam<ScanCase> {};

TEST_P(NextOption, ScansLeftToRight)
{
    const ScanCase& c = GetParam();
    std::vector<const char*> argv{"quiln"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    option_index = 1;
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
        const char* value = "unset";
        const int result = next_option(static_cast<int>(argv.size()), argv.data(), option_string, &value);
        EXPECT_EQ(result, c.expected[i].result) << "call " << i;
        if (c.expected[i].value == nullptr) {
            EXPECT_EQ(value, nullptr) << "call " << i;
        } else {
            EXPECT_STREQ(value, c.expected[i].value) << "call " << i;
        }
        if (i < c.index_after.size()) {
            EXPECT_EQ(option_index, c.index_after[i]) << "call " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, NextOption,
    ::testing::Values(
        ScanCase{{}, {{0, nullptr}}, {2}},
        ScanCase{{"srv"}, {{1, "srv"}, {0, nullptr}}, {2, 3}},
        ScanCase{{""}, {{1, ""}, {0, nullptr}}, {2}},
        ScanCase{{"-a366"}, {{'a', "366"}, {0, nullptr}}, {2}},
        ScanCase{{"-a", "366"}, {{'a', "366"}, {0, nullptr}}, {3}},
        ScanCase{{"/a", "366"}, {{'a', "366"}, {0, nullptr}}, {3}},
        ScanCase{{"-a"}, {{'a', nullptr}, {0, nullptr}}, {2}},
        ScanCase{{"-a", "-1"}, {{'a', nullptr}, {OPTION_INVALID, "-1"}}, {2, 3}},
        ScanCase{{"-a", "/x"}, {{'a', nullptr}, {OPTION_INVALID, "/x"}}, {2, 3}},
        ScanCase{{"-a", ""}, {{'a', ""}, {0, nullptr}}, {3}},
        ScanCase{{"-t-X"}, {{'t', "-X"}}, {2}},
        ScanCase{{"-vm"}, {{'v', nullptr}, {0, nullptr}}, {2}},
        ScanCase{{"-verbose"}, {{'v', nullptr}}, {2}},
        ScanCase{{"/v"}, {{'v', nullptr}}, {2}},
        ScanCase{{"-m", "x"}, {{'m', nullptr}, {1, "x"}}, {2, 3}},
        ScanCase{{"-x"}, {{OPTION_INVALID, "-x"}}, {2}},
        ScanCase{{"--"}, {{OPTION_INVALID, "--"}}, {2}},
        ScanCase{{"-"}, {{OPTION_INVALID, "-"}}, {2}},
        ScanCase{{"/"}, {{OPTION_INVALID, "/"}}, {2}},
        ScanCase{{"-?"}, {{OPTION_INVALID, "-?"}}, {2}},
        ScanCase{{"- "}, {{OPTION_INVALID, "- "}}, {2}},
        ScanCase{{"-\xc3\xa9"}, {{OPTION_INVALID, "-\xc3\xa9"}}, {2}},
        ScanCase{{"-:"}, {{':', nullptr}, {0, nullptr}}, {2}},
        ScanCase{{"-V"}, {{OPTION_INVALID, "-V"}}, {2}},
        ScanCase{{"-r", "5", "-i30"}, {{'r', "5"}, {'i', "30"}, {0, nullptr}}, {3, 4}},
        ScanCase{{"-R"}, {{OPTION_INVALID, "-R"}}, {2}},
        ScanCase{{"-l", "x"}, {{'l', nullptr}, {1, "x"}}, {2, 3}},
        ScanCase{{"-L"}, {{OPTION_INVALID, "-L"}}, {2}}));

Settings parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "quiln");
    settings = default_settings;
    option_index = 1;
    parse_command_line(static_cast<int>(args.size()), args.data());
    return settings;
}

TEST(ParseCommandLine, DefaultsWithOnlyThePositionals)
{
    const Settings s = parse({"srv", "user", "pwd"});
    EXPECT_STREQ(s.server, "srv");
    EXPECT_STREQ(s.user, "user");
    EXPECT_STREQ(s.secret, "pwd");
    EXPECT_EQ(s.domain_count, 0);
    EXPECT_EQ(s.atrn_port, 366);
    EXPECT_EQ(s.smtp_port, 25);
    EXPECT_STREQ(s.smtp_host, "127.0.0.1");
    EXPECT_STREQ(s.ehlo_domain, default_ehlo_domain);
    EXPECT_EQ(s.forced_auth, nullptr);
    EXPECT_EQ(s.iis_mode, 0);
    EXPECT_EQ(s.verbose, 0);
    EXPECT_EQ(s.pickup_limit, 0);
    EXPECT_EQ(s.relay_idle_seconds, 0);
    EXPECT_EQ(s.system_log, 0);
}

TEST(ParseCommandLine, IisModeChangesOnlyTheDefaultPort)
{
    EXPECT_EQ(parse({"-m", "srv", "u", "p"}).atrn_port, 25);
    EXPECT_EQ(parse({"-m", "-a", "366", "srv", "u", "p"}).atrn_port, 366);
    EXPECT_EQ(parse({"-a", "366", "-m", "srv", "u", "p"}).atrn_port, 366);
}

TEST(ParseCommandLine, DomainsAndEhloDomain)
{
    Settings s = parse({"srv", "u", "p", "dom1", "dom2"});
    ASSERT_EQ(s.domain_count, 2);
    EXPECT_STREQ(s.domains[0], "dom1");
    EXPECT_STREQ(s.domains[1], "dom2");
    EXPECT_STREQ(s.ehlo_domain, "dom1");

    s = parse({"srv", "u", "p", "dom1", "-h", "mx.example.org", "dom2"});
    EXPECT_EQ(s.domain_count, 2);
    EXPECT_STREQ(s.ehlo_domain, "mx.example.org");
}

TEST(ParseCommandLine, ValuesInEveryForm)
{
    const Settings s = parse({"-a366", "-p", " +2525", "/s", "mail.example.org", "-tcram-md5", "srv", "u",
                              "p", "-v", "-:"});
    EXPECT_EQ(s.atrn_port, 366);
    EXPECT_EQ(s.smtp_port, 2525);
    EXPECT_STREQ(s.smtp_host, "mail.example.org");
    EXPECT_STREQ(s.forced_auth, "cram-md5");
    EXPECT_EQ(s.verbose, 1);
    EXPECT_EQ(parse({"srv", "u", "p", "/l"}).system_log, 1);
}

TEST(ParseCommandLine, LaterOptionOverridesEarlier)
{
    const Settings s = parse({"-p", "26", "-p", "27", "srv", "u", "p"});
    EXPECT_EQ(s.smtp_port, 27);
}

TEST(ParseCommandLine, PortBounds)
{
    EXPECT_EQ(parse({"-a", "1", "srv", "u", "p"}).atrn_port, 1);
    EXPECT_EQ(parse({"-a", "65535", "srv", "u", "p"}).atrn_port, 65535);
}

TEST(ParseCommandLine, PickupCountAndIdleTimeOutBounds)
{
    EXPECT_EQ(parse({"-r", "1", "srv", "u", "p"}).pickup_limit, 1);
    EXPECT_EQ(parse({"-r1000", "srv", "u", "p"}).pickup_limit, 1000);
    EXPECT_EQ(parse({"srv", "u", "p", "/r", " +7"}).pickup_limit, 7);
    EXPECT_EQ(parse({"-i", "1", "srv", "u", "p"}).relay_idle_seconds, 1);
    EXPECT_EQ(parse({"-i3600", "srv", "u", "p"}).relay_idle_seconds, 3600);
    const Settings s = parse({"-r", "9", "-i", "5", "srv", "u", "p"});
    EXPECT_EQ(s.atrn_port, 366); // they change nothing else
    EXPECT_EQ(s.verbose, 0);
}

TEST(ParseCommandLine, ExactlyOneHundredDomains)
{
    std::vector<std::string> names;
    for (int i = 0; i < max_domains; ++i)
        names.push_back("d" + std::to_string(i) + ".example");
    std::vector<const char*> args{"srv", "u", "p"};
    for (const auto& n : names)
        args.push_back(n.c_str());
    const Settings s = parse(args);
    EXPECT_EQ(s.domain_count, max_domains);
    EXPECT_STREQ(s.domains[99], "d99.example");
}

// The file options -c and -k also take a next
// argument that begins with '/', and only those two.
class ProgramOptions : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ProgramOptions, FileOptionsTakeAbsolutePaths)
{
    const ScanCase& c = GetParam();
    std::vector<const char*> argv{"quiln"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    option_index = 1;
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
        const char* value = "unset";
        EXPECT_EQ(next_option(static_cast<int>(argv.size()), argv.data(), option_string, &value),
                  c.expected[i].result)
            << "call " << i;
        if (c.expected[i].value == nullptr) {
            EXPECT_EQ(value, nullptr) << "call " << i;
        } else {
            EXPECT_STREQ(value, c.expected[i].value) << "call " << i;
        }
        EXPECT_EQ(option_index, c.index_after[i]) << "call " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProgramOptions,
    ::testing::Values(
        ScanCase{{"-k", "/run/credentials/quiln.service/secret"},
                 {{'k', "/run/credentials/quiln.service/secret"}, {0, nullptr}}, {3, 4}},
        ScanCase{{"/c", "/etc/ssl/ca.pem"}, {{'c', "/etc/ssl/ca.pem"}}, {3}},
        ScanCase{{"-k", "-v"}, {{'k', nullptr}, {'v', nullptr}}, {2, 3}},
        ScanCase{{"-k-file"}, {{'k', "-file"}}, {2}},
        ScanCase{{"-k"}, {{'k', nullptr}, {0, nullptr}}, {2, 3}},
        ScanCase{{"-f", "/x"}, {{'f', nullptr}, {OPTION_INVALID, "/x"}}, {2, 3}},
        ScanCase{{"-s", "/x"}, {{'s', nullptr}, {OPTION_INVALID, "/x"}}, {2, 3}},
        ScanCase{{"-ec"}, {{'e', nullptr}, {0, nullptr}}, {2, 3}},
        ScanCase{{"-:"}, {{':', nullptr}, {0, nullptr}}, {2, 3}}));

// With -k every positional after the user is a domain, wherever -k stands.
TEST(ParseCommandLine, SecretFileMakesTheThirdPositionalADomain)
{
    for (const auto& args : {std::vector<const char*>{"-k", "/s", "srv", "u", "dom1", "dom2"},
                             std::vector<const char*>{"srv", "u", "dom1", "dom2", "-k", "/s"},
                             std::vector<const char*>{"srv", "u", "dom1", "-k", "/s", "dom2"}}) {
        const Settings s = parse(args);
        EXPECT_STREQ(s.secret_file, "/s");
        EXPECT_EQ(s.secret, nullptr);
        ASSERT_EQ(s.domain_count, 2);
        EXPECT_STREQ(s.domains[0], "dom1");
        EXPECT_STREQ(s.domains[1], "dom2");
        EXPECT_STREQ(s.ehlo_domain, "dom1");
    }
}

TEST(ParseCommandLine, FingerprintInEveryForm)
{
    const unsigned char expected[pin_size] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0x01, 0x23, 0x45,
                                              0x67, 0x89, 0xab, 0xcd, 0xef, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab,
                                              0xcd, 0xef, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    const std::string hex = "0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789ABCDEF";
    std::string with_colons;
    for (std::size_t i = 0; i < hex.size(); i += 2)
        with_colons += (i > 0 ? ":" : "") + hex.substr(i, 2);
    if (!tls_available()) {
        // A build without TLS refuses -e before it looks at a fingerprint.
        EXPECT_EXIT(parse({"-e", "-f", hex.c_str(), "srv", "u", "p"}), ::testing::ExitedWithCode(1),
                    "TLS is not available in this build");
        return;
    }
    for (const std::string& text : {hex, with_colons}) {
        const Settings s = parse({"-e", "-f", text.c_str(), "srv", "u", "p"});
        EXPECT_EQ(s.pin_set, 1);
        EXPECT_EQ(std::memcmp(s.pin, expected, pin_size), 0) << text;
        EXPECT_EQ(s.starttls, 1);
    }
}

TEST(ParseCommandLine, TlsOnConnectTakesTheCertificateOptions)
{
    if (!tls_available()) {
        EXPECT_EXIT(parse({"-E", "srv", "u", "p"}), ::testing::ExitedWithCode(1), "TLS is not available in this build");
        return;
    }
    const Settings s = parse({"-E", "-c", "/dev/null", "srv", "u", "p"});
    EXPECT_EQ(s.tls_on_connect, 1);
    EXPECT_EQ(s.starttls, 0);
    EXPECT_EQ(s.atrn_port, 366); // the provider names its TLS port with -a
    EXPECT_EXIT(parse({"-E", "srv", "-e", "u", "p"}), ::testing::ExitedWithCode(1),
                "-e and -E cannot be used together");
    EXPECT_EXIT(parse({"-f", std::string(64, '0').c_str(), "srv", "u", "p"}), ::testing::ExitedWithCode(1),
                "-c and -f need -e or -E: without TLS no certificate is checked");
}

} // namespace
