#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "socket/known_peers.h"
#include "socket/socket_address.h"
#include "socket/socket_layer.h"
#include "socket/socket_platform.h"

namespace {

long long now_ms() noexcept
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

int sock_startup(SockVersion* version) noexcept
{
    // Started with standard output or error closed, the first socket would
    // get descriptor 1 or 2, and the trace or an error message would go to a
    // server as protocol data: hold each closed one open on /dev/null.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            (void)open("/dev/null", O_RDWR); // the lowest free descriptor: this one
    }
    // A write to a reset connection must fail with EPIPE, not end the run.
    std::signal(SIGPIPE, SIG_IGN);
    // POSIX sockets need no start-up; they behave as Winsock 2.2 does here.
    *version = {2, 2, 2, 2};
    return 0;
}

void sock_line_buffer_output(char* buffer, std::size_t size) noexcept
{
    std::setvbuf(stdout, buffer, _IOLBF, size);
}

void sock_hide_argument(int /*index*/) noexcept
{
    // The process list shows the argument vector itself, which the caller
    // wipes.
}

int sock_error() noexcept
{
    return errno;
}

void sock_set_error(int code) noexcept
{
    errno = code;
}

SockErrorKind sock_error_kind(int code) noexcept
{
    switch (code) {
    case ECONNREFUSED:
        return SockErrorKind::connection_refused;
    case EHOSTUNREACH:
        return SockErrorKind::host_unreachable;
    case EFAULT:
        return SockErrorKind::bad_address;
    case ECONNRESET:
        return SockErrorKind::connection_reset;
    default:
        return SockErrorKind::other;
    }
}

bool sock_error_in_progress(int code) noexcept
{
    return code == EINPROGRESS || code == EWOULDBLOCK;
}

sock_t sock_tcp(const SockAddress& address) noexcept
{
    const int sock = socket(address.family == SOCK_IPV6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return SOCK_INVALID;
    // Every command is one write and the relay forwards what it reads at
    // once; Nagle's algorithm would hold such writes back for the peer's
    // delayed acknowledgement. Failing to set it costs speed only.
    const int on = 1;
    (void)setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return sock;
}

int sock_bind(sock_t sock, const SockAddress& address, int port) noexcept
{
    sockaddr_storage sa{};
    const auto size = static_cast<socklen_t>(socket_address(address, port, &sa));
    return bind(sock, reinterpret_cast<const sockaddr*>(&sa), size) == 0 ? 0 : -1;
}

int sock_set_nonblocking(sock_t sock) noexcept
{
    const int flags = fcntl(sock, F_GETFL);
    if (flags < 0 || fcntl(sock, F_SETFL, flags | O_NONBLOCK) < 0)
        return -1;
    return 0;
}

int sock_connect(sock_t sock, const SockAddress& address, int port) noexcept
{
    remember_peer(sock, address, port);
    sockaddr_storage sa{};
    const auto size = static_cast<socklen_t>(socket_address(address, port, &sa));
    return connect(sock, reinterpret_cast<const sockaddr*>(&sa), size) == 0 ? 0 : -1;
}

int sock_pending_error(sock_t sock, int* value, int* length) noexcept
{
    socklen_t size = sizeof *value;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, value, &size) != 0)
        return -1;
    *length = static_cast<int>(size);
    errno = *value;
    return 0;
}

int sock_recv(sock_t sock, void* buffer, int size) noexcept
{
    for (;;) {
        const ssize_t n = recv(sock, buffer, static_cast<std::size_t>(size), 0);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR)
            continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? SOCK_AGAIN : SOCK_FAILED;
    }
}

int sock_send(sock_t sock, const void* data, int count) noexcept
{
    for (;;) {
        const ssize_t n = send(sock, data, static_cast<std::size_t>(count), MSG_NOSIGNAL);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return SOCK_AGAIN;
        // A broken pipe means the peer reset the connection (or this side
        // was shut down, which the relay does only toward a side it no longer
        // writes to), as Winsock reports it.
        if (errno == EPIPE)
            errno = ECONNRESET;
        return SOCK_FAILED;
    }
}

