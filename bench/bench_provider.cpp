// The provider's side of the benchmark: an SMTP client that delivers COUNT
// messages of SIZE bytes and times it, either straight to a port (direct) or
// after serving the ODMR dialogue (CRAM-MD5, ATRN) to a relay that connects
// to it; in odmr-tls mode STARTTLS comes first (RFC 3207) and AUTH is offered
// only inside TLS, with the certificate chain and key from the PEM files.
// Prints one JSON line: seconds, bytes, messages, the median round trip of
// RCPT TO in microseconds.
//   bench_provider direct PORT COUNT SIZE
//   bench_provider odmr COUNT SIZE                  (prints its port first)
//   bench_provider odmr-tls COUNT SIZE CERT KEY     (prints its port first)
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <memory>
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

[[noreturn]] void tls_die(const char* what)
{
    std::fprintf(stderr, "%s: ", what);
    ERR_print_errors_fp(stderr);
    std::fprintf(stderr, "\n");
    std::exit(2);
}

class TlsStream final : public bench::Stream {
public:
    explicit TlsStream(SSL* ssl) : ssl_(ssl) {}

    std::size_t read(char* buf, std::size_t size) override
    {
        std::size_t n = 0;
        return SSL_read_ex(ssl_, buf, size, &n) == 1 ? n : 0;
    }

    void write(std::string_view data) override
    {
        // Blocking socket, no partial writes: SSL_write_ex sends it all or fails.
        std::size_t n = 0;
        if (!data.empty() && SSL_write_ex(ssl_, data.data(), data.size(), &n) != 1)
            tls_die("TLS write");
    }

private:
    SSL* ssl_;
};

// The server's side of STARTTLS on fd; returns the session.
SSL* start_tls(int fd, const char* cert, const char* key)
{
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr || SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
        SSL_CTX_use_certificate_chain_file(ctx, cert) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, key, SSL_FILETYPE_PEM) != 1)
        tls_die("TLS set-up");
    SSL* ssl = SSL_new(ctx);
    if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1 || SSL_accept(ssl) != 1)
        tls_die("TLS handshake");
    return ssl;
}

void expect_verb(bench::LineReader& in, std::string_view verb)
{
    const std::string_view l = in.line();
    if (l.substr(0, verb.size()) != verb) {
        std::fprintf(stderr, "expected %.*s, got \"%.*s\"\n", static_cast<int>(verb.size()), verb.data(),
                     static_cast<int>(l.size()), l.data());
        std::exit(3);
    }
}

// EHLO (already answered), AUTH CRAM-MD5 and ATRN.
void authenticate(bench::Stream& out, bench::LineReader& in)
{
    expect_verb(in, "AUTH CRAM-MD5");
    const std::string challenge = "<1.2@bench.example>";
    char encoded[128];
    if (base64_encode(reinterpret_cast<const unsigned char*>(challenge.data()), static_cast<int>(challenge.size()),
                      encoded, sizeof encoded) != 0)
        bench::die("encode");
    out.write(std::string("334 ") + encoded + "\r\n");
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
    out.write("235 ok\r\n");
    expect_verb(in, "ATRN");
    out.write("250 reversing\r\n");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4)
        return 2;
    const std::string mode = argv[1];
    const bool direct = mode == "direct";
    const bool tls = mode == "odmr-tls";
    if (!direct && !tls && mode != "odmr")
        return 2;
    if ((direct && argc < 5) || (tls && argc < 6))
        return 2;
    const int count = std::atoi(argv[direct ? 3 : 2]);
    const std::size_t size = static_cast<std::size_t>(std::atol(argv[direct ? 4 : 3]));
    if (count < 1)
        return 2;
    const std::string message = make_message(size) + ".\r\n";

    int fd;
    if (direct) {
        fd = bench::connect_loopback(std::atoi(argv[2]));
    } else {
        fd = bench::accept_one(bench::listen_loopback());
    }
    auto plain = std::make_unique<bench::PlainStream>(fd);
    auto plain_in = std::make_unique<bench::LineReader>(*plain);
    bench::Stream* stream = plain.get();
    bench::LineReader* in = plain_in.get();
    std::unique_ptr<TlsStream> secured;
    std::unique_ptr<bench::LineReader> secured_in;
    SSL* ssl = nullptr;
    if (!direct) {
        plain->write("220 bench ODMR\r\n");
        expect_verb(*plain_in, "EHLO");
        if (tls) {
            plain->write("250-bench\r\n250 STARTTLS\r\n");
            expect_verb(*plain_in, "STARTTLS");
            if (plain_in->pending())
                bench::die("commands after STARTTLS");
            plain->write("220 ready to start TLS\r\n");
            ssl = start_tls(fd, argv[4], argv[5]);
            secured = std::make_unique<TlsStream>(ssl);
            secured_in = std::make_unique<bench::LineReader>(*secured);
            stream = secured.get();
            in = secured_in.get();
            expect_verb(*in, "EHLO");
        }
        stream->write("250-bench\r\n250-AUTH CRAM-MD5\r\n250 ATRN\r\n");
        authenticate(*stream, *in);
    }
    expect(*in, 220);
    stream->write("EHLO odmr.example.net\r\n");
    expect(*in, 250);
    std::vector<double> rtt;
    rtt.reserve(static_cast<std::size_t>(count));
    const auto start = clock_type::now();
    for (int i = 0; i < count; ++i) {
        stream->write("MAIL FROM:<provider@example.net>\r\n");
        expect(*in, 250);
        const auto t0 = clock_type::now();
        stream->write("RCPT TO:<site@example.org>\r\n");
        expect(*in, 250);
        rtt.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - t0).count());
        stream->write("DATA\r\n");
        expect(*in, 354);
        stream->write(message);
        expect(*in, 250);
    }
    const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    stream->write("QUIT\r\n");
    expect(*in, 221);
    if (ssl != nullptr)
        SSL_shutdown(ssl);
    close(fd);
    std::nth_element(rtt.begin(), rtt.begin() + static_cast<long>(rtt.size() / 2), rtt.end());
    std::printf("{\"seconds\": %.6f, \"bytes\": %zu, \"messages\": %d, \"rcpt_rtt_us\": %.1f}\n", seconds,
                (message.size() - 3) * static_cast<std::size_t>(count), count, rtt[rtt.size() / 2]);
    return 0;
}
