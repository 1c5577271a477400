// SCRAM-SHA-256 through its state machine: the example exchange of RFC 7677
// with its fixed nonce, the GS2 header, the user name's escaping, the parser
// and every refusal; PLAIN's one message.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "auth/sasl.h"

namespace {

const char rfc_nonce[] = "rOprNGfwEbeRWgbNEkqO";
const std::string rfc_server_first =
    "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
const std::string rfc_client_final =
    "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=";
const std::string rfc_server_final = "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=";

std::string text(const SaslMessage& m)
{
    return std::string(reinterpret_cast<const char*>(m.bytes), static_cast<std::size_t>(m.length));
}

SaslStep step(const std::string& in, bool success, SaslMessage* out)
{
    return sasl_scram_sha256.exchange(reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()),
                                      success, out);
}

class Scram : public ::testing::Test {
protected:
    void SetUp() override { scram_set_nonce_for_tests(rfc_nonce); }
    void TearDown() override
    {
        scram_set_nonce_for_tests(nullptr);
        sasl_scram_sha256.free();
    }
    // Starts the RFC's exchange (user "user", password "pencil").
    std::string start(const char* user = "user", SaslBinding binding = {nullptr, nullptr, 0}, bool plus = false,
                      bool lists_plus = false)
    {
        const SaslStart begin{user, "pencil", plus, lists_plus, binding};
        EXPECT_EQ(sasl_scram_sha256.init(begin, &out), SaslStep::respond);
        return text(out);
    }
    SaslMessage out{};
};

TEST_F(Scram, Rfc7677ExampleWithTheSignatureInA334)
{
    EXPECT_EQ(start(), "n,,n=user,r=rOprNGfwEbeRWgbNEkqO");
    ASSERT_EQ(step(rfc_server_first, false, &out), SaslStep::respond);
    EXPECT_EQ(text(out), rfc_client_final);
    EXPECT_FALSE(sasl_scram_sha256.channel_bound());
    ASSERT_EQ(step(rfc_server_final, false, &out), SaslStep::respond);
    EXPECT_EQ(out.length, 0); // the empty response
    EXPECT_EQ(step("", true, &out), SaslStep::done);
}

TEST_F(Scram, Rfc7677ExampleWithTheSignatureInThe235)
{
    start();
    ASSERT_EQ(step(rfc_server_first, false, &out), SaslStep::respond);
    EXPECT_EQ(step(rfc_server_final + ",x=extension", true, &out), SaslStep::done);
}

TEST_F(Scram, SaltedPasswordIsDerivedOncePerSaltAndCount)
{
    scram_forget();
    const int before = scram_derivations();
    for (int pickup = 0; pickup < 3; ++pickup) {
        start();
        ASSERT_EQ(step(rfc_server_first, false, &out), SaslStep::respond);
        EXPECT_EQ(text(out), rfc_client_final);
    }
    EXPECT_EQ(scram_derivations(), before + 1);
    start();
    ASSERT_EQ(step("r=rOprNGfwEbeRWgbNEkqOx,s=c2FsdA==,i=4096", false, &out), SaslStep::respond);
    EXPECT_EQ(scram_derivations(), before + 2);
    scram_forget(); // wiped: derived afresh
    start();
    ASSERT_EQ(step(rfc_server_first, false, &out), SaslStep::respond);
    EXPECT_EQ(scram_derivations(), before + 3);
}

