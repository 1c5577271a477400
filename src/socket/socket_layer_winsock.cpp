// The socket layer on Winsock 2. Error codes are Winsock's own (10061 and so
// on), read and set with WSAGetLastError and WSASetLastError, so messages
// carry the numbers a Windows user can look up.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "socket/known_peers.h"
#include "socket/socket_address.h"
#include "socket/socket_layer_winsock.h"
#include "socket/socket_platform.h"

namespace {

template <typename Char>
bool is_blank(Char c) noexcept
{
    return c == Char(' ') || c == Char('\t');
}

template <typename Char>
bool find_argument(const Char* line, int index, std::size_t* begin, std::size_t* end) noexcept
{
    std::size_t i = 0;
    // The program name: quotes group but nothing escapes.
    if (line[0] == Char('"')) {
        ++i;
        while (line[i] != Char(0) && line[i] != Char('"'))
            ++i;
        if (line[i] == Char('"'))
            ++i;
    } else {
        while (line[i] != Char(0) && !is_blank(line[i]))
            ++i;
    }
    if (index == 0) {
        *begin = 0;
        *end = i;
        return true;
    }
    for (int n = 1;; ++n) {
        while (is_blank(line[i]))
            ++i;
        if (line[i] == Char(0))
            return false;
        const std::size_t start = i;
        bool quoted = false;
        while (line[i] != Char(0) && (quoted || !is_blank(line[i]))) {
            if (line[i] == Char('\\')) {
                std::size_t backslashes = 0;
                while (line[i] == Char('\\')) {
                    ++backslashes;
                    ++i;
                }
                // An odd count escapes the quote after it; an even count
                // leaves it to group. "" inside quotes, read either as a
                // literal quote or as closing and reopening, keeps the
                // argument quoted all the same.
                if (line[i] == Char('"')) {
                    if (backslashes % 2 == 0)
                        quoted = !quoted;
                    ++i;
                }
                continue;
            }
            if (line[i] == Char('"'))
                quoted = !quoted;
            ++i;
        }
        if (n == index) {
            *begin = start;
            *end = i;
            return true;
        }
    }
}

template <typename Char>
void blank_argument(Char* line, int index) noexcept
{
    std::size_t begin = 0;
    std::size_t end = 0;
    if (line == nullptr || !find_argument(line, index, &begin, &end))
        return;
    std::fill(line + begin, line + end, Char(' '));
}

} // namespace

SockVersion sock_versions_granted(const WSADATA& data) noexcept
{
    return {LOBYTE(data.wVersion), HIBYTE(data.wVersion), LOBYTE(data.wHighVersion), HIBYTE(data.wHighVersion)};
}

bool sock_argument_span(const char* line, int index, std::size_t* begin, std::size_t* end) noexcept
{
    return find_argument(line, index, begin, end);
}

bool sock_argument_span(const wchar_t* line, int index, std::size_t* begin, std::size_t* end) noexcept
{
    return find_argument(line, index, begin, end);
}

int sock_startup(SockVersion* version) noexcept
{
    // A socket is a handle of its own kind here: it can never take the place
    // of a standard stream the process was started without.
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return -1;
    *version = sock_versions_granted(data);
    return 0;
}

void sock_line_buffer_output(char* /*buffer*/, std::size_t /*size*/) noexcept
{
    // The Windows C library has no line buffering: asked for it, it buffers
    // everything until the run ends. Unbuffered, each line shows as written.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
}

void sock_hide_argument(int index) noexcept
{
    // Other processes (Task Manager, WMI) read the wide command line; the
    // ANSI copy is what GetCommandLineA hands out inside the process.
    blank_argument(GetCommandLineW(), index);
    blank_argument(GetCommandLineA(), index);
}

int sock_error() noexcept
{
    return WSAGetLastError();
}

void sock_set_error(int code) noexcept
{
    WSASetLastError(code);
}

SockErrorKind sock_error_kind(int code) noexcept
{
    switch (code) {
    case WSAECONNREFUSED:
        return SockErrorKind::connection_refused;
    case WSAEHOSTUNREACH:
        return SockErrorKind::host_unreachable;
    case WSAEFAULT:
        return SockErrorKind::bad_address;
    case WSAECONNRESET:
        return SockErrorKind::connection_reset;
    default:
        return SockErrorKind::other;
    }
}

bool sock_error_in_progress(int code) noexcept
{
    return code == WSAEWOULDBLOCK;
}

