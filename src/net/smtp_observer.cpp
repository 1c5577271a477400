#include "net/smtp_observer.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/ascii.h"

namespace {

// Where the provider's side of the session stands.
enum class State {
    commands,   // command lines
    data_reply, // DATA crossed; nothing may follow before its reply (RFC 2920)
    content,    // after a 354, up to the line "."
    chunk,      // inside a BDAT chunk
    lost,       // not following; only observer_start leaves it
};

// What a command is to the session, and so what its reply does.
enum class Kind : unsigned char {
    greeting,    // the SMTP server's greeting, waited for from the start
    mail,        // its refusal ends the transaction
    data,        // 354 starts the content; anything else ends the transaction
    bdat,        // a chunk that does not end the message
    message_end, // the line "." or the last byte of a LAST chunk
    reset,       // RSET, EHLO, HELO: their reply ends the transaction (RFC 5321, 4.1.4)
    quit,        // ends a transaction whose content has not ended (RFC 5321, 4.1.1.10)
    other,       // RCPT, NOOP, ...: one reply, no effect
    starttls,    // never waits: the session is then beyond us
    auth,
};

// A word of up to 8 letters as one number, in lower case; 0 for anything
// else. The verbs below are letters (RFC 5321, 4.1.1).
constexpr std::uint64_t word_code(std::string_view word) noexcept
{
    if (word.empty() || word.size() > 8)
        return 0;
    std::uint64_t code = 0;
    for (std::size_t i = 0; i < word.size(); ++i) {
        const char c = ascii_lower(word[i]);
        if (c < 'a' || c > 'z')
            return 0;
        code |= static_cast<std::uint64_t>(c) << (56 - 8 * i);
    }
    return code;
}

struct Verb {
    std::uint64_t code;
    Kind kind;
};
constexpr std::array<Verb, 9> verbs{{
    {word_code("MAIL"), Kind::mail},
    {word_code("DATA"), Kind::data},
    {word_code("BDAT"), Kind::bdat},
    {word_code("RSET"), Kind::reset},
    {word_code("EHLO"), Kind::reset},
    {word_code("HELO"), Kind::reset},
    {word_code("QUIT"), Kind::quit},
    {word_code("STARTTLS"), Kind::starttls},
    {word_code("AUTH"), Kind::auth},
}};

// A command waiting for its reply; a run of the same kind in the same
// transaction (4,500 pipelined RCPT) is one entry with a count.
struct Waiting {
    Kind kind;
    int transaction;
    int count;
    long long bytes; // a message's end: its content
};
// A pipelined group of one transaction takes about five entries.
constexpr int waiting_size = 128;

// Longer lines are not followed. Counted with their line end.
constexpr int line_limit = 4096;
// Enough of a line for the verb, a reply code, and "BDAT <size> LAST".
constexpr int kept_size = 40;

// The line being received: its first bytes and its length so far.
struct Line {
    std::array<char, kept_size> kept;
    int length;
};

// The end of DATA content, searched for with a CR LF before the content, so
// that "." CR LF right after the 354 is found like any other.
constexpr std::string_view content_end = "\r\n.\r\n";
constexpr int tail_size = static_cast<int>(content_end.size()) - 1;

constexpr std::size_t bdat_size_digits = 18; // below LLONG_MAX

// The greeting's first line is kept for the message that reports a refused
// session: its first bytes and the CR LF that may follow them.
constexpr int greeting_kept_size = observer_greeting_text_max + 2;

const char* lost_reason = "";
State state;
Line command;
Line reply;

std::array<char, greeting_kept_size> greeting;
int greeting_length;        // of the first line so far, its line end included
bool greeting_line_done;    // its first line is complete
bool session_refused;       // the greeting was not 2xx, or could not be read
bool quit_crossed;

std::array<Waiting, waiting_size> waiting;
int waiting_first;
int waiting_count;

// Transactions are numbered as their MAIL crosses. Replies close them in
// order, so one number says which are closed.
int transactions_begun;
int transactions_closed;
int content_transaction;  // whose content has begun
int ended_transaction;    // whose end has crossed last
int refused_transaction;  // one whose non-LAST BDAT was refused (RFC 3030, 2)
bool provider_ended;      // its end, RSET, EHLO, HELO or QUIT has crossed
bool abandoned;           // the last one begun was ended by QUIT: no reply closes it

long long chunk_left;
bool chunk_last;
long long message_bytes;
// The last bytes of DATA content, a partial "\r\n.\r\n" perhaps.
std::array<unsigned char, tail_size> tail;
int tail_count;

MailCounts counts;

void lose(const char* reason) noexcept
{
    state = State::lost;
    lost_reason = reason;
}

// b may be negative (a "." counted before it was known to end the content).
long long add_saturated(long long a, long long b) noexcept
{
    return b > 0 && a > LLONG_MAX - b ? LLONG_MAX : a + b;
}

// The last transaction that a reply can still close.
int last_live() noexcept
{
    return abandoned ? transactions_begun - 1 : transactions_begun;
}

bool transaction_open() noexcept
{
    return last_live() > transactions_closed;
}

void begin_transaction() noexcept
{
    ++transactions_begun;
    provider_ended = false;
    abandoned = false;
    message_bytes = 0;
}

// Content or a BDAT outside a transaction we know of: the server took it as
// one, so it is one.
void begin_transaction_if_none() noexcept
{
    if (provider_ended || !transaction_open())
        begin_transaction();
}

void close_transaction(int number) noexcept
{
    if (number > transactions_closed)
        transactions_closed = number;
}

void wait_for_reply(Kind kind, int transaction, long long bytes = 0) noexcept
{
    if (waiting_count > 0 && kind != Kind::message_end) {
        Waiting& last = waiting[(waiting_first + waiting_count - 1) % waiting_size];
        if (last.kind == kind && last.transaction == transaction && last.count < INT_MAX) {
            ++last.count;
            return;
        }
    }
    if (waiting_count == waiting_size) {
        lose("too many commands waiting for replies");
        return;
    }
    waiting[(waiting_first + waiting_count) % waiting_size] = Waiting{kind, transaction, 1, bytes};
    ++waiting_count;
}

void end_message() noexcept
{
    ++counts.relayed;
    counts.bytes = add_saturated(counts.bytes, message_bytes);
    provider_ended = true;
    ended_transaction = transactions_begun;
    state = State::commands;
    wait_for_reply(Kind::message_end, transactions_begun, message_bytes);
}

// Takes bytes up to and including the first LF into `line`; returns how many
// were taken and sets *complete when the LF was among them. An over-long
// line is reported by a length above line_limit.
int take_line(Line& line, const unsigned char* data, int count, bool* complete) noexcept
{
    const void* lf = std::memchr(data, '\n', static_cast<std::size_t>(count));
    const int taken = lf != nullptr ? static_cast<int>(static_cast<const unsigned char*>(lf) - data) + 1 : count;
    if (line.length < kept_size)
        std::memcpy(line.kept.data() + line.length, data,
                    static_cast<std::size_t>(taken < kept_size - line.length ? taken : kept_size - line.length));
    line.length = taken > line_limit - line.length ? line_limit + 1 : line.length + taken;
    *complete = lf != nullptr;
    return taken;
}

// The kept part of a complete line, without its line end when that was kept.
std::string_view line_text(const Line& line) noexcept
{
    if (line.length > kept_size)
        return {line.kept.data(), kept_size};
    std::string_view text(line.kept.data(), static_cast<std::size_t>(line.length - 1)); // less the LF
    if (!text.empty() && text.back() == '\r')
        text.remove_suffix(1);
    return text;
}

Kind kind_of(std::string_view verb) noexcept
{
    const std::uint64_t code = word_code(verb); // 0, in no entry, for no verb
    const Verb* end = verbs.data() + verbs.size();
    const Verb* found = std::find_if(verbs.data(), end, [code](const Verb& v) { return v.code == code; });
    return found != end ? found->kind : Kind::other;
}

// Parts of a text that never throw (the program has no exceptions, and
// string_view's substr would bring the C++ runtime's exception support).
std::string_view before(std::string_view text, std::size_t n) noexcept
{
    return {text.data(), n < text.size() ? n : text.size()};
}

std::string_view after(std::string_view text, std::size_t n) noexcept
{
    text.remove_prefix(n < text.size() ? n : text.size());
    return text;
}

bool is_blank(char c) noexcept
{
    return c == ' ' || c == '\t';
}

// "BDAT" SP size [SP "LAST"] (RFC 3030, 2), spaces and tabs tolerated
// around, as servers take them.
bool read_bdat(std::string_view arguments, long long* size, bool* last) noexcept
{
    std::size_t at = 0;
    while (at < arguments.size() && is_blank(arguments[at]))
        ++at;
    const std::size_t digits_from = at;
    long long value = 0;
    for (; at < arguments.size() && ascii_is_digit(arguments[at]); ++at) {
        if (at - digits_from == bdat_size_digits)
            return false;
        value = value * 10 + (arguments[at] - '0');
    }
    if (at == digits_from)
        return false;
    std::string_view rest = after(arguments, at);
    while (!rest.empty() && is_blank(rest.back()))
        rest.remove_suffix(1);
    std::size_t space = 0;
    while (space < rest.size() && is_blank(rest[space]))
        ++space;
    *last = space > 0 && word_code(after(rest, space)) == word_code("LAST");
    *size = value;
    return rest.empty() || *last;
}

// The server answers a BDAT once it has its chunk.
void chunk_crossed() noexcept
{
    if (chunk_last) {
        end_message();
    } else {
        state = State::commands;
        wait_for_reply(Kind::bdat, transactions_begun);
    }
}

int take_chunk(int count) noexcept
{
    const int taken = chunk_left < count ? static_cast<int>(chunk_left) : count;
    chunk_left -= taken;
    if (chunk_left == 0)
        chunk_crossed();
    return taken;
}

void on_command() noexcept
{
    if (command.length > line_limit) {
        lose("a command line over 4096 bytes");
        return;
    }
    const std::string_view text = line_text(command);
    const bool whole = command.length <= kept_size;
    // The verb ends at a space, a tab or the line end: servers take either.
    const std::string_view verb = before(text, text.find_first_of(" \t"));
    const Kind kind = kind_of(verb);
    switch (kind) {
    case Kind::starttls:
        lose("STARTTLS on the turned line");
        return;
    case Kind::auth:
        lose("AUTH on the turned line");
        return;
    case Kind::mail:
        begin_transaction();
        break;
    case Kind::data:
        state = State::data_reply;
        break;
    case Kind::bdat: {
        long long size = 0;
        if (!whole || !read_bdat(after(text, verb.size()), &size, &chunk_last)) {
            lose("a BDAT size it cannot read");
            return;
        }
        begin_transaction_if_none();
        content_transaction = transactions_begun;
        message_bytes = add_saturated(message_bytes, size);
        chunk_left = size;
        state = State::chunk;
        if (size == 0)
            chunk_crossed();
        return;
    }
    case Kind::reset:
        provider_ended = true;
        break;
    case Kind::quit:
        // What it has not ended is abandoned; a message whose end crossed
        // waits for its reply.
        quit_crossed = true;
        if (!provider_ended && transaction_open())
            abandoned = true;
        provider_ended = true;
        break;
    default:
        break;
    }
    wait_for_reply(kind, transactions_begun);
}

int take_command(const unsigned char* data, int count) noexcept
{
    bool complete = false;
    const int taken = take_line(command, data, count, &complete);
    if (complete) {
        on_command();
        command.length = 0;
    } else if (command.length > line_limit) {
        lose("a command line over 4096 bytes");
    }
    return taken;
}

bool is_content_end(const unsigned char* at) noexcept
{
    return std::memcmp(at, content_end.data(), content_end.size()) == 0;
}

// Finds the end of DATA content in the bytes just crossed and those carried
// from before; returns how many bytes of `data` were content, its end
// included.
int scan_content(const unsigned char* data, int count) noexcept
{
    const int end_size = static_cast<int>(content_end.size());
    const int dot_offset = 2; // of "." in "\r\n.\r\n"
    bool found = false;
    int dot = 0; // the final "." in data; below 0 when it came before
    // An end that begins in the carried tail.
    std::array<unsigned char, 2 * std::size_t{tail_size}> joint{};
    const int from_data = count < tail_size ? count : tail_size;
    std::memcpy(joint.data(), tail.data(), static_cast<std::size_t>(tail_count));
    std::memcpy(joint.data() + tail_count, data, static_cast<std::size_t>(from_data));
    for (int s = 0; !found && s < tail_count && s + end_size <= tail_count + from_data; ++s) {
        found = is_content_end(joint.data() + s);
        dot = s + dot_offset - tail_count;
    }
    // One inside data, found by its ".", which is rare in mail text.
    for (int from = dot_offset; !found && from < count - dot_offset;) {
        const void* hit = std::memchr(data + from, '.', static_cast<std::size_t>(count - dot_offset - from));
        if (hit == nullptr)
            break;
        dot = static_cast<int>(static_cast<const unsigned char*>(hit) - data);
        found = is_content_end(data + dot - dot_offset);
        from = dot + 1;
    }
    if (found) {
        message_bytes = add_saturated(message_bytes, dot);
        end_message();
        return dot + end_size - dot_offset;
    }
    message_bytes = add_saturated(message_bytes, count);
    // Keep the last bytes of tail and data together.
    const int keep = tail_count + count < tail_size ? tail_count + count : tail_size;
    const int keep_from_tail = keep - (count < keep ? count : keep);
    std::memmove(tail.data(), tail.data() + tail_count - keep_from_tail, static_cast<std::size_t>(keep_from_tail));
    std::memcpy(tail.data() + keep_from_tail, data + count - (keep - keep_from_tail),
                static_cast<std::size_t>(keep - keep_from_tail));
    tail_count = keep;
    return count;
}

void on_reply(int code) noexcept
{
    Waiting& first = waiting[waiting_first];
    const Kind kind = first.kind;
    const int transaction = first.transaction;
    const long long bytes = first.bytes;
    if (--first.count == 0) {
        waiting_first = (waiting_first + 1) % waiting_size;
        --waiting_count;
    }
    const bool refusal = code >= 400 && code < 600;
    if (code == 354 && kind != Kind::data && kind != Kind::greeting) {
        lose("a 354 to a command other than DATA");
        return;
    }
    switch (kind) {
    case Kind::greeting:
        session_refused = code < 200 || code >= 300;
        break;
    case Kind::mail:
        if (refusal)
            close_transaction(transaction);
        break;
    case Kind::data:
        if (code == 354) {
            // DATA was the last command (state data_reply): content follows.
            begin_transaction_if_none();
            content_transaction = transactions_begun;
            message_bytes = 0;
            tail = {'\r', '\n'};
            tail_count = 2;
            state = State::content;
        } else {
            close_transaction(transaction);
            state = State::commands;
        }
        break;
    case Kind::bdat:
        if (refusal)
            refused_transaction = transaction;
        break;
    case Kind::message_end:
        if (refusal || refused_transaction == transaction)
            ++counts.refused;
        else if (code >= 200 && code < 300) {
            ++counts.accepted;
            counts.accepted_bytes = add_saturated(counts.accepted_bytes, bytes);
        }
        close_transaction(transaction);
        break;
    case Kind::reset:
        close_transaction(transaction);
        break;
    default:
        break;
    }
}

// The first bytes of the first reply line, the greeting's.
void keep_greeting(const unsigned char* data, int taken, bool complete) noexcept
{
    if (greeting_line_done)
        return;
    const int room = greeting_kept_size - greeting_length;
    if (room > 0)
        std::memcpy(greeting.data() + greeting_length, data, static_cast<std::size_t>(taken < room ? taken : room));
    greeting_length = taken > INT_MAX - greeting_length ? INT_MAX : greeting_length + taken;
    greeting_line_done = complete;
}

// A reply the observer cannot follow; while the greeting is waited for, the
// server has not opened the session either.
void lose_reply(const char* reason) noexcept
{
    if (waiting_count > 0 && waiting[waiting_first].kind == Kind::greeting)
        session_refused = true;
    lose(reason);
}

int take_reply(const unsigned char* data, int count) noexcept
{
    bool complete = false;
    const int taken = take_line(reply, data, count, &complete);
    keep_greeting(data, taken, complete);
    if (reply.length > line_limit) {
        lose_reply("a reply line over 4096 bytes");
        return taken;
    }
    if (!complete)
        return taken;
    const std::string_view text = line_text(reply);
    reply.length = 0;
    if (text.size() < 3 || !ascii_is_digit(text[0]) || !ascii_is_digit(text[1]) || !ascii_is_digit(text[2]) ||
        (text.size() > 3 && text[3] != ' ' && text[3] != '-')) {
        lose_reply("a reply it cannot read");
        return taken;
    }
    const int code = (text[0] - '0') * 100 + (text[1] - '0') * 10 + (text[2] - '0');
    if (waiting_count == 0) {
        // A server may say 421 at any time before it closes (RFC 5321, 3.8).
        if (code != 421)
            lose("a reply with no command waiting");
        return taken;
    }
    if (text.size() == 3 || text[3] == ' ')
        on_reply(code);
    return taken;
}

} // namespace

