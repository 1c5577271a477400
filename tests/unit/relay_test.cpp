// The relay between the reversed ATRN connection and the local SMTP server.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "loopback.h"
#include "net/transport.h"

namespace {

using loopback::Pair;

struct Relay {
    Pair atrn; // ours: the ATRN connection; peer: the provider
    Pair smtp; // ours: the SMTP connection; peer: the local SMTP server
    std::future<int> result;

    explicit Relay(int timeout_seconds = 5)
    {
        result = std::async(std::launch::async,
                            [this, timeout_seconds] { return relay_streams(atrn.ours, smtp.ours, timeout_seconds); });
    }
    int finish()
    {
        EXPECT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        const int status = result.get();
        if (status != 0)
            std::printf("relay: %s\n", get_last_error());
        return status;
    }
};

std::string pattern(std::size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed) ^ (i >> 11));
    return s;
}

TEST(Relay, BothWaysUnchangedThroughASlowReader)
{
    Relay r;
    const std::string down = pattern(3 << 20, 1); // provider to SMTP server
    // SMTP server to provider, greeting first: a session the SMTP server
    // refused would fail the relay, however it went on.
    const std::string up = "220 relay test\r\n" + pattern(1 << 20, 2);
    std::string got_down, got_up;
    std::thread provider([&] {
        std::thread reader([&] { got_up = r.atrn.peer_receive(up.size()); });
        r.atrn.peer_send(down);
        reader.join();
    });
    std::thread server([&] {
        std::thread writer([&] { r.smtp.peer_send(up); });
        // Small, slow reads: the relay's sends are partial and must keep order.
        char buf[1000];
        while (got_down.size() < down.size()) {
            const ssize_t n = recv(r.smtp.peer, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            got_down.append(buf, static_cast<std::size_t>(n));
            if (got_down.size() % 97 == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        writer.join();
    });
    provider.join();
    server.join();
    EXPECT_TRUE(got_down == down);
    EXPECT_TRUE(got_up == up);
    r.atrn.peer_close();
    EXPECT_EQ(r.finish(), 0);
}

TEST(Relay, AStalledSmtpServerHoldsTheProviderBack)
{
    // While the SMTP server reads nothing, the relay takes no more than its
    // buffer beyond what the kernel queues hold; nothing is lost.
    Relay r(5);
    const std::string data = pattern(32 << 20, 3);
    std::size_t accepted = 0;
    const int flags = MSG_DONTWAIT | MSG_NOSIGNAL;
    for (int tries = 0; tries < 200 && accepted < data.size(); ++tries) {
        const ssize_t n = send(r.atrn.peer, data.data() + accepted, data.size() - accepted, flags);
        if (n > 0)
            accepted += static_cast<std::size_t>(n);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_LT(accepted, data.size()) << "the provider was never held back";
    std::thread writer([&] { r.atrn.peer_send(data.substr(accepted)); });
    const std::string got = r.smtp.peer_receive(data.size());
    writer.join();
    EXPECT_TRUE(got == data);
    r.atrn.peer_close(); // the provider first: an SMTP server closing before QUIT abandons the session
    r.smtp.peer_close();
    EXPECT_EQ(r.finish(), 0);
}

TEST(Relay, ProviderClosingAfterItsLastCommandStillDeliversIt)
{
    Relay r;
    r.atrn.peer_send("QUIT\r\n");
    r.atrn.peer_close();
    EXPECT_EQ(r.finish(), 0);
    EXPECT_EQ(r.smtp.peer_receive(6), "QUIT\r\n");
}

TEST(Relay, SmtpServerClosingAfterItsLastReplyStillDeliversIt)
{
    Relay r;
    r.smtp.peer_send("220 local ESMTP\r\n");
    EXPECT_EQ(r.atrn.peer_receive(17), "220 local ESMTP\r\n");
    r.atrn.peer_send("QUIT\r\n");
    EXPECT_EQ(r.smtp.peer_receive(6), "QUIT\r\n");
    r.smtp.peer_send("250 2.0.0 queued\r\n221 bye\r\n");
    r.smtp.peer_close();
    EXPECT_EQ(r.finish(), 0);
    EXPECT_EQ(r.atrn.peer_receive(27), "250 2.0.0 queued\r\n221 bye\r\n");
}

TEST(Relay, ResetOfASideWaitedOnOnlyForWritingIsAnErrorInTheDataChannel)
{
    // Both peers send and neither reads: once every buffer on the way is
    // full, neither socket is wanted for reading when the SMTP server resets.
    // (The time-out only bounds the wait for the provider, which reads nothing;
    // the data is made before the relay starts its clock, which takes seconds
    // under a sanitizer on a loaded machine.)
    const std::string data = pattern(64 << 20, 4);
    Relay r(4);
    r.smtp.peer_send("220 relay test\r\n"); // not a refused session
    for (const int peer : {r.atrn.peer, r.smtp.peer}) {
        // Jammed once nothing more is taken for 200 ms.
        std::size_t accepted = 0;
        int idle = 0;
        for (int tries = 0; tries < 5000 && idle < 40 && accepted < data.size(); ++tries) {
            const ssize_t n = send(peer, data.data() + accepted, data.size() - accepted, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                accepted += static_cast<std::size_t>(n);
                idle = 0;
            } else {
                ++idle;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        ASSERT_EQ(idle, 40) << "never held back";
    }
    r.smtp.peer_reset();
    EXPECT_EQ(r.finish(), -1);
    EXPECT_STREQ(get_last_error(), "Error in data channel with 127.0.0.1: Connection reset by peer");
}

TEST(Relay, TimesOutWithoutTraffic)
{
    Relay r(1);
    EXPECT_EQ(r.finish(), -1);
    EXPECT_STREQ(get_last_error(), "Timeout error passig data");
}

TEST(Relay, ResetOfEitherSideFails)
{
    for (const bool provider_resets : {true, false}) {
        Relay r;
        if (provider_resets)
            r.atrn.peer_reset();
        else
            r.smtp.peer_reset();
        EXPECT_EQ(r.finish(), -1);
        const std::string msg = get_last_error();
        EXPECT_TRUE(msg.rfind("Error in data channel with 127.0.0.1: ", 0) == 0 ||
                    msg.rfind("recv() error while reading data from 127.0.0.1: ", 0) == 0)
            << msg;
        EXPECT_EQ(loopback::ends_with_reset(msg), "");
    }
}

} // namespace
