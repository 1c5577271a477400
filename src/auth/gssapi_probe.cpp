#include <cerrno>
#include <cstdio>

#include "auth/auth_methods.h"

// GSSAPI goes through the Windows Security Support Provider Interface, loaded
// at run time from security.dll. No such library exists on a POSIX system, so
// the probe stops at its first step, loading the library, as it would on a
// Windows machine without the file: with the "not found" code of this system.
// No entry of the method table uses the GSSAPI kind, so the run never calls
// this; the message is what the method listing would show.
int probe_gssapi()
{
    static constexpr const char* library = "security.dll";
    std::snprintf(auth_probe_error, sizeof auth_probe_error, "Can't load dll %s: %u", library,
                  static_cast<unsigned>(ENOENT));
    return 1;
}
