// The observer of the relayed SMTP session on any sequence of steps. A step
// is a header byte (bit 0: 0 for the provider's bytes to the server, 1 for
// the server's replies; with bits 6 and 7 set, its bytes come 8 times bits
// 1 to 5 plus one, for long lines and long pipelines), a length byte and
// that many bytes.
// After each step the counts and states must agree with the contract; the
// same steps cut elsewhere must end in the same state.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "net/smtp_observer.h"

// The harness's own comparisons are no coverage worth seeking, and tracing
// them would halve the speed.
#define UNTRACED __attribute__((no_sanitize("coverage")))

namespace {

struct Step {
    bool to_provider;
    std::size_t from, size; // in the expanded bytes
};

struct Final {
    const char* lost;
    bool open, begun, waiting, quit, refused;
    char greeting[observer_greeting_text_max]; // a copy: the observer's own changes as it is fed
    int greeting_length;
    MailCounts counts;
    // Everything but the lost reason, which is compared as a text.
    bool same_state(const Final& o) const
    {
        return open == o.open && begun == o.begun && waiting == o.waiting && quit == o.quit &&
               refused == o.refused && greeting_length == o.greeting_length &&
               std::memcmp(greeting, o.greeting, static_cast<std::size_t>(greeting_length)) == 0 &&
               counts.relayed == o.counts.relayed && counts.accepted == o.counts.accepted &&
               counts.refused == o.counts.refused && counts.bytes == o.counts.bytes &&
               counts.accepted_bytes == o.counts.accepted_bytes;
    }
    bool operator==(const Final& o) const
    {
        return std::strcmp(lost, o.lost) == 0 && same_state(o);
    }
};

constexpr const char* reasons[] = {"",
                                   "STARTTLS on the turned line",
                                   "AUTH on the turned line",
                                   "a command line over 4096 bytes",
                                   "a reply line over 4096 bytes",
                                   "content before the 354",
                                   "a reply with no command waiting",
                                   "a reply it cannot read",
                                   "a 354 to a command other than DATA",
                                   "a BDAT size it cannot read",
                                   "too many commands waiting for replies"};

// The most an input expands to: long enough for a line over the limit,
// short enough to run fast.
constexpr std::size_t expanded_limit = 4200;
// Inputs up to this size are fed once more byte by byte.
constexpr std::size_t bytewise_limit = 128;

unsigned char expanded[expanded_limit];
Step steps[4096];

UNTRACED void check(bool ok)
{
    if (!ok)
        std::abort();
}

UNTRACED Final now()
{
    Final f{observer_lost_reason(),   observer_transaction_open(), observer_content_begun(), observer_end_waiting(),
            observer_quit_crossed(),  observer_session_refused(),  {},                       0,
            observer_counts()};
    const char* text = nullptr;
    f.greeting_length = observer_greeting_line(&text);
    check(f.greeting_length >= 0 && f.greeting_length <= observer_greeting_text_max);
    std::memcpy(f.greeting, text, static_cast<std::size_t>(f.greeting_length));
    return f;
}

// The contract, and that nothing went back since `before`.
UNTRACED void check_step(const Final& before, const Final& after)
{
    const MailCounts& c = after.counts;
    check(c.relayed >= 0 && c.accepted >= 0 && c.refused >= 0 && c.bytes >= 0 && c.accepted_bytes >= 0);
    check(c.accepted + c.refused <= c.relayed && c.accepted_bytes <= c.bytes);
    check(c.relayed >= before.counts.relayed && c.accepted >= before.counts.accepted &&
          c.refused >= before.counts.refused && c.bytes >= before.counts.bytes &&
          c.accepted_bytes >= before.counts.accepted_bytes);
    const bool following = observer_following();
    check(following == (after.lost[0] == '\0'));
    // Once not following, the last state stands, whatever is fed.
    check(before.lost[0] == '\0' || (std::strcmp(after.lost, before.lost) == 0 && after.same_state(before)));
    // A message's end waits only in a transaction whose content began.
    check(!after.waiting || after.begun);
    check(!after.begun || after.open);
    // The provider's QUIT and a refused greeting are never taken back.
    check(!before.quit || after.quit);
    check(!before.refused || after.refused);
    // The greeting of a refused session stands as it was refused.
    check(!before.refused || (after.greeting_length == before.greeting_length &&
                              std::memcmp(after.greeting, before.greeting,
                                          static_cast<std::size_t>(before.greeting_length)) == 0));
}

UNTRACED void feed(const Step& step, std::size_t cut)
{
    const auto send = step.to_provider ? observer_to_provider : observer_to_server;
    send(expanded + step.from, static_cast<int>(cut));
    send(expanded + step.from + cut, static_cast<int>(step.size - cut));
}

} // namespace

extern "C" UNTRACED int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::size_t total = 0;
    std::size_t count = 0;
    for (std::size_t at = 0; at + 1 < size && total < expanded_limit && count < std::size(steps);) {
        const int repeats = (data[at] & 0xc0) == 0xc0 ? 8 * (((data[at] >> 1) & 0x1f) + 1) : 1;
        const std::size_t length = std::min<std::size_t>(data[at + 1], size - at - 2);
        steps[count] = Step{(data[at] & 1) != 0, total, 0};
        for (int i = 0; i < repeats && total + length <= expanded_limit; ++i, total += length)
            std::memcpy(expanded + total, data + at + 2, length);
        steps[count].size = total - steps[count].from;
        ++count;
        at += 2 + length;
    }

    observer_start();
    Final state = now();
    check_step(state, state);
    for (std::size_t i = 0; i < count; ++i) {
        feed(steps[i], steps[i].size);
        const Final next = now();
        check_step(state, next);
        state = next;
    }
    bool known = false;
    for (const char* reason : reasons)
        known = known || std::strcmp(state.lost, reason) == 0;
    check(known);

    // Each step cut in two where its last byte says.
    observer_start();
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t last = steps[i].size > 0 ? expanded[steps[i].from + steps[i].size - 1] : 0;
        feed(steps[i], (last * 7 + i) % (steps[i].size + 1));
    }
    check(now() == state);

    if (total <= bytewise_limit) {
        observer_start();
        for (std::size_t i = 0; i < count; ++i) {
            const auto send = steps[i].to_provider ? observer_to_provider : observer_to_server;
            for (std::size_t at = steps[i].from; at < steps[i].from + steps[i].size; ++at)
                send(expanded + at, 1);
        }
        check(now() == state);
    }
    return 0;
}
