// The run's settings: filled once from the command line, then only read.
#pragma once

inline constexpr int max_domains = 100;
inline constexpr int pin_size = 32; // a SHA-256 fingerprint

struct Settings {
    const char* server;               // ATRN server: host name, dotted IPv4 or IPv6
    const char* user;                 // user name for authentication
    const char* secret;               // CRAM-MD5 shared secret or LOGIN password
    const char* domains[max_domains]; // domains to request, in command-line order
    int domain_count;
    int atrn_port;           // -1 until the defaults are applied
    int smtp_port;
    const char* smtp_host;   // local SMTP server: host name, dotted IPv4 or IPv6
    const char* ehlo_domain; // nullptr until the defaults are applied
    const char* forced_auth; // SASL mechanism the run must use, or nullptr
    int iis_mode;            // ATRN port 25 by default; ATRN need not be advertised
    int verbose;             // progress lines and the protocol trace on stdout
    int pickup_limit;        // -r: pickups at most while mail comes; 0 when not given (one)
    int relay_idle_seconds;  // -i: the relay's idle time-out; 0 when not given (the default)
    int starttls;            // TLS required on the ATRN connection (RFC 3207)
    const char* ca_file;     // PEM file of trusted CAs, or nullptr for the system's
    int pin_set;             // accept only the certificate whose fingerprint is `pin`
    unsigned char pin[pin_size];
    const char* secret_file; // the secret is the first line of this file
    int system_log;          // -l: errors and the outcome to the system's log too
    int tls_on_connect;      // -E: TLS from the first byte (RFC 8314), not STARTTLS
};

inline constexpr Settings default_settings = {
    nullptr, nullptr, nullptr, {}, 0, -1, 25, "127.0.0.1", nullptr, nullptr, 0, 0, 0, 0, 0, nullptr, 0, {}, nullptr, 0, 0,
};

extern Settings settings;
