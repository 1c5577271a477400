#include <cstdio>
#include <cstring>

#include "common/wipe.h"
#include "net/smtp_observer.h"
#include "net/stream.h"
#include "net/transport.h"

namespace {

unsigned char to_smtp_buffer[relay_buffer_size]; // read from the ATRN side, not yet sent on
unsigned char to_atrn_buffer[relay_buffer_size]; // read from the SMTP server, not yet sent on

// How the last relay ended.
RelayEnd last_end;

// What the end of the side that ended first did to the mail.
enum class Verdict {
    unjudged,
    in_order,       // between messages, or after the provider's QUIT
    mid_message,    // a message was in transit
    before_quit,    // the SMTP server left before the provider's QUIT
};

// One end of the relay, with the bytes read from the other end for it; they
// sit at the front of its buffer in arrival order.
struct Side {
    RelaySide who;
    sock_t sock;
    SockAddress peer;
    unsigned char* inbound;
    int pending;
    bool ended;    // it has ended its sending in order
    bool shut;     // its end has been passed on to the other side
    bool stalled;  // a write TLS has begun and not finished: offer it the same bytes again
    bool blocked;  // its last write was refused or taken in part: wait until it can take more
    // Read with its end: for the provider, a message in transit; for the SMTP
    // server, the provider's QUIT crossed, and the session followed.
    bool transit_at_end;
    bool quit_before_end;
    bool following_at_end;
};

// The side that ended first, and what its end did to the mail.
struct Ends {
    Side* first;
    Verdict verdict;
};

// A socket's pending error, or a socket whose error cannot be read, fails
// its side with "Error in data channel".
int check_channel(const Side& side) noexcept
{
    int pending = 0;
    int length = 0;
    if (sock_pending_error(side.sock, &pending, &length) != 0 || length != static_cast<int>(sizeof pending) ||
        pending != 0) {
        const char* reason = socket_error_text();
        set_last_error("Error in data channel with %s: %s", sock_address_text(side.peer).text, reason);
        return -1;
    }
    return 0;
}

// A recv or send on `side` failed. A pending error of its socket names the
// failure as a check after the wait would have; otherwise the call's own
// error does (`what` is "recv() error while reading data from" or "send()
// error writing to").
int side_failed(const Side& side, const char* what) noexcept
{
    const int code = sock_error();
    if (check_channel(side) != 0)
        return -1;
    sock_set_error(code);
    const char* reason = stream_error_text();
    set_last_error("%s %s: %s", what, sock_address_text(side.peer).text, reason);
    return -1;
}

// Reads what `from` holds into the room left for `to`. Returns 1 on data, 0
// on an orderly end, -1 with last_error set.
int fill(const Side& from, Side& to) noexcept
{
    const int n = stream_recv(from.sock, to.inbound + to.pending, relay_buffer_size - to.pending);
    if (n == SOCK_AGAIN)
        return 1;
    if (n < 0)
        return side_failed(from, "recv() error while reading data from");
    if (n == 0)
        return 0;
    to.pending += n;
    return 1;
}

// Sends what is pending for `to` and moves any unsent rest to the front;
// the observer sees what went. Returns 0, or SOCK_FAILED with the socket's
// error code set.
int send_pending(Side& to) noexcept
{
    const int n = stream_send(to.sock, to.inbound, to.pending);
    to.stalled = n == SOCK_AGAIN;
    to.blocked = n == SOCK_AGAIN || (n > 0 && n < to.pending);
    if (n == SOCK_AGAIN)
        return 0;
    if (n < 0)
        return SOCK_FAILED;
    if (to.who == RelaySide::server)
        observer_to_server(to.inbound, n);
    else
        observer_to_provider(to.inbound, n);
    to.pending -= n;
    if (to.pending > 0)
        std::memmove(to.inbound, to.inbound + n, static_cast<std::size_t>(to.pending));
    return 0;
}

int drain(Side& to) noexcept
{
    if (send_pending(to) == 0)
        return 0;
    return side_failed(to, "send() error writing to");
}

// The relay is over because `from` failed: what was already read for `to`,
// and (read_from) what `from`'s socket still holds, is delivered to `to`
// within the time-out. The kernel hands out the bytes that came before a
// reset, replies it has acknowledged among them. How `to` fares now changes
// nothing.
void deliver_rest(const Side& from, Side& to, bool read_from, int timeout_seconds) noexcept
{
    bool more = read_from && !from.ended;
    while (more || to.pending > 0) {
        if (more && to.pending < relay_buffer_size && !to.stalled) {
            const int n = stream_recv(from.sock, to.inbound + to.pending, relay_buffer_size - to.pending);
            more = n > 0; // an end, a failure or nothing yet: all it held is read
            if (n > 0)
                to.pending += n;
        }
        if (to.pending == 0)
            continue;
        if (to.blocked) {
            SockWait wait{to.sock, false, false, false, false};
            stream_interest(&wait, false, true);
            if (sock_wait(&wait, 1, timeout_seconds) <= 0)
                return;
        }
        if (send_pending(to) != 0)
            return;
    }
}

// Whether a message is at risk from `side`'s end: once the provider has sent
// content, until the SMTP server's reply to its end has been passed on; for
// the SMTP server, from the provider's MAIL on (it does not end a
// transaction it accepted without a reply).
bool mail_in_transit(RelaySide side) noexcept
{
    if (side == RelaySide::provider)
        return observer_content_begun() && observer_transaction_open();
    return side == RelaySide::server && observer_transaction_open();
}

// `side` has ended in order: what it knew when it did.
void note_end(Side& side) noexcept
{
    side.ended = true;
    side.transit_at_end = mail_in_transit(side.who);
    side.quit_before_end = observer_quit_crossed();
    side.following_at_end = observer_following();
}

// What the first end did, judged once everything read before it has been
// passed on. The provider's end cuts a message off when a message was in
// transit as it ended or once what it sent before has crossed (replies it
// may never have read do not count), unless its QUIT had crossed. The SMTP
// server's end cuts off a transaction still open once its replies have been
// passed on; before the provider's QUIT it abandons the session (RFC 5321,
// 3.8), as far as the session was followed.
void judge(Ends& ends) noexcept
{
    if (ends.first == nullptr || ends.verdict != Verdict::unjudged)
        return;
    const Side& first = *ends.first;
    if (first.who == RelaySide::provider) {
        const bool transit = first.transit_at_end || mail_in_transit(RelaySide::provider);
        ends.verdict = transit && !observer_quit_crossed() ? Verdict::mid_message : Verdict::in_order;
    } else if (mail_in_transit(RelaySide::server)) {
        ends.verdict = Verdict::mid_message;
    } else {
        ends.verdict = first.following_at_end && !first.quit_before_end ? Verdict::before_quit : Verdict::in_order;
    }
}

// A side's orderly end is passed on to the other (a half-close, RFC 9293,
// 3.6) once everything read before it has been delivered, and the first end
// is judged then; the other direction goes on, so that the replies to a
// pipelined last message and QUIT still reach the side that ended.
void pass_end_on(Side& from, const Side& to, Ends& ends) noexcept
{
    if (from.ended && !from.shut && to.pending == 0) {
        if (ends.first == &from)
            judge(ends);
        stream_shutdown_send(to.sock);
        from.shut = true;
    }
}

// A greeting other than 2xx: the SMTP server refused the session, whatever
// came after. Its first line as it came, each byte outside printable ASCII
// written as \xHH.
bool session_refused(const Side& server) noexcept
{
    constexpr std::size_t address_max = 64; // an IPv6 address in any form
    constexpr std::size_t escaped_max = 4 * std::size_t{observer_greeting_text_max};
    static_assert(sizeof "SMTP server  refused the session: " + address_max + escaped_max <= last_error_size);
    if (!observer_session_refused())
        return false;
    char text[escaped_max + 1];
    const char* line = nullptr;
    const int length = observer_greeting_line(&line);
    std::size_t at = 0;
    for (int i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        if (c >= 0x20 && c < 0x7f)
            text[at++] = static_cast<char>(c);
        else
            at += static_cast<std::size_t>(std::snprintf(text + at, sizeof text - at, "\\x%02X", c));
    }
    text[at] = '\0';
    set_last_error("SMTP server %s refused the session: %s", sock_address_text(server.peer).text, text);
    last_end = {RelaySide::server, false, false};
    return true;
}

// The session ended in order: a success, unless the first end cut a message
// off or left before the provider's QUIT.
int ended_in_order(Ends& ends, const Side& server) noexcept
{
    judge(ends);
    const Side& first = ends.first != nullptr ? *ends.first : server; // one side always ended first
    last_end = {first.who, false, ends.verdict == Verdict::mid_message};
    if (session_refused(server))
        return -1;
    switch (ends.verdict) {
    case Verdict::mid_message:
        set_last_error("connection closed by %s in the middle of a message", sock_address_text(first.peer).text);
        return -1;
    case Verdict::before_quit:
        set_last_error("connection closed by %s before the provider's QUIT", sock_address_text(first.peer).text);
        return -1;
    default:
        return 0;
    }
}

// The relay waited in vain. With neither side ended that is a failure; after
// an end, a failure only while a message's end waits for its reply, unless
// that end was judged a failure already.
int timed_out(Ends& ends, const Side& server) noexcept
{
    if (ends.first != nullptr) {
        judge(ends);
        if (ends.verdict != Verdict::in_order || !observer_end_waiting())
            return ended_in_order(ends, server);
    }
    last_end = {RelaySide::none, true, false};
    if (session_refused(server))
        return -1;
    set_last_error("Timeout error passig data");
    return -1;
}

// `failed` cannot go on (last_error says why). Before either side had ended
// that fails the relay; after, it is one more way for the session to end.
// When its own read failed, its socket holds nothing more to pass on.
int stop(const Side& failed, Side& other, Ends& ends, const Side& server, int timeout_seconds,
         bool read_failed = false) noexcept
{
    deliver_rest(failed, other, !read_failed, timeout_seconds);
    if (ends.first != nullptr)
        return ended_in_order(ends, server);
    if (!session_refused(server))
        last_end = {failed.who, true, mail_in_transit(failed.who)};
    return -1;
}

} // namespace

