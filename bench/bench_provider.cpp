// The provider's side of the benchmark: an SMTP client that delivers COUNT
// messages of SIZE bytes and times it, either straight to a port (direct) or
// after serving the ODMR dialogue (CRAM-MD5, ATRN) to a relay that connects
// to it. Prints one JSON line: seconds, bytes, messages, the median round
// trip of RCPT TO in microseconds.
//   bench_provider direct PORT COUNT SIZE
//   bench_provider odmr COUNT SIZE        (prints its port first)
#include <algorithm>
#include <chrono>
#include <vector>

#include "auth/base64.h"
#include "auth/md5.h"
#include "bench_common.h"

namespace {

using clock_type = std::chrono::steady_clock;

std::string make_message(std::size_t size)
{
    std::string m = "From: provider@example.net\r\nTo: site@example.org\r\nSubject: benchmark\r\n\r\n";
    std::size_t n = 0;
    while (m.size() < size) {
        std::string line(std::min<std::size_t>(76, size - m.size() + 2), 'a' + static_cast<char>(n++ % 26));
        m += line.substr(0, line.size() > 2 ? line.size() - 2 : 0);
        m += "\r\n";
    }
    return m;
}

void expect(bench::LineReader& in, int status)
{
    const int got = in.reply();
    if (got != status) {
        std::fprintf(stderr, "expected %d, got %d\n", status, got);
        std::exit(3);
    }
}

void serve_odmr(int fd, bench::LineReader& in)
{
    bench::send_all(fd, "220 bench ODMR\r\n");
    in.line(); // EHLO
    bench::send_all(fd, "250-bench\r\n250-AUTH CRAM-MD5\r\n250 ATRN\r\n");
    in.line(); // AUTH CRAM-MD5
    const std::string challenge = "<1.2@bench.example>";
    char encoded[128];
    if (base64_encode(reinterpret_cast<const unsigned char*>(challenge.data()), static_cast<int>(challenge.size()),
                      encoded, sizeof encoded) != 0)
        bench::die("encode");
    bench::send_all(fd, std::string("334 ") + encoded + "\r\n");
    const std::string response(in.line());
    unsigned char decoded[256];
    const int n = base64_decode(response.c_str(), decoded, sizeof decoded);
    unsigned char digest[16];
    const std::string secret = "bench-secret";
    hmac_md5(reinterpret_cast<const unsigned char*>(challenge.data()), static_cast<int>(challenge.size()),
             reinterpret_cast<const unsigned char*>(secret.data()), static_cast<int>(secret.size()), digest);
    char hex[33];
    for (int i = 0; i < 16; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    if (n < 0 || std::string(reinterpret_cast<char*>(decoded)) != std::string("bench ") + hex)
        bench::die("authentication");
    bench::send_all(fd, "235 ok\r\n");
    in.line(); // ATRN
    bench::send_all(fd, "250 reversing\r\n");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4)
        return 2;
    const std::string mode = argv[1];
    const bool direct = mode == "direct";
    const int count = std::atoi(argv[direct ? 3 : 2]);
    const std::size_t size = static_cast<std::size_t>(std::atol(argv[direct ? 4 : 3]));
    const std::string message = make_message(size) + ".\r\n";

    int fd;
    if (direct) {
        fd = bench::connect_loopback(std::atoi(argv[2]));
    } else {
        fd = bench::accept_one(bench::listen_loopback());
    }
    auto* in = new bench::LineReader(fd);
    if (!direct)
        serve_odmr(fd, *in);

    expect(*in, 220);
    bench::send_all(fd, "EHLO odmr.example.net\r\n");
    expect(*in, 250);
    std::vector<double> rtt;
    rtt.reserve(static_cast<std::size_t>(count));
    const auto start = clock_type::now();
    for (int i = 0; i < count; ++i) {
        bench::send_all(fd, "MAIL FROM:<provider@example.net>\r\n");
        expect(*in, 250);
        const auto t0 = clock_type::now();
        bench::send_all(fd, "RCPT TO:<site@example.org>\r\n");
        expect(*in, 250);
        rtt.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - t0).count());
        bench::send_all(fd, "DATA\r\n");
        expect(*in, 354);
        bench::send_all(fd, message);
        expect(*in, 250);
    }
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    bench::send_all(fd, "QUIT\r\n");
    expect(*in, 221);
    close(fd);
    std::nth_element(rtt.begin(), rtt.begin() + static_cast<long>(rtt.size() / 2), rtt.end());
    std::printf("{\"seconds\": %.6f, \"bytes\": %zu, \"messages\": %d, \"rcpt_rtt_us\": %.1f}\n", seconds,
                (message.size() - 3) * static_cast<std::size_t>(count), count, rtt[rtt.size() / 2]);
    return 0;
}