TEST_F(Scram, ChannelBindingFlagAndC)
{
    // (chose -PLUS, session can bind, server lists -PLUS) -> flag
    EXPECT_EQ(scram_gs2_flag(true, true, true), 'p');
    EXPECT_EQ(scram_gs2_flag(false, true, false), 'y');
    EXPECT_EQ(scram_gs2_flag(false, true, true), 'n'); // -t SCRAM-SHA-256 though -PLUS is offered
    EXPECT_EQ(scram_gs2_flag(false, false, true), 'n');
    EXPECT_EQ(scram_gs2_flag(false, false, false), 'n');

    const unsigned char data[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_EQ(start("user", {"tls-unique", data, 12}, true, true), "p=tls-unique,,n=user,r=rOprNGfwEbeRWgbNEkqO");
    ASSERT_EQ(step(rfc_server_first, false, &out), SaslStep::respond);
    // base64("p=tls-unique,," + bytes 1..12)
    EXPECT_EQ(text(out).rfind("c=cD10bHMtdW5pcXVlLCwBAgMEBQYHCAkKCww=,r=", 0), 0u) << text(out);
    EXPECT_TRUE(sasl_scram_sha256.channel_bound());
    // The RFC's signature belongs to another AuthMessage.
    EXPECT_EQ(step(rfc_server_final, false, &out), SaslStep::wrong_signature);

    EXPECT_EQ(start("user", {"tls-unique", data, 12}, false, false), "y,,n=user,r=rOprNGfwEbeRWgbNEkqO");
    ASSERT_EQ(step(rfc_server_first, false, &out), SaslStep::respond);
    EXPECT_EQ(text(out).rfind("c=eSws,r=", 0), 0u);
}

TEST_F(Scram, UserNameEscaping)
{
    EXPECT_EQ(start("a,b=c"), "n,,n=a=2Cb=3Dc,r=rOprNGfwEbeRWgbNEkqO");
    EXPECT_EQ(start("=,"), "n,,n==3D=2C,r=rOprNGfwEbeRWgbNEkqO");
    EXPECT_EQ(start("J\xc3\xbcrgen"), "n,,n=J\xc3\xbcrgen,r=rOprNGfwEbeRWgbNEkqO"); // UTF-8 unchanged
    const std::string too_long(sasl_message_size / 3, ',');
    const SaslStart begin{too_long.c_str(), "pencil", false, false, {nullptr, nullptr, 0}};
    EXPECT_EQ(sasl_scram_sha256.init(begin, &out), SaslStep::too_long);
}

TEST_F(Scram, RandomNonceIsPrintableAndFresh)
{
    scram_set_nonce_for_tests(nullptr);
    const std::string first = start();
    const std::string second = start();
    EXPECT_NE(first, second);
    const std::string nonce = first.substr(first.find(",r=") + 3);
    EXPECT_EQ(nonce.size(), 24u);
    for (const char c : nonce)
        EXPECT_TRUE(c > 0x20 && c < 0x7f && c != ',') << nonce;
}

struct RefusalCase {
    const char* name;
    std::string server_first; // "" keeps the RFC's
    std::string server_final;
    bool success;
    SaslStep expected;
};

class ScramRefusal : public Scram, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(ScramRefusal, Step)
{
    const RefusalCase& c = GetParam();
    start();
    if (c.server_final.empty() && !c.server_first.empty()) {
        EXPECT_EQ(step(c.server_first, c.success, &out), c.expected);
        return;
    }
    ASSERT_EQ(step(rfc_server_first, false, &out), SaslStep::respond);
    EXPECT_EQ(step(c.server_final, c.success, &out), c.expected);
}

const std::string s_i = ",s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";

INSTANTIATE_TEST_SUITE_P(
    Cases, ScramRefusal,
    ::testing::Values(
        RefusalCase{"other_nonce", "r=xOprNGfwEbeRWgbNEkqOabc" + s_i, "", false, SaslStep::wrong_nonce},
        RefusalCase{"shorter_nonce", "r=rOpr" + s_i, "", false, SaslStep::wrong_nonce},
        // The nonce is judged first, before what follows it is read.
        RefusalCase{"other_nonce_then_garbage", "r=abc,q", "", false, SaslStep::wrong_nonce},
        RefusalCase{"nothing_added", std::string("r=") + rfc_nonce + s_i, "", false, SaslStep::unreadable},
        RefusalCase{"control_in_nonce", std::string("r=") + rfc_nonce + "\x01" + s_i, "", false,
                    SaslStep::unreadable},
        RefusalCase{"order", "s=W22ZaJ0SNY7soEsUEjb6gQ==,r=rOprNGfwEbeRWgbNEkqOx,i=4096", "", false,
                    SaslStep::unreadable},
        RefusalCase{"reserved_m", "m=x,r=rOprNGfwEbeRWgbNEkqOx" + s_i, "", false, SaslStep::unreadable},
        RefusalCase{"no_count", "r=rOprNGfwEbeRWgbNEkqOx,s=W22ZaJ0SNY7soEsUEjb6gQ==", "", false,
                    SaslStep::unreadable},
        RefusalCase{"empty_salt", "r=rOprNGfwEbeRWgbNEkqOx,s=,i=4096", "", false, SaslStep::unreadable},
        RefusalCase{"salt_not_base64", "r=rOprNGfwEbeRWgbNEkqOx,s=ab*d,i=4096", "", false, SaslStep::unreadable},
        RefusalCase{"count_leading_zero", "r=rOprNGfwEbeRWgbNEkqOx,s=c2FsdA==,i=04096", "", false,
                    SaslStep::unreadable},
        RefusalCase{"count_not_a_number", "r=rOprNGfwEbeRWgbNEkqOx,s=c2FsdA==,i=4096x", "", false,
                    SaslStep::unreadable},
        RefusalCase{"too_few", "r=rOprNGfwEbeRWgbNEkqOx,s=c2FsdA==,i=4095", "", false, SaslStep::bad_iterations},
        RefusalCase{"too_many", "r=rOprNGfwEbeRWgbNEkqOx,s=c2FsdA==,i=1000001", "", false,
                    SaslStep::bad_iterations},
        RefusalCase{"success_before_the_proof", "r=x", "", true, SaslStep::wrong_signature},
        RefusalCase{"server_error", "", "e=invalid-proof", false, SaslStep::server_error},
        RefusalCase{"wrong_signature", "", "v=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", false,
                    SaslStep::wrong_signature},
        RefusalCase{"short_signature", "", "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl9", false,
                    SaslStep::wrong_signature},
        RefusalCase{"235_without_signature", "", "2.7.0 ok", true, SaslStep::wrong_signature},
        RefusalCase{"334_garbage", "", "x=1", false, SaslStep::unreadable}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Scram, IterationBoundsAreInclusiveAndTheCountIsKept)
{
    start();
    EXPECT_EQ(step("r=rOprNGfwEbeRWgbNEkqOx,s=c2FsdA==,i=999999999", false, &out), SaslStep::bad_iterations);
    EXPECT_EQ(scram_iterations_asked(), 999999999);
    start();
    EXPECT_EQ(step("r=rOprNGfwEbeRWgbNEkqOx,s=c2FsdA==,i=1000000000", false, &out), SaslStep::unreadable);
    start();
    EXPECT_EQ(step("r=rOprNGfwEbeRWgbNEkqOx,s=c2FsdA==,i=4096", false, &out), SaslStep::respond);
}

TEST_F(Scram, ServerErrorIsOneLine)
{
    start();
    ASSERT_EQ(step(rfc_server_first, false, &out), SaslStep::respond);
    EXPECT_EQ(step(std::string("e=bad\r\nline\x7f\0x", 14), false, &out), SaslStep::server_error);
    EXPECT_STREQ(sasl_server_error(), "bad\\x0D\\x0Aline\\x7F\\x00x");
}

TEST(ScramParse, AttributesInOrderWithExtensions)
{
    const unsigned char* values[3];
    int lengths[3];
    std::string held; // the values point into it
    auto parse = [&](const std::string& m, const char* letters) {
        held = m;
        return scram_parse(reinterpret_cast<const unsigned char*>(held.data()), static_cast<int>(held.size()),
                           letters, values, lengths);
    };
    EXPECT_TRUE(parse("r=a,s=b,i=1", "rsi"));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(values[1]), static_cast<std::size_t>(lengths[1])), "b");
    EXPECT_TRUE(parse("r=a,s=b,i=1,x=ext", "rsi"));
    EXPECT_TRUE(parse("v=a=b=", "v")); // "=" inside a value
    EXPECT_FALSE(parse("r=a,s=b", "rsi"));
    EXPECT_FALSE(parse("r=a,,s=b,i=1", "rsi"));
    EXPECT_FALSE(parse("r=,s=b,i=1", "rsi"));
    EXPECT_FALSE(parse("ra,s=b,i=1", "rsi"));
    EXPECT_FALSE(parse("", "v"));
    EXPECT_FALSE(parse("v", "v"));
}

TEST(SaslPlain, OneMessageOfNulUserNulSecret)
{
    SaslMessage out{};
    const SaslStart start{"tim", "tanstaaf", false, false, {nullptr, nullptr, 0}};
    ASSERT_EQ(sasl_plain.init(start, &out), SaslStep::respond);
    EXPECT_EQ(text(out), std::string("\0tim\0tanstaaf", 13));
    EXPECT_EQ(sasl_plain.exchange(nullptr, 0, false, &out), SaslStep::unexpected);
    EXPECT_EQ(sasl_plain.exchange(nullptr, 0, true, &out), SaslStep::done);
    const std::string secret(sasl_message_size - 4, 's'); // 2 NULs, 3 of the user: one too many
    const SaslStart too_long{"tim", secret.c_str(), false, false, {nullptr, nullptr, 0}};
    EXPECT_EQ(sasl_plain.init(too_long, &out), SaslStep::too_long);
    const std::string fits(sasl_message_size - 5, 's');
    const SaslStart just{"tim", fits.c_str(), false, false, {nullptr, nullptr, 0}};
    EXPECT_EQ(sasl_plain.init(just, &out), SaslStep::respond);
}

} // namespace
