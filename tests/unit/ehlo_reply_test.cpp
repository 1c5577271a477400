// The EHLO reply scan: which mechanisms are marked offered, and the verdict.
#include <gtest/gtest.h>

#include <string>

#include "auth/auth_methods.h"
#include "common/settings.h"

namespace {

struct EhloCase {
    const char* name;
    std::string reply;
    bool cram_md5;
    bool login;
    bool atrn;
};

void PrintTo(const EhloCase& c, std::ostream* os)
{
    *os << c.name;
}

class ParseEhloReply : public ::testing::TestWithParam<EhloCase> {};

constexpr const char* greeting = "250-odmr.example.net hello\r\n";

TEST_P(ParseEhloReply, MarksOfferedAndJudgesAtrn)
{
    const EhloCase& c = GetParam();
    settings = default_settings;
    testing::internal::CaptureStderr();
    const int verdict = parse_ehlo_reply(c.reply.c_str());
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(auth_methods[0].offered, c.cram_md5 ? 1 : 0);
    EXPECT_EQ(auth_methods[1].offered, c.login ? 1 : 0);
    EXPECT_EQ(verdict, c.atrn ? 1 : 0);
    // The refusal is the caller's to word (tests/e2e/test_dialogue.py).
    EXPECT_EQ(err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseEhloReply,
    ::testing::Values(
        EhloCase{"both_and_atrn", std::string(greeting) + "250-AUTH CRAM-MD5 LOGIN\r\n250 ATRN\r\n", true, true, true},
        EhloCase{"auth_after_atrn", std::string(greeting) + "250-ATRN\r\n250 AUTH LOGIN CRAM-MD5\r\n", true, true, true},
        EhloCase{"case_ignored", std::string(greeting) + "250-auth cram-md5 login\r\n250 atrn\r\n", true, true, true},
        EhloCase{"old_equals_form", std::string(greeting) + "250-AUTH=LOGIN\r\n250 ATRN\r\n", false, false, true},
        EhloCase{"last_line_without_crlf", std::string(greeting) + "250-ATRN\r\n250 AUTH LOGIN", false, false, true},
        EhloCase{"auth_without_names", std::string(greeting) + "250-AUTH\r\n250 ATRN\r\n", false, false, true},
        EhloCase{"separators_skipped", std::string(greeting) + "250-AUTH  \t LOGIN\r\n250 ATRN\r\n", false, true, true},
        EhloCase{"tab_ends_list", std::string(greeting) + "250-AUTH LOGIN\tCRAM-MD5\r\n250 ATRN\r\n", false, true, true},
        EhloCase{"bare_lf_ends_line", std::string(greeting) + "250-AUTH LOGIN\n250 ATRN\r\n", false, true, true},
        EhloCase{"unknown_mechanisms", std::string(greeting) + "250-AUTH DIGEST-MD5 PLAIN GSSAPI\r\n250 ATRN\r\n", false, false, true},
        EhloCase{"whole_names_only", std::string(greeting) + "250-AUTH LOGINX CRAM-MD5X LOG\r\n250 ATRN\r\n", false, false, true},
        EhloCase{"atrn_on_first_line_skipped", "250-ATRN\r\n250 AUTH LOGIN\r\n", false, true, false},
        EhloCase{"no_atrn", std::string(greeting) + "250 AUTH CRAM-MD5\r\n", true, false, false},
        EhloCase{"scan_stops_at_non_reply_line", std::string(greeting) + "250-AUTH LOGIN\r\nbogus\r\n250 ATRN\r\n", false, true, false},
        EhloCase{"four_digit_prefix_stops", std::string(greeting) + "2500 ATRN\r\n", false, false, false},
        EhloCase{"atrn_with_parameters", std::string(greeting) + "250 ATRN whatever\r\n", false, false, true},
        EhloCase{"atrnx_is_not_atrn", std::string(greeting) + "250 ATRNX\r\n", false, false, false},
        EhloCase{"keyword_cut_at_30", std::string(greeting) + "250 ATRN" + std::string(36, 'x') + "\r\n", false, false, false},
        EhloCase{"keyword_ending_the_text", std::string(greeting) + "250 ATRN", false, false, false},
        EhloCase{"name_ending_the_text", std::string(greeting) + "250-ATRN\r\n250 AUTH LOGIN\r", false, false, true},
        EhloCase{"empty_reply", "", false, false, false},
        EhloCase{"greeting_only", "250 odmr.example.net\r\n", false, false, false},
        EhloCase{"lf_only_reply", std::string("250-x\n250-AUTH LOGIN\n250 ATRN\n"), false, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseEhloReplyState, IisModeGoesOnWithoutAtrnAndSilently)
{
    settings = default_settings;
    settings.iis_mode = 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_ehlo_reply("250-iis\r\n250 AUTH LOGIN\r\n"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(auth_methods[1].offered, 1);
    settings = default_settings;
}

TEST(ParseEhloReplyState, EveryCallStartsAfresh)
{
    settings = default_settings;
    ASSERT_EQ(parse_ehlo_reply("250-x\r\n250-AUTH CRAM-MD5 LOGIN\r\n250 ATRN\r\n"), 1);
    ASSERT_EQ(auth_methods[0].offered, 1);
    ASSERT_EQ(parse_ehlo_reply("250-x\r\n250 ATRN\r\n"), 1);
    EXPECT_EQ(auth_methods[0].offered, 0);
    EXPECT_EQ(auth_methods[1].offered, 0);
}

TEST(ParseEhloReplyState, KeywordOfFortyCharactersComparedOnThirty)
{
    // A name of 30 characters or more is cut: "CRAM-MD5" followed by 32
    // further characters does not match, and neither does its cut form.
    settings = default_settings;
    const std::string reply = "250-x\r\n250-AUTH CRAM-MD5" + std::string(32, 'Z') + "\r\n250 ATRN\r\n";
    EXPECT_EQ(parse_ehlo_reply(reply.c_str()), 1);
    EXPECT_EQ(auth_methods[0].offered, 0);
}

TEST(AuthMethods, TableOrderNamesAndLookup)
{
    EXPECT_STREQ(auth_methods[0].name, "CRAM-MD5");
    EXPECT_EQ(auth_methods[0].kind, AUTH_KIND_CRAM_MD5);
    EXPECT_STREQ(auth_methods[1].name, "LOGIN");
    EXPECT_EQ(auth_methods[1].kind, AUTH_KIND_LOGIN);
    EXPECT_EQ(find_auth_method("cram-md5"), 0);
    EXPECT_EQ(find_auth_method("Login"), 1);
    EXPECT_STREQ(auth_methods[2].name, "PLAIN");
    EXPECT_STREQ(auth_methods[3].name, "SCRAM-SHA-256");
    EXPECT_STREQ(auth_methods[4].name, "SCRAM-SHA-256-PLUS");
    EXPECT_EQ(find_auth_method("plain"), 2);
    EXPECT_EQ(find_auth_method("scram-sha-256-plus"), 4);
    EXPECT_EQ(find_auth_method("SCRAM-SHA-1"), -1);
    EXPECT_EQ(find_auth_method("LOGIN "), -1);
    EXPECT_EQ(find_auth_method(""), -1);
}

TEST(AuthMethods, SaslNamesAreMarkedWholeAndInAnyCase)
{
    settings = default_settings;
    const std::string reply = std::string(greeting) +
                              "250-AUTH DIGEST-MD5 plain GSSAPI SCRAM-SHA-256-PLUSX scram-sha-256\r\n250 ATRN\r\n";
    EXPECT_EQ(parse_ehlo_reply(reply.c_str()), 1);
    const int expected[auth_method_count] = {0, 0, 1, 1, 0};
    for (int i = 0; i < auth_method_count; ++i)
        EXPECT_EQ(auth_methods[i].offered, expected[i]) << auth_methods[i].name;
    EXPECT_FALSE(auth_kind_offered(AUTH_KIND_SCRAM_SHA256_PLUS));
    EXPECT_EQ(parse_ehlo_reply((std::string(greeting) + "250-AUTH SCRAM-SHA-256-PLUS\r\n250 ATRN\r\n").c_str()), 1);
    EXPECT_TRUE(auth_kind_offered(AUTH_KIND_SCRAM_SHA256_PLUS));
}

TEST(AuthMethods, ListingAndGssapiProbe)
{
    testing::internal::CaptureStdout();
    probe_auth_methods(1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              " CRAM-MD5: OK\n LOGIN: OK\n PLAIN: OK\n SCRAM-SHA-256: OK\n SCRAM-SHA-256-PLUS: OK\n");
    testing::internal::CaptureStdout();
    probe_auth_methods(0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

} // namespace
