// MD5 (RFC 1321) in streaming form, and HMAC-MD5 (RFC 2104) over it, for the
// CRAM-MD5 exchange (RFC 2195). Caller-owned memory only; nothing is global.
#pragma once

#include <cstdint>

struct Md5Context {
    std::uint32_t state[4];  // chaining words A, B, C, D
    std::uint32_t count[2];  // message length in bits, mod 2^64, low word first
    unsigned char buffer[64]; // input not yet transformed
};

inline constexpr int md5_digest_size = 16;
inline constexpr int md5_block_size = 64;

void md5_init(Md5Context* context) noexcept;
void md5_update(Md5Context* context, const unsigned char* input, std::uint32_t count) noexcept;
// Pads, writes the 16-byte digest and overwrites the whole context with zeros.
void md5_final(unsigned char digest[md5_digest_size], Md5Context* context) noexcept;
// The compression function over one 64-byte block.
void md5_transform(std::uint32_t state[4], const unsigned char block[md5_block_size]) noexcept;

// HMAC-MD5 of `text` under `key`, with the argument order of RFC 2104's
// sample code. A key longer than 64 bytes is first replaced by its MD5.
void hmac_md5(const unsigned char* text, int text_length, const unsigned char* key, int key_length,
              unsigned char digest[md5_digest_size]) noexcept;

// Overwrites `size` bytes in a way the compiler may not drop.
void secure_wipe(void* memory, std::uint32_t size) noexcept;
