// Base64 against RFC 4648, section 10, and the bounds of both directions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "auth/base64.h"

namespace {

struct Vector {
    const char* plain;
    const char* encoded;
};

constexpr Vector rfc4648[] = {
    {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
};

std::string decode(const std::string& text, int size, int* result)
{
    std::string out(static_cast<std::size_t>(size) + 8, '#');
    *result = base64_decode(text.c_str(), reinterpret_cast<unsigned char*>(out.data()), size);
    // Nothing past `size` is ever touched.
    EXPECT_EQ(out.substr(static_cast<std::size_t>(size)), std::string(8, '#'));
    return out;
}

TEST(Base64, Rfc4648VectorsBothWays)
{
    for (const auto& v : rfc4648) {
        char out[16];
        ASSERT_EQ(base64_encode(reinterpret_cast<const unsigned char*>(v.plain), static_cast<int>(std::strlen(v.plain)),
                                out, sizeof out),
                  BASE64_ENCODED);
        EXPECT_STREQ(out, v.encoded);
        for (const char* tail : {"", "\r\n"}) {
            int result = 0;
            const std::string decoded = decode(std::string(v.encoded) + tail, 16, &result);
            ASSERT_EQ(result, static_cast<int>(std::strlen(v.plain))) << v.encoded;
            EXPECT_EQ(decoded.substr(0, std::strlen(v.plain) + 1), std::string(v.plain) + '\0');
        }
    }
}

TEST(Base64Decode, WhereTheTextEnds)
{
    struct Case {
        const char* text;
        int result;
        const char* bytes;
    };
    const Case cases[] = {
        {"", 0, ""},
        {"\r\nZm9v", 0, ""},
        {" Zm9v", 0, ""},
        {"\tZm9v", 0, ""},
        {"Zm9vYmFy\r\n", 6, "foobar"},
        {"Zm9v Zm9v", 3, "foo"},
        {"Zm9vYg==Zm9v", 4, "foob"},
        {"Zm9=Zm9v", 2, "fo"},
        {"Zm9", BASE64_TRUNCATED, nullptr},
        {"Z", BASE64_TRUNCATED, nullptr},
        {"Zm9\r", BASE64_BAD_SYMBOL, nullptr},
        {"Zm*v", BASE64_BAD_SYMBOL, nullptr},
        {"Zm9v\x80xyz", BASE64_BAD_SYMBOL, nullptr},
        // "=" where it is no padding counts as the value 0, like "A".
        {"=AAA", 3, "\0\0\0"},
        {"Z=9v", 3, "\x64\x0f\x6f"},
    };
    for (const auto& c : cases) {
        int result = 0;
        const std::string out = decode(c.text, 32, &result);
        EXPECT_EQ(result, c.result) << c.text;
        if (c.bytes != nullptr && result >= 0) {
            EXPECT_EQ(out.substr(0, static_cast<std::size_t>(result)), std::string(c.bytes, static_cast<std::size_t>(result))) << c.text;
            EXPECT_EQ(out[static_cast<std::size_t>(result)], '\0') << c.text;
        }
    }
}

TEST(Base64Decode, EveryPositionOfAGroupRejectsBadBytes)
{
    for (int position = 0; position < 4; ++position) {
        for (const char bad : {'\0', '\r', ' ', '*', '\x80', '\xff'}) {
            std::string text = "Zm9vYmFy";
            text[4 + static_cast<std::size_t>(position)] = bad;
            int result = 0;
            const std::string out = decode(text, 32, &result);
            const int expected = bad == '\0' ? (position == 0 ? 3 : BASE64_TRUNCATED)
                                 : (bad == '\r' || bad == ' ') && position == 0 ? 3
                                                                                : BASE64_BAD_SYMBOL;
            EXPECT_EQ(result, expected) << "position " << position << " byte " << int(bad);
            if (result < 0) { // the group before the failing one is there, unterminated
                EXPECT_EQ(out.substr(0, 4), "foo#");
            }
        }
    }
}

TEST(Base64Decode, OutputBounds)
{
    int result = 0;
    decode("Zm9v", 4, &result);
    EXPECT_EQ(result, 3);
    std::string out = decode("Zm9v", 3, &result);
    EXPECT_EQ(result, BASE64_NO_ROOM);
    EXPECT_EQ(out.substr(0, 3), "###");
    decode("Zg==", 2, &result);
    EXPECT_EQ(result, 1);
    decode("Zg==", 1, &result);
    EXPECT_EQ(result, BASE64_NO_ROOM);
    decode("Zm8=", 2, &result);
    EXPECT_EQ(result, BASE64_NO_ROOM);
    decode("", 1, &result);
    EXPECT_EQ(result, 0);
    decode("", 0, &result);
    EXPECT_EQ(result, BASE64_NO_ROOM);
    out = decode("Zm9vYmFy", 6, &result);
    EXPECT_EQ(result, BASE64_NO_ROOM);
    EXPECT_EQ(out.substr(0, 4), "foo#");
}

TEST(Base64Encode, OutputBounds)
{
    const unsigned char bytes[130] = {};
    char out[200];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(base64_encode(bytes, 0, out, 1), BASE64_ENCODED);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(base64_encode(bytes, 0, out, 0), BASE64_TOO_LONG);
    EXPECT_EQ(base64_encode(bytes, 3, out, 5), BASE64_ENCODED);
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(base64_encode(bytes, 3, out, 4), BASE64_TOO_LONG);
    EXPECT_EQ(out[0], '#');

    EXPECT_EQ(base64_encode_capacity(173), 129);
    EXPECT_EQ(base64_encode(bytes, 129, out, 173), BASE64_ENCODED);
    EXPECT_EQ(std::strlen(out), 172u);
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(base64_encode(bytes, 130, out, 173), BASE64_TOO_LONG);
    EXPECT_EQ(std::string(out, 173), std::string(172, 'A') + '#');
}

TEST(Base64, TablesAgree)
{
    EXPECT_EQ(std::strlen(base64_alphabet), 65u);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(base64_decode_table[static_cast<unsigned char>(base64_alphabet[i])], i);
    EXPECT_EQ(base64_decode_table['='], BASE64_PAD);
    int invalid = 0;
    for (const auto v : base64_decode_table)
        invalid += v == BASE64_INVALID;
    EXPECT_EQ(invalid, 256 - 65);
}

} // namespace
