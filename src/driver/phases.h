// The phases of a run, in order: the start once, then one or more pickups of
// greeting, authentication and mail. Each returns only when the run goes on;
// every failure ends the process with its message and exit code.
#pragma once

// Socket start-up, command line, method probe, name resolution and the checks
// that need no connection. The secret is blanked in argv once it is read.
void start_run(int argc, char** argv);

// Connects to the ATRN server, reads its greeting, sends EHLO and checks the
// capabilities.
void greet_atrn_server();

// With -e or -E: starts the TLS library and loads what it trusts, before
// any connection; a plain run does nothing here.
void prepare_tls();

// With -e, after the first EHLO reply: STARTTLS (RFC 3207), the handshake
// and the certificate checks. Returns with the session up; the caller sends
// EHLO again.
void start_tls();

// With -E, right after the connection: the handshake and the certificate
// checks, before the greeting (RFC 8314, 3.3).
void start_tls_on_connect();

// Chooses a method and authenticates with it (SCRAM-SHA-256 with or without
// channel binding, CRAM-MD5, LOGIN, PLAIN); returns on 235.
void authenticate();

// How a pickup that succeeded ended.
enum class PickupEnd {
    relayed,    // the provider said 250 and the relay ran until the session ended
    broken_off, // the same, but a drain's provider failed between messages
    no_mail,    // the provider said 453 and both servers were quit
};

struct Pickup {
    PickupEnd end;
    bool brought_mail; // relayed: the SMTP server accepted a message, or the session was not followed
};

// Connects to the local SMTP server, sends ATRN, and relays the reversed
// connection (250) or quits both servers (453). Returns when pickup number
// `pickup` has succeeded, with both connections closed.
[[nodiscard]] Pickup pick_up_mail(int pickup);
