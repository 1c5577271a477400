// The system's log (-l): the syslog socket /dev/log on POSIX, the
// Application event log on Windows. An entry is handed over, never waited
// for: one that cannot be written is lost, and the run goes on as it would
// without a log. Neither function changes errno or the last error code.
#pragma once

#include <cstddef>

enum class LogLevel {
    error, // mail.err; EVENTLOG_ERROR_TYPE
    info,  // mail.info; EVENTLOG_INFORMATION_TYPE
};

// The longest text of one entry; a longer one is cut there.
inline constexpr std::size_t log_text_max = 1024;

// Gets the log ready, before the dialogue, so that writing to it later
// allocates nothing: the local time zone and the socket (POSIX), the event
// source (Windows). A log that cannot be opened is no failure.
void system_log_open() noexcept;

// One entry: the `length` bytes at `text` (no line end) at `level`, with
// `event_id` as its Windows event ID (POSIX has none).
void system_log_write(LogLevel level, int event_id, const char* text, std::size_t length) noexcept;
