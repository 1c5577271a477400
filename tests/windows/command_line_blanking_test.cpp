// Where an argument stands in a Windows command line, and the blanking of
// this very process's command line as other processes read it.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "socket/socket_layer_winsock.h"

namespace {

struct SpanCase {
    const char* line;
    int index;
    const char* argument; // the raw text it takes, nullptr when absent
};

TEST(ArgumentSpan, SplitsAsTheCRuntimeDoes)
{
    const SpanCase cases[] = {
        {"quiln.exe srv user secret", 3, "secret"},
        {"quiln.exe srv user secret", 0, "quiln.exe"},
        {"quiln.exe srv user secret", 4, nullptr},
        {"\"C:\\Program Files\\quiln.exe\" srv u pw", 0, "\"C:\\Program Files\\quiln.exe\""},
        {"\"C:\\Program Files\\quiln.exe\" srv u pw", 3, "pw"},
        {"C:\\q\\quiln.exe\\\" a", 1, "a"},                 // no escapes in the program name
        {"quiln \t srv\t\tuser   pw  ", 3, "pw"},             // runs of blanks
        {"quiln srv user \"two words\" next", 3, "\"two words\""},
        {"quiln srv user pass\" wo\"rd next", 3, "pass\" wo\"rd"}, // quotes inside
        {"quiln srv user a\\\"b c", 3, "a\\\"b"},              // \" is a literal quote
        {"quiln srv user a\\\\\"b c\" d", 3, "a\\\\\"b c\""},  // \\" opens a quote
        {"quiln srv user a\\\\b c", 3, "a\\\\b"},              // backslashes alone are literal
        {"quiln srv user \"say \"\"hi\"\" now\" next", 3, "\"say \"\"hi\"\" now\""},
        {"quiln srv user \"unterminated rest", 3, "\"unterminated rest"},
        {"quiln", 1, nullptr},
    };
    for (const SpanCase& c : cases) {
        std::size_t begin = 0;
        std::size_t end = 0;
        const bool found = sock_argument_span(c.line, c.index, &begin, &end);
        ASSERT_EQ(found, c.argument != nullptr) << c.line << " #" << c.index;
        if (found) {
            EXPECT_EQ(std::string(c.line + begin, end - begin), c.argument) << c.line << " #" << c.index;
        }
    }
}

TEST(ArgumentSpan, WideLinesSplitTheSame)
{
    std::size_t begin = 0;
    std::size_t end = 0;
    ASSERT_TRUE(sock_argument_span(L"quiln srv user \"p w\"\\\\ x", 3, &begin, &end));
    EXPECT_EQ(std::wstring(L"quiln srv user \"p w\"\\\\ x").substr(begin, end - begin), L"\"p w\"\\\\");
}

// The test program is started with two more arguments (tests/windows/
// CMakeLists.txt): a secret that needs quoting and escaping, then keep-me.
TEST(CommandLineBlanking, SecretLeavesTheProcessCommandLine)
{
    const std::string secret = "s3cret \"quoted\" \\part";
    int index = -1;
    for (int i = 1; i < __argc; ++i) {
        if (secret == __argv[i])
            index = i;
    }
    ASSERT_GT(index, 0) << "started without the secret argument";
    ASSERT_NE(std::wcsstr(GetCommandLineW(), L"s3cret"), nullptr);
    ASSERT_NE(std::strstr(GetCommandLineA(), "s3cret"), nullptr);
    const std::wstring program_before(GetCommandLineW(), std::wcslen(GetCommandLineW()));

    sock_hide_argument(index);

    const std::wstring wide = GetCommandLineW();
    const std::string ansi = GetCommandLineA();
    for (const char* part : {"s3cret", "quoted", "part"}) {
        EXPECT_EQ(ansi.find(part), std::string::npos) << ansi;
        EXPECT_EQ(wide.find(std::wstring(part, part + std::strlen(part))), std::wstring::npos);
    }
    // Same length, the other arguments untouched.
    EXPECT_EQ(wide.size(), program_before.size());
    EXPECT_NE(wide.find(L"keep-me"), std::wstring::npos);
    EXPECT_NE(ansi.find("keep-me"), std::string::npos);
    std::size_t begin = 0;
    std::size_t end = 0;
    ASSERT_TRUE(sock_argument_span(wide.c_str(), 0, &begin, &end));
    EXPECT_EQ(wide.substr(begin, end - begin), program_before.substr(begin, end - begin));
}

} // namespace
