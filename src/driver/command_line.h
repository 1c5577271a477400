// The command line: options, positional arguments, defaults and usage text.
#pragma once

// Option letters; a letter followed by ':' takes a value, by "::" a file
// name, which may also be a separate argument that begins with '/' (an
// absolute path). "r:i:" drain the queue: repeated pickups and the relay's
// idle time-out; "eEc::f:" are TLS (STARTTLS, TLS on connect, and what to
// trust); "k::" is the secret's file; "l" the system's log.
inline constexpr const char option_string[] = "t:h:a:p:s:vmr:i:eEc::f:k::l";

// Bounds of -r (pickups in one run) and -i (the relay's idle time-out in
// seconds; RFC 5321, 4.5.3.2 lets either end wait 10 minutes per command).
inline constexpr int pickup_limit_max = 1000;
inline constexpr int relay_idle_seconds_max = 3600;

// Two lines, each ending in a newline.
inline constexpr const char program_banner[] =
    "QUILN v1.2.2 - On-Demand Mail Relay (RFC 2645) pickup client\n"
    "Relays the mail your provider holds for you to your own SMTP server\n";

// The EHLO domain when neither -h nor any domain is given (RFC 2606 name).
inline constexpr const char default_ehlo_domain[] = "quiln.invalid";

// Results of next_option besides an option character.
inline constexpr int OPTION_END = 0;
inline constexpr int OPTION_POSITIONAL = 1;
inline constexpr int OPTION_INVALID = -1;

// Position of the next argument to examine; starts after the program name.
extern int option_index;

// Scans the argument at option_index. Returns OPTION_END (value none),
// OPTION_POSITIONAL (value: the argument), OPTION_INVALID (value: the whole
// argument) or the option character (value: its value text, or none).
// Options begin with '-' or '/'.
[[nodiscard]] int next_option(int argc, const char* const* argv, const char* options,
                              const char** value) noexcept;

// Fills settings from the argument vector and applies the defaults, or prints
// the reason (or the usage text) and ends the process with exit code 1.
void parse_command_line(int argc, const char* const* argv);

// The usage text and the list of authentication methods, on stdout.
void print_usage();

// Probes the authentication methods (SCRAM-SHA-256-PLUS needs a build that
// can bind to TLS) and, when `list` is non-zero, lists them on stdout.
void list_auth_methods(int list);
