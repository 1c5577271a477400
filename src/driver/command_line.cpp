#include "driver/command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/ascii.h"
#include "common/settings.h"
#include "driver/exit_codes.h"
#include "tls/tls.h"

int option_index = 1;

namespace {

[[nodiscard]] bool is_prefix(char c) noexcept
{
    return c == '-' || c == '/';
}

// Letters, digits and punctuation of 7-bit ASCII: what may name an option.
// Every other byte, NUL and 8-bit bytes included, makes the argument invalid.
[[nodiscard]] bool is_option_character(char c) noexcept
{
    const auto u = static_cast<unsigned char>(c);
    return u > ' ' && u < 0x7f;
}

[[noreturn]] void usage_error(const char* message)
{
    std::fputs(message, stderr);
    std::exit(static_cast<int>(ExitCode::usage));
}

[[noreturn]] void usage_only()
{
    print_usage();
    std::exit(static_cast<int>(ExitCode::usage));
}

// A number: the whole value, in base 10 (leading blanks and one sign
// allowed), from 1 to `highest`; -1 otherwise.
[[nodiscard]] int parse_number(const char* value, long highest) noexcept
{
    if (value == nullptr)
        return -1;
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(value, &end, 10);
    if (end == value || *end != '\0' || number < 1 || number > highest)
        return -1;
    return static_cast<int>(number);
}

[[nodiscard]] int parse_port(const char* value) noexcept
{
    return parse_number(value, 0xffff);
}

// A value of a text option; an empty one counts as missing.
[[nodiscard]] bool has_text(const char* value) noexcept
{
    return value != nullptr && value[0] != '\0';
}

// A SHA-256 fingerprint: 64 hex digits in any letter case, colons anywhere
// between them ignored.
[[nodiscard]] bool parse_fingerprint(const char* value, unsigned char* pin) noexcept
{
    if (value == nullptr)
        return false;
    int digits = 0;
    for (const char* p = value; *p != '\0'; ++p) {
        if (*p == ':')
            continue;
        const char c = ascii_lower(*p);
        int nibble = -1;
        if (ascii_is_digit(c))
            nibble = c - '0';
        else if (c >= 'a' && c <= 'f')
            nibble = c - 'a' + 10;
        if (nibble < 0 || digits == 2 * pin_size)
            return false;
        if (digits % 2 == 0)
            pin[digits / 2] = static_cast<unsigned char>(nibble << 4);
        else
            pin[digits / 2] = static_cast<unsigned char>(pin[digits / 2] | nibble);
        ++digits;
    }
    return digits == 2 * pin_size;
}

[[noreturn]] void tls_not_available()
{
    usage_error("TLS is not available in this build\n");
}

void add_domain(const char* domain)
{
    if (settings.domain_count == max_domains) {
        std::fprintf(stderr, "Too many domains in command line (max %d)\n", max_domains);
        std::exit(static_cast<int>(ExitCode::usage));
    }
    settings.domains[settings.domain_count++] = domain;
}

// With -k the secret comes from its file: every positional after the user
// is a domain, also one read as the secret before -k was seen.
void take_secret_from_file()
{
    if (settings.secret == nullptr)
        return;
    add_domain(settings.secret); // checks the room
    for (int i = settings.domain_count - 1; i > 0; --i)
        settings.domains[i] = settings.domains[i - 1];
    settings.domains[0] = settings.secret;
    settings.secret = nullptr;
}

// Certificate options are refused where they would protect nothing.
void check_tls_options()
{
    if (settings.ca_file != nullptr && settings.pin_set != 0)
        usage_error("Give -c or -f, not both: trust a CA or pin one certificate\n");
    if (settings.starttls != 0 && settings.tls_on_connect != 0)
        usage_error("-e and -E cannot be used together\n");
    if ((settings.ca_file != nullptr || settings.pin_set != 0) && settings.starttls == 0 &&
        settings.tls_on_connect == 0)
        usage_error("-c and -f need -e or -E: without TLS no certificate is checked\n");
}

} // namespace

