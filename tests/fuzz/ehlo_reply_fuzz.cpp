// parse_ehlo_reply and ehlo_reply_lists on any text (the first input byte
// sets IIS mode). They must never read past the text, and the offered flags,
// the verdict and the keywords listed must agree with a slow, obvious reading
// of the same text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "auth/auth_methods.h"
#include "common/settings.h"

namespace {

std::string upper(std::string s)
{
    for (char& c : s)
        c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    return s;
}

bool separator(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The reply read line by line with std::string: which names are offered,
// and whether ATRN and STARTTLS were listed.
struct Expected {
    bool cram = false, login = false, plain = false, scram = false, scram_plus = false, atrn = false,
         starttls = false;
};

Expected reference(const std::string& t)
{
    Expected e;
    std::size_t p = t.find_first_of("\r\n");
    if (p == std::string::npos)
        return e;
    p = t.find_first_not_of("\r\n", p);
    while (p != std::string::npos && p < t.size()) {
        const std::string rest = t.substr(p);
        if (rest.find("\r\n") == std::string::npos || rest.size() < 4)
            break;
        if (!(std::isdigit(static_cast<unsigned char>(rest[0])) && std::isdigit(static_cast<unsigned char>(rest[1])) &&
              std::isdigit(static_cast<unsigned char>(rest[2])) && (rest[3] == ' ' || rest[3] == '-')))
            break;
        p += 4;
        std::size_t end = p;
        while (end < t.size() && !separator(t[end]))
            ++end;
        if (end == t.size())
            break;
        const std::string keyword = upper(t.substr(p, std::min<std::size_t>(end - p, 30)));
        p = end;
        e.starttls = e.starttls || keyword == "STARTTLS";
        if (keyword == "ATRN") {
            e.atrn = true;
        } else if (keyword == "AUTH") {
            for (;;) {
                while (p < t.size() && (t[p] == ' ' || t[p] == '\t'))
                    ++p;
                if (p == t.size())
                    break;
                std::size_t name_end = p;
                while (name_end < t.size() && !separator(t[name_end]))
                    ++name_end;
                if (name_end == t.size())
                    break;
                const std::string name = upper(t.substr(p, std::min<std::size_t>(name_end - p, 30)));
                p = name_end;
                e.cram = e.cram || name == "CRAM-MD5";
                e.login = e.login || name == "LOGIN";
                e.plain = e.plain || name == "PLAIN";
                e.scram = e.scram || name == "SCRAM-SHA-256";
                e.scram_plus = e.scram_plus || name == "SCRAM-SHA-256-PLUS";
                if (t[p] != ' ')
                    break;
            }
        }
        p = t.find_first_of("\r\n", p);
        if (p == std::string::npos)
            break;
        p = t.find_first_not_of("\r\n", p);
    }
    return e;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    settings.iis_mode = data[0] & 1;
    // An exact-size copy, so that reading past its NUL is caught.
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    text = text.substr(0, std::strlen(text.c_str()));
    char* exact = new char[text.size() + 1];
    std::memcpy(exact, text.c_str(), text.size() + 1);
    const int verdict = parse_ehlo_reply(exact);
    const bool lists_atrn = ehlo_reply_lists(exact, "atrn");
    const bool lists_starttls = ehlo_reply_lists(exact, "STARTTLS");
    delete[] exact;

    const Expected e = reference(text);
    const bool offered[auth_method_count] = {e.cram, e.login, e.plain, e.scram, e.scram_plus};
    for (int i = 0; i < auth_method_count; ++i) {
        if ((auth_methods[i].offered == 1) != offered[i])
            std::abort();
    }
    if (lists_atrn != e.atrn || lists_starttls != e.starttls)
        std::abort();
    if (verdict != ((e.atrn || settings.iis_mode) ? 1 : 0))
        std::abort();
    return 0;
}