void observer_start() noexcept
{
    lost_reason = "";
    state = State::commands;
    command.length = 0;
    reply.length = 0;
    waiting_first = 0;
    waiting_count = 0;
    transactions_begun = 0;
    transactions_closed = 0;
    content_transaction = 0;
    ended_transaction = 0;
    refused_transaction = 0;
    provider_ended = false;
    abandoned = false;
    greeting_length = 0;
    greeting_line_done = false;
    session_refused = false;
    quit_crossed = false;
    chunk_left = 0;
    chunk_last = false;
    message_bytes = 0;
    tail_count = 0;
    counts = MailCounts{0, 0, 0, 0, 0};
    wait_for_reply(Kind::greeting, 0);
}

void observer_to_server(const unsigned char* data, int count) noexcept
{
    for (int at = 0; at < count;) {
        const unsigned char* from = data + at;
        const int left = count - at;
        switch (state) {
        case State::commands:
            at += take_command(from, left);
            break;
        case State::data_reply:
            // RFC 2920: DATA ends a group, the client waits for the 354.
            lose("content before the 354");
            return;
        case State::content:
            at += scan_content(from, left);
            break;
        case State::chunk:
            at += take_chunk(left);
            break;
        case State::lost:
            return;
        }
    }
}

void observer_to_provider(const unsigned char* data, int count) noexcept
{
    for (int at = 0; at < count && state != State::lost;)
        at += take_reply(data + at, count - at);
}

bool observer_following() noexcept
{
    return state != State::lost;
}

const char* observer_lost_reason() noexcept
{
    return lost_reason;
}

bool observer_transaction_open() noexcept
{
    return transaction_open();
}

bool observer_content_begun() noexcept
{
    // A message whose end crossed had content; one abandoned has none left.
    return ended_transaction > transactions_closed ||
           (content_transaction > transactions_closed && content_transaction <= last_live());
}

bool observer_end_waiting() noexcept
{
    return ended_transaction > transactions_closed;
}

bool observer_quit_crossed() noexcept
{
    return quit_crossed;
}

bool observer_session_refused() noexcept
{
    return session_refused;
}

int observer_greeting_line(const char** text) noexcept
{
    *text = greeting.data();
    int length = greeting_length;
    // Without its line end, when that was kept; a longer line is cut below.
    if (greeting_line_done && length <= greeting_kept_size) {
        --length; // the LF
        if (length > 0 && greeting[static_cast<std::size_t>(length) - 1] == '\r')
            --length;
    }
    return length < observer_greeting_text_max ? length : observer_greeting_text_max;
}

MailCounts observer_counts() noexcept
{
    return counts;
}