void wipe_relay_buffers() noexcept
{
    secure_zero(to_smtp_buffer, sizeof to_smtp_buffer);
    secure_zero(to_atrn_buffer, sizeof to_atrn_buffer);
}

RelayEnd relay_end() noexcept
{
    return last_end;
}

int relay_streams(sock_t atrn_sock, sock_t smtp_sock, int timeout_seconds, const char* first_bytes,
                  int first_count) noexcept
{
    static_assert(reply_buffer_size <= relay_buffer_size, "what follows a reply fits the relay's buffer");
    Side atrn{RelaySide::provider, atrn_sock, {}, to_atrn_buffer, 0, false, false, false, false, false, false, false};
    Side smtp{RelaySide::server, smtp_sock, {}, to_smtp_buffer, 0, false, false, false, false, false, false, false};
    Ends ends{nullptr, Verdict::unjudged};
    last_end = {RelaySide::none, true, false};
    observer_start();
    int port = 0;
    sock_peer(atrn_sock, &atrn.peer, &port);
    sock_peer(smtp_sock, &smtp.peer, &port);
    // What the provider sent right behind its 250 to ATRN opens its session.
    if (first_count > 0 && first_count <= relay_buffer_size) {
        std::memcpy(smtp.inbound, first_bytes, static_cast<std::size_t>(first_count));
        smtp.pending = first_count;
    }

    for (;;) {
        pass_end_on(atrn, smtp, ends);
        pass_end_on(smtp, atrn, ends);
        if (atrn.shut && smtp.shut) // so one of them ended first
            return ended_in_order(ends, smtp);

        // A side is read only while it has not ended and there is room for
        // what it sends (and no write toward the other side is half done),
        // and waited on for writing only while something waits for it.
        const bool read_atrn = !atrn.ended && smtp.pending < relay_buffer_size && !smtp.stalled;
        const bool read_smtp = !smtp.ended && atrn.pending < relay_buffer_size && !atrn.stalled;
        SockWait set[2] = {{atrn.sock, false, false, false, false}, {smtp.sock, false, false, false, false}};
        stream_interest(&set[0], read_atrn, atrn.pending > 0);
        stream_interest(&set[1], read_smtp, smtp.pending > 0);
        // What TLS has already decrypted is relayed without waiting.
        const bool atrn_buffered = read_atrn && stream_buffered(atrn.sock);
        const int ready = sock_wait(set, 2, atrn_buffered ? 0 : timeout_seconds);
        if (ready == 0 && !atrn_buffered)
            return timed_out(ends, smtp);
        if (ready < 0) {
            set_last_error("select() error passing data: %s", socket_error_text());
            return -1;
        }

        // What a socket holds is read before its pending error is judged:
        // the kernel still hands out bytes that came before a reset.
        if (read_atrn && (atrn_buffered || stream_can_read(set[0]))) {
            const int status = fill(atrn, smtp);
            if (status < 0)
                return stop(atrn, smtp, ends, smtp, timeout_seconds, true);
            if (status == 0) {
                note_end(atrn);
                ends.first = ends.first != nullptr ? ends.first : &atrn;
            }
        }
        if (read_smtp && stream_can_read(set[1])) {
            const int status = fill(smtp, atrn);
            if (status < 0)
                return stop(smtp, atrn, ends, smtp, timeout_seconds, true);
            if (status == 0) {
                note_end(smtp);
                ends.first = ends.first != nullptr ? ends.first : &smtp;
            }
        }
        // A pending error is looked for only where the wait saw trouble.
        if (set[0].failed && check_channel(atrn) != 0)
            return stop(atrn, smtp, ends, smtp, timeout_seconds);
        if (set[1].failed && check_channel(smtp) != 0)
            return stop(smtp, atrn, ends, smtp, timeout_seconds);

        // What was just read is written at once: a socket can nearly always
        // take it, and a wait for that would cost a system call per hop. Only
        // a side that refused or took part of its last write is waited for.
        if (atrn.pending > 0 && (!atrn.blocked || stream_can_write(set[0])) && drain(atrn) != 0)
            return stop(atrn, smtp, ends, smtp, timeout_seconds);
        if (smtp.pending > 0 && (!smtp.blocked || stream_can_write(set[1])) && drain(smtp) != 0)
            return stop(smtp, atrn, ends, smtp, timeout_seconds);
    }
}
