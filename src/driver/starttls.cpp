#include <cstdio>
#include <cstring>

#include "auth/auth_methods.h"
#include "common/settings.h"
#include "driver/phases.h"
#include "driver/run_state.h"
#include "driver/timeouts.h"
#include "net/stream.h"
#include "net/transport.h"
#include "tls/tls.h"

static_assert(pin_size == tls_pin_size);

namespace {

constexpr char starttls_command[] = "STARTTLS\r\n";

// The handshake on the ATRN connection and the verdict on the certificate,
// the same after STARTTLS and on connect.
void shake_hands()
{
    if (stream_start_tls(atrn_socket, settings.server, reply_timeout) < 0) {
        TlsPeer peer{};
        tls_peer(&peer);
        if (peer.refused)
            fail(ExitCode::tls, "Certificate of ATRN server not accepted: %s (SHA-256 fingerprint %s, subject %s)\n",
                 peer.reason, peer.fingerprint, peer.subject);
        fail(ExitCode::tls, "TLS handshake with ATRN server failed: %s\n", get_last_error());
    }
    if (settings.verbose != 0) {
        TlsPeer peer{};
        tls_peer(&peer);
        std::printf("TLS is up: %s, %s; certificate of %s accepted by %s\n", peer.protocol, peer.cipher,
                    peer.subject, peer.pinned ? "its SHA-256 fingerprint (-f)" : "a trusted CA");
    }
}

} // namespace

void prepare_tls()
{
    if (settings.starttls == 0 && settings.tls_on_connect == 0)
        return; // a plain run never starts the TLS library
    const int prepared = tls_prepare(settings.ca_file, settings.pin_set != 0 ? settings.pin : nullptr);
    if (prepared == 0)
        return;
    if (prepared == TLS_BAD_CA_FILE)
        fail(ExitCode::usage, "Cannot load the CA certificates in %s: %s\n", settings.ca_file, tls_error());
    fail(ExitCode::tls, "Cannot set up TLS: %s\n", tls_error());
}

void start_tls()
{
    if (!ehlo_reply_lists(get_reply_buffer(), "STARTTLS"))
        fail(ExitCode::tls, "ATRN server does not offer STARTTLS, which -e requires\n");

    std::memcpy(command_buffer, starttls_command, sizeof starttls_command);
    if (send_all(atrn_socket, command_timeout, command_buffer, static_cast<int>(sizeof starttls_command) - 1) < 0)
        fail(ExitCode::dialogue, "Error sending STARTTLS to ATRN server: %s\n", get_last_error());
    const int status = read_reply(atrn_socket, reply_timeout);
    if (status < 0)
        fail(ExitCode::dialogue, "Error in response to STARTTLS from ATRN server: %s\n", get_last_error());
    if (status != 220)
        fail(ExitCode::tls, "Invalid response to STARTTLS from ATRN server. Status = %d\n", status);
    // RFC 3207, 5: nothing the server sent in the clear counts once TLS is
    // up. Bytes right behind the 220 were sent before our handshake could
    // begin: injected by someone on the way, or a broken server.
    const char* excess = nullptr;
    if (get_reply_excess(&excess) > 0)
        fail(ExitCode::tls, "ATRN server sent data in the clear behind its 220 to STARTTLS\n");
    shake_hands();
}

void start_tls_on_connect()
{
    shake_hands();
}
