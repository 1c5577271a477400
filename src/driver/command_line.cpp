#include "driver/command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/exit_codes.h"
#include "common/settings.h"

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
        if (arg[2] != '\0') { // glued: -a366
            *value = arg + 2;
            ++option_index;
        } else if (option_index + 1 < argc && !is_prefix(argv[option_index + 1][0])) {
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
            } else if (positionals == 2) {
                settings.secret = value;
            } else {
                if (settings.domain_count == max_domains) {
                    std::fprintf(stderr, "Too many domains in command line (max %d)\n", max_domains);
                    std::exit(static_cast<int>(ExitCode::usage));
                }
                settings.domains[settings.domain_count++] = value;
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
        case OPTION_INVALID:
            std::fprintf(stderr, "Invalid argument: %s\n", value);
            usage_only();
        default: // only ':' can get here; it means nothing
            break;
        }
    }

    if (positionals < 3)
        usage_only();
    if (settings.atrn_port < 0)
        settings.atrn_port = settings.iis_mode != 0 ? 25 : 366;
    if (settings.ehlo_domain == nullptr)
        settings.ehlo_domain = settings.domain_count > 0 ? settings.domains[0] : default_ehlo_domain;
}
