#include "auth/base64.h"

namespace {

[[nodiscard]] bool ends_text(char c) noexcept
{
    return c == '\0' || c == '\r' || c == '\n' || c == ' ' || c == '\t';
}

[[nodiscard]] std::uint8_t symbol_value(char c) noexcept
{
    return base64_decode_table[static_cast<unsigned char>(c)];
}

} // namespace

int base64_decode(const char* text, unsigned char* out, int size) noexcept
{
    int count = 0;
    for (;;) {
        if (ends_text(text[0]))
            break;
        if (text[1] == '\0' || text[2] == '\0' || text[3] == '\0')
            return BASE64_TRUNCATED;

        const std::uint8_t v0 = symbol_value(text[0]);
        const std::uint8_t v1 = symbol_value(text[1]);
        const std::uint8_t v2 = symbol_value(text[2]);
        const std::uint8_t v3 = symbol_value(text[3]);
        if (v0 == BASE64_INVALID || v1 == BASE64_INVALID || v2 == BASE64_INVALID ||
            v3 == BASE64_INVALID)
            return BASE64_BAD_SYMBOL;

        // Only "==" in the last two places or "=" in the last place is
        // padding. A "=" anywhere else counts as the symbol value 0, so the
        // group yields its bytes as if "A" stood there.
        const bool pad2 = v3 == BASE64_PAD && v2 == BASE64_PAD;
        const bool pad1 = !pad2 && v3 == BASE64_PAD;
        const auto value = [](std::uint8_t v) -> unsigned { return v == BASE64_PAD ? 0u : v; };
        const unsigned s0 = value(v0), s1 = value(v1), s2 = value(v2), s3 = value(v3);

        const int yield = pad2 ? 1 : pad1 ? 2 : 3;
        if (count >= size - yield) // keeps one byte for the NUL
            return BASE64_NO_ROOM;
        out[count++] = static_cast<unsigned char>((s0 << 2) | (s1 >> 4));
        if (yield >= 2)
            out[count++] = static_cast<unsigned char>(((s1 << 4) | (s2 >> 2)) & 0xff);
        if (yield == 3)
            out[count++] = static_cast<unsigned char>(((s2 << 6) | s3) & 0xff);
        if (yield < 3)
            break; // padding ends the text
        text += 4;
    }
    if (count >= size)
        return BASE64_NO_ROOM;
    out[count] = '\0';
    return count;
}

int base64_encode(const unsigned char* in, int count, char* out, int size) noexcept
{
    int written = 0;
    while (count > 0) {
        if (written >= size - 4) // the group and a NUL behind it
            return BASE64_TOO_LONG;
        const unsigned b0 = in[0];
        const unsigned b1 = count > 1 ? in[1] : 0;
        const unsigned b2 = count > 2 ? in[2] : 0;
        out[written++] = base64_alphabet[b0 >> 2];
        out[written++] = base64_alphabet[((b0 & 3) << 4) | (b1 >> 4)];
        out[written++] = count > 1 ? base64_alphabet[((b1 & 15) << 2) | (b2 >> 6)] : '=';
        out[written++] = count > 2 ? base64_alphabet[b2 & 63] : '=';
        const int taken = count > 3 ? 3 : count;
        in += taken;
        count -= taken;
    }
    if (written >= size)
        return BASE64_TOO_LONG;
    out[written] = '\0';
    return BASE64_ENCODED;
}
