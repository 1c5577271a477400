// An observer that watches nothing: linked before the program's libraries
// into quiln_without_observer, so that the benchmark can price the real one.
#include "net/smtp_observer.h"

void observer_start() noexcept {}
void observer_to_server(const unsigned char*, int) noexcept {}
void observer_to_provider(const unsigned char*, int) noexcept {}
bool observer_following() noexcept
{
    return false;
}
const char* observer_lost_reason() noexcept
{
    return "not built in";
}
bool observer_transaction_open() noexcept
{
    return false;
}
bool observer_content_begun() noexcept
{
    return false;
}
bool observer_end_waiting() noexcept
{
    return false;
}
bool observer_quit_crossed() noexcept
{
    return false;
}
bool observer_session_refused() noexcept
{
    return false;
}
int observer_greeting_line(const char** text) noexcept
{
    *text = "";
    return 0;
}
MailCounts observer_counts() noexcept
{
    return {};
}
