#include <cstddef>
#include <cstring>

#include "common/ascii.h"
#include "auth/auth_methods.h"
#include "common/settings.h"

namespace {

// Keywords and mechanism names are compared on their first 30 characters.
constexpr std::size_t keyword_max = 30;

// A position in the reply and the count of characters left from it; no test
// reads beyond what is left.
struct Cursor {
    const char* at;
    std::size_t left;

    [[nodiscard]] char peek() const noexcept { return *at; }
    void advance() noexcept
    {
        ++at;
        --left;
    }
};

[[nodiscard]] bool is_line_end(char c) noexcept
{
    return c == '\r' || c == '\n';
}

// Advances to the next CR or LF, then over the run of CR and LF.
void skip_line(Cursor& c) noexcept
{
    while (c.left > 0 && !is_line_end(c.peek()))
        c.advance();
    while (c.left > 0 && is_line_end(c.peek()))
        c.advance();
}

[[nodiscard]] bool has_crlf(const Cursor& c) noexcept
{
    for (std::size_t i = 0; i + 1 < c.left; ++i) {
        if (c.at[i] == '\r' && c.at[i + 1] == '\n')
            return true;
    }
    return false;
}

// Reads a word up to TAB, space, CR or LF (not consumed) or the end; keeps its
// first keyword_max characters in `word`, NUL-terminated.
void read_word(Cursor& c, char (&word)[keyword_max + 1]) noexcept
{
    std::size_t n = 0;
    while (c.left > 0) {
        const char ch = c.peek();
        if (ch == '\t' || ch == ' ' || is_line_end(ch))
            break;
        if (n < keyword_max)
            word[n++] = ch;
        c.advance();
    }
    word[n] = '\0';
}

// The mechanism list after AUTH (RFC 4954): names separated by spaces. A name
// that the text ends right after is dropped; CR, LF or TAB ends the list.
void read_mechanisms(Cursor& c) noexcept
{
    char name[keyword_max + 1];
    for (;;) {
        while (c.left > 0 && (c.peek() == ' ' || c.peek() == '\t'))
            c.advance();
        if (c.left == 0)
            return;
        read_word(c, name);
        if (c.left == 0)
            return;
        mark_offered(name);
        if (c.peek() != ' ')
            return;
    }
}

// A reply line (RFC 5321, 4.2): three digits, then a space or "-".
[[nodiscard]] bool is_reply_line(const Cursor& c) noexcept
{
    return c.left >= 4 && ascii_is_digit(c.at[0]) && ascii_is_digit(c.at[1]) &&
           ascii_is_digit(c.at[2]) && (c.at[3] == ' ' || c.at[3] == '-');
}

// Calls on_keyword(keyword, cursor after it) for the keyword of every line.
template <typename OnKeyword>
void scan_keywords(const char* reply, OnKeyword on_keyword) noexcept
{
    Cursor c{reply, std::strlen(reply)};
    skip_line(c); // the first line names the server and holds no keyword

    // A line is examined only once its CR LF is there; the first line that
    // does not look like a reply line ends the scan.
    while (c.left >= 2 && has_crlf(c) && is_reply_line(c)) {
        for (int i = 0; i < 4; ++i)
            c.advance();
        char keyword[keyword_max + 1];
        read_word(c, keyword);
        if (c.left == 0)
            break;
        on_keyword(keyword, c);
        skip_line(c);
    }
}

} // namespace

bool ehlo_reply_lists(const char* reply, const char* keyword) noexcept
{
    bool seen = false;
    scan_keywords(reply, [&seen, keyword](const char* listed, Cursor&) {
        if (ascii_equal_nocase(listed, keyword))
            seen = true;
    });
    return seen;
}

int parse_ehlo_reply(const char* reply)
{
    for (auto& method : auth_methods)
        method.offered = 0;

    bool atrn_seen = false;
    scan_keywords(reply, [&atrn_seen](const char* keyword, Cursor& c) {
        if (ascii_equal_nocase(keyword, "ATRN"))
            atrn_seen = true;
        else if (ascii_equal_nocase(keyword, "AUTH"))
            read_mechanisms(c);
    });

    return atrn_seen || settings.iis_mode != 0 ? 1 : 0;
}
