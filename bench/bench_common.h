// Small blocking-socket helpers shared by the benchmark peers.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace bench {

[[noreturn]] inline void die(const char* what)
{
    std::perror(what);
    std::exit(2);
}

inline void nodelay(int fd)
{
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Listens on 127.0.0.1 (port 0) and prints the port on stdout.
inline int listen_loopback()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        die("listen");
    std::printf("%d\n", ntohs(sa.sin_port));
    std::fflush(stdout);
    return fd;
}

inline int accept_one(int listener)
{
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0)
        die("accept");
    close(listener);
    nodelay(fd);
    return fd;
}

// Connects, retrying for up to 5 s while nothing listens yet (a relay that
// is still starting).
inline int connect_loopback(int port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            die("socket");
        if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
            nodelay(fd);
            return fd;
        }
        close(fd);
        usleep(5000);
    }
    die("connect");
}

inline void send_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n <= 0)
            die("send");
        data.remove_prefix(static_cast<std::size_t>(n));
    }
}

// What a peer reads and writes: a plain socket here, TLS over one in the
// provider.
class Stream {
public:
    virtual ~Stream() = default;
    // Reads at most size bytes; 0 at the end of the stream or on an error.
    virtual std::size_t read(char* buf, std::size_t size) = 0;
    // Sends all of data, or ends the process.
    virtual void write(std::string_view data) = 0;
};

class PlainStream final : public Stream {
public:
    explicit PlainStream(int fd) : fd_(fd) {}

    std::size_t read(char* buf, std::size_t size) override
    {
        const ssize_t n = recv(fd_, buf, size, 0);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }

    void write(std::string_view data) override { send_all(fd_, data); }

private:
    int fd_;
};

// Reads CR LF lines through one large buffer.
class LineReader {
public:
    explicit LineReader(Stream& in) : in_(in) {}

    // True while bytes that were read wait unparsed: after STARTTLS there must
    // be none (RFC 3207, 4.2: nothing sent before the handshake counts).
    bool pending() const { return end_ > start_; }

    // The next line without its CR LF; empty view at the end of the stream.
    std::string_view line()
    {
        for (;;) {
            const void* crlf = memmem(buf_ + start_, end_ - start_, "\r\n", 2);
            if (crlf != nullptr) {
                const char* p = static_cast<const char*>(crlf);
                std::string_view l(buf_ + start_, static_cast<std::size_t>(p - (buf_ + start_)));
                start_ = static_cast<std::size_t>(p - buf_) + 2;
                return l;
            }
            if (!fill())
                return {};
        }
    }

    // Reads the status of a (possibly multi-line) reply.
    int reply()
    {
        for (;;) {
            const std::string_view l = line();
            if (l.size() < 3)
                return -1;
            if (l.size() == 3 || l[3] == ' ')
                return std::atoi(std::string(l.substr(0, 3)).c_str());
        }
    }

    // Skips message data up to and including CR LF "." CR LF.
    bool skip_data()
    {
        for (;;) {
            // A line that is just "." ends the data (RFC 5321, 4.1.1.4).
            if (end_ - start_ >= 3 && std::memcmp(buf_ + start_, ".\r\n", 3) == 0) {
                start_ += 3;
                return true;
            }
            const void* end = memmem(buf_ + start_, end_ - start_, "\r\n.\r\n", 5);
            if (end != nullptr) {
                start_ = static_cast<std::size_t>(static_cast<const char*>(end) - buf_) + 5;
                return true;
            }
            // Keep the last 4 bytes: the end mark may straddle two reads.
            if (end_ - start_ > 4)
                start_ = end_ - 4;
            if (!fill())
                return false;
        }
    }

private:
    bool fill()
    {
        if (start_ > 0) {
            std::memmove(buf_, buf_ + start_, end_ - start_);
            end_ -= start_;
            start_ = 0;
        }
        if (end_ == sizeof buf_)
            die("line too long");
        const std::size_t n = in_.read(buf_ + end_, sizeof buf_ - end_);
        end_ += n;
        return n > 0;
    }

    Stream& in_;
    char buf_[1 << 18];
    std::size_t start_ = 0;
    std::size_t end_ = 0;
};

} // namespace bench
