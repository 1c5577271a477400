// Base64 (RFC 4648, section 4: standard alphabet, "=" padding, no line
// breaks) into and out of caller buffers of fixed size. Both functions keep
// one byte of the output for the terminating NUL, never write past `size`,
// and on failure leave only the groups completed before the failing one,
// unterminated.
#pragma once

#include <array>
#include <cstdint>

inline constexpr char base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

// Markers of the decode table, outside the symbol values 0 to 63.
inline constexpr std::uint8_t BASE64_PAD = 'Y';
inline constexpr std::uint8_t BASE64_INVALID = 'X';

inline constexpr std::array<std::uint8_t, 256> base64_decode_table = [] {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table)
        entry = BASE64_INVALID;
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(base64_alphabet[i])] = static_cast<std::uint8_t>(i);
    table['='] = BASE64_PAD;
    return table;
}();

// Results of base64_decode other than a byte count.
inline constexpr int BASE64_TRUNCATED = -1;   // the text ends inside a group
inline constexpr int BASE64_BAD_SYMBOL = -2;  // a group holds a non-Base64 byte
inline constexpr int BASE64_NO_ROOM = -3;     // the output buffer is too small

// Results of base64_encode.
inline constexpr int BASE64_ENCODED = 0;
inline constexpr int BASE64_TOO_LONG = 1;

// Decodes `text` group by group into `out` and NUL-terminates it. The text
// ends at NUL, CR, LF, space or TAB where a group would begin, or after a
// padded group. Returns the count of bytes decoded, or one of the negative
// results above.
[[nodiscard]] int base64_decode(const char* text, unsigned char* out, int size) noexcept;

// Encodes `count` bytes into `out`, NUL-terminated. A buffer of n bytes holds
// the encoding of 3 * ((n - 1) / 4) bytes. Returns BASE64_ENCODED or
// BASE64_TOO_LONG.
[[nodiscard]] int base64_encode(const unsigned char* in, int count, char* out, int size) noexcept;

// The largest input that base64_encode fits into `size` bytes.
[[nodiscard]] constexpr int base64_encode_capacity(int size) noexcept
{
    return size < 1 ? 0 : 3 * ((size - 1) / 4);
}
