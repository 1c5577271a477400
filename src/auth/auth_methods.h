// The authentication methods this client knows, which of them this machine can
// carry out, and which of them the server offered in its EHLO reply.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::int32_t AUTH_KIND_CRAM_MD5 = 0;
inline constexpr std::int32_t AUTH_KIND_GSSAPI = 1;
inline constexpr std::int32_t AUTH_KIND_LOGIN = 2;
inline constexpr std::int32_t AUTH_KIND_PLAIN = 3;
inline constexpr std::int32_t AUTH_KIND_SCRAM_SHA256 = 4;
inline constexpr std::int32_t AUTH_KIND_SCRAM_SHA256_PLUS = 5;

struct SaslMechanism;

struct AuthMethod {
    std::int32_t kind;   // which exchange: AUTH_KIND_*
    const char* name;    // SASL mechanism name, as on the wire
    std::int32_t usable; // 1 when this side can carry it out (set by the probe)
    std::int32_t offered; // 1 when the last EHLO reply parsed listed it
    const SaslMechanism* sasl; // the state machine that runs it; nullptr for CRAM-MD5 and LOGIN
    const char* unusable;      // why not usable, for the listing; nullptr: auth_probe_error
};

// Table order is the order of the listing: CRAM-MD5, LOGIN, PLAIN,
// SCRAM-SHA-256, SCRAM-SHA-256-PLUS.
inline constexpr int auth_method_count = 5;
extern AuthMethod auth_methods[auth_method_count];

// Indexes into auth_methods, most preferred first: the channel-bound and
// plain SCRAM, which prove the server too, then the written challenge
// methods, PLAIN last (and only inside TLS, which the driver decides).
inline constexpr int auth_preference[auth_method_count] = {4, 3, 0, 1, 2};

// Marks the entries of `kind` unusable, with the reason the listing gives.
void set_auth_unusable(std::int32_t kind, const char* reason) noexcept;

inline constexpr std::size_t auth_probe_error_size = 512;
// Reason of the last failed probe; printed by the method listing.
extern char auth_probe_error[auth_probe_error_size];

// Index of the first entry whose name equals `name` without regard to ASCII
// case, or -1.
[[nodiscard]] int find_auth_method(const char* name) noexcept;

// Whether the last EHLO reply parsed listed the method of `kind`.
[[nodiscard]] bool auth_kind_offered(std::int32_t kind) noexcept;

// Sets `offered` on every entry named `name` (ASCII case ignored).
void mark_offered(const char* name) noexcept;

// Probes the methods that need a probe (GSSAPI) and, when `list` is non-zero,
// prints " NAME: OK" or " NAME: Error: REASON" for every entry on stdout.
void probe_auth_methods(int list);

// 0 when the platform's GSSAPI machinery is usable, 1 with the reason in
// auth_probe_error otherwise.
[[nodiscard]] int probe_gssapi();

// Scans the whole text of an EHLO reply (its first line is the greeting and is
// skipped) for ATRN and for the AUTH mechanism list, refilling every `offered`
// flag. Returns 1 when the dialogue may go on (ATRN listed, or IIS mode),
// otherwise 0. Prints nothing: the caller words the refusal.
[[nodiscard]] int parse_ehlo_reply(const char* reply);

// Whether a line of the EHLO reply (scanned as parse_ehlo_reply scans it)
// has `keyword` as its keyword, ASCII case ignored. Prints nothing.
[[nodiscard]] bool ehlo_reply_lists(const char* reply, const char* keyword) noexcept;
