// What a run reports: its error messages on standard error and, with -l,
// the same lines and the outcome of a run that succeeded in the system's log.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "driver/exit_codes.h"

// What the pickups of a run that succeeded brought in.
struct RunTotals {
    int pickups_relayed;   // pickups whose ATRN the provider answered 250
    int messages_accepted; // messages the local SMTP server accepted at their end
    int messages_refused;  // messages it refused at their end
    long long bytes;       // the content of the messages accepted
    bool counts_known;     // every pickup that relayed was followed to its end
};

// The outcome line into `buffer`, NUL-terminated and cut to `size`: "Picked
// up %d messages (%lld bytes) from %s in %d pickups" (singular words for a
// count of 1), followed by "; %d refused by the SMTP server" when messages
// were refused; "No mail waiting at %s" when no pickup was answered 250; or
// "Picked up mail from %s: count unknown"; `server` as given. Returns the
// length of the whole line, as snprintf does.
int format_run_outcome(const RunTotals& totals, const char* server, char* buffer, std::size_t size) noexcept;

// With -l: from now on the lines of every error message go to the system's
// log too. Called once the command line has been read; its own mistakes are
// not logged.
void start_logging() noexcept;

// Prints the message on stderr; once logging, each of its lines also goes to
// the system's log, without its line end, as an error entry whose event ID is
// `code`, the exit code the run ends with.
void print_error(ExitCode code, const char* format, ...) __attribute__((format(printf, 2, 3)));
void print_error_v(ExitCode code, const char* format, std::va_list args) __attribute__((format(printf, 2, 0)));

// Once logging: the outcome line of the run, which exits 0, as an
// informational entry with event ID 0. Nothing on stdout or stderr.
void log_run_outcome(const RunTotals& totals) noexcept;
