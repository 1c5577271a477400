// base64_decode on any text into any output size. What must always hold: the
// result is -1, -2, -3 or a count below the size with a NUL after it;
// nothing is written past the size; and a successful decode re-encodes to
// the text it consumed, wherever that text is in canonical form. A failed
// decode leaves the bytes of the groups before the failing one, unterminated,
// and nothing else.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "auth/base64.h"

namespace {

constexpr unsigned char unwritten = 0xAA;

// A group whose padding stands only where padding is read, and whose unused
// low bits are zero, is the one encoding of its bytes.
bool canonical(const char* g)
{
    const auto v = [](char c) { return base64_decode_table[static_cast<unsigned char>(c)]; };
    if (v(g[0]) == BASE64_PAD || v(g[1]) == BASE64_PAD)
        return false;
    if (v(g[2]) == BASE64_PAD)
        return v(g[3]) == BASE64_PAD && (v(g[1]) & 0x0f) == 0;
    if (v(g[3]) == BASE64_PAD)
        return (v(g[2]) & 0x03) == 0;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const int out_size = data[0] % 160; // the first byte picks the output size
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    std::vector<unsigned char> out(static_cast<std::size_t>(out_size) + 16, unwritten);
    const int r = base64_decode(text.c_str(), out.data(), out_size);
    for (std::size_t i = static_cast<std::size_t>(out_size); i < out.size(); ++i) {
        if (out[i] != unwritten)
            std::abort(); // written past the size
    }
    if (r == BASE64_TRUNCATED || r == BASE64_BAD_SYMBOL || r == BASE64_NO_ROOM) {
        // The longest run of whole leading groups that decodes on its own is
        // what stands before the failing group.
        std::vector<unsigned char> kept_bytes;
        for (std::size_t groups = 1; 4 * groups <= text.size(); ++groups) {
            std::vector<unsigned char> prefix(out.size(), unwritten);
            const int n = base64_decode(text.substr(0, 4 * groups).c_str(), prefix.data(), out_size);
            if (n < 0)
                break;
            kept_bytes.assign(prefix.begin(), prefix.begin() + n);
        }
        if (!std::equal(kept_bytes.begin(), kept_bytes.end(), out.begin()))
            std::abort();
        for (std::size_t i = kept_bytes.size(); i < out.size(); ++i) {
            if (out[i] != unwritten)
                std::abort(); // more than the groups before the failing one
        }
        return 0;
    }
    if (r < 0 || r >= out_size || out[static_cast<std::size_t>(r)] != 0)
        std::abort();

    char encoded[256];
    if (base64_encode(out.data(), r, encoded, sizeof encoded) != BASE64_ENCODED)
        std::abort();
    const std::size_t consumed = std::strlen(encoded);
    if (consumed > text.size())
        std::abort();
    bool all_canonical = true;
    for (std::size_t g = 0; g < consumed; g += 4)
        all_canonical = all_canonical && canonical(text.c_str() + g);
    if (all_canonical && text.compare(0, consumed, encoded) != 0)
        std::abort();
    return 0;
}
