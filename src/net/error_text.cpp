#include <cstdarg>
#include <cstdio>

#include "net/transport.h"

char last_error[last_error_size];
char socket_error_buffer[socket_error_buffer_size];

const char* get_last_error() noexcept
{
    return last_error;
}

void set_last_error(const char* format, ...) noexcept
{
    std::va_list args;
    va_start(args, format);
    // va_start above initialises args; clang-analyzer 14 misreads std::va_list.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    std::vsnprintf(last_error, sizeof last_error, format, args);
    va_end(args);
}

const char* socket_error_text() noexcept
{
    const int code = sock_error();
    switch (sock_error_kind(code)) {
    case SockErrorKind::connection_refused:
        return "Connection refused";
    case SockErrorKind::host_unreachable:
        return "Host unreachable";
    case SockErrorKind::bad_address:
        return "Bad address";
    case SockErrorKind::connection_reset:
        return "Connection reset by peer";
    case SockErrorKind::other:
        break;
    }
    std::snprintf(socket_error_buffer, sizeof socket_error_buffer, "Winsock error %d", code);
    return socket_error_buffer;
}
