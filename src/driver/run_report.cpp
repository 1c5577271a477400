#include "driver/run_report.h"

#include <cstdio>
#include <cstring>

#include "common/settings.h"
#include "driver/system_log.h"

namespace {

bool logging = false;
// A message as the log gets it; stderr gets it unabridged.
char message[2 * log_text_max];

// Each line its own entry; an empty one is no entry.
void log_lines(ExitCode code, const char* text, std::size_t length) noexcept
{
    const char* end = text + length;
    while (text < end) {
        const void* found = std::memchr(text, '\n', static_cast<std::size_t>(end - text));
        const char* line_end = found != nullptr ? static_cast<const char*>(found) : end;
        if (line_end > text)
            system_log_write(LogLevel::error, static_cast<int>(code), text,
                             static_cast<std::size_t>(line_end - text));
        if (line_end == end)
            break;
        text = line_end + 1;
    }
}

} // namespace

int format_run_outcome(const RunTotals& totals, const char* server, char* buffer, std::size_t size) noexcept
{
    if (totals.pickups_relayed == 0)
        return std::snprintf(buffer, size, "No mail waiting at %s", server);
    if (!totals.counts_known)
        return std::snprintf(buffer, size, "Picked up mail from %s: count unknown", server);
    const int length = std::snprintf(buffer, size, "Picked up %d message%s (%lld bytes) from %s in %d pickup%s",
                                     totals.messages_accepted, totals.messages_accepted == 1 ? "" : "s",
                                     totals.bytes, server, totals.pickups_relayed,
                                     totals.pickups_relayed == 1 ? "" : "s");
    if (totals.messages_refused == 0 || length < 0)
        return length;
    const std::size_t at = static_cast<std::size_t>(length) < size ? static_cast<std::size_t>(length) : size;
    const int more = std::snprintf(buffer + at, size - at, "; %d refused by the SMTP server", totals.messages_refused);
    return more < 0 ? more : length + more;
}

void start_logging() noexcept
{
    if (settings.system_log == 0)
        return;
    system_log_open();
    logging = true;
}

void print_error(ExitCode code, const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    // va_start above initialises args; clang-analyzer 14 misreads std::va_list.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    print_error_v(code, format, args);
    va_end(args);
}

// The caller's va_start initialises args; clang-analyzer 14 misreads
// std::va_list passed on.
void print_error_v(ExitCode code, const char* format, std::va_list args)
{
    std::va_list again;
    va_copy(again, args);
    std::vfprintf(stderr, format, args); // NOLINT(clang-analyzer-valist.Uninitialized)
    const int length = logging ? std::vsnprintf(message, sizeof message, format, again) : 0;
    va_end(again);
    if (length > 0)
        log_lines(code, message, static_cast<std::size_t>(length) < sizeof message ? static_cast<std::size_t>(length)
                                                                                   : sizeof message - 1);
}

void log_run_outcome(const RunTotals& totals) noexcept
{
    if (!logging)
        return;
    const int length = format_run_outcome(totals, settings.server, message, log_text_max + 1);
    if (length > 0)
        system_log_write(LogLevel::info, 0, message,
                         static_cast<std::size_t>(length) < log_text_max ? static_cast<std::size_t>(length)
                                                                         : log_text_max);
}
