// SCRAM-SHA-256 and SCRAM-SHA-256-PLUS, the client side (RFC 5802, 7677).
#include <cstdio>
#include <cstring>

#include "auth/random_bytes.h"
#include "auth/sasl.h"
#include "auth/sha256.h"
#include "common/wipe.h"

namespace {

enum class ScramState { init, nonce_sent, proof_sent, finished };

constexpr int nonce_random_bytes = 18; // 144 bits, 24 characters of Base64
constexpr int nonce_max = 64;
constexpr int gs2_header_max = 32;     // "p=tls-exporter,,"
constexpr int binding_max = 64;

struct Scram {
    ScramState state;
    const char* secret;
    char gs2_header[gs2_header_max];
    int gs2_length;
    unsigned char binding[binding_max];
    int binding_length;
    bool bound;
    char nonce[nonce_max + 1];
    int nonce_length;
    // client-first-message-bare: part of the AuthMessage (RFC 5802, 3)
    char first_bare[sasl_message_size];
    int first_bare_length;
    unsigned char server_signature[sha256_digest_size];
};
Scram scram;

// The SaltedPassword of the last (salt, iterations) the run met.
struct SaltedCache {
    bool valid;
    unsigned char salt[sasl_challenge_size];
    int salt_length;
    long iterations;
    unsigned char salted[sha256_digest_size];
};
SaltedCache cache;

int iterations_asked;
int derivations;
char server_error_text[4 * sasl_challenge_size];
const char* test_nonce = nullptr;

// Appends to a client message; false when it does not fit.
struct Writer {
    unsigned char* at;
    int size;
    int length;

