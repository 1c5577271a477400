#include "driver/system_log.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// syslog(3)'s datagram, which journald and the syslog daemons parse:
// "<PRI>Mmm dd hh:mm:ss quiln[PID]: text", PRI being the facility times 8
// plus the severity (RFC 3164, 4.1.1): mail is 2, err 3, info 6.
constexpr int priority_mail_err = 2 * 8 + 3;
constexpr int priority_mail_info = 2 * 8 + 6;
constexpr std::array<const char*, 12> month_names = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::size_t header_max = 64; // "<22>Dec 31 23:59:59 quiln[2147483647]: " and room

int log_socket = -1;
int process_id = 0;
char datagram[header_max + log_text_max];

// syslog(3) itself would block while the log's queue is full (a stalled
// journald): this socket never does, and an entry that does not go at once
// is dropped.
void connect_log() noexcept
{
    log_socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (log_socket < 0)
        return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    constexpr char path[] = "/dev/log";
    static_assert(sizeof path <= sizeof address.sun_path);
    std::memcpy(address.sun_path, path, sizeof path);
    if (connect(log_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(log_socket);
        log_socket = -1;
    }
}

void send_entry(int priority, const char* text, std::size_t length) noexcept
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr || local.tm_mon < 0 || local.tm_mon > 11)
        return;
    const int header = std::snprintf(datagram, header_max, "<%d>%s %2d %02d:%02d:%02d quiln[%d]: ", priority,
                                     month_names[static_cast<std::size_t>(local.tm_mon)], local.tm_mday,
                                     local.tm_hour, local.tm_min, local.tm_sec, process_id);
    if (header < 0 || static_cast<std::size_t>(header) >= header_max)
        return;
    if (length > log_text_max)
        length = log_text_max;
    std::memcpy(datagram + header, text, length);
    if (send(log_socket, datagram, static_cast<std::size_t>(header) + length, MSG_DONTWAIT | MSG_NOSIGNAL) < 0 &&
        errno != EAGAIN && errno != EWOULDBLOCK) {
        // No one reads the socket any more (a restarted journald): the next
        // entry connects afresh.
        close(log_socket);
        log_socket = -1;
    }
}

} // namespace

void system_log_open() noexcept
{
    const int saved = errno;
    tzset(); // reads the zone file now; localtime_r then reads nothing more
    process_id = static_cast<int>(getpid());
    connect_log();
    errno = saved;
}

void system_log_write(LogLevel level, int /*event_id*/, const char* text, std::size_t length) noexcept
{
    const int saved = errno;
    if (log_socket < 0)
        connect_log(); // the log may have come up since
    if (log_socket >= 0)
        send_entry(level == LogLevel::error ? priority_mail_err : priority_mail_info, text, length);
    errno = saved;
}
