// MD5 against RFC 1321, HMAC-MD5 against RFC 2104 and RFC 2202, and the
// CRAM-MD5 example of RFC 2195.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "auth/base64.h"
#include "auth/md5.h"

#include "../tools/hex.h"

namespace {

std::string md5_in_pieces(const std::string& message, std::size_t piece)
{
    Md5Context context;
    md5_init(&context);
    for (std::size_t at = 0; at < message.size(); at += piece) {
        const std::size_t n = std::min(piece, message.size() - at);
        md5_update(&context, reinterpret_cast<const unsigned char*>(message.data() + at), static_cast<std::uint32_t>(n));
    }
    unsigned char d[md5_digest_size];
    md5_final(d, &context);
    const Md5Context zero{};
    EXPECT_EQ(std::memcmp(&context, &zero, sizeof zero), 0) << "context not wiped";
    return hex(d, md5_digest_size);
}

TEST(Md5, Rfc1321SuiteInPiecesOfEverySize)
{
    const std::pair<std::string, const char*> suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [message, expected] : suite) {
        for (std::size_t piece : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 1000u})
            EXPECT_EQ(md5_in_pieces(message, piece), expected) << message << " in pieces of " << piece;
    }
}

std::string hmac(const std::string& key, const std::string& text)
{
    unsigned char d[md5_digest_size];
    hmac_md5(reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()),
             reinterpret_cast<const unsigned char*>(key.data()), static_cast<int>(key.size()), d);
    return hex(d, md5_digest_size);
}

TEST(HmacMd5, Rfc2104AndRfc2202)
{
    EXPECT_EQ(hmac(std::string(16, '\x0b'), "Hi There"), "9294727a3638bb1c13f48ef8158bfc9d");
    EXPECT_EQ(hmac("Jefe", "what do ya want for nothing?"), "750c783e6ab0b503eaa86e310a5db738");
    EXPECT_EQ(hmac(std::string(16, '\xaa'), std::string(50, '\xdd')), "56be34521d144c88dbb8c733f0e8b3f6");
    std::string key4;
    for (int i = 1; i <= 25; ++i)
        key4 += static_cast<char>(i);
    EXPECT_EQ(hmac(key4, std::string(50, '\xcd')), "697eaf0aca3a3aea3a75164746ffaa79");
    EXPECT_EQ(hmac(std::string(16, '\x0c'), "Test With Truncation"), "56461ef2342edc00f9bab995690efd4c");
    EXPECT_EQ(hmac(std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First"),
              "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
    EXPECT_EQ(hmac(std::string(80, '\xaa'),
                   "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
              "6f630fad67cda0ee1fb1f562db3aa53e");
    EXPECT_EQ(hmac("", ""), "74e6f7298a9c2d168935f58c001bad88");
}

TEST(HmacMd5, KeyOf64BytesUsedAsItIsAndOf65Hashed)
{
    const std::string key64(64, 'k');
    // A 65-byte key is hashed first, so it equals HMAC under its MD5.
    const std::string key65(65, 'k');
    unsigned char hashed[md5_digest_size];
    Md5Context c;
    md5_init(&c);
    md5_update(&c, reinterpret_cast<const unsigned char*>(key65.data()), 65);
    md5_final(hashed, &c);
    EXPECT_EQ(hmac(key65, "text"), hmac(std::string(reinterpret_cast<char*>(hashed), 16), "text"));
    EXPECT_NE(hmac(key64, "text"), hmac(key65, "text"));
    EXPECT_NE(hmac(key64, "text"), hmac(key64 + std::string(1, '\0'), "text"));
}

TEST(CramMd5, Rfc2195Example)
{
    const char* challenge_b64 = "PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+";
    unsigned char challenge[128];
    const int n = base64_decode(challenge_b64, challenge, sizeof challenge);
    ASSERT_EQ(n, 42);
    EXPECT_STREQ(reinterpret_cast<char*>(challenge), "<1896.697170952@postoffice.reston.mci.net>");
    const std::string response = "tim " + hmac("tanstaaftanstaaf", reinterpret_cast<char*>(challenge));
    EXPECT_EQ(response, "tim b913a602c7eda7a495b4e6e7334d3890");
    char encoded[173];
    ASSERT_EQ(base64_encode(reinterpret_cast<const unsigned char*>(response.data()), static_cast<int>(response.size()),
                            encoded, sizeof encoded),
              BASE64_ENCODED);
    EXPECT_STREQ(encoded, "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
}

} // namespace
