// SHA-256 (FIPS 180-4, RFC 6234) in streaming form, HMAC-SHA-256 (RFC 2104)
// over it and PBKDF2-HMAC-SHA-256 (RFC 8018, 5.2), for SCRAM-SHA-256
// (RFC 7677). Caller-owned memory only; nothing is global.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int sha256_digest_size = 32;
inline constexpr int sha256_block_size = 64;

struct Sha256Context {
    std::uint32_t state[8];
    std::uint64_t length;            // bytes absorbed so far
    unsigned char buffer[sha256_block_size]; // input not yet transformed
};

void sha256_init(Sha256Context* context) noexcept;
void sha256_update(Sha256Context* context, const void* input, std::size_t count) noexcept;
// Pads, writes the digest and overwrites the whole context with zeros.
void sha256_final(unsigned char digest[sha256_digest_size], Sha256Context* context) noexcept;

// HMAC-SHA-256 in streaming form: init with the key (one longer than a block
// is hashed first), update with the text in any pieces, final writes the MAC
// and wipes the context.
struct HmacSha256Context {
    Sha256Context inner;
    Sha256Context outer;
};
void hmac_sha256_init(HmacSha256Context* context, const void* key, std::size_t key_length) noexcept;
void hmac_sha256_update(HmacSha256Context* context, const void* text, std::size_t count) noexcept;
void hmac_sha256_final(unsigned char mac[sha256_digest_size], HmacSha256Context* context) noexcept;

// The same in one call.
void hmac_sha256(const void* key, std::size_t key_length, const void* text, std::size_t text_length,
                 unsigned char mac[sha256_digest_size]) noexcept;

// PBKDF2 with HMAC-SHA-256: `iterations` rounds (at least 1), `out_length`
// bytes of derived key.
void pbkdf2_hmac_sha256(const void* password, std::size_t password_length, const void* salt,
                        std::size_t salt_length, std::uint32_t iterations, unsigned char* out,
                        std::size_t out_length) noexcept;
