// SASL mechanisms run as small state machines behind one table of entry
// points (init, exchange, channel bound?, free): PLAIN (RFC 4616) and
// SCRAM-SHA-256 with and without channel binding (RFC 7677, RFC 5802). The
// driver sends and reads; a mechanism only turns server messages into
// client messages. The CRAM-MD5 and LOGIN exchanges are the driver's own.
#pragma once

#include "auth/base64.h"

// A SASL line in Base64 with its CR LF (RFC 4954 sets no limit; servers
// commonly accept this much), and what a client message may hold so that
// its Base64 fits the line.
inline constexpr int sasl_line_size = 1024;
inline constexpr int sasl_message_size = base64_encode_capacity(sasl_line_size - 2 + 1);
static_assert(sasl_message_size == 765);
// A server message decoded from a line of up to sasl_line_size, and its NUL.
inline constexpr int sasl_challenge_size = 3 * (sasl_line_size / 4) + 1;

// What a mechanism's step ended with.
enum class [[nodiscard]] SaslStep {
    respond,         // the next client message is in `out` (it may be empty)
    done,            // the exchange is complete; the server proved itself if it must
    unexpected,      // the server asked for more than the mechanism has to say
    unreadable,      // a server message that cannot be parsed
    wrong_nonce,     // SCRAM: the server's nonce does not begin with ours
    bad_iterations,  // SCRAM: an iteration count out of range (scram_iterations_asked)
    server_error,    // SCRAM: the server's e= (sasl_server_error)
    wrong_signature, // SCRAM: no server signature, or a wrong one
    too_long,        // our message would not fit sasl_message_size
    no_random,       // the system's random source failed
};

// What the TLS session beneath offers to bind to (RFC 5056): the binding's
// name ("tls-exporter", "tls-unique") and its data, or no type at all.
struct SaslBinding {
    const char* type;
    const unsigned char* data;
    int length;
};

struct SaslStart {
    const char* user;
    const char* secret;
    bool plus;              // the -PLUS mechanism was chosen: bind to `binding`
    bool server_lists_plus; // the server listed the -PLUS mechanism
    SaslBinding binding;    // type nullptr when this session cannot bind
};

struct SaslMessage {
    unsigned char bytes[sasl_message_size];
    int length;
};

struct SaslMechanism {
    // The initial response (RFC 4954, 4) into `out`: respond, too_long or
    // no_random.
    SaslStep (*init)(const SaslStart& start, SaslMessage* out) noexcept;
    // One server message, decoded (`length` bytes), into the next client
    // message. `success` when it came with the 235 that ends the exchange
    // (RFC 4954, 4: additional data with success) rather than with a 334.
    SaslStep (*exchange)(const unsigned char* in, int length, bool success,
                                       SaslMessage* out) noexcept;
    // Whether the exchange bound itself to the TLS session.
    bool (*channel_bound)() noexcept;
    // Wipes what the exchange held; the next init starts afresh.
    void (*free)() noexcept;
    // The server answers the initial response with a challenge (334); a
    // mechanism without one reads the answer as the final status.
    bool challenged;
};

extern const SaslMechanism sasl_plain;
extern const SaslMechanism sasl_scram_sha256; // with and without -PLUS

// SCRAM's iteration bounds: fewer is too weak (RFC 7677, 4 asks for at
// least 4096), more makes a hostile server cost us minutes of work.
inline constexpr long scram_iterations_min = 4096;
inline constexpr long scram_iterations_max = 1000000;

// After bad_iterations: the count the server asked for.
[[nodiscard]] int scram_iterations_asked() noexcept;

// After server_error: the server's e= value, with bytes outside printable
// ASCII written as \xHH, so that it stays one line.
[[nodiscard]] const char* sasl_server_error() noexcept;

// The GS2 channel-binding flag (RFC 5802, 6), chosen here alone: 'p' when
// the -PLUS mechanism binds, 'y' when this session could bind but the server
// lists no -PLUS (a server that does support binding then sees a
// downgrade), 'n' otherwise.
[[nodiscard]] char scram_gs2_flag(bool plus, bool can_bind, bool server_lists_plus) noexcept;

// Parses a SCRAM server message: each letter of `letters` in order as an
// attribute "x=value" with a value of at least one byte (RFC 5802, 7),
// separated by commas; extensions may follow. Fills values[i] and
// lengths[i]. Returns false when the message does not have that form.
[[nodiscard]] bool scram_parse(const unsigned char* message, int length, const char* letters,
                               const unsigned char** values, int* lengths) noexcept;

// Wipes the SaltedPassword kept for the run (one per salt and count, so
// that pickups after the first pay no PBKDF2).
void scram_forget() noexcept;

// Tests only: the client nonce of the next init (nullptr: random again),
// and how many times the run has derived a SaltedPassword.
void scram_set_nonce_for_tests(const char* nonce) noexcept;
[[nodiscard]] int scram_derivations() noexcept;
