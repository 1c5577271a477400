// SHA-256 against RFC 6234, HMAC-SHA-256 against RFC 4231, PBKDF2-HMAC-SHA-256
// against RFC 7914.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "auth/sha256.h"

#include "../tools/hex.h"

namespace {

std::string unhex(const std::string& h)
{
    std::string s;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2)
        s += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return s;
}

std::string sha256_in_pieces(const std::string& message, std::size_t piece, std::size_t repeat = 1)
{
    Sha256Context context;
    sha256_init(&context);
    for (std::size_t r = 0; r < repeat; ++r) {
        for (std::size_t at = 0; at < message.size(); at += piece)
            sha256_update(&context, message.data() + at, std::min(piece, message.size() - at));
    }
    unsigned char d[sha256_digest_size];
    sha256_final(d, &context);
    const Sha256Context zero{};
    EXPECT_EQ(std::memcmp(&context, &zero, sizeof zero), 0) << "context not wiped";
    return hex(d, sizeof d);
}

TEST(Sha256, Rfc6234TestsInPiecesOfEverySize)
{
    struct Case {
        std::string message;
        std::size_t repeat;
        const char* digest;
    };
    const Case suite[] = {
        {"abc", 1, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"a", 1000000, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {"0123456701234567012345670123456701234567012345670123456701234567", 10,
         "594847328451bdfa85056225462cc1d867d877fb388df0ce35f25ab5562bfbb5"},
        {"", 1, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        // 55 bytes pad within one block; 56 need a second.
        {std::string(55, 'x'), 1, nullptr},
        {std::string(56, 'x'), 1, nullptr},
    };
    for (const auto& c : suite) {
        const std::string whole = sha256_in_pieces(c.message, c.message.size() + 1, c.repeat);
        if (c.digest != nullptr) {
            EXPECT_EQ(whole, c.digest) << c.message.substr(0, 10);
        }
        if (c.repeat > 1)
            continue;
        for (std::size_t piece : {1u, 3u, 55u, 56u, 63u, 64u, 65u})
            EXPECT_EQ(sha256_in_pieces(c.message, piece), whole) << c.message.size() << " in pieces of " << piece;
    }
    EXPECT_NE(sha256_in_pieces(std::string(55, 'x'), 64), sha256_in_pieces(std::string(56, 'x'), 64));
}

// RFC 4231, test cases 1 to 4, 6 and 7 (5 truncates the output).
TEST(HmacSha256, Rfc4231)
{
    struct Case {
        std::string key;
        std::string data;
        const char* mac;
    };
    const Case suite[] = {
        {std::string(20, '\x0b'), "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", "what do ya want for nothing?", "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {std::string(20, '\xaa'), std::string(50, '\xdd'),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {unhex("0102030405060708090a0b0c0d0e0f10111213141516171819"), std::string(50, '\xcd'),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {std::string(131, '\xaa'),
         "This is a test using a larger than block-size key and a larger than block-size data. The key needs to "
         "be hashed before being used by the HMAC algorithm.",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    for (const auto& c : suite) {
        unsigned char mac[sha256_digest_size];
        hmac_sha256(c.key.data(), c.key.size(), c.data.data(), c.data.size(), mac);
        EXPECT_EQ(hex(mac, sizeof mac), c.mac) << c.data;
        // The streaming form, a byte at a time, gives the same.
        HmacSha256Context context;
        hmac_sha256_init(&context, c.key.data(), c.key.size());
        for (char byte : c.data)
            hmac_sha256_update(&context, &byte, 1);
        hmac_sha256_final(mac, &context);
        EXPECT_EQ(hex(mac, sizeof mac), c.mac) << c.data;
    }
}

TEST(HmacSha256, KeyOfOneBlockIsUsedAsItStandsAndOneMoreByteIsHashed)
{
    const std::string key(64, 'k');
    unsigned char direct[sha256_digest_size], longer[sha256_digest_size], hashed_key[sha256_digest_size];
    unsigned char by_hash[sha256_digest_size];
    hmac_sha256(key.data(), key.size(), "t", 1, direct);
    const std::string key65 = key + "k";
    hmac_sha256(key65.data(), key65.size(), "t", 1, longer);
    Sha256Context context;
    sha256_init(&context);
    sha256_update(&context, key65.data(), key65.size());
    sha256_final(hashed_key, &context);
    hmac_sha256(hashed_key, sizeof hashed_key, "t", 1, by_hash);
    EXPECT_NE(hex(direct, 32), hex(longer, 32));
    EXPECT_EQ(hex(longer, 32), hex(by_hash, 32));
}

// RFC 7914, 11: PBKDF2-HMAC-SHA256 with 64 bytes of output (two blocks).
TEST(Pbkdf2HmacSha256, Rfc7914)
{
    unsigned char out[64];
    pbkdf2_hmac_sha256("passwd", 6, "salt", 4, 1, out, sizeof out);
    EXPECT_EQ(hex(out, sizeof out), "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
                                    "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
    pbkdf2_hmac_sha256("Password", 8, "NaCl", 4, 80000, out, sizeof out);
    EXPECT_EQ(hex(out, sizeof out), "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
                                    "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d");
    // A part of a block: the start of the same key.
    unsigned char part[20];
    pbkdf2_hmac_sha256("passwd", 6, "salt", 4, 1, part, sizeof part);
    EXPECT_EQ(hex(part, sizeof part), "55ac046e56e3089fec1691c22544b605f9418521");
}

} // namespace
