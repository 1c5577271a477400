#include <cstring>

#include "auth/md5.h"

// RFC 2104, section 2: H(K XOR opad, H(K XOR ipad, text)).
void hmac_md5(const unsigned char* text, int text_length, const unsigned char* key, int key_length,
              unsigned char digest[md5_digest_size]) noexcept
{
    Md5Context context;
    unsigned char hashed_key[md5_digest_size];
    if (key_length > md5_block_size) {
        md5_init(&context);
        md5_update(&context, key, static_cast<std::uint32_t>(key_length));
        md5_final(hashed_key, &context);
        key = hashed_key;
        key_length = md5_digest_size;
    }

    unsigned char inner_pad[md5_block_size] = {};
    unsigned char outer_pad[md5_block_size] = {};
    if (key_length > 0) {
        std::memcpy(inner_pad, key, static_cast<std::size_t>(key_length));
        std::memcpy(outer_pad, key, static_cast<std::size_t>(key_length));
    }
    for (int i = 0; i < md5_block_size; ++i) {
        inner_pad[i] ^= 0x36;
        outer_pad[i] ^= 0x5c;
    }

    md5_init(&context);
    md5_update(&context, inner_pad, md5_block_size);
    md5_update(&context, text, static_cast<std::uint32_t>(text_length));
    md5_final(digest, &context);

    md5_init(&context);
    md5_update(&context, outer_pad, md5_block_size);
    md5_update(&context, digest, md5_digest_size);
    md5_final(digest, &context);

    // The pads and the hashed key hold the secret.
    secure_wipe(inner_pad, sizeof inner_pad);
    secure_wipe(outer_pad, sizeof outer_pad);
    secure_wipe(hashed_key, sizeof hashed_key);
}