int sock_shutdown_send(sock_t sock) noexcept
{
    return shutdown(sock, SHUT_WR) == 0 ? 0 : -1;
}

void sock_close(sock_t sock) noexcept
{
    const int saved = errno; // closing must not replace the cause of a failure
    forget_peer(sock);
    close(sock);
    errno = saved;
}

void sock_peer(sock_t sock, SockAddress* address, int* port) noexcept
{
    sockaddr_storage sa{};
    socklen_t size = sizeof sa;
    const int saved = errno;
    if (getpeername(sock, reinterpret_cast<sockaddr*>(&sa), &size) != 0 ||
        !from_socket_address(reinterpret_cast<const sockaddr*>(&sa), address, port))
        known_peer(sock, address, port);
    errno = saved;
}

bool sock_platform_dotted(const char* text, SockAddress* address) noexcept
{
    const in_addr_t value = inet_addr(text);
    if (value == INADDR_NONE)
        return false;
    *address = SockAddress{SOCK_IPV4, {}};
    std::memcpy(address->bytes, &value, 4);
    return true;
}

int sock_lookup(const char* name, SockHost* host) noexcept
{
    // Both families in one question: asked for IPv4 alone, the resolver
    // answers a hosts file's "::1" with 127.0.0.1. No AI_ADDRCONFIG: a
    // machine with loopback alone must still resolve.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(name, nullptr, &hints, &found);
    if (status != 0) {
        // The resolver's own (negative) code, or the system's.
        const int code = status == EAI_SYSTEM ? errno : status;
        errno = code;
        return code != 0 ? code : EAI_FAIL;
    }
    SockAddress addresses[32];
    int count = 0;
    for (const addrinfo* a = found; a != nullptr && count < 32; a = a->ai_next) {
        int port = 0;
        if (from_socket_address(a->ai_addr, &addresses[count], &port))
            ++count;
    }
    freeaddrinfo(found);
    sock_host_plan(addresses, count, host);
    if (host->count == 0) {
        errno = EAI_NODATA;
        return EAI_NODATA;
    }
    return 0;
}

bool sock_error_host_not_found(int code) noexcept
{
    return code == EAI_NONAME || code == EAI_NODATA;
}

bool sock_error_unreachable(int code) noexcept
{
    return code == ENETUNREACH || code == EHOSTUNREACH || code == EADDRNOTAVAIL;
}

int sock_wait(SockWait* set, int count, int timeout_seconds) noexcept
{
    constexpr int max_sockets = 2;
    if (count < 1 || count > max_sockets) {
        errno = EINVAL;
        return -1;
    }
    pollfd fds[max_sockets];
    for (int i = 0; i < count; ++i) {
        set[i].readable = set[i].writable = set[i].failed = false;
        // A socket with nothing wanted stays out, as it would stay out of
        // every set of select(); poll would report its hang-up regardless.
        const bool wanted = set[i].want_read || set[i].want_write;
        fds[i].fd = wanted ? set[i].sock : -1;
        fds[i].events = static_cast<short>((set[i].want_read ? POLLIN : 0) | (set[i].want_write ? POLLOUT : 0));
        fds[i].revents = 0;
    }

    const long long deadline = now_ms() + static_cast<long long>(timeout_seconds) * 1000;
    int ready;
    for (;;) {
        const long long left = deadline - now_ms();
        ready = poll(fds, static_cast<nfds_t>(count), left > 0 ? static_cast<int>(left) : 0);
        if (ready >= 0 || errno != EINTR)
            break;
    }
    if (ready <= 0)
        return ready;

    int ready_count = 0;
    for (int i = 0; i < count; ++i) {
        const short r = fds[i].revents;
        if ((r & POLLNVAL) != 0) {
            errno = EBADF;
            return -1;
        }
        // poll always reports an error or a hang-up, wanted or not.
        set[i].failed = (r & (POLLERR | POLLHUP)) != 0;
        set[i].readable = set[i].want_read && ((r & POLLIN) != 0 || set[i].failed);
        set[i].writable = set[i].want_write && ((r & POLLOUT) != 0 || set[i].failed);
        if (set[i].readable || set[i].writable)
            ++ready_count;
    }
    return ready_count;
}
