#include <cstdio>
#include <cstring>

#include "common/ascii.h"
#include "auth/auth_methods.h"
#include "auth/base64.h"
#include "auth/md5.h"
#include "auth/sasl.h"
#include "driver/phases.h"
#include "driver/run_report.h"
#include "driver/run_state.h"
#include "common/settings.h"
#include "driver/timeouts.h"
#include "net/transport.h"
#include "tls/tls.h"

namespace {

// The CRAM-MD5 response is the user, a space and 32 hex digits (RFC 2195).
constexpr std::size_t cram_user_max = command_buffer_size - 1 - 2 * md5_digest_size - 1;
static_assert(cram_user_max == 94);
// What the encoder fits into the line: 172 characters and the NUL.
static_assert(base64_encode_capacity(encoded_line_size) == 129);
static_assert(base64_encode_capacity(encoded_line_size) >= command_buffer_size - 1,
              "a CRAM-MD5 response always fits its encoded line");

// RFC 4954, 4: an AUTH line with its initial response is a command line
// and must not pass 512 octets with its CR LF (RFC 5321, 4.5.3.1.4).
constexpr int command_line_max = 512;
static_assert(command_line_max < sasl_line_size);

unsigned char binding_data[tls_binding_max];

// What this session can bind to: nothing outside TLS.
SaslBinding session_binding() noexcept
{
    SaslBinding binding{nullptr, binding_data, 0};
    const char* type = nullptr;
    const int length = atrn_encrypted() ? tls_channel_binding(binding_data, &type) : 0;
    if (length > 0) {
        binding.type = type;
        binding.length = length;
    }
    return binding;
}

// Whether this side can run the method in this session: -PLUS only where
// the session gives a binding.
bool runs_here(const AuthMethod& method, const SaslBinding& binding) noexcept
{
    return method.usable == 1 && (method.kind != AUTH_KIND_SCRAM_SHA256_PLUS || binding.type != nullptr);
}

void choose_method(const SaslBinding& binding)
{
    chosen_auth = -1;
    if (settings.forced_auth != nullptr) {
        const int i = find_auth_method(settings.forced_auth);
        if (!runs_here(auth_methods[i], binding))
            fail(ExitCode::dialogue, "Auth %s is not available here\n", settings.forced_auth);
        if (auth_methods[i].offered == 0)
            fail(ExitCode::dialogue, "Auth %s is not available on the ATRN server\n", settings.forced_auth);
        chosen_auth = i;
    } else {
        // PLAIN sends the secret itself: chosen unasked only inside TLS.
        for (const int i : auth_preference) {
            const AuthMethod& method = auth_methods[i];
            if (chosen_auth < 0 && runs_here(method, binding) && method.offered == 1 &&
                (method.kind != AUTH_KIND_PLAIN || atrn_encrypted()))
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

// The final status of every method: 235 goes on; 535 quits.
void end_authentication(int status)
{
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

// Ends the run on a mechanism's step that failed.
[[noreturn]] void refuse_sasl(SaslStep step, int status)
{
    switch (step) {
    case SaslStep::unreadable:
        fail(ExitCode::dialogue, "Error in response to AUTH from ATRN server: unreadable SCRAM message\n");
    case SaslStep::wrong_nonce:
        fail(ExitCode::dialogue, "Authentication refused: the ATRN server's nonce does not begin with ours\n");
    case SaslStep::bad_iterations:
        fail(ExitCode::dialogue, "Authentication refused: the ATRN server asks for %d iterations (4096 to 1000000 allowed)\n",
             scram_iterations_asked());
    case SaslStep::server_error:
        fail(ExitCode::dialogue, "Authentication refused by server: %s\n", sasl_server_error());
    case SaslStep::wrong_signature:
        fail(ExitCode::dialogue, "Authentication refused: the ATRN server's signature is wrong\n");
    case SaslStep::too_long:
        fail(ExitCode::internal_limit, "Internal error: bufe too small !\n");
    case SaslStep::no_random:
        fail(ExitCode::internal_limit, "Internal error: the system's random source failed\n");
    case SaslStep::respond:
    case SaslStep::done:
    case SaslStep::unexpected:
        break;
    }
    fail(ExitCode::dialogue, "Invalid response to digest from ATRN server. Status = %d\n", status);
}

// Encodes sasl_message in Base64 at sasl_line + offset, followed by CR LF.
// Returns the length of the line from sasl_line on.
int encode_sasl_line(int offset)
{
    if (base64_encode(sasl_message.bytes, sasl_message.length, sasl_line + offset,
                      static_cast<int>(sizeof sasl_line) - offset - 2) != BASE64_ENCODED)
        fail(ExitCode::internal_limit, "Internal error: bufe too small !\n");
    const int length = offset + static_cast<int>(std::strlen(sasl_line + offset));
    std::memcpy(sasl_line + length, "\r\n", 3);
    return length + 2;
}

// Sends `length` bytes of sasl_line (the step named `what`) and reads the
// reply; returns its status.
int sasl_send(int length, const char* what)
{
    const int sent = send_all(atrn_socket, command_timeout, sasl_line, length);
    secure_wipe(sasl_line, sizeof sasl_line);
    if (sent < 0)
        fail(ExitCode::dialogue, "Error sending %s to ATRN server: %s\n", what, get_last_error());
    const int status = read_reply(atrn_socket, reply_timeout);
    if (status < 0)
        fail(ExitCode::dialogue, "Error in response to %s from ATRN server: %s\n", what, get_last_error());
    return status;
}

// The server's message in a 334 or 235 reply, decoded into sasl_challenge:
// its length, or -1. A 235 may put an enhanced status code (RFC 3463) first.
int decode_server_message(bool success)
{
    const char* text = get_reply_buffer() + 4;
    int decoded = base64_decode(text, sasl_challenge, sasl_challenge_size);
    if (decoded < 0 && success && ascii_is_digit(text[0]) && text[1] == '.') {
        const char* space = std::strchr(text, ' ');
        const char* end = std::strpbrk(text, "\r\n");
        if (space != nullptr && (end == nullptr || space < end))
            decoded = base64_decode(space + 1, sasl_challenge, sasl_challenge_size);
    }
    return decoded;
}

// A SASL mechanism of the table (PLAIN, SCRAM): the initial response on the
// AUTH line, each 334 answered, and the server's last word checked on 235.
// Returns the final status.
int sasl_exchange(const AuthMethod& method, const SaslBinding& binding)
{
    const SaslMechanism& mechanism = *method.sasl;
    const SaslStart start{settings.user, settings.secret, method.kind == AUTH_KIND_SCRAM_SHA256_PLUS,
                          auth_kind_offered(AUTH_KIND_SCRAM_SHA256_PLUS), binding};
    SaslStep step = mechanism.init(start, &sasl_message);
    if (step != SaslStep::respond)
        refuse_sasl(step, 0);

    const int encoded_length = 4 * ((sasl_message.length + 2) / 3);
    const int prefix_length = static_cast<int>(std::strlen("AUTH  ") + std::strlen(method.name));
    int length = 0;
    int status = 0;
    if (prefix_length + encoded_length + 2 <= command_line_max) {
        std::snprintf(sasl_line, sizeof sasl_line, "AUTH %s ", method.name);
        length = encode_sasl_line(prefix_length);
        status = sasl_send(length, "AUTH");
    } else {
        const int auth_length = std::snprintf(command_buffer, sizeof command_buffer, "AUTH %s\r\n", method.name);
        if (send_all(atrn_socket, command_timeout, command_buffer, auth_length) < 0)
            fail(ExitCode::dialogue, "Error sending AUTH to ATRN server: %s\n", get_last_error());
        status = read_reply(atrn_socket, reply_timeout);
        if (status < 0)
            fail(ExitCode::dialogue, "Error in response to AUTH from ATRN server: %s\n", get_last_error());
        if (status != 334)
            fail(ExitCode::dialogue, "Invalid response to AUTH from ATRN server. Status = %d\n", status);
        length = encode_sasl_line(0);
        status = sasl_send(length, "initial response");
    }
    if (mechanism.challenged && status != 334 && status != 235 && status != 535)
        fail(ExitCode::dialogue, "Invalid response to AUTH from ATRN server. Status = %d\n", status);

    // Each step of a mechanism moves its machine on; one that has nothing
    // more to say answers `unexpected`, which ends the loop.
    for (int round = 0; status == 334; ++round) {
        const int decoded = decode_server_message(false);
        step = decoded < 0 ? (mechanism.challenged ? SaslStep::unreadable : SaslStep::unexpected)
                           : mechanism.exchange(sasl_challenge, decoded, false, &sasl_message);
        if (step != SaslStep::respond || round == 2)
            refuse_sasl(step == SaslStep::respond ? SaslStep::unexpected : step, status);
        length = encode_sasl_line(0);
        status = sasl_send(length, sasl_message.length > 0 ? "proof" : "empty response");
    }
    if (status == 235) {
        const int decoded = decode_server_message(true);
        step = mechanism.exchange(sasl_challenge, decoded < 0 ? 0 : decoded, true, &sasl_message);
        if (step != SaslStep::done)
            refuse_sasl(step, status);
    }
    mechanism.free();
    secure_wipe(&sasl_message, sizeof sasl_message);
    return status;
}

} // namespace

void authenticate()
{
    const SaslBinding binding = session_binding();
    choose_method(binding);
    const AuthMethod& method = auth_methods[chosen_auth];
    if (method.sasl != nullptr) {
        const int status = sasl_exchange(method, binding);
        secure_wipe(binding_data, sizeof binding_data);
        end_authentication(status);
        return;
    }

    const int length = std::snprintf(command_buffer, sizeof command_buffer, "AUTH %s\r\n", method.name);
    if (send_all(atrn_socket, command_timeout, command_buffer, length) < 0)
        fail(ExitCode::dialogue, "Error sending AUTH to ATRN server: %s\n", get_last_error());
    const int status = read_reply(atrn_socket, reply_timeout);
    if (status < 0)
        fail(ExitCode::dialogue, "Error in response to AUTH from ATRN server: %s\n", get_last_error());
    if (status != 334)
        fail(ExitCode::dialogue, "Invalid response to AUTH from ATRN server. Status = %d\n", status);

    decode_challenge();
    const int final_status = method.kind == AUTH_KIND_LOGIN ? login_exchange() : cram_md5_exchange();
    secure_wipe(command_buffer, sizeof command_buffer);
    end_authentication(final_status);
}
