// What the Winsock socket layer decides on its own, open to its tests: the
// judgement of the versions WSAStartup granted, and where one argument stands
// in the process's command line.
#pragma once

#include <cstddef>

#include <winsock2.h>

#include "socket/socket_layer.h"

// The granted version (wVersion) and the highest supported (wHighVersion):
// the major number in the low-order byte, the minor in the high-order one.
[[nodiscard]] SockVersion sock_versions_granted(const WSADATA& data) noexcept;

// The characters [*begin, *end) that argument `index` takes in a command
// line, split as the C runtime splits it into the argument vector (the
// program name up to its closing quote or the first blank; then blanks
// between arguments, quotes that group, backslashes that escape a quote).
// False when the line has fewer arguments.
[[nodiscard]] bool sock_argument_span(const char* line, int index, std::size_t* begin, std::size_t* end) noexcept;
[[nodiscard]] bool sock_argument_span(const wchar_t* line, int index, std::size_t* begin,
                                      std::size_t* end) noexcept;
