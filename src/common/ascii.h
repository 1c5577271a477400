// Locale-free ASCII helpers: names from the server and from the command line
// are compared without regard to ASCII letter case, and nothing else.
#pragma once

[[nodiscard]] constexpr char ascii_lower(char c) noexcept
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

[[nodiscard]] constexpr bool ascii_is_digit(char c) noexcept
{
    return c >= '0' && c <= '9';
}

// Whole NUL-terminated texts, equal but for ASCII letter case.
[[nodiscard]] constexpr bool ascii_equal_nocase(const char* a, const char* b) noexcept
{
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (ascii_lower(*a) != ascii_lower(*b))
            return false;
    }
    return *a == *b;
}
