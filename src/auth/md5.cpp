#include "auth/md5.h"
#include "common/wipe.h"

#include <array>
#include <cstring>

namespace {

// RFC 1321, 3.4: T[i] = floor(2^32 * abs(sin(i + 1))), and the shift amounts
// of each round.
constexpr std::array<std::uint32_t, 64> sine_table = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

constexpr std::array<int, 16> shifts = {7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21};

constexpr std::uint32_t rotate_left(std::uint32_t x, int n) noexcept
{
    return (x << n) | (x >> (32 - n));
}

constexpr std::uint32_t load_le32(const unsigned char* p) noexcept
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void store_le32(unsigned char* p, std::uint32_t x) noexcept
{
    p[0] = static_cast<unsigned char>(x);
    p[1] = static_cast<unsigned char>(x >> 8);
    p[2] = static_cast<unsigned char>(x >> 16);
    p[3] = static_cast<unsigned char>(x >> 24);
}

} // namespace

void secure_wipe(void* memory, std::uint32_t size) noexcept
{
    secure_zero(memory, size);
}

void md5_init(Md5Context* context) noexcept
{
    context->count[0] = context->count[1] = 0;
    context->state[0] = 0x67452301;
    context->state[1] = 0xefcdab89;
    context->state[2] = 0x98badcfe;
    context->state[3] = 0x10325476;
}

void md5_transform(std::uint32_t state[4], const unsigned char block[md5_block_size]) noexcept
{
    std::uint32_t x[16];
    for (std::size_t i = 0; i < 16; ++i)
        x[i] = load_le32(block + 4 * i);

    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        const int round = i / 16;
        std::uint32_t f;
        int k;
        switch (round) {
        case 0:
            f = (b & c) | (~b & d);
            k = i;
            break;
        case 1:
            f = (b & d) | (c & ~d);
            k = (5 * i + 1) % 16;
            break;
        case 2:
            f = b ^ c ^ d;
            k = (3 * i + 5) % 16;
            break;
        default:
            f = c ^ (b | ~d);
            k = (7 * i) % 16;
            break;
        }
        const std::uint32_t rotated =
            rotate_left(a + f + sine_table[static_cast<std::size_t>(i)] + x[k],
                        shifts[static_cast<std::size_t>(round) * 4 + static_cast<std::size_t>(i % 4)]);
        a = d;
        d = c;
        c = b;
        b = b + rotated;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    secure_wipe(x, sizeof x);
}

void md5_update(Md5Context* context, const unsigned char* input, std::uint32_t count) noexcept
{
    std::uint32_t fill = (context->count[0] >> 3) & 63;

    const std::uint32_t bits_low = count << 3;
    context->count[0] += bits_low;
    if (context->count[0] < bits_low)
        ++context->count[1];
    context->count[1] += count >> 29;

    const std::uint32_t room = 64 - fill;
    std::uint32_t i = 0;
    if (count >= room) {
        std::memcpy(context->buffer + fill, input, room);
        md5_transform(context->state, context->buffer);
        // Complete blocks are hashed in place, not copied through the buffer.
        for (i = room; i + 63 < count; i += 64)
            md5_transform(context->state, input + i);
        fill = 0;
    }
    if (count > i)
        std::memcpy(context->buffer + fill, input + i, count - i);
}

void md5_final(unsigned char digest[md5_digest_size], Md5Context* context) noexcept
{
    unsigned char length[8];
    store_le32(length, context->count[0]);
    store_le32(length + 4, context->count[1]);

    static constexpr unsigned char padding[64] = {0x80};
    const std::uint32_t fill = (context->count[0] >> 3) & 63;
    const std::uint32_t pad_length = fill < 56 ? 56 - fill : 120 - fill;
    md5_update(context, padding, pad_length);
    md5_update(context, length, 8);

    for (std::size_t i = 0; i < 4; ++i)
        store_le32(digest + 4 * i, context->state[i]);
    secure_wipe(context, sizeof *context);
}
