// The GSSAPI probe on Windows, open to its tests: the same steps with the
// library, its entry point and the package named by the caller.
#pragma once

#include <cstdint>

// Loads `library`, calls its `entry` (an InitSecurityInterfaceA) and asks the
// function table it returns about `package`. Returns 0 with the package's
// maximum token size in *max_token, or 1 with the reason in
// auth_probe_error: "Can't load dll %s: %u", "Cannot get security entry
// routine: %u", "Couldn't init package in %s\n", "Couldn't query package
// info for %s, error %u\n".
[[nodiscard]] int probe_security_package(const char* library, const char* entry, const char* package,
                                         std::uint32_t* max_token);
