#include "driver/mail_totals.h"

#include <cstdio>

#include "common/settings.h"

MailTotals mail_totals = {{0, 0, 0, 0, 0}, true, ""};

namespace {

void print_counts(bool known, const char* reason, const MailCounts& counts)
{
    if (settings.verbose == 0)
        return;
    if (!known) {
        std::printf("Messages relayed: unknown (%s)\n", reason);
        return;
    }
    std::printf("Messages relayed: %d (%lld bytes), %d accepted and %d refused by the SMTP server\n", counts.relayed,
                counts.bytes, counts.accepted, counts.refused);
}

} // namespace

bool add_pickup_counts()
{
    const bool following = observer_following();
    const MailCounts counts = observer_counts();
    if (following) {
        mail_totals.counts.relayed += counts.relayed;
        mail_totals.counts.accepted += counts.accepted;
        mail_totals.counts.refused += counts.refused;
        mail_totals.counts.bytes += counts.bytes;
        mail_totals.counts.accepted_bytes += counts.accepted_bytes;
    } else if (mail_totals.known) {
        mail_totals.known = false;
        mail_totals.unknown_reason = observer_lost_reason();
    }
    print_counts(following, observer_lost_reason(), counts);
    return !following || counts.accepted > 0;
}

void print_run_counts()
{
    print_counts(mail_totals.known, mail_totals.unknown_reason, mail_totals.counts);
}
