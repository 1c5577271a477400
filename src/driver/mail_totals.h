// What the observer of the relayed SMTP session made of the mail, pickup by
// pickup and over the run.
#pragma once

#include "net/smtp_observer.h"

struct MailTotals {
    MailCounts counts;          // summed over the pickups whose session was followed
    bool known;                 // every pickup's session was followed
    const char* unknown_reason; // why the first one that was not, was not
};

extern MailTotals mail_totals;

// Adds the counts of the pickup whose relay just ended, however it ended;
// with -v prints them: "Messages relayed: %d (%lld bytes), %d accepted and
// %d refused by the SMTP server", or "Messages relayed: unknown (%s)".
// Returns whether that pickup brought mail: the SMTP server accepted a
// message, or the session could not be followed (it may have).
[[nodiscard]] bool add_pickup_counts();

// With -v, the run's totals in the same form.
void print_run_counts();
