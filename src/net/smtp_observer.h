// Watches the SMTP session that the relay carries (RFC 5321, with
// PIPELINING, RFC 2920, and CHUNKING, RFC 3030), to tell what became of the
// mail. It is fed the bytes as they cross the relay, in any pieces, and never
// changes, delays or holds back one; it allocates nothing. The relay feeds
// it; the driver asks it at the end of a pickup.
//
// What it cannot follow (STARTTLS or AUTH on the turned line, a command or
// reply line over 4096 bytes with its CR LF, content before a 354, a reply
// with no command waiting, a reply line that does not begin with three
// digits, a 354 to a command other than DATA, a BDAT size it cannot read,
// more commands waiting than it holds) makes it stop following for the rest
// of the session: its counts are then unknown, and what it last knew of the
// session stands. A 421 with no command waiting is the server's notice that
// it closes (RFC 5321, 3.8), and changes nothing.
#pragma once

// Messages whose end crossed the relay, and what the SMTP server said to it.
struct MailCounts {
    int relayed;    // their end passed through (the "." line, or the last BDAT chunk)
    int accepted;   // of those, answered 2xx by the SMTP server
    int refused;    // answered 4xx or 5xx
    long long bytes; // their content: DATA as it crossed (dot-stuffed, without
                     // the final "." line), BDAT the chunk sizes
    long long accepted_bytes; // the content of those accepted
};

// How much of the greeting's first line observer_greeting_line gives.
inline constexpr int observer_greeting_text_max = 120;

// Starts watching a new session, whose first reply is the SMTP server's
// greeting.
void observer_start() noexcept;

// Bytes that were sent on to the SMTP server (the provider's commands and
// content) and to the provider (the SMTP server's replies): each direction
// in order, in any pieces, each piece once it has been sent, so that a reply
// is fed before anything the provider sends after reading it. A count of 0
// or less does nothing.
void observer_to_server(const unsigned char* data, int count) noexcept;
void observer_to_provider(const unsigned char* data, int count) noexcept;

// Whether it still follows the session; once not, never again until the
// next observer_start. observer_lost_reason() then names why, as one of the
// phrases "STARTTLS on the turned line", "AUTH on the turned line", "a
// command line over 4096 bytes", "a reply line over 4096 bytes", "content
// before the 354", "a reply with no command waiting", "a reply it cannot
// read", "a 354 to a command other than DATA", "a BDAT size it cannot read",
// "too many commands waiting for replies"; "" while following.
[[nodiscard]] bool observer_following() noexcept;
[[nodiscard]] const char* observer_lost_reason() noexcept;

// A transaction is open from the provider's MAIL until the SMTP server's
// reply to the end of its content, to RSET (or a new EHLO or HELO), or a
// refusal that ends it (of MAIL, of DATA) has been sent on to the provider,
// or until QUIT crosses before the end of its content (RFC 5321, 4.1.1.10):
// a message whose end crossed before the QUIT waits for its reply. A refused
// BDAT that is not the LAST leaves it open: the message is then counted
// refused. Its content has begun after a 354, or with the message's first
// BDAT. A 354 or BDAT outside any transaction opens one: the server takes
// content. Once not following, as it last stood.
[[nodiscard]] bool observer_transaction_open() noexcept;
[[nodiscard]] bool observer_content_begun() noexcept;

// Whether a message's end (the "." line, or the last byte of a LAST chunk)
// has crossed and the SMTP server's reply to it has not been passed on yet.
// Once not following, as it last stood.
[[nodiscard]] bool observer_end_waiting() noexcept;

// Whether the provider's QUIT has crossed to the SMTP server. Kept once not
// following.
[[nodiscard]] bool observer_quit_crossed() noexcept;

// Whether the SMTP server refused the session: its greeting was not 2xx, or
// could not be read. observer_greeting_line() then gives the greeting's first
// line as it came, without its line end and cut to
// observer_greeting_text_max bytes: its length, and *text pointing at it.
// Kept once not following.
[[nodiscard]] bool observer_session_refused() noexcept;
[[nodiscard]] int observer_greeting_line(const char** text) noexcept;

// The counts of this session so far; frozen once not following. Bytes are
// those of messages whose end crossed; a message cut off counts nothing.
[[nodiscard]] MailCounts observer_counts() noexcept;
