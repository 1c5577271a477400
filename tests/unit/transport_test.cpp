// Connections, error texts, the reply reader and the command writer, over
// loopback connections.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <sys/resource.h>
#include <sys/time.h>
#include <thread>

#include "common/settings.h"
#include "loopback.h"
#include "net/transport.h"

namespace {

using loopback::Pair;

TEST(SocketErrorText, NamedConditionsAndFallback)
{
    const std::pair<int, const char*> cases[] = {
        {ECONNREFUSED, "Connection refused"},
        {EHOSTUNREACH, "Host unreachable"},
        {EFAULT, "Bad address"},
        {ECONNRESET, "Connection reset by peer"},
        {ETIMEDOUT, "Winsock error 110"},
        {0, "Winsock error 0"},
    };
    for (const auto& [code, text] : cases) {
        sock_set_error(code);
        EXPECT_STREQ(socket_error_text(), text);
    }
}

TEST(ConnectWithTimeout, RefusedNamesAddressPortAndReason)
{
    int port = 0;
    {
        loopback::Listener l;
        port = l.port; // closed again: nothing listens there now
    }
    EXPECT_EQ(connect_with_timeout(loopback::any, 0, loopback::address, port, 5), -1);
    EXPECT_EQ(std::string(get_last_error()),
              "Cannot connect to server 127.0.0.1:" + std::to_string(port) + ". Connection refused");
}

TEST(ConnectWithTimeout, AnIPv6AddressStandsInBracketsBeforeItsPort)
{
    int port = 0;
    {
        loopback::Listener l(16, true);
        port = l.port;
    }
    EXPECT_EQ(connect_with_timeout(sock_any_address(loopback::address6), 0, loopback::address6, port, 5), -1);
    EXPECT_EQ(std::string(get_last_error()),
              "Cannot connect to server [::1]:" + std::to_string(port) + ". Connection refused");
}

TEST(ConnectWithTimeout, ReturnsANonBlockingSocket)
{
    Pair p;
    char c;
    errno = 0;
    EXPECT_EQ(recv(p.ours, &c, 1, 0), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
}

TEST(ConnectWithTimeout, BindFailureNamesTheLocalAddress)
{
    loopback::Listener taken;
    EXPECT_EQ(connect_with_timeout(loopback::address, taken.port, loopback::address, taken.port, 1), -1);
    EXPECT_EQ(std::string(get_last_error()),
              "Cannot bind socket to my address 127.0.0.1:" + std::to_string(taken.port) + ". Winsock error " +
                  std::to_string(EADDRINUSE));
}

TEST(ConnectWithTimeout, TimesOutWhenTheAcceptQueueIsFull)
{
    // A listener that never accepts and whose queue is full drops further
    // handshakes, so the connection is never made.
    loopback::Listener l(0);
    std::vector<sock_t> filled;
    for (int i = 0; i < 8; ++i) {
        const sock_t s = connect_with_timeout(loopback::any, 0, loopback::address, l.port, 1);
        if (s < 0)
            break;
        filled.push_back(s);
    }
    EXPECT_EQ(std::string(get_last_error()), "Timeout connecting to server 127.0.0.1:" + std::to_string(l.port));
    for (const sock_t s : filled)
        close(s);
}

struct ReplyCase {
    const char* name;
    std::vector<std::string> pieces;
    int status;
    std::string buffer; // the reply buffer's text afterwards
};

void PrintTo(const ReplyCase& c, std::ostream* os)
{
    *os << c.name;
}

class ReadReply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReadReply, InAnyPieces)
{
    const ReplyCase& c = GetParam();
    Pair p;
    std::thread writer([&] {
        for (const auto& piece : c.pieces) {
            p.peer_send(piece);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const int status = read_reply(p.ours, 2);
    writer.join();
    EXPECT_EQ(status, c.status) << get_last_error();
    if (status >= 0) {
        EXPECT_EQ(std::string(get_reply_buffer()), c.buffer);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadReply,
    ::testing::Values(
        ReplyCase{"one_line", {"220 hello\r\n"}, 220, "220 hello\r\n"},
        ReplyCase{"multi_line", {"250-a\r\n250-b\r\n250 c\r\n"}, 250, "250-a\r\n250-b\r\n250 c\r\n"},
        ReplyCase{"split_in_crlf", {"250-a\r", "\n250 c\r", "\n"}, 250, "250-a\r\n250 c\r\n"},
        ReplyCase{"split_in_digits", {"25", "0 ok\r\n"}, 250, "250 ok\r\n"},
        ReplyCase{"empty_text", {"250 \r\n"}, 250, "250 \r\n"},
        ReplyCase{"non_reply_lines_first", {"hello\r\n* junk\r\n354 go\r\n"}, 354, "hello\r\n* junk\r\n354 go\r\n"},
        ReplyCase{"bare_lf_inside", {"250-x\n250 y\r\n"}, 250, "250-x\n250 y\r\n"},
        ReplyCase{"second_reply_kept_unparsed", {"220 a\r\n250 b\r\n"}, 220, "220 a\r\n250 b\r\n"},
        ReplyCase{"status_0", {"000 zero\r\n"}, 0, "000 zero\r\n"},
        ReplyCase{"status_999", {"999 nine\r\n"}, 999, "999 nine\r\n"},
        ReplyCase{"eight_bit_and_nul_text", {std::string("250 \xff\0x\r\n", 9)}, 250, "250 \xff"},
        ReplyCase{"byte_by_byte",
                  {"2", "5", "0", "-", "a", "\r", "\n", "2", "5", "0", " ", "b", "\r", "\n"},
                  250,
                  "250-a\r\n250 b\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadReplySplits, EverySplitPositionGivesTheSameReply)
{
    const std::string reply = "250-odmr.example.net\r\n250-AUTH CRAM-MD5\r\n250 ATRN\r\n";
    for (std::size_t at = 1; at < reply.size(); ++at) {
        Pair p;
        std::thread writer([&] {
            p.peer_send(reply.substr(0, at));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            p.peer_send(reply.substr(at));
        });
        EXPECT_EQ(read_reply(p.ours, 2), 250) << "split at " << at;
        writer.join();
        EXPECT_EQ(std::string(get_reply_buffer()), reply);
    }
}

struct FailureCase {
    const char* name;
    std::string data;
    bool close_after;
    std::string message;
};

void PrintTo(const FailureCase& c, std::ostream* os)
{
    *os << c.name;
}

class ReadReplyFails : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ReadReplyFails, WithItsMessage)
{
    const FailureCase& c = GetParam();
    Pair p;
    if (!c.data.empty())
        p.peer_send(c.data);
    if (c.close_after)
        p.peer_close();
    EXPECT_EQ(read_reply(p.ours, 1), -1);
    EXPECT_EQ(std::string(get_last_error()), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadReplyFails,
    ::testing::Values(
        FailureCase{"silence", "", false, "Timeout error while waiting data from 127.0.0.1"},
        FailureCase{"digits_only", "250\r\n", false, "Timeout error while waiting data from 127.0.0.1"},
        FailureCase{"four_digits", "2500 x\r\n", false, "Timeout error while waiting data from 127.0.0.1"},
        FailureCase{"bare_lf_final", "250 x\n", false, "Timeout error while waiting data from 127.0.0.1"},
        FailureCase{"closed", "", true, "recv() connection closed by 127.0.0.1"},
        FailureCase{"closed_mid_reply", "250-a\r\n250 b", true, "recv() connection closed by 127.0.0.1"},
        FailureCase{"continuation_only", std::string(2047, 'x'), false, "Timeout error while waiting data from 127.0.0.1"},
        FailureCase{"overflow_at_2048", std::string(2048, 'x'), false,
                    "Receive buffer overflow while reading data from 127.0.0.1"},
        FailureCase{"overflow_even_when_complete", std::string(2040, 'x') + "\r\n250 ok\r\n", false,
                    "Receive buffer overflow while reading data from 127.0.0.1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadReplyExcess, WhatFollowsTheFinalLineIsKeptEvenWhenTheReadFillsTheBuffer)
{
    Pair p;
    std::string behind;
    for (int i = 0; i < 600; ++i)
        behind += "NOOP" + std::to_string(i % 10) + "\r\n";
    p.peer_send("250 go\r\n" + behind);
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // all of it waits for one read
    EXPECT_EQ(read_reply(p.ours, 2), 250) << get_last_error();
    const char* bytes = nullptr;
    const int count = get_reply_excess(&bytes);
    ASSERT_EQ(count, 2048 - 8);
    EXPECT_EQ(std::string(bytes, static_cast<std::size_t>(count)), behind.substr(0, 2040));
    EXPECT_EQ(std::string(get_reply_buffer()), "250 go\r\n");

    Pair q;
    q.peer_send("220 y\r\n");
    EXPECT_EQ(read_reply(q.ours, 2), 220);
    EXPECT_EQ(get_reply_excess(&bytes), 0);
}

TEST(ReadReplyReset, NamesTheReset)
{
    Pair p;
    p.peer_reset();
    EXPECT_EQ(read_reply(p.ours, 1), -1);
    EXPECT_EQ(std::string(get_last_error()), "recv() error while waiting data from 127.0.0.1: Connection reset by peer");
}

TEST(Trace, RepliesAndCommandsInVerboseMode)
{
    Pair p;
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getpeername(p.ours, reinterpret_cast<sockaddr*>(&sa), &len);
    const std::string port = std::to_string(ntohs(sa.sin_port));
    const std::string pad(4 - std::min<std::size_t>(4, port.size()), ' ');
    settings.verbose = 1;
    testing::internal::CaptureStdout();
    p.peer_send("250-a\r\n250-b\n250 c\r\n");
    EXPECT_EQ(read_reply(p.ours, 2), 250);
    EXPECT_EQ(send_all(p.ours, 2, "EHLO x\r\n", 8), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    settings.verbose = 0;
    const std::string head = "[      127.0.0.1:" + port + pad + "] ";
    // The line with a bare LF is traced up to the CR LF; the step-over stops at
    // the LF, so "250 c" is then traced again as a line of its own.
    EXPECT_EQ(out, head + "> 250-a\n" + head + "> 250-b\n250 c\n" + head + "> 250 c\n" + head + "< EHLO x\r\n");
    EXPECT_EQ(p.peer_receive(8), "EHLO x\r\n");
}

// The bracketed address fills the same 15 columns; a message without a port
// names it bare.
TEST(ReadReply, IPv6PeerInTraceAndMessages)
{
    Pair p(true);
    sockaddr_in6 sa{};
    socklen_t len = sizeof sa;
    getpeername(p.ours, reinterpret_cast<sockaddr*>(&sa), &len);
    const std::string port = std::to_string(ntohs(sa.sin6_port));
    settings.verbose = 1;
    testing::internal::CaptureStdout();
    p.peer_send("220 hi\r\n");
    EXPECT_EQ(read_reply(p.ours, 2), 220);
    const std::string out = testing::internal::GetCapturedStdout();
    settings.verbose = 0;
    EXPECT_EQ(out, "[          [::1]:" + port + std::string(4 - std::min<std::size_t>(4, port.size()), ' ') + "] > 220 hi\n");
    p.peer_close();
    EXPECT_EQ(read_reply(p.ours, 2), -1);
    EXPECT_STREQ(get_last_error(), "recv() connection closed by ::1");
}

TEST(SendAll, NothingToSendReturnsAtOnce)
{
    Pair p;
    EXPECT_EQ(send_all(p.ours, 1, "", 0), 0);
}

TEST(SendAll, LargeDataToASlowReaderArrivesWhole)
{
    Pair p;
    std::string data(8 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + (i >> 13));
    std::string got;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // let the kernel buffers fill
        got = p.peer_receive(data.size());
    });
    EXPECT_EQ(send_all(p.ours, 5, data.data(), static_cast<int>(data.size())), 0) << get_last_error();
    reader.join();
    EXPECT_TRUE(got == data);
}

TEST(SendAll, ResetPeerFailsWithoutKillingTheProcess)
{
    SockVersion v{};
    ASSERT_EQ(sock_startup(&v), 0);
    Pair p;
    p.peer_reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::string data(1 << 16, 'x');
    int result = 0;
    for (int i = 0; i < 4 && result == 0; ++i) // the reset may need one write to show
        result = send_all(p.ours, 1, data.data(), static_cast<int>(data.size()));
    EXPECT_EQ(result, -1);
    const std::string msg = get_last_error();
    EXPECT_TRUE(msg.rfind("error writing to 127.0.0.1: ", 0) == 0 || msg.rfind("send() error writing to 127.0.0.1: ", 0) == 0)
        << msg;
    EXPECT_EQ(loopback::ends_with_reset(msg), "");
}

TEST(SendAll, TimesOutOnAPeerThatNeverReads)
{
    Pair p;
    std::string data(64 << 20, 'x');
    EXPECT_EQ(send_all(p.ours, 1, data.data(), static_cast<int>(data.size())), -1);
    EXPECT_EQ(std::string(get_last_error()).rfind("timeout error writing to 127.0.0.1: ", 0), 0u) << get_last_error();
}

TEST(SockWait, DescriptorsAboveFdSetSize)
{
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_max < 2000)
        GTEST_SKIP() << "descriptor limit too low";
    rl.rlim_cur = 2000;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &rl), 0);
    Pair p;
    const int high = dup2(p.ours, 1900);
    ASSERT_EQ(high, 1900);
    p.peer_send("220 high\r\n");
    EXPECT_EQ(read_reply(high, 2), 220);
    EXPECT_EQ(send_all(high, 2, "QUIT\r\n", 6), 0);
    EXPECT_EQ(p.peer_receive(6), "QUIT\r\n");
    close(high);
}

void on_alarm(int) {}

TEST(SockWait, SignalsDoNotShortenTheWait)
{
    struct sigaction sa{};
    sa.sa_handler = on_alarm; // no SA_RESTART: poll returns EINTR
    struct sigaction old{};
    sigaction(SIGALRM, &sa, &old);
    itimerval every{{0, 100000}, {0, 100000}};
    setitimer(ITIMER_REAL, &every, nullptr);

    Pair p;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read_reply(p.ours, 1), -1);
    const auto waited = std::chrono::steady_clock::now() - start;

    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(std::string(get_last_error()), "Timeout error while waiting data from 127.0.0.1");
    EXPECT_GE(waited, std::chrono::milliseconds(950));
}

} // namespace

namespace {

// Failures that a working connection never shows, forced with descriptors
// that are no sockets or no longer open.
TEST(UnusualDescriptors, EveryOperationReportsInsteadOfCrashing)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const int closed = dup(pipe_fds[0]);
    close(closed);
    const std::string not_a_socket = "Winsock error " + std::to_string(ENOTSOCK);
    const std::string bad_descriptor = "Winsock error " + std::to_string(EBADF);

    EXPECT_EQ(read_reply(closed, 1), -1);
    EXPECT_EQ(std::string(get_last_error()), "select() error while reading from 0.0.0.0: " + bad_descriptor);

    EXPECT_EQ(write(pipe_fds[1], "220 x\r\n", 7), 7);
    EXPECT_EQ(read_reply(pipe_fds[0], 1), -1);
    EXPECT_EQ(std::string(get_last_error()), "recv() error while waiting data from 0.0.0.0: " + not_a_socket);

    EXPECT_EQ(send_all(closed, 1, "QUIT\r\n", 6), -1);
    EXPECT_EQ(std::string(get_last_error()), "select() error writing to 0.0.0.0: " + bad_descriptor);

    EXPECT_EQ(send_all(pipe_fds[1], 1, "QUIT\r\n", 6), -1);
    EXPECT_EQ(std::string(get_last_error()), "error (1) writing to 0.0.0.0: " + not_a_socket);

    Pair p;
    EXPECT_EQ(relay_streams(p.ours, closed, 1), -1);
    EXPECT_EQ(std::string(get_last_error()), "select() error passing data: " + bad_descriptor);

    p.peer_send("x"); // wakes the relay, which then checks both ends
    EXPECT_EQ(relay_streams(p.ours, pipe_fds[1], 1), -1);
    EXPECT_EQ(std::string(get_last_error()), "Error in data channel with 0.0.0.0: " + not_a_socket);

    close(pipe_fds[0]);
    close(pipe_fds[1]);
}

TEST(ConnectWithTimeout, NoDescriptorLeftForTheSocket)
{
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    const int lowest_free = dup(0);
    close(lowest_free);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest_free);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    const sock_t s = connect_with_timeout(loopback::any, 0, loopback::address, 9, 1);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(s, -1);
    EXPECT_EQ(std::string(get_last_error()), "Cannot create socket. Winsock error " + std::to_string(EMFILE));
}

} // namespace