    [[nodiscard]] bool put(const void* data, int count) noexcept
    {
        if (count < 0 || count > size - length || (data == nullptr && count > 0))
            return false;
        if (count == 0)
            return true;
        std::memcpy(at + length, data, static_cast<std::size_t>(count));
        length += count;
        return true;
    }
    [[nodiscard]] bool put(const char* text) noexcept { return put(text, static_cast<int>(std::strlen(text))); }
    [[nodiscard]] bool put_base64(const unsigned char* data, int count) noexcept
    {
        char encoded[sasl_line_size];
        if (base64_encode(data, count, encoded, sizeof encoded) != BASE64_ENCODED)
            return false;
        return put(encoded);
    }
};

// A Base64 value that is wholly Base64 (the decoder alone stops at blanks).
int decode_value(const unsigned char* value, int length, unsigned char* out, int size) noexcept
{
    char text[sasl_challenge_size + 1];
    if (length % 4 != 0 || length >= static_cast<int>(sizeof text) || std::memchr(value, '\0', static_cast<std::size_t>(length)) != nullptr)
        return -1;
    std::memcpy(text, value, static_cast<std::size_t>(length));
    text[length] = '\0';
    const int decoded = base64_decode(text, out, size);
    int pads = 0;
    for (int i = length - 1; i >= 0 && text[i] == '='; --i)
        ++pads;
    return decoded == length / 4 * 3 - pads ? decoded : -1;
}

bool equal_in_constant_time(const unsigned char* a, const unsigned char* b, int length) noexcept
{
    unsigned char differ = 0;
    for (int i = 0; i < length; ++i)
        differ = static_cast<unsigned char>(differ | (a[i] ^ b[i]));
    return differ == 0;
}

// printable = %x21-2B / %x2D-7E (RFC 5802, 7): the nonce's characters.
bool is_printable(unsigned char c) noexcept
{
    return c >= 0x21 && c <= 0x7e && c != ',';
}

void note_server_error(const unsigned char* value, int length) noexcept
{
    int at = 0;
    for (int i = 0; i < length; ++i) {
        const unsigned char c = value[i];
        if (c >= 0x20 && c < 0x7f)
            server_error_text[at++] = static_cast<char>(c);
        else
            at += std::snprintf(server_error_text + at, sizeof server_error_text - static_cast<std::size_t>(at),
                                "\\x%02X", c);
    }
    server_error_text[at] = '\0';
}

// posit-number (RFC 5802, 7): no leading zero; nine digits at most, far
// above any count allowed.
long parse_count(const unsigned char* value, int length) noexcept
{
    if (length > 9 || value[0] < '1' || value[0] > '9')
        return -1;
    long count = 0;
    for (int i = 0; i < length; ++i) {
        if (value[i] < '0' || value[i] > '9')
            return -1;
        count = count * 10 + (value[i] - '0');
    }
    return count;
}

// SaltedPassword := Hi(Normalize(password), salt, i). An ASCII secret is its
// own SASLprep form; others are taken as the bytes given (UTF-8).
void salted_password(const unsigned char* salt, int salt_length, long iterations,
                     unsigned char out[sha256_digest_size]) noexcept
{
    if (!cache.valid || cache.iterations != iterations || cache.salt_length != salt_length ||
        std::memcmp(cache.salt, salt, static_cast<std::size_t>(salt_length)) != 0) {
        ++derivations;
        pbkdf2_hmac_sha256(scram.secret, std::strlen(scram.secret), salt, static_cast<std::size_t>(salt_length),
                           static_cast<std::uint32_t>(iterations), cache.salted, sizeof cache.salted);
        std::memcpy(cache.salt, salt, static_cast<std::size_t>(salt_length));
        cache.salt_length = salt_length;
        cache.iterations = iterations;
        cache.valid = true;
    }
    std::memcpy(out, cache.salted, sha256_digest_size);
}

SaslStep scram_init(const SaslStart& start, SaslMessage* out) noexcept
{
    secure_zero(&scram, sizeof scram);
    scram.secret = start.secret;
    const char flag = scram_gs2_flag(start.plus, start.binding.type != nullptr, start.server_lists_plus);
    if (flag == 'p') {
        if (start.binding.length > binding_max)
            return SaslStep::too_long;
        std::snprintf(scram.gs2_header, sizeof scram.gs2_header, "p=%s,,", start.binding.type);
        std::memcpy(scram.binding, start.binding.data, static_cast<std::size_t>(start.binding.length));
        scram.binding_length = start.binding.length;
        scram.bound = true;
    } else {
        std::snprintf(scram.gs2_header, sizeof scram.gs2_header, "%c,,", flag);
    }
    scram.gs2_length = static_cast<int>(std::strlen(scram.gs2_header));

    if (test_nonce != nullptr) {
        std::snprintf(scram.nonce, sizeof scram.nonce, "%s", test_nonce);
    } else {
        unsigned char random[nonce_random_bytes];
        if (!random_bytes(random, sizeof random))
            return SaslStep::no_random;
        static_assert(base64_encode_capacity(nonce_max + 1) >= nonce_random_bytes);
        if (base64_encode(random, sizeof random, scram.nonce, sizeof scram.nonce) != BASE64_ENCODED)
            return SaslStep::too_long;
    }
    scram.nonce_length = static_cast<int>(std::strlen(scram.nonce));

    // saslname (RFC 5802, 5.1): "," and "=" escaped. Other bytes go as they
    // are: the SASLprep form of an ASCII name, and UTF-8 otherwise.
    Writer bare{reinterpret_cast<unsigned char*>(scram.first_bare), sasl_message_size - scram.gs2_length, 0};
    bool fits = bare.put("n=");
    for (const char* p = start.user; *p != '\0' && fits; ++p)
        fits = *p == ',' ? bare.put("=2C") : *p == '=' ? bare.put("=3D") : bare.put(p, 1);
    if (!(fits && bare.put(",r=") && bare.put(scram.nonce)))
        return SaslStep::too_long;
    scram.first_bare_length = bare.length;

    Writer message{out->bytes, sasl_message_size, 0};
    if (!(message.put(scram.gs2_header) && message.put(scram.first_bare, scram.first_bare_length)))
        return SaslStep::too_long;
    out->length = message.length;
    scram.state = ScramState::nonce_sent;
    return SaslStep::respond;
}

// server-first-message into client-final-message (RFC 5802, 3 and 7).
SaslStep answer_server_first(const unsigned char* in, int length, SaslMessage* out) noexcept
{
    const unsigned char* values[3] = {};
    int lengths[3] = {};
    // The nonce is checked as soon as it is read, before anything else.
    const bool readable = scram_parse(in, length, "rsi", values, lengths);
    if (values[0] != nullptr) {
        if (lengths[0] < scram.nonce_length ||
            std::memcmp(values[0], scram.nonce, static_cast<std::size_t>(scram.nonce_length)) != 0)
            return SaslStep::wrong_nonce;
        if (lengths[0] == scram.nonce_length)
            return SaslStep::unreadable; // the server added nothing of its own
        for (int i = 0; i < lengths[0]; ++i) {
            if (!is_printable(values[0][i]))
                return SaslStep::unreadable;
        }
    }
    if (!readable)
        return SaslStep::unreadable;
    unsigned char salt[sasl_challenge_size];
    const int salt_length = decode_value(values[1], lengths[1], salt, sizeof salt);
    const long iterations = parse_count(values[2], lengths[2]);
    if (salt_length <= 0 || iterations < 0)
        return SaslStep::unreadable;
    if (iterations < scram_iterations_min || iterations > scram_iterations_max) {
        iterations_asked = static_cast<int>(iterations);
        return SaslStep::bad_iterations;
    }

    // client-final-message-without-proof: c= carries the GS2 header and the
    // binding's data, r= the whole nonce.
    unsigned char binding_input[gs2_header_max + binding_max];
    std::memcpy(binding_input, scram.gs2_header, static_cast<std::size_t>(scram.gs2_length));
    std::memcpy(binding_input + scram.gs2_length, scram.binding, static_cast<std::size_t>(scram.binding_length));
    Writer message{out->bytes, sasl_message_size, 0};
    if (!(message.put("c=") && message.put_base64(binding_input, scram.gs2_length + scram.binding_length) &&
          message.put(",r=") && message.put(values[0], lengths[0])))
        return SaslStep::too_long;
    const int without_proof = message.length;

    unsigned char salted[sha256_digest_size];
    unsigned char client_key[sha256_digest_size];
    unsigned char stored_key[sha256_digest_size];
    unsigned char server_key[sha256_digest_size];
    unsigned char signature[sha256_digest_size];
    salted_password(salt, salt_length, iterations, salted);
    hmac_sha256(salted, sizeof salted, "Client Key", 10, client_key);
    hmac_sha256(salted, sizeof salted, "Server Key", 10, server_key);
    Sha256Context hash;
    sha256_init(&hash);
    sha256_update(&hash, client_key, sizeof client_key);
    sha256_final(stored_key, &hash);

    // AuthMessage := client-first-message-bare "," server-first-message ","
    // client-final-message-without-proof, fed to both MACs in pieces.
    HmacSha256Context client_mac;
    HmacSha256Context server_mac;
    hmac_sha256_init(&client_mac, stored_key, sizeof stored_key);
    hmac_sha256_init(&server_mac, server_key, sizeof server_key);
    for (HmacSha256Context* mac : {&client_mac, &server_mac}) {
        hmac_sha256_update(mac, scram.first_bare, static_cast<std::size_t>(scram.first_bare_length));
        hmac_sha256_update(mac, ",", 1);
        hmac_sha256_update(mac, in, static_cast<std::size_t>(length));
        hmac_sha256_update(mac, ",", 1);
        hmac_sha256_update(mac, out->bytes, static_cast<std::size_t>(without_proof));
    }
    hmac_sha256_final(signature, &client_mac);
    hmac_sha256_final(scram.server_signature, &server_mac);
    for (int i = 0; i < sha256_digest_size; ++i)
        client_key[i] ^= signature[i]; // ClientProof
    const bool fits = message.put(",p=") && message.put_base64(client_key, sizeof client_key);

    secure_zero(salted, sizeof salted);
    secure_zero(client_key, sizeof client_key);
    secure_zero(stored_key, sizeof stored_key);
    secure_zero(server_key, sizeof server_key);
    secure_zero(signature, sizeof signature);
    if (!fits)
        return SaslStep::too_long;
    out->length = message.length;
    scram.state = ScramState::proof_sent;
    return SaslStep::respond;
}

// server-final-message: e= or v= (RFC 5802, 7).
SaslStep check_server_final(const unsigned char* in, int length, bool success, SaslMessage* out) noexcept
{
    const unsigned char* value = nullptr;
    int value_length = 0;
    if (length > 0 && in[0] == 'e') {
        if (!scram_parse(in, length, "e", &value, &value_length))
            return success ? SaslStep::wrong_signature : SaslStep::unreadable;
        note_server_error(value, value_length);
        return SaslStep::server_error;
    }
    if (!scram_parse(in, length, "v", &value, &value_length))
        return success ? SaslStep::wrong_signature : SaslStep::unreadable;
    unsigned char signature[sasl_challenge_size];
    const int decoded = decode_value(value, value_length, signature, sizeof signature);
    if (decoded != sha256_digest_size || !equal_in_constant_time(signature, scram.server_signature, decoded))
        return SaslStep::wrong_signature;
    scram.state = ScramState::finished;
    if (success)
        return SaslStep::done;
    out->length = 0; // RFC 4954, 4: an empty response, then the final status
    return SaslStep::respond;
}

SaslStep scram_exchange(const unsigned char* in, int length, bool success, SaslMessage* out) noexcept
{
    switch (scram.state) {
    case ScramState::nonce_sent:
        // Success before the proof: the server proved nothing.
        return success ? SaslStep::wrong_signature : answer_server_first(in, length, out);
    case ScramState::proof_sent:
        return check_server_final(in, length, success, out);
    case ScramState::finished:
        return success ? SaslStep::done : SaslStep::unexpected;
    case ScramState::init:
        break;
    }
    return SaslStep::unexpected;
}

bool scram_channel_bound() noexcept
{
    return scram.bound;
}

void scram_free() noexcept
{
    secure_zero(&scram, sizeof scram);
}

} // namespace

