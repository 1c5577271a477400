#include "driver/run_state.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/run_report.h"
#include "net/transport.h"
#include "tls/tls.h"

SockHost atrn_addresses;
SockHost smtp_addresses;
sock_t atrn_socket = SOCK_INVALID;
sock_t smtp_socket = SOCK_INVALID;
int chosen_auth = -1;

char command_buffer[command_buffer_size];
char line_buffer[line_buffer_size];
unsigned char digest[md5_digest_size];
char secret_buffer[secret_buffer_size];
SaslMessage sasl_message;
char sasl_line[sasl_line_size + 1];
unsigned char sasl_challenge[sasl_challenge_size];

bool atrn_encrypted() noexcept
{
    return atrn_socket != SOCK_INVALID && tls_socket() == atrn_socket;
}

void forget_secret() noexcept
{
    secure_wipe(secret_buffer, static_cast<std::uint32_t>(std::strlen(secret_buffer)));
    scram_forget(); // the SaltedPassword stands for the secret
}

void close_atrn() noexcept
{
    tls_close(); // close_notify while the socket is still open; wipes the keys
    if (atrn_socket != SOCK_INVALID)
        sock_close(atrn_socket);
    atrn_socket = SOCK_INVALID;
}

void close_smtp() noexcept
{
    if (smtp_socket != SOCK_INVALID)
        sock_close(smtp_socket);
    smtp_socket = SOCK_INVALID;
}

void wipe_buffers() noexcept
{
    tls_release();
    secure_wipe(command_buffer, sizeof command_buffer);
    secure_wipe(line_buffer, sizeof line_buffer);
    secure_wipe(secret_buffer, sizeof secret_buffer);
    secure_wipe(&sasl_message, sizeof sasl_message);
    secure_wipe(sasl_line, sizeof sasl_line);
    secure_wipe(sasl_challenge, sizeof sasl_challenge);
    scram_forget();
    wipe_reply_buffer();
    wipe_relay_buffers();
}

void end_run(ExitCode code)
{
    close_atrn();
    close_smtp();
    forget_secret();
    wipe_buffers();
    std::exit(static_cast<int>(code));
}

void fail(ExitCode code, const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    // va_start above initialises args; clang-analyzer 14 misreads std::va_list.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    print_error_v(code, format, args);
    va_end(args);
    end_run(code);
}
