// The one place that knows the platform's sockets. It gives the transport
// what it expects of each socket operation, the way Winsock 2 behaves:
// readable and settable last error codes, "connect in progress", "host not
// found", waits that are plain time-outs in seconds, and writes to a reset
// peer that fail instead of killing the process.
#pragma once

#include <cstddef>
#include <cstdint>

// A socket handle. The one platform switch of this contract: Winsock's
// SOCKET is an unsigned, pointer-sized handle whose invalid value is all ones;
// a POSIX socket is a descriptor, -1 when invalid. Callers only compare a
// handle with SOCK_INVALID, never with numbers.
#ifdef _WIN32
using sock_t = std::uintptr_t;
inline constexpr sock_t SOCK_INVALID = ~static_cast<sock_t>(0);
#else
using sock_t = int;
inline constexpr sock_t SOCK_INVALID = -1;
#endif

// Results of sock_recv and sock_send besides counts.
inline constexpr int SOCK_FAILED = -1;
inline constexpr int SOCK_AGAIN = -2; // nothing to do now: wait and try again

// Conditions with a text of their own in error messages.
enum class SockErrorKind { connection_refused, host_unreachable, bad_address, connection_reset, other };

struct SockVersion {
    int major, minor;           // granted
    int high_major, high_minor; // highest supported
};

// Starts the socket library. Returns 0 with the versions filled in, or -1.
// Before anything else it makes sure that no socket can be given the number
// of a standard stream that the process was started without.
[[nodiscard]] int sock_startup(SockVersion* version) noexcept;

// Whether the granted version is one this program works with: 2.x.
[[nodiscard]] constexpr bool sock_version_usable(const SockVersion& version) noexcept
{
    return version.major == 2;
}

// Makes standard output show each line as soon as it ends (progress lines
// and the trace must not wait for the run's end), with `buffer` where the C
// library can buffer by lines.
void sock_line_buffer_output(char* buffer, std::size_t size) noexcept;

// Blanks argument `index` of the process's own command line as other
// processes see it, where that differs from the argument vector (Windows
// keeps the command line as one text of its own). The argument vector itself
// is the caller's to wipe.
void sock_hide_argument(int index) noexcept;

// The last error code of a socket operation, and setting it.
[[nodiscard]] int sock_error() noexcept;
void sock_set_error(int code) noexcept;
[[nodiscard]] SockErrorKind sock_error_kind(int code) noexcept;
[[nodiscard]] bool sock_error_in_progress(int code) noexcept; // a non-blocking connect under way

// An address of either family. Only this layer builds or reads one; above
// it an address is held, passed on and printed through the texts below.
struct SockAddress {
    unsigned char family;    // SOCK_IPV4 or SOCK_IPV6 (this layer's own numbers)
    unsigned char bytes[16]; // network byte order; IPv4 in the first four
};
inline constexpr unsigned char SOCK_IPV4 = 4;
inline constexpr unsigned char SOCK_IPV6 = 6;

// A TCP socket (with Nagle's algorithm off) of the address's family, or
// SOCK_INVALID.
[[nodiscard]] sock_t sock_tcp(const SockAddress& address) noexcept;
[[nodiscard]] int sock_bind(sock_t sock, const SockAddress& address, int port) noexcept;
[[nodiscard]] int sock_set_nonblocking(sock_t sock) noexcept;
[[nodiscard]] int sock_connect(sock_t sock, const SockAddress& address, int port) noexcept;
// SO_ERROR: 0 with the value and its length in bytes, the value then being
// the current error code (so that its text names the connection's own
// error); or -1.
[[nodiscard]] int sock_pending_error(sock_t sock, int* value, int* length) noexcept;
// Counts, 0 on an orderly close (recv only), SOCK_FAILED or SOCK_AGAIN.
[[nodiscard]] int sock_recv(sock_t sock, void* buffer, int size) noexcept;
[[nodiscard]] int sock_send(sock_t sock, const void* data, int count) noexcept;
// Ends the sending side (the peer reads an orderly end); reading goes on.
[[nodiscard]] int sock_shutdown_send(sock_t sock) noexcept;
void sock_close(sock_t sock) noexcept;
// The peer's address and port, also after a reset (as named when
// connecting); 0.0.0.0 and 0 when unknown.
void sock_peer(sock_t sock, SockAddress* address, int* port) noexcept;