const SaslMechanism sasl_scram_sha256 = {scram_init, scram_exchange, scram_channel_bound, scram_free, true};

char scram_gs2_flag(bool plus, bool can_bind, bool server_lists_plus) noexcept
{
    if (plus && can_bind)
        return 'p';
    if (!plus && can_bind && !server_lists_plus)
        return 'y';
    return 'n';
}

bool scram_parse(const unsigned char* message, int length, const char* letters, const unsigned char** values,
                 int* lengths) noexcept
{
    int at = 0;
    for (int i = 0; letters[i] != '\0'; ++i) {
        values[i] = nullptr;
        lengths[i] = 0;
    }
    for (int i = 0; letters[i] != '\0'; ++i) {
        if (i > 0) {
            if (at >= length || message[at] != ',')
                return false;
            ++at;
        }
        if (length - at < 3 || message[at] != static_cast<unsigned char>(letters[i]) || message[at + 1] != '=')
            return false;
        at += 2;
        const int start = at;
        while (at < length && message[at] != ',')
            ++at;
        if (at == start)
            return false;
        values[i] = message + start;
        lengths[i] = at - start;
    }
    // Extensions may follow, after a comma.
    return at == length || message[at] == ',';
}

int scram_iterations_asked() noexcept
{
    return iterations_asked;
}

const char* sasl_server_error() noexcept
{
    return server_error_text;
}

void scram_forget() noexcept
{
    secure_zero(&cache, sizeof cache);
    scram_free();
}

void scram_set_nonce_for_tests(const char* nonce) noexcept
{
    test_nonce = nonce;
}

int scram_derivations() noexcept
{
    return derivations;
}
