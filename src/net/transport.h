// The network transport: connections with time-outs, SMTP replies and
// commands, and the relay of the reversed ATRN connection.
//
// Every operation here reports failure the same way: it writes one sentence,
// without a line end, into last_error and returns -1. It prints nothing; the
// caller words its own message around get_last_error(). Time-outs are whole
// seconds.
#pragma once

#include <cstddef>
#include <cstdint>

#include "socket/socket_layer.h"

// Room for the longest message: a refused session, with the server's
// address and the first line of its greeting, every byte escaped.
inline constexpr std::size_t last_error_size = 640;
inline constexpr std::size_t socket_error_buffer_size = 64;
inline constexpr int reply_buffer_size = 2048;
// Each direction of the relay holds at most this much. Measured on loopback
// (100 MB through the relay): 4 KiB moved 211 MB/s, 16 KiB 385 MB/s, 64 KiB
// 415 MB/s (socat, 8 KiB steps: 215 MB/s). Larger steps add little.
inline constexpr int relay_buffer_size = 16 * 1024;

extern char last_error[last_error_size];
extern char socket_error_buffer[socket_error_buffer_size];

// The text of the most recent transport failure.
[[nodiscard]] const char* get_last_error() noexcept;

// The text of the socket library's current error code: "Connection refused",
// "Host unreachable", "Bad address", "Connection reset by peer", or
// "Winsock error %d" (formatted into socket_error_buffer, valid until the next
// call).
[[nodiscard]] const char* socket_error_text() noexcept;

// Formats one message into last_error.
void set_last_error(const char* format, ...) noexcept __attribute__((format(printf, 1, 2)));

// Opens a non-blocking TCP connection from local_address:local_port to
// remote_address:remote_port (of the same family), waiting at most
// timeout_seconds.
// Returns the socket, or -1 with one of: "Cannot create socket. %s", "Cannot
// bind socket to my address %s:%d. %s", "Cannot FIONBIO socket %s", "Cannot
// connect to server %s:%d. %s", "Timeout connecting to server %s:%d",
// "Cannot getsockopt(SO_ERROR) on socket. %s", "getsockopt(SO_ERROR) failed
// returning an invalid number of bytes".
// An address in either message stands bracketed when IPv6 ("[::1]:366").
[[nodiscard]] sock_t connect_with_timeout(const SockAddress& local_address, int local_port,
                                          const SockAddress& remote_address, int remote_port,
                                          int timeout_seconds) noexcept;

// Called before each connection attempt with the address about to be tried.
using ConnectNotice = void (*)(const SockAddress& address, void* context);

// Connects to the host's addresses in the socket layer's order
// (sock_connect_host), each from any local address and port, each attempt
// announced to `notice`. Returns the socket, or -1 with the last attempt's
// message (as connect_with_timeout).
[[nodiscard]] sock_t connect_to_host(const SockHost& host, int port, int timeout_seconds, ConnectNotice notice,
                                     void* context) noexcept;

// An address as it stands (a dotted IPv4 address, an IPv6 address bare or
// in brackets), else the addresses of the host name: 0 with them in *host,
// or -1 with "Host %s not found" (unknown name), "Winsock error %d (%s)"
// (the code and the name) or "Invalid IPv6 address %s" (written as one, but
// not one: a zone index, say). Sets *looked_up when the name service was
// asked.
[[nodiscard]] int resolve_host(const char* name, SockHost* host, bool* looked_up) noexcept;

// The text of the last reply read, NUL-terminated.
[[nodiscard]] const char* get_reply_buffer() noexcept;

// What the last read_reply read behind the reply's final line (bytes a
// peer sent without waiting, as a provider may right behind its 250 to
// ATRN): their count, with *bytes pointing at them.
[[nodiscard]] int get_reply_excess(const char** bytes) noexcept;

// Overwrites the reply buffer and what followed the last reply, which hold
// text of the dialogue.
void wipe_reply_buffer() noexcept;

// Reads one SMTP reply, however many lines and pieces it comes in, waiting at
// most timeout_seconds for each piece. Returns its status (0 to 999) with the
// text in the reply buffer, or -1 with one of: "select() error while reading
// from %s: %s", "Timeout error while waiting data from %s", "recv() error
// while waiting data from %s: %s", "recv() connection closed by %s", "Receive
// buffer overflow while reading data from %s". Traces each line in verbose
// mode.
[[nodiscard]] int read_reply(sock_t sock, int timeout_seconds) noexcept;

// Writes `count` bytes, waiting at most timeout_seconds each time the socket
// is not writable. Returns 0, or -1 with one of: "timeout error writing to
// %s: %s", "select() error writing to %s: %s", "error (1) writing to %s: %s",
// "error writing to %s: %s", "send() error writing to %s: %s". Traces the
// data in verbose mode.
[[nodiscard]] int send_all(sock_t sock, int timeout_seconds, const char* data, int count) noexcept;

// Overwrites the relay's buffers, which hold the mail that passed.
void wipe_relay_buffers() noexcept;

// Passes bytes unchanged both ways between the reversed ATRN connection and
// the local SMTP server, starting with the `first_count` bytes at
// `first_bytes` toward the SMTP server (what the provider sent behind its
// reply to ATRN; at most relay_buffer_size), and shows them to the observer
// of the SMTP session (net/smtp_observer.h) as they are sent on. When one
// side ends its sending in order, what was read for the other side is
// delivered, the end is passed on to it (shutdown of sending), and the other
// direction goes on until that side ends too, fails, or stays silent for
// `timeout_seconds`. When a side fails, what was already read for the other
// side, and what the failed side's socket still holds, is delivered to it
// first. Returns 0 when the session ended in order, or -1 with one of:
// "Timeout error passig data" (neither side ended, or a message's end waits
// for its reply), "select() error passing data: %s", "Error in data channel
// with %s: %s", "recv() error while reading data from %s: %s", "send() error
// writing to %s: %s"; when the first end in order cut a message off,
// "connection closed by %s in the middle of a message"; when the SMTP server
// ended first before the provider's QUIT crossed, "connection closed by %s
// before the provider's QUIT"; and, whatever came after, when the SMTP
// server's greeting was not 2xx, "SMTP server %s refused the session: %s"
// (its first line, bytes outside printable ASCII as \xHH). The first end is
// judged once what was read before it has been passed on: the provider's as
// the observer knew the session when its end was read or then, whichever
// shows a message in transit, unless its QUIT had crossed; the SMTP
// server's by the provider's QUIT before its end, and by a transaction still
// open once its replies have been passed on.
[[nodiscard]] int relay_streams(sock_t atrn_sock, sock_t smtp_sock, int timeout_seconds,
                                const char* first_bytes = nullptr, int first_count = 0) noexcept;

enum class RelaySide { none, provider, server };

// How the last relay ended: the side whose end or failure ended it (for an
// end in order, the side that ended first; the SMTP server when it refused
// the session; none after a time-out or a failed wait), whether it failed,
// and whether a message was then in transit by the observer's reckoning (as
// it last knew the session): for the provider, content sent and the SMTP
// server's reply to its end not yet passed on; for the SMTP server, anywhere
// from the provider's MAIL to that reply.
struct RelayEnd {
    RelaySide side;
    bool failed;
    bool mail_in_transit;
};
[[nodiscard]] RelayEnd relay_end() noexcept;
