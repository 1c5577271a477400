// The state of one run, shared by its phases, and its one way out.
#pragma once

#include <cstdint>

#include "auth/md5.h"
#include "auth/sasl.h"
#include "driver/exit_codes.h"
#include "socket/socket_layer.h"

inline constexpr int command_buffer_size = 128;
inline constexpr int line_buffer_size = 176;
// The encoder may fill 172 characters and a NUL; CR LF then follows.
inline constexpr int encoded_line_size = 173;
static_assert(encoded_line_size + 2 <= line_buffer_size);

extern SockHost atrn_addresses; // what srv and -s resolved to
extern SockHost smtp_addresses;
extern sock_t atrn_socket; // carries the reversed SMTP session after ATRN is accepted
extern sock_t smtp_socket;
extern int chosen_auth; // index into auth_methods, -1 until chosen

extern char command_buffer[command_buffer_size];
extern char line_buffer[line_buffer_size];
extern unsigned char digest[md5_digest_size];

// The SASL mechanisms' lines: the client message and its Base64 line with
// CR LF, and the server message decoded.
extern SaslMessage sasl_message;
extern char sasl_line[sasl_line_size + 1];
extern unsigned char sasl_challenge[sasl_challenge_size];

// Whether the ATRN connection runs inside TLS: what PLAIN and channel
// binding ask for, however TLS was started.
[[nodiscard]] bool atrn_encrypted() noexcept;

// The secret, moved out of the argument vector so that other users cannot
// read it in the process list. One argument holds at most 128 KiB on Linux.
inline constexpr int secret_buffer_size = 128 * 1024;
extern char secret_buffer[secret_buffer_size];

// Wipes the secret, and SCRAM's SaltedPassword, once no pickup needs them
// again; wiping twice does nothing.
void forget_secret() noexcept;

// Closes the connection named and marks it closed; closing a closed one does
// nothing.
void close_atrn() noexcept;
void close_smtp() noexcept;

// Overwrites every buffer that held text of the dialogue or the mail, and
// ends TLS for good.
void wipe_buffers() noexcept;

// Closes what is still open (the ATRN connection first), wipes the secret and
// the buffers, and ends the process.
[[noreturn]] void end_run(ExitCode code);

// Prints the message on stderr (with -l, logs it too: print_error), closes
// what is still open (the ATRN connection first), wipes the secret and ends
// the process with `code`.
[[noreturn]] void fail(ExitCode code, const char* format, ...) __attribute__((format(printf, 2, 3)));
