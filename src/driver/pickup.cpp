#include <cstdio>
#include <cstring>

#include "common/settings.h"
#include "driver/mail_totals.h"
#include "driver/phases.h"
#include "driver/run_report.h"
#include "driver/run_state.h"
#include "driver/timeouts.h"
#include "net/transport.h"

namespace {

constexpr char quit_command[] = "QUIT\r\n";
constexpr int quit_length = sizeof quit_command - 1;

// The ATRN command of RFC 2645, 5.2: "ATRN" alone asks for all the site's
// domains; otherwise one space, then the domains separated by commas. With
// its CR LF and NUL it must fit 173 bytes. Returns its length, or -1.
int build_atrn_command()
{
    constexpr std::size_t atrn_command_size = 173;
    static_assert(atrn_command_size <= line_buffer_size);
    // The text so far and the next domain, with a separator, CR LF and NUL.
    constexpr std::size_t limit = atrn_command_size - 4;
    std::size_t length = 4;
    // The text is terminated once, after the last domain.
    std::memcpy(line_buffer, "ATRN", 4); // NOLINT(bugprone-not-null-terminated-result)
    for (int i = 0; i < settings.domain_count; ++i) {
        const char* domain = settings.domains[i];
        const std::size_t domain_length = std::strlen(domain);
        if (length + domain_length > limit)
            return -1;
        line_buffer[length++] = i == 0 ? ' ' : ',';
        std::memcpy(line_buffer + length, domain, domain_length); // NOLINT(bugprone-not-null-terminated-result)
        length += domain_length;
    }
    std::memcpy(line_buffer + length, "\r\n", 3);
    return static_cast<int>(length + 2);
}

// Each address tried is announced; the last one is the one connected.
void announce_smtp_address(const SockAddress& address, void* tried)
{
    *static_cast<SockAddress*>(tried) = address;
    if (settings.verbose != 0)
        std::printf("Connecting to SMTP server %s on port %d ...\n", sock_address_text(address).text,
                    settings.smtp_port);
}

void connect_to_smtp_server()
{
    SockAddress tried{};
    smtp_socket = connect_to_host(smtp_addresses, settings.smtp_port, connect_timeout, announce_smtp_address, &tried);
    if (smtp_socket == SOCK_INVALID)
        fail(ExitCode::connection, "%s", get_last_error());
    if (settings.verbose != 0)
        std::printf("Connected to SMTP server %s on port %d\n", sock_address_text(tried).text, settings.smtp_port);
    // Its greeting is not read here: it waits on the connection, and is the
    // first thing the provider receives once the connection is reversed.
}

// The provider has no mail: end both conversations politely. The statuses
// are not examined.
void quit_both()
{
    std::memcpy(line_buffer, quit_command, sizeof quit_command);
    if (send_all(atrn_socket, command_timeout, line_buffer, quit_length) < 0)
        fail(ExitCode::dialogue, "Error sending QUIT to ATRN server: %s\n", get_last_error());
    if (read_reply(atrn_socket, quit_reply_timeout) < 0)
        fail(ExitCode::dialogue, "Error in response to QUIT from ATRN server: %s\n", get_last_error());
    if (read_reply(smtp_socket, smtp_banner_timeout) < 0)
        fail(ExitCode::dialogue, "Error waiting banner from SMTP server: %s\n", get_last_error());
    if (send_all(smtp_socket, command_timeout, line_buffer, quit_length) < 0)
        fail(ExitCode::dialogue, "Error sending QUIT to SMTP server: %s\n", get_last_error());
    if (read_reply(smtp_socket, quit_reply_timeout) < 0)
        fail(ExitCode::dialogue, "Error in response to QUIT from SMTP server: %s\n", get_last_error());
}

// A drain that the provider broke off between messages has lost nothing:
// what it still holds waits for the next run. Exim answers the last ATRN of
// a drain while still delivering, then breaks the session off, and inside
// TLS it delivers one message per pickup. So a failure of the provider's
// side ends the drain as a success when the session was followed, no
// message was in transit, and the run has relayed mail.
bool ended_between_messages(const RelayEnd& end)
{
    return settings.pickup_limit > 0 && end.failed && end.side == RelaySide::provider && observer_following() &&
           !end.mail_in_transit && mail_totals.counts.relayed > 0;
}

} // namespace

Pickup pick_up_mail(int pickup)
{
    connect_to_smtp_server();

    const int length = build_atrn_command();
    if (length < 0)
        fail(ExitCode::internal_limit, "Internal error: too many domains\n");
    if (send_all(atrn_socket, command_timeout, line_buffer, length) < 0)
        fail(ExitCode::dialogue, "Error sending ATRN to ATRN server: %s\n", get_last_error());

    const int status = read_reply(atrn_socket, atrn_reply_timeout);
    if (status < 0)
        fail(ExitCode::dialogue, "Error in response to ATRN from ATRN server: %s\n", get_last_error());
    if (status != 250 && status != 453) {
        // RFC 2645, 5.2: 450 means access to one of the domains is denied.
        print_error(ExitCode::dialogue, "Invalid response to ATRN command from ATRN server. Status = %d\n", status);
        if (status == 450)
            print_error(ExitCode::dialogue, " you do not have access to one of the domains you specified\n");
        end_run(ExitCode::dialogue);
    }

    if (settings.verbose != 0)
        std::printf("Connection has been reversed\n");
    bool brought_mail = false;
    if (status == 250) {
        // The provider may start its session right behind the 250.
        const char* first_bytes = nullptr;
        const int first_count = get_reply_excess(&first_bytes);
        const int idle = settings.relay_idle_seconds > 0 ? settings.relay_idle_seconds : relay_timeout;
        const int relayed = relay_streams(atrn_socket, smtp_socket, idle, first_bytes, first_count);
        brought_mail = add_pickup_counts();
        if (relayed < 0) {
            const char* reason = get_last_error();
            if (!ended_between_messages(relay_end())) {
                print_error(ExitCode::dialogue, "Error passing data: %s\n", reason);
                close_smtp();
                end_run(ExitCode::dialogue);
            }
            if (settings.verbose != 0)
                std::printf("Pickup %d ended between messages: Error passing data: %s\n", pickup, reason);
            close_smtp();
            close_atrn();
            return {PickupEnd::broken_off, brought_mail};
        }
    } else {
        if (settings.verbose != 0)
            std::printf("Your provider returned 453 to ATRN: there is no mail in queue for you\n");
        quit_both();
    }
    close_smtp();
    close_atrn();
    return {status == 453 ? PickupEnd::no_mail : PickupEnd::relayed, brought_mail};
}
