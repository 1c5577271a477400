#include "driver/system_log.h"

#include <windows.h>

namespace {

HANDLE event_source = nullptr;
wchar_t wide_text[log_text_max + 1];

// The texts are in the process's ANSI code page, as its arguments and the C
// library's error texts are; bytes from the network pass as whatever that
// code page makes of them. Each byte gives at most one UTF-16 unit.
int to_wide(const char* text, int length) noexcept
{
    if (length == 0)
        return 0;
    const int count = MultiByteToWideChar(CP_ACP, 0, text, length, wide_text, static_cast<int>(log_text_max));
    if (count > 0)
        return count;
    for (int i = 0; i < length; ++i) // cannot convert: ASCII alone
        wide_text[i] = static_cast<unsigned char>(text[i]) < 0x80 ? static_cast<wchar_t>(text[i]) : L'?';
    return length;
}

} // namespace

void system_log_open() noexcept
{
    const DWORD saved = GetLastError();
    // Works whether or not the source is registered (eventcreate); without
    // it, Event Viewer shows the text behind a note that no description was
    // found for the event ID.
    event_source = RegisterEventSourceW(nullptr, L"quiln");
    SetLastError(saved);
}

void system_log_write(LogLevel level, int event_id, const char* text, std::size_t length) noexcept
{
    if (event_source == nullptr)
        return;
    const DWORD saved = GetLastError();
    const int count = to_wide(text, static_cast<int>(length < log_text_max ? length : log_text_max));
    wide_text[count] = L'\0';
    const wchar_t* strings[1] = {wide_text};
    const WORD type = level == LogLevel::error ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE;
    ReportEventW(event_source, type, 0, static_cast<DWORD>(event_id), nullptr, 1, 0, strings, nullptr);
    SetLastError(saved);
}
