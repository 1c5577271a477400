#include <cerrno>
#include <cstdio>
#include <cstring>

#include "auth/auth_methods.h"
#include "driver/command_line.h"
#include "driver/phases.h"
#include "driver/run_report.h"
#include "driver/run_state.h"
#include "driver/secret_file.h"
#include "common/settings.h"
#include "driver/timeouts.h"
#include "net/transport.h"

namespace {

// "EHLO ", the domain, CR LF and the NUL must fit the command buffer.
constexpr std::size_t ehlo_domain_max = command_buffer_size - 8;

char stdout_buffer[4096];

// Started before the command line is read, as Winsock must be: a missing
// library is reported even when the arguments are bad too.
SockVersion start_socket_library()
{
    SockVersion version{};
    if (sock_startup(&version) != 0)
        fail(ExitCode::socket_library, "Cannot load any form of windows socket library !\n");
    if (!sock_version_usable(version))
        fail(ExitCode::socket_library, "This programs requires the Winsock library version 2.x\n");
    return version;
}

// Copies the secret into the program's own buffer and blanks it in the
// argument vector, which other local users can read (ps, /proc/PID/cmdline),
// and in the command line the system keeps apart from it, if any.
void hide_secret(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (argv[i] != settings.secret)
            continue;
        const std::size_t length = std::strlen(argv[i]);
        if (length >= sizeof secret_buffer)
            return; // cannot happen: the kernel limits one argument to this size
        std::memcpy(secret_buffer, argv[i], length + 1);
        secure_wipe(argv[i], static_cast<std::uint32_t>(length));
        sock_hide_argument(i);
        settings.secret = secret_buffer;
        return;
    }
}

// -c: the file must be one the TLS library can read whole; a FIFO or a
// device would hold the run up for ever.
void check_ca_file()
{
    const char* path = settings.ca_file;
    switch (check_regular_file(path)) {
    case SecretFile::unreadable:
        fail(ExitCode::usage, "Cannot read the CA certificates in %s: %s\n", path, std::strerror(errno));
    case SecretFile::not_regular:
        fail(ExitCode::usage, "Cannot read the CA certificates in %s: not a regular file\n", path);
    default:
        return;
    }
}

// -k: the secret is the first line of a file that only its owner may read.
void read_secret()
{
    const char* path = settings.secret_file;
    switch (read_secret_file(path, secret_buffer, sizeof secret_buffer)) {
    case SecretFile::read:
        settings.secret = secret_buffer;
        return;
    case SecretFile::unreadable:
        fail(ExitCode::usage, "Cannot read the secret from %s: %s\n", path, std::strerror(errno));
    case SecretFile::not_regular:
        fail(ExitCode::usage, "Cannot read the secret from %s: not a regular file\n", path);
    case SecretFile::open_to_others:
        fail(ExitCode::usage, "The secret file %s is %s\n", path, secret_file_open_advice);
    case SecretFile::empty:
        fail(ExitCode::usage, "The first line of the secret file %s is empty\n", path);
    case SecretFile::too_long:
        fail(ExitCode::internal_limit, "Internal error: the secret in %s is too long (max %d bytes)\n", path,
             static_cast<int>(sizeof secret_buffer - 1));
    }
}

void resolve_servers()
{
    bool looked_up = false;
    if (resolve_host(settings.server, &atrn_addresses, &looked_up) < 0)
        fail(ExitCode::host_lookup, "%s\n", get_last_error());
    if (looked_up && settings.verbose != 0)
        std::printf("ATRN server %s has address %s\n", settings.server,
                    sock_address_text(atrn_addresses.address[0]).text);
    if (resolve_host(settings.smtp_host, &smtp_addresses, &looked_up) < 0)
        fail(ExitCode::host_lookup, "%s\n", get_last_error());
    if (looked_up && settings.verbose != 0)
        std::printf("SMTP server %s has address %s\n", settings.smtp_host,
                    sock_address_text(smtp_addresses.address[0]).text);
}

// Each address tried is announced; the last one is the one connected.
void announce_atrn_address(const SockAddress& address, void* tried)
{
    *static_cast<SockAddress*>(tried) = address;
    if (settings.verbose != 0)
        std::printf("Connecting to ATRN server %s on port %d ...\n", sock_address_text(address).text,
                    settings.atrn_port);
}

void connect_to_atrn_server()
{
    SockAddress tried{};
    atrn_socket = connect_to_host(atrn_addresses, settings.atrn_port, connect_timeout, announce_atrn_address, &tried);
    if (atrn_socket == SOCK_INVALID)
        fail(ExitCode::connection, "%s", get_last_error());
    if (settings.verbose != 0)
        std::printf("Connected to ATRN server %s on port %d\n", sock_address_text(tried).text, settings.atrn_port);
}

void send_ehlo()
{
    const int length = std::snprintf(command_buffer, sizeof command_buffer, "EHLO %s\r\n", settings.ehlo_domain);
    if (send_all(atrn_socket, command_timeout, command_buffer, length) < 0)
        fail(ExitCode::dialogue, "Error sending EHLO to ATRN server: %s\n", get_last_error());
    const int status = read_reply(atrn_socket, reply_timeout);
    if (status < 0)
        fail(ExitCode::dialogue, "Error in response to EHLO from ATRN server: %s\n", get_last_error());
    if (status != 250)
        fail(ExitCode::dialogue, "Invalid response to EHLO from ATRN server. Status = %d\n", status);
}

} // namespace

void start_run(int argc, char** argv)
{
    // Line-buffered, so that progress and trace lines show as they happen.
    sock_line_buffer_output(stdout_buffer, sizeof stdout_buffer);

    const SockVersion version = start_socket_library();
    parse_command_line(argc, argv);
    start_logging();
    if (settings.ca_file != nullptr)
        check_ca_file();
    if (settings.secret_file != nullptr)
        read_secret();
    else
        hide_secret(argc, argv);
    prepare_tls();
    if (settings.verbose != 0) {
        std::printf("%s\n", program_banner);
        std::printf("using winsock version %d.%d\n", version.high_major, version.high_minor);
        std::printf("Supported auth types:\n");
    }
    list_auth_methods(settings.verbose != 0 ? 1 : 0);

    resolve_servers();
    if (settings.forced_auth != nullptr && find_auth_method(settings.forced_auth) < 0)
        fail(ExitCode::usage, "Auth %s is not implemented in QUILN\n", settings.forced_auth);
    // An EHLO is never sent cut short.
    if (std::strlen(settings.ehlo_domain) > ehlo_domain_max)
        fail(ExitCode::internal_limit, "Internal error: EHLO domain too long (max %d characters)\n",
             static_cast<int>(ehlo_domain_max)); // %d: the Windows C library has no %zu
}

void greet_atrn_server()
{
    connect_to_atrn_server();
    if (settings.tls_on_connect != 0)
        start_tls_on_connect();

    const int status = read_reply(atrn_socket, reply_timeout);
    if (status < 0)
        fail(ExitCode::dialogue, "Error waiting banner from ATRN server: %s\n", get_last_error());
    if (status != 220)
        fail(ExitCode::dialogue, "Invalid response from ATRN server. Status = %d\n", status);

    send_ehlo();
    if (settings.starttls != 0) {
        start_tls();
        // RFC 3207, 4.2: what the server said in the clear is forgotten; its
        // capabilities are read afresh inside TLS.
        send_ehlo();
    }

    if (parse_ehlo_reply(get_reply_buffer()) == 0)
        fail(ExitCode::dialogue, "ATRN server does not support ATRN !\n");
}