sock_t sock_tcp(const SockAddress& address) noexcept
{
    const SOCKET sock = socket(address.family == SOCK_IPV6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (sock == INVALID_SOCKET)
        return SOCK_INVALID;
    // Every command is one write and the relay forwards what it reads at
    // once; Nagle's algorithm would hold such writes back for the peer's
    // delayed acknowledgement. Failing to set it costs speed only.
    const BOOL on = TRUE;
    (void)setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return sock;
}

int sock_bind(sock_t sock, const SockAddress& address, int port) noexcept
{
    sockaddr_storage sa{};
    const int size = socket_address(address, port, &sa);
    return bind(sock, reinterpret_cast<const sockaddr*>(&sa), size) == 0 ? 0 : -1;
}

int sock_set_nonblocking(sock_t sock) noexcept
{
    u_long on = 1;
    return ioctlsocket(sock, FIONBIO, &on) == 0 ? 0 : -1;
}

int sock_connect(sock_t sock, const SockAddress& address, int port) noexcept
{
    remember_peer(sock, address, port);
    sockaddr_storage sa{};
    const int size = socket_address(address, port, &sa);
    return connect(sock, reinterpret_cast<const sockaddr*>(&sa), size) == 0 ? 0 : -1;
}

int sock_pending_error(sock_t sock, int* value, int* length) noexcept
{
    int size = sizeof *value;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(value), &size) != 0)
        return -1;
    *length = size;
    WSASetLastError(*value);
    return 0;
}

int sock_recv(sock_t sock, void* buffer, int size) noexcept
{
    const int n = recv(sock, static_cast<char*>(buffer), size, 0);
    if (n != SOCKET_ERROR)
        return n;
    return WSAGetLastError() == WSAEWOULDBLOCK ? SOCK_AGAIN : SOCK_FAILED;
}

int sock_send(sock_t sock, const void* data, int count) noexcept
{
    const int n = send(sock, static_cast<const char*>(data), count, 0);
    if (n != SOCKET_ERROR)
        return n;
    return WSAGetLastError() == WSAEWOULDBLOCK ? SOCK_AGAIN : SOCK_FAILED;
}

int sock_shutdown_send(sock_t sock) noexcept
{
    return shutdown(sock, SD_SEND) == 0 ? 0 : -1;
}

void sock_close(sock_t sock) noexcept
{
    const int saved = WSAGetLastError(); // closing must not replace the cause of a failure
    forget_peer(sock);
    closesocket(sock);
    WSASetLastError(saved);
}

void sock_peer(sock_t sock, SockAddress* address, int* port) noexcept
{
    sockaddr_storage sa{};
    int size = sizeof sa;
    const int saved = WSAGetLastError();
    if (getpeername(sock, reinterpret_cast<sockaddr*>(&sa), &size) != 0 ||
        !from_socket_address(reinterpret_cast<const sockaddr*>(&sa), address, port))
        known_peer(sock, address, port);
    WSASetLastError(saved);
}

bool sock_platform_dotted(const char* text, SockAddress* address) noexcept
{
    const unsigned long value = inet_addr(text);
    if (value == INADDR_NONE)
        return false;
    *address = SockAddress{SOCK_IPV4, {}};
    std::memcpy(address->bytes, &value, 4);
    return true;
}

int sock_lookup(const char* name, SockHost* host) noexcept
{
    // Both families in one question; no AI_ADDRCONFIG, so that a machine
    // with loopback alone still resolves.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    // getaddrinfo's results are Winsock error codes (EAI_NONAME is
    // WSAHOST_NOT_FOUND).
    const int status = getaddrinfo(name, nullptr, &hints, &found);
    if (status != 0) {
        WSASetLastError(status);
        return status;
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
        WSASetLastError(WSANO_DATA);
        return WSANO_DATA;
    }
    return 0;
}

bool sock_error_host_not_found(int code) noexcept
{
    return code == WSAHOST_NOT_FOUND;
}

bool sock_error_unreachable(int code) noexcept
{
    return code == WSAENETUNREACH || code == WSAEHOSTUNREACH || code == WSAEADDRNOTAVAIL;
}

int sock_wait(SockWait* set, int count, int timeout_seconds) noexcept
{
    constexpr int max_sockets = 2;
    if (count < 1 || count > max_sockets) {
        WSASetLastError(WSAEINVAL);
        return -1;
    }
    fd_set readable;
    fd_set writable;
    fd_set failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    for (int i = 0; i < count; ++i) {
        set[i].readable = set[i].writable = set[i].failed = false;
        if (set[i].want_read)
            FD_SET(set[i].sock, &readable);
        if (set[i].want_write) {
            FD_SET(set[i].sock, &writable);
            // Winsock reports a failed connect in the exception set alone.
            FD_SET(set[i].sock, &failed);
        }
    }
    timeval timeout{timeout_seconds, 0};
    // The first argument is ignored by Winsock.
    const int ready = select(1000, &readable, &writable, &failed, &timeout);
    if (ready == SOCKET_ERROR)
        return -1;
    if (ready == 0)
        return 0;

    int ready_count = 0;
    for (int i = 0; i < count; ++i) {
        const bool in_failed = FD_ISSET(set[i].sock, &failed) != 0;
        set[i].readable = set[i].want_read && (FD_ISSET(set[i].sock, &readable) != 0 || in_failed);
        set[i].writable = set[i].want_write && (FD_ISSET(set[i].sock, &writable) != 0 || in_failed);
        // select tells no errors apart from readiness: the caller must look.
        set[i].failed = true;
        if (set[i].readable || set[i].writable)
            ++ready_count;
    }
    return ready_count;
}
