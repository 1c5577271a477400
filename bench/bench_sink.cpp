// A fast SMTP sink for the benchmark: one connection, every message accepted
// and thrown away. Prints its port, then serves.
#include "bench_common.h"

int main()
{
    const int fd = bench::accept_one(bench::listen_loopback());
    bench::PlainStream stream(fd);
    auto* in = new bench::LineReader(stream);
    bench::send_all(fd, "220 sink.example ESMTP\r\n");
    for (;;) {
        const std::string_view l = in->line();
        if (l.data() == nullptr || l.empty())
            break;
        if (l.substr(0, 4) == "DATA") {
            bench::send_all(fd, "354 go ahead\r\n");
            if (!in->skip_data())
                break;
            bench::send_all(fd, "250 2.0.0 stored\r\n");
        } else if (l.substr(0, 4) == "QUIT") {
            bench::send_all(fd, "221 2.0.0 bye\r\n");
            break;
        } else if (l.substr(0, 4) == "EHLO") {
            bench::send_all(fd, "250-sink.example\r\n250 8BITMIME\r\n");
        } else {
            bench::send_all(fd, "250 2.1.0 ok\r\n");
        }
    }
    close(fd);
    return 0;
}