// The unspecified address of the same family (0.0.0.0 or ::): "any" for bind.
[[nodiscard]] SockAddress sock_any_address(const SockAddress& like) noexcept;

// The text of an address, held by value (two can stand in one printf).
// RFC 5952 for IPv6: lower case, the longest run of two or more zero groups
// (the first of equal runs) as "::", and the last 32 bits dotted only under
// the prefixes that always embed IPv4 (::ffff:0:0:0/96, 64:ff9b::/96).
inline constexpr int sock_address_text_size = 48; // "[" 45 characters "]" NUL
struct SockAddressText {
    char text[sock_address_text_size];
};
[[nodiscard]] SockAddressText sock_address_text(const SockAddress& address) noexcept;
// The same, bracketed when IPv6, for a place where ":port" follows
// (RFC 3986, 3.2.2): "[::1]", "127.0.0.1".
[[nodiscard]] SockAddressText sock_address_text_for_port(const SockAddress& address) noexcept;
// The address as a certificate's iPAddress holds it (RFC 5280, 4.2.1.6):
// its count of bytes, 4 or 16, copied to `bytes`.
[[nodiscard]] int sock_address_bytes(const SockAddress& address, unsigned char* bytes) noexcept;

enum class SockLiteral {
    none,    // not an address: a host name to look up
    address, // an address, taken without a lookup
    invalid, // written as an IPv6 address (a ':' or brackets) but not one
};
// A dotted IPv4 address in any form the platform's inet_addr takes; or an
// IPv6 address in any RFC 4291 text form, bare or in brackets, without a
// zone index. An IPv4-mapped IPv6 address (::ffff:a.b.c.d) is the IPv4
// address.
[[nodiscard]] SockLiteral sock_parse_literal(const char* text, SockAddress* address) noexcept;

// What a name resolves to: the address to connect to, then the ones to try
// in turn while each attempt ends unreachable.
inline constexpr int sock_host_max = 8;
struct SockHost {
    SockAddress address[sock_host_max];
    int count;
};
// Looks a host name up once for both families: 0 with the host filled in,
// or an error code that sock_error_host_not_found can judge. The first IPv4
// address comes first, followed by the IPv6 addresses in the resolver's
// order; a name without IPv4 gives its first IPv6 address alone.
[[nodiscard]] int sock_lookup(const char* name, SockHost* host) noexcept;
[[nodiscard]] bool sock_error_host_not_found(int code) noexcept;
// Network or host unreachable, or the address not available: not by this
// address, another may do.
[[nodiscard]] bool sock_error_unreachable(int code) noexcept;

// One connection attempt to `address`: the connected socket, or
// SOCK_INVALID with the error code of its failure current.
using SockAttempt = sock_t (*)(const SockAddress& address, void* context);
// Attempts the host's addresses in order, going on to the next only while
// an attempt fails unreachable. Returns the first connected socket, or
// SOCK_INVALID with the last attempt's failure.
[[nodiscard]] sock_t sock_connect_host(const SockHost& host, SockAttempt attempt, void* context) noexcept;

// One socket of a wait: what to wait for, and what is ready afterwards.
struct SockWait {
    sock_t sock;
    bool want_read;
    bool want_write;
    bool readable;
    bool writable;
    // The socket may hold a pending error: an error or a hang-up was
    // reported on it, or the wait cannot tell (then every socket of a wait
    // that ended ready counts).
    bool failed = false;
};

// Waits until one wanted condition is ready or `timeout_seconds` have passed.
// A closed or failed connection counts as readable and writable. Returns the
// count of ready sockets, 0 on time-out, or -1 with the error code set. A
// signal does not end the wait early.
[[nodiscard]] int sock_wait(SockWait* set, int count, int timeout_seconds) noexcept;
