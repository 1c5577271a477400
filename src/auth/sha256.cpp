#include "auth/sha256.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <cstring>

#include "common/wipe.h"

namespace {

// FIPS 180-4, 4.2.2: the first 32 bits of the fractional parts of the cube
// roots of the first 64 primes.
constexpr std::array<std::uint32_t, 64> round_constants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::uint32_t rotate_right(std::uint32_t x, int n) noexcept
{
    return (x >> n) | (x << (32 - n));
}

constexpr std::uint32_t load_be32(const unsigned char* p) noexcept
{
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

void store_be32(unsigned char* p, std::uint32_t x) noexcept
{
    p[0] = static_cast<unsigned char>(x >> 24);
    p[1] = static_cast<unsigned char>(x >> 16);
    p[2] = static_cast<unsigned char>(x >> 8);
    p[3] = static_cast<unsigned char>(x);
}

void transform(std::uint32_t state[8], const unsigned char* block) noexcept
{
    std::uint32_t w[64];
    for (std::size_t i = 0; i < 16; ++i)
        w[i] = load_be32(block + 4 * i);
    for (int i = 16; i < 64; ++i) {
        const std::uint32_t s0 = rotate_right(w[i - 15], 7) ^ rotate_right(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const std::uint32_t s1 = rotate_right(w[i - 2], 17) ^ rotate_right(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
        const std::uint32_t s1 = rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25);
        const std::uint32_t choice = (e & f) ^ (~e & g);
        const std::uint32_t t1 = h + s1 + choice + round_constants[static_cast<std::size_t>(i)] + w[i];
        const std::uint32_t s0 = rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22);
        const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        const std::uint32_t t2 = s0 + majority;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
    secure_zero(w, sizeof w); // the schedule holds the input (key pads)
}

} // namespace

void sha256_init(Sha256Context* context) noexcept
{
    // FIPS 180-4, 5.3.3.
    static constexpr std::uint32_t initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(context->state, initial, sizeof initial);
    context->length = 0;
}

void sha256_update(Sha256Context* context, const void* input, std::size_t count) noexcept
{
    const auto* in = static_cast<const unsigned char*>(input);
    std::size_t fill = static_cast<std::size_t>(context->length % sha256_block_size);
    context->length += count;
    if (fill > 0) {
        const std::size_t take = count < sha256_block_size - fill ? count : sha256_block_size - fill;
        std::memcpy(context->buffer + fill, in, take);
        in += take;
        count -= take;
        fill += take;
        if (fill < sha256_block_size)
            return;
        transform(context->state, context->buffer);
    }
    for (; count >= sha256_block_size; count -= sha256_block_size, in += sha256_block_size)
        transform(context->state, in);
    if (count > 0)
        std::memcpy(context->buffer, in, count);
}

void sha256_final(unsigned char digest[sha256_digest_size], Sha256Context* context) noexcept
{
    const std::uint64_t bits = context->length * 8;
    const std::size_t fill = static_cast<std::size_t>(context->length % sha256_block_size);
    static constexpr unsigned char padding[sha256_block_size] = {0x80};
    sha256_update(context, padding, fill < 56 ? 56 - fill : 120 - fill);
    unsigned char length_field[8];
    for (int i = 0; i < 8; ++i)
        length_field[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    sha256_update(context, length_field, sizeof length_field);
    for (std::size_t i = 0; i < 8; ++i)
        store_be32(digest + 4 * i, context->state[i]);
    secure_zero(context, sizeof *context);
}

void hmac_sha256_init(HmacSha256Context* context, const void* key, std::size_t key_length) noexcept
{
    unsigned char pad[sha256_block_size] = {};
    if (key_length > sha256_block_size) {
        sha256_init(&context->inner);
        sha256_update(&context->inner, key, key_length);
        sha256_final(pad, &context->inner);
    } else if (key_length > 0) {
        std::memcpy(pad, key, key_length);
    }
    std::transform(std::begin(pad), std::end(pad), std::begin(pad), [](unsigned char b) { return b ^ 0x36; });
    sha256_init(&context->inner);
    sha256_update(&context->inner, pad, sizeof pad);
    std::transform(std::begin(pad), std::end(pad), std::begin(pad),
                   [](unsigned char b) { return b ^ (0x36 ^ 0x5c); });
    sha256_init(&context->outer);
    sha256_update(&context->outer, pad, sizeof pad);
    secure_zero(pad, sizeof pad);
}

void hmac_sha256_update(HmacSha256Context* context, const void* text, std::size_t count) noexcept
{
    sha256_update(&context->inner, text, count);
}

void hmac_sha256_final(unsigned char mac[sha256_digest_size], HmacSha256Context* context) noexcept
{
    unsigned char inner[sha256_digest_size];
    sha256_final(inner, &context->inner);
    sha256_update(&context->outer, inner, sizeof inner);
    sha256_final(mac, &context->outer);
    secure_zero(inner, sizeof inner);
}

void hmac_sha256(const void* key, std::size_t key_length, const void* text, std::size_t text_length,
                 unsigned char mac[sha256_digest_size]) noexcept
{
    HmacSha256Context context;
    hmac_sha256_init(&context, key, key_length);
    hmac_sha256_update(&context, text, text_length);
    hmac_sha256_final(mac, &context);
}

// RFC 8018, 5.2: T_i = U_1 ^ ... ^ U_c, U_1 = PRF(P, S || INT(i)),
// U_j = PRF(P, U_{j-1}). The keyed pads are computed once, not per round.
void pbkdf2_hmac_sha256(const void* password, std::size_t password_length, const void* salt,
                        std::size_t salt_length, std::uint32_t iterations, unsigned char* out,
                        std::size_t out_length) noexcept
{
    HmacSha256Context keyed;
    hmac_sha256_init(&keyed, password, password_length);
    unsigned char u[sha256_digest_size];
    unsigned char t[sha256_digest_size];
    for (std::uint32_t block = 1; out_length > 0; ++block) {
        unsigned char index[4];
        store_be32(index, block);
        HmacSha256Context round = keyed;
        hmac_sha256_update(&round, salt, salt_length);
        hmac_sha256_update(&round, index, sizeof index);
        hmac_sha256_final(u, &round);
        std::memcpy(t, u, sizeof t);
        for (std::uint32_t j = 1; j < iterations; ++j) {
            round = keyed;
            hmac_sha256_update(&round, u, sizeof u);
            hmac_sha256_final(u, &round);
            for (int k = 0; k < sha256_digest_size; ++k)
                t[k] ^= u[k];
        }
        const std::size_t take = out_length < sizeof t ? out_length : sizeof t;
        std::memcpy(out, t, take);
        out += take;
        out_length -= take;
    }
    secure_zero(&keyed, sizeof keyed);
    secure_zero(u, sizeof u);
    secure_zero(t, sizeof t);
}
