#include <cstdio>

#include "common/settings.h"
#include "driver/exit_codes.h"
#include "driver/mail_totals.h"
#include "driver/phases.h"
#include "driver/run_report.h"
#include "driver/run_state.h"

int main(int argc, char** argv)
{
    start_run(argc, argv);

    // With -r the run picks up again, on new connections, for as long as the
    // provider turns the line round: some deliver only part of the queue per
    // pickup. 453 means the queue is empty.
    const int limit = settings.pickup_limit > 0 ? settings.pickup_limit : 1;
    int answered = 0;     // pickups whose ATRN was answered 250
    int brought_mail = 0; // of those, the ones that brought mail
    for (int pickup = 1; pickup <= limit; ++pickup) {
        if (pickup > 1 && settings.verbose != 0)
            std::printf("Pickup %d of at most %d\n", pickup, limit);
        greet_atrn_server();
        authenticate();
        if (pickup == limit)
            forget_secret(); // not needed again
        const Pickup done = pick_up_mail(pickup);
        if (done.end == PickupEnd::no_mail)
            break;
        ++answered;
        if (done.brought_mail)
            ++brought_mail;
        // Only a pickup that brought mail may have left more behind. One
        // whose mail the local server refused, even for now, or whose
        // provider had nothing it could deliver or broke off between
        // messages, ends the drain as 453 does: the next run tries again.
        if (done.end != PickupEnd::relayed || !done.brought_mail)
            break;
    }
    forget_secret();
    wipe_buffers();

    if (settings.pickup_limit > 0 && settings.verbose != 0) {
        std::printf("Pickups that relayed mail: %d\n", brought_mail);
        print_run_counts();
    }
    const RunTotals totals{answered, mail_totals.counts.accepted, mail_totals.counts.refused,
                           mail_totals.counts.accepted_bytes, mail_totals.known};
    log_run_outcome(totals);
    return static_cast<int>(ExitCode::success);
}
