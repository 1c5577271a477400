#include <cstdio>
#include <cstring>

#include "common/ascii.h"
#include "auth/auth_methods.h"
#include "auth/base64.h"
#include "auth/md5.h"
#include "driver/phases.h"
#include "driver/run_report.h"
#include "driver/run_state.h"
#include "common/settings.h"
#include "driver/timeouts.h"
#include "net/transport.h"

namespace {

// The CRAM-MD5 response is the user, a space and 32 hex digits (RFC 2195).
constexpr std::size_t cram_user_max = command_buffer_size - 1 - 2 * md5_digest_size - 1;
static_assert(cram_user_max == 94);
// What the encoder fits into the line: 172 characters and the NUL.
static_assert(base64_encode_capacity(encoded_line_size) == 129);
static_assert(base64_encode_capacity(encoded_line_size) >= command_buffer_size - 1,
              "a CRAM-MD5 response always fits its encoded line");

void choose_method()
{
    chosen_auth = -1;
    if (settings.forced_auth != nullptr) {
        const int i = find_auth_method(settings.forced_auth);
        if (auth_methods[i].usable == 0)
            fail(ExitCode::dialogue, "Auth %s is not available here\n", settings.forced_auth);
        if (auth_methods[i].offered == 0)
            fail(ExitCode::dialogue, "Auth %s is not available on the ATRN server\n", settings.forced_auth);
        chosen_auth = i;
    } else {
        for (int i = 0; i < auth_method_count && chosen_auth < 0; ++i) {
            if (auth_methods[i].usable == 1 && auth_methods[i].offered == 1)
                chosen_auth = i;
        }
    }
    if (chosen_auth < 0)
        fail(ExitCode::usage, "Internal error.\n");
    if (settings.verbose != 0)
        std::printf("AUTH %s has been choosen\n", auth_methods[chosen_auth].name);
}

// Encodes `count` bytes into line_buffer as one command line with its CR LF.
// Returns the line's length.
int encode_line(const void* data, std::size_t count)
{
    if (count > static_cast<std::size_t>(base64_encode_capacity(encoded_line_size)) ||
        base64_encode(static_cast<const unsigned char*>(data), static_cast<int>(count), line_buffer,
                      encoded_line_size) != BASE64_ENCODED)
        fail(ExitCode::internal_limit, "Internal error: bufe too small !\n");
    const std::size_t length = std::strlen(line_buffer);
    line_buffer[length] = '\r';
    line_buffer[length + 1] = '\n';
    line_buffer[length + 2] = '\0';
    return static_cast<int>(length + 2);
}

// The server's challenge, decoded into command_buffer as a text. One that is
// not valid Base64 or does not fit is taken as empty: LOGIN then refuses it
// as no "Username:", and CRAM-MD5 answers a digest the server will refuse.
void decode_challenge()
{
    const int decoded = base64_decode(get_reply_buffer() + 4, reinterpret_cast<unsigned char*>(command_buffer),
                                      command_buffer_size);
    if (decoded < 0)
        command_buffer[0] = '\0';
}

int cram_md5_exchange()
{
    hmac_md5(reinterpret_cast<const unsigned char*>(command_buffer), static_cast<int>(std::strlen(command_buffer)),
             reinterpret_cast<const unsigned char*>(settings.secret), static_cast<int>(std::strlen(settings.secret)),
             digest);
    if (std::strlen(settings.user) > cram_user_max)
        fail(ExitCode::internal_limit, "Internal error: buf too small. Try a shorter username.\n");

    int length = std::snprintf(command_buffer, sizeof command_buffer, "%s ", settings.user);
    for (const unsigned char byte : digest)
        length += std::snprintf(command_buffer + length, sizeof command_buffer - static_cast<std::size_t>(length),
                                "%02x", byte);
    const int line_length = encode_line(command_buffer, static_cast<std::size_t>(length));
    secure_wipe(digest, sizeof digest);
    secure_wipe(command_buffer, sizeof command_buffer);

    if (send_all(atrn_socket, command_timeout, line_buffer, line_length) < 0)
        fail(ExitCode::dialogue, "Error sending digest to ATRN server: %s\n", get_last_error());
    secure_wipe(line_buffer, sizeof line_buffer);
    const int status = read_reply(atrn_socket, reply_timeout);
    if (status < 0)
        fail(ExitCode::dialogue, "Error in response to digest from ATRN server: %s\n", get_last_error());
    return status;
}

int login_exchange()
{
    if (!ascii_equal_nocase(command_buffer, "Username:"))
        fail(ExitCode::internal_limit,
             "Invalid response to AUTH LOGIN from ATRN server. Status is 334 but no \"Username:\" has been found\n");

    int line_length = encode_line(settings.user, std::strlen(settings.user));
    if (send_all(atrn_socket, command_timeout, line_buffer, line_length) < 0)
        fail(ExitCode::dialogue, "Error sending username to ATRN server: %s\n", get_last_error());
    // The second prompt ("Password:") is not examined.
    if (read_reply(atrn_socket, reply_timeout) != 334)
        fail(ExitCode::dialogue, "Error in response to our username from ATRN server: %s\n", get_last_error());

    line_length = encode_line(settings.secret, std::strlen(settings.secret));
    const int sent = send_all(atrn_socket, command_timeout, line_buffer, line_length);
    secure_wipe(line_buffer, sizeof line_buffer);
    if (sent < 0)
        fail(ExitCode::dialogue, "Error sending password to ATRN server: %s\n", get_last_error());
    const int status = read_reply(atrn_socket, reply_timeout);
    if (status < 0)
        fail(ExitCode::dialogue, "Error in response to our password from ATRN server: %s\n", get_last_error());
    return status;
}

} // namespace

void authenticate()
{
    choose_method();
    const AuthMethod& method = auth_methods[chosen_auth];

    const int length = std::snprintf(command_buffer, sizeof command_buffer, "AUTH %s\r\n", method.name);
    if (send_all(atrn_socket, command_timeout, command_buffer, length) < 0)
        fail(ExitCode::dialogue, "Error sending AUTH to ATRN server: %s\n", get_last_error());
    int status = read_reply(atrn_socket, reply_timeout);
    if (status < 0)
        fail(ExitCode::dialogue, "Error in response to AUTH from ATRN server: %s\n", get_last_error());
    if (status != 334)
        fail(ExitCode::dialogue, "Invalid response to AUTH from ATRN server. Status = %d\n", status);

    decode_challenge();
    status = method.kind == AUTH_KIND_LOGIN ? login_exchange() : cram_md5_exchange();
    secure_wipe(command_buffer, sizeof command_buffer);

    if (status == 235)
        return;
    if (status != 535)
        fail(ExitCode::dialogue, "Invalid response to digest from ATRN server. Status = %d\n", status);

    print_error(ExitCode::dialogue, "Authentication refused by server (invalid user or secret)\n");
    std::snprintf(line_buffer, sizeof line_buffer, "QUIT\r\n");
    if (send_all(atrn_socket, command_timeout, line_buffer, 6) < 0)
        fail(ExitCode::dialogue, "Error sending QUIT to ATRN server: %s\n", get_last_error());
    if (read_reply(atrn_socket, quit_reply_timeout) < 0)
        fail(ExitCode::dialogue, "Error in response to QUIT from ATRN server: %s\n", get_last_error());
    end_run(ExitCode::dialogue);
}