int next_option(int argc, const char* const* argv, const char* options, const char** value) noexcept
{
    *value = nullptr;
    if (option_index >= argc) {
        ++option_index;
        return OPTION_END;
    }
    const char* arg = argv[option_index];
    if (!is_prefix(arg[0])) {
        ++option_index;
        *value = arg;
        return OPTION_POSITIONAL;
    }
    const char c = arg[1];
    const char* entry = is_option_character(c) ? std::strchr(options, c) : nullptr;
    if (entry == nullptr) {
        ++option_index;
        *value = arg;
        return OPTION_INVALID;
    }
    if (entry[1] == ':') {
        const bool names_file = entry[2] == ':';
        const char* next = option_index + 1 < argc ? argv[option_index + 1] : nullptr;
        if (arg[2] != '\0') { // glued: -a366
            *value = arg + 2;
            ++option_index;
        } else if (next != nullptr && (names_file ? next[0] != '-' : !is_prefix(next[0]))) {
            *value = argv[option_index + 1];
            option_index += 2;
        } else {
            ++option_index;
        }
        return static_cast<unsigned char>(c);
    }
    // A flag: anything after its letter is ignored, so -vm is -v.
    ++option_index;
    return static_cast<unsigned char>(c);
}

void parse_command_line(int argc, const char* const* argv)
{
    int positionals = 0;
    const char* value = nullptr;
    int option = next_option(argc, argv, option_string, &value);
    if (option == OPTION_END)
        usage_only();

    for (; option != OPTION_END; option = next_option(argc, argv, option_string, &value)) {
        switch (option) {
        case OPTION_POSITIONAL:
            if (positionals == 0) {
                settings.server = value;
            } else if (positionals == 1) {
                settings.user = value;
            } else if (positionals == 2 && settings.secret_file == nullptr) {
                settings.secret = value;
            } else {
                add_domain(value);
            }
            ++positionals;
            break;
        case 'a':
            settings.atrn_port = parse_port(value);
            if (settings.atrn_port < 0)
                usage_error("You must specify a valid port number after -a\n");
            break;
        case 'p':
            settings.smtp_port = parse_port(value);
            if (settings.smtp_port < 0)
                usage_error("You must specify a valid port number after -p\n");
            break;
        case 's':
            if (!has_text(value))
                usage_error("You must specify an IP address or a hostname after -s\n");
            settings.smtp_host = value;
            break;
        case 't':
            if (!has_text(value))
                usage_error("You must specify a valid AUTH method after -t.\n"
                            "Use quiln -? to see the list of valid AUTH methods\n");
            settings.forced_auth = value;
            break;
        case 'h':
            if (!has_text(value))
                usage_error("You must specify a domain name after -h\n");
            settings.ehlo_domain = value;
            break;
        case 'r':
            settings.pickup_limit = parse_number(value, pickup_limit_max);
            if (settings.pickup_limit < 0)
                usage_error("You must specify a number of pickups from 1 to 1000 after -r\n");
            break;
        case 'i':
            settings.relay_idle_seconds = parse_number(value, relay_idle_seconds_max);
            if (settings.relay_idle_seconds < 0)
                usage_error("You must specify an idle time-out from 1 to 3600 seconds after -i\n");
            break;
        case 'm':
            settings.iis_mode = 1;
            break;
        case 'v':
            settings.verbose = 1;
            break;
        case 'e':
            if (!tls_available())
                tls_not_available();
            settings.starttls = 1;
            break;
        case 'E':
            if (!tls_available())
                tls_not_available();
            settings.tls_on_connect = 1;
            break;
        case 'c':
            if (!tls_available())
                tls_not_available();
            if (!has_text(value))
                usage_error("You must specify a file of CA certificates after -c\n");
            settings.ca_file = value;
            break;
        case 'f':
            if (!tls_available())
                tls_not_available();
            if (!parse_fingerprint(value, settings.pin))
                usage_error("You must specify a SHA-256 fingerprint (64 hex digits) after -f\n");
            settings.pin_set = 1;
            break;
        case 'k':
            if (!has_text(value))
                usage_error("You must specify the file that holds the secret after -k\n");
            settings.secret_file = value;
            break;
        case 'l':
            settings.system_log = 1;
            break;
        case OPTION_INVALID:
            std::fprintf(stderr, "Invalid argument: %s\n", value);
            usage_only();
        default: // only ':' can get here; it means nothing
            break;
        }
    }

    if (settings.secret_file != nullptr)
        take_secret_from_file();
    if (positionals < (settings.secret_file != nullptr ? 2 : 3))
        usage_only();
    check_tls_options();
    if (settings.atrn_port < 0)
        settings.atrn_port = settings.iis_mode != 0 ? 25 : 366;
    if (settings.ehlo_domain == nullptr)
        settings.ehlo_domain = settings.domain_count > 0 ? settings.domains[0] : default_ehlo_domain;
}
