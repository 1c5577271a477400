// The observer of the relayed SMTP session, fed recorded sessions whole, in
// every two-piece split of each step and byte by byte.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "net/smtp_observer.h"

namespace {

enum Side { P, S }; // the provider's bytes to the server, the server's replies

struct Step {
    Side side;
    std::string bytes;
};

struct Result {
    std::string lost; // "" while following
    bool open, begun, waiting, quit;
    std::string refused_greeting; // the greeting's first line when the session was refused, else ""
    int relayed, accepted, refused;
    long long bytes, accepted_bytes;
    bool operator==(const Result&) const = default;
};

struct Session {
    const char* name;
    std::vector<Step> steps;
    Result expected;
};

void PrintTo(const Result& r, std::ostream* os)
{
    *os << "lost \"" << r.lost << "\" open " << r.open << " begun " << r.begun << " waiting " << r.waiting << " quit "
        << r.quit << " refused greeting \"" << r.refused_greeting << "\" counts " << r.relayed << " " << r.accepted
        << " " << r.refused << " " << r.bytes << " " << r.accepted_bytes;
}

void PrintTo(const Session& s, std::ostream* os)
{
    *os << s.name;
}

std::string times(int n, const std::string& s)
{
    std::string all;
    for (int i = 0; i < n; ++i)
        all += s;
    return all;
}

const std::string greet = "220 mx.example.org ESMTP\r\n", ok = "250 ok\r\n", no = "550 no\r\n", go = "354 go on\r\n";
const std::string mail = "MAIL FROM:<a@example.net>\r\n", rcpt = "RCPT TO:<b@example.org>\r\n";
const std::string ehlo = "EHLO provider.example.net\r\n", ehlo_ok = "250-mx.example.org\r\n250 PIPELINING\r\n";

// Results: lost, open, begun, waiting, quit, refused greeting, relayed, accepted, refused, bytes, accepted bytes.
const std::vector<Session> sessions = {
    {"DotStuffedContent",
     {{S, greet}, {P, ehlo}, {S, ehlo_ok}, {P, mail}, {S, ok}, {P, rcpt}, {S, ok}, {P, "data\r\n"}, {S, go},
      {P, "Subject: x\r\n\r\n..\r\na. b\r\n. \r\n..x\r\n.\r\n"}, {S, ok}, {P, "QUIT\r\n"}, {S, "221 bye\r\n"}},
     {"", false, false, false, true, "", 1, 1, 0, 33, 33}},
    {"DataRefused",
     {{S, greet}, {P, mail}, {S, ok}, {P, rcpt}, {S, no}, {P, "DATA\r\n"}, {S, "554 no valid recipients\r\n"}},
     {"", false, false, false, false, "", 0, 0, 0, 0, 0}},
    {"PipelinedSomeRcptRefused",
     {{S, greet}, {P, mail + rcpt + rcpt + rcpt + "DATA\r\n"}, {S, ok + no + ok + no + go}, {P, "Hi\r\n.\r\n"},
      {S, ok}},
     {"", false, false, false, false, "", 1, 1, 0, 4, 4}},
    {"RsetAndEhloEndTransactions",
     {{S, greet}, {P, mail + rcpt + "RSET\r\n"}, {S, ok + ok + ok}, {P, mail + rcpt + "HELO p\r\n"},
      {S, ok + ok + "250 mx\r\n"}},
     {"", false, false, false, false, "", 0, 0, 0, 0, 0}},
    {"BdatChunksHoldEndAndCommands",
     {{S, greet}, {P, mail + rcpt + "BDAT 22\r\nx\r\n.\r\nMAIL FROM:<>\r\n\r\nbdat 5 last\r\n.\r\n\r\n"},
      {S, ok + ok + "250 22 octets\r\n250 queued\r\n"}},
     {"", false, false, false, false, "", 1, 1, 0, 27, 27}},
    {"BdatLastOfSizeZero",
     {{S, greet}, {P, mail + rcpt + "BDAT 5\r\nhelloBDAT 0 LAST\r\n"}, {S, ok + ok + ok + "451 later\r\n"}},
     {"", false, false, false, false, "", 1, 0, 1, 5, 0}},
    {"RefusedChunkKeepsTransactionOpen",
     {{S, greet}, {P, mail + rcpt + "BDAT 3\r\nabc"}, {S, ok + ok + "552 too big\r\n"}},
     {"", true, true, false, false, "", 0, 0, 0, 0, 0}},
    {"RefusedChunkRefusesTheMessage",
     {{S, greet}, {P, mail + rcpt + "BDAT 3\r\nabcBDAT 1 LAST\r\nd"}, {S, ok + ok + "552 too big\r\n" + ok}},
     {"", false, false, false, false, "", 1, 0, 1, 4, 0}},
    {"SeveralMessages",
     {{S, greet}, {P, mail + rcpt + "DATA\r\n"}, {S, ok + ok + go}, {P, ".\r\n"}, {S, ok},
      {P, mail + rcpt + "DATA\r\n"}, {S, ok + ok + go}, {P, "a\r\nb\r\n.\r\n"}, {S, "554 spam\r\n"},
      {P, mail + rcpt + "BDAT 3 LAST\r\nxyz" + mail + rcpt + "BDAT 2 LAST\r\nuv"}, {S, ok + ok + ok}},
     {"", true, true, true, false, "", 4, 2, 1, 11, 3}},
    {"CutMidContent",
     {{S, greet}, {P, mail + rcpt + "DATA\r\n"}, {S, ok + ok + go}, {P, "Subject: cut\r\n\r\nhalf a li"}},
     {"", true, true, false, false, "", 0, 0, 0, 0, 0}},
    {"CutBefore354",
     {{S, greet}, {P, mail + rcpt + "DATA\r\n"}, {S, ok + ok}},
     {"", true, false, false, false, "", 0, 0, 0, 0, 0}},
    {"ServerClosingMidContent",
     {{S, greet}, {P, mail + rcpt + "DATA\r\n"}, {S, ok + ok + go}, {P, "abc\r\n"}, {S, "421 shutting down\r\n"}},
     {"", true, true, false, false, "", 0, 0, 0, 0, 0}},
    {"ManyPipelinedRcpt",
     {{S, greet}, {P, mail + times(4500, rcpt) + "DATA\r\n"}, {S, times(4501, ok) + go}, {P, "x\r\n.\r\n"}, {S, ok}},
     {"", false, false, false, false, "", 1, 1, 0, 3, 3}},
    {"CommandLineOf4096", {{S, greet}, {P, "NOOP " + std::string(4089, 'x') + "\r\n"}, {S, ok}}, {}},
    // QUIT ends what has not ended (RFC 5321, 4.1.1.10)...
    {"QuitAfterTheOnlyRecipientWasRefused",
     {{S, greet}, {P, mail + rcpt}, {S, ok + "550 5.1.1 unknown user\r\n"}, {P, "QUIT\r\n"}, {S, "221 bye\r\n"}},
     {"", false, false, false, true, "", 0, 0, 0, 0, 0}},
    {"QuitAbandonsChunkedContent",
     {{S, greet}, {P, mail + rcpt + "BDAT 3\r\nabcQUIT\r\n"}, {S, ok + ok}},
     {"", false, false, false, true, "", 0, 0, 0, 0, 0}},
    // ...but a message whose end crossed waits for its reply.
    {"QuitBehindAMessageEnd",
     {{S, greet}, {P, mail + rcpt + "BDAT 3 LAST\r\nabc" + mail + rcpt + "QUIT\r\n"}, {S, ok + ok}},
     {"", true, true, true, true, "", 1, 0, 0, 3, 0}},
    {"QuitBehindAMessageEndAnswered",
     {{S, greet}, {P, mail + rcpt + "BDAT 3 LAST\r\nabc" + mail + rcpt + "QUIT\r\n"},
      {S, ok + ok + ok + "452 later\r\n" + ok + "221 bye\r\n"}},
     {"", false, false, false, true, "", 1, 1, 0, 3, 3}},
    {"VerbsEndAtATab",
     {{S, greet}, {P, "MAIL\tFROM:<a@example.net>\r\nRCPT\tTO:<b@example.org>\r\nDATA\t\r\n"}, {S, ok + ok + go},
      {P, "x\r\n.\r\n"}, {S, ok}, {P, mail + "BDAT\t2\tLAST\r\nyz"}, {S, ok + ok}},
     {"", false, false, false, false, "", 2, 2, 0, 5, 5}},
    {"Greeting421", {{S, "421 4.3.2 busy\r\n"}}, {"", false, false, false, false, "421 4.3.2 busy", 0, 0, 0, 0, 0}},
    {"Greeting554OfTwoLines",
     {{S, "554-mx.example.org\r\n554 no SMTP service here\r\n"}, {P, "QUIT\r\n"}, {S, "221 bye\r\n"}},
     {"", false, false, false, true, "554-mx.example.org", 0, 0, 0, 0, 0}},
    {"GreetingOf120Bytes",
     {{S, "554 " + std::string(116, 'x') + "\r\n"}},
     {"", false, false, false, false, "554 " + std::string(116, 'x'), 0, 0, 0, 0, 0}},
    {"GreetingOf121Bytes",
     {{S, "554 \x01\xff" + std::string(115, 'x') + "\n"}},
     {"", false, false, false, false, "554 \x01\xff" + std::string(114, 'x'), 0, 0, 0, 0, 0}},
    {"StartTls",
     {{S, greet}, {P, ehlo}, {S, ehlo_ok}, {P, "StartTLS\r\n"}},
     {"STARTTLS on the turned line", false, false, false, false, "", 0, 0, 0, 0, 0}},
    {"Auth",
     {{S, greet}, {P, mail + "DATA\r\n"}, {S, ok + go}, {P, "x\r\n.\r\n"}, {S, ok}, {P, "AUTH PLAIN AGEAYg==\r\n"}},
     {"AUTH on the turned line", false, false, false, false, "", 1, 1, 0, 3, 3}},
    {"ReplyWithNoCommand",
     {{S, greet + ok}},
     {"a reply with no command waiting", false, false, false, false, "", 0, 0, 0, 0, 0}},
    // An early reply in the content: the message was in transit when it stopped following.
    {"ReplyInTheContent",
     {{S, greet}, {P, mail + rcpt + "DATA\r\n"}, {S, ok + ok + go}, {P, "Subject: x\r\n"}, {S, "250 Ok: queued\r\n"}},
     {"a reply with no command waiting", true, true, false, false, "", 0, 0, 0, 0, 0}},
    {"A354ToMail",
     {{S, greet}, {P, mail}, {S, go}},
     {"a 354 to a command other than DATA", true, false, false, false, "", 0, 0, 0, 0, 0}},
    {"CommandLineOver4096",
     {{S, greet}, {P, "NOOP " + std::string(4090, 'x') + "\r\n"}},
     {"a command line over 4096 bytes", false, false, false, false, "", 0, 0, 0, 0, 0}},
    {"ReplyLineOver4096",
     {{S, "220 " + std::string(4091, 'x') + "\r\n"}},
     {"a reply line over 4096 bytes", false, false, false, false, "220 " + std::string(116, 'x'), 0, 0, 0, 0, 0}},
    {"ContentBefore354",
     {{S, greet}, {P, mail + rcpt + "DATA\r\nSubject: x\r\n"}},
     {"content before the 354", true, false, false, false, "", 0, 0, 0, 0, 0}},
    {"ReplyItCannotRead",
     {{S, "220mx\r\n"}},
     {"a reply it cannot read", false, false, false, false, "220mx", 0, 0, 0, 0, 0}},
    {"BdatSizeItCannotRead",
     {{S, greet}, {P, mail + "BDAT 12k LAST\r\n"}},
     {"a BDAT size it cannot read", true, false, false, false, "", 0, 0, 0, 0, 0}},
    {"TooManyWaiting",
     {{S, greet}, {P, times(200, "MAIL FROM:<>\r\n")}},
     {"too many commands waiting for replies", true, false, false, false, "", 0, 0, 0, 0, 0}},
};

std::string refused_greeting()
{
    const char* text = nullptr;
    const int length = observer_greeting_line(&text);
    return observer_session_refused() ? std::string(text, static_cast<std::size_t>(length)) : "";
}

Result feed(const Session& s, std::size_t step, std::size_t cut, bool bytewise)
{
    observer_start();
    for (std::size_t i = 0; i < s.steps.size(); ++i) {
        const auto* data = reinterpret_cast<const unsigned char*>(s.steps[i].bytes.data());
        const auto size = s.steps[i].bytes.size();
        const auto send = s.steps[i].side == P ? observer_to_server : observer_to_provider;
        if (bytewise) {
            for (std::size_t at = 0; at < size; ++at)
                send(data + at, 1);
        } else {
            const std::size_t first = i == step ? cut : size;
            send(data, static_cast<int>(first));
            send(data + first, static_cast<int>(size - first));
        }
    }
    const MailCounts c = observer_counts();
    return {observer_lost_reason(), observer_transaction_open(), observer_content_begun(), observer_end_waiting(),
            observer_quit_crossed(), refused_greeting(),          c.relayed,                c.accepted,
            c.refused,               c.bytes,                     c.accepted_bytes};
}

class SmtpObserver : public ::testing::TestWithParam<Session> {};

TEST_P(SmtpObserver, FollowsTheSessionInAnySplit)
{
    const Session& s = GetParam();
    ASSERT_EQ(feed(s, s.steps.size(), 0, false), s.expected);
    ASSERT_EQ(feed(s, 0, 0, true), s.expected) << "byte by byte";
    for (std::size_t step = 0; step < s.steps.size(); ++step) {
        // Long steps are cut at every 61st byte, which meets every place in
        // their short, repeated lines.
        const std::size_t size = s.steps[step].bytes.size(), stride = size > 4096 ? 61 : 1;
        for (std::size_t cut = 1; cut < size; cut += stride)
            ASSERT_EQ(feed(s, step, cut, false), s.expected) << "step " << step << " cut at " << cut;
    }
}

INSTANTIATE_TEST_SUITE_P(Sessions, SmtpObserver, ::testing::ValuesIn(sessions),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
