// Drives the codecs from a line protocol on stdin, for the differential test
// against Python's base64, hashlib and hmac (tests/e2e/test_codecs.py):
//   md5 HEX PIECE      -> digest, the input absorbed PIECE bytes at a time
//   hmac KEYHEX TEXTHEX -> digest
//   enc HEX SIZE       -> result and the output buffer up to its first unwritten byte
//   dec TEXTHEX SIZE   -> result and the bytes decoded (all groups written)
// A write past SIZE prints OVERRUN.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "auth/base64.h"
#include "auth/md5.h"

#include "hex.h"

namespace {

constexpr unsigned char unwritten = 0xAA; // never a Base64 character
constexpr std::size_t guard = 16;

std::vector<unsigned char> from_hex(const std::string& hex)
{
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// "-" for no bytes: the protocol's lines split at spaces.
std::string to_hex(const unsigned char* p, std::size_t n)
{
    const std::string s = hex(p, n);
    return s.empty() ? "-" : s;
}

bool overrun(const std::vector<unsigned char>& buffer, std::size_t size)
{
    for (std::size_t i = size; i < buffer.size(); ++i) {
        if (buffer[i] != unwritten)
            return true;
    }
    return false;
}

} // namespace

int main()
{
    std::string op;
    while (std::cin >> op) {
        if (op == "md5") {
            std::string hex;
            std::size_t piece = 1;
            std::cin >> hex >> piece;
            if (hex == "-")
                hex.clear();
            const auto in = from_hex(hex);
            Md5Context c;
            md5_init(&c);
            for (std::size_t at = 0; at < in.size(); at += piece)
                md5_update(&c, in.data() + at, static_cast<std::uint32_t>(std::min(piece, in.size() - at)));
            unsigned char d[md5_digest_size];
            md5_final(d, &c);
            std::cout << to_hex(d, sizeof d) << '\n';
        } else if (op == "hmac") {
            std::string key_hex, text_hex;
            std::cin >> key_hex >> text_hex;
            const auto key = from_hex(key_hex == "-" ? "" : key_hex);
            const auto text = from_hex(text_hex == "-" ? "" : text_hex);
            unsigned char d[md5_digest_size];
            hmac_md5(text.data(), static_cast<int>(text.size()), key.data(), static_cast<int>(key.size()), d);
            std::cout << to_hex(d, sizeof d) << '\n';
        } else if (op == "enc") {
            std::string hex;
            int size = 0;
            std::cin >> hex >> size;
            const auto in = from_hex(hex == "-" ? "" : hex);
            std::vector<unsigned char> out(static_cast<std::size_t>(size) + guard, unwritten);
            const int r = base64_encode(in.data(), static_cast<int>(in.size()), reinterpret_cast<char*>(out.data()), size);
            std::size_t written = 0;
            while (written < out.size() && out[written] != unwritten)
                ++written;
            std::cout << r << ' ' << to_hex(out.data(), written) << (overrun(out, static_cast<std::size_t>(size)) ? " OVERRUN" : "")
                      << '\n';
        } else if (op == "dec") {
            std::string hex;
            int size = 0;
            std::cin >> hex >> size;
            const auto text_bytes = from_hex(hex == "-" ? "" : hex);
            std::string text(text_bytes.begin(), text_bytes.end());
            // Decoded bytes may hold any value: run twice over two different
            // fillings; what the decoder wrote is where both agree.
            std::vector<unsigned char> out(static_cast<std::size_t>(size) + guard, unwritten);
            std::vector<unsigned char> other(out.size(), static_cast<unsigned char>(~unwritten));
            const int r = base64_decode(text.c_str(), out.data(), size);
            const int r2 = base64_decode(text.c_str(), other.data(), size);
            std::size_t written = 0;
            while (written < out.size() && out[written] == other[written])
                ++written;
            if (r >= 0) {
                if (written != static_cast<std::size_t>(r) + 1 || out[static_cast<std::size_t>(r)] != 0)
                    std::cout << "UNTERMINATED ";
                written = static_cast<std::size_t>(r);
            }
            std::cout << r << ' ' << to_hex(out.data(), written)
                      << (r != r2 || overrun(out, static_cast<std::size_t>(size)) ? " OVERRUN" : "") << '\n';
        } else {
            std::cout << "unknown\n";
        }
        std::cout.flush();
    }
    return 0;
}
