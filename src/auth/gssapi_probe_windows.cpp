// GSSAPI through the Windows Security Support Provider Interface, loaded at
// run time from security.dll and asked about the kerberos package. No entry
// of the method table uses the GSSAPI kind, so a run never calls this; the
// method listing shows what it finds.
#define SECURITY_WIN32
#include <windows.h>
#include <security.h>

#include <cstdio>

#include "auth/auth_methods.h"
#include "auth/gssapi_probe_windows.h"

namespace {

// Kept for the life of the process: the library is never unloaded.
HMODULE security_library;
PSecurityFunctionTableA security_functions;
std::uint32_t kerberos_max_token;

} // namespace

int probe_security_package(const char* library, const char* entry, const char* package,
                           std::uint32_t* max_token)
{
    const HMODULE module = LoadLibraryA(library);
    if (module == nullptr) {
        std::snprintf(auth_probe_error, sizeof auth_probe_error, "Can't load dll %s: %u", library,
                      static_cast<unsigned>(GetLastError()));
        return 1;
    }
    const FARPROC address = GetProcAddress(module, entry);
    if (address == nullptr) {
        std::snprintf(auth_probe_error, sizeof auth_probe_error, "Cannot get security entry routine: %u",
                      static_cast<unsigned>(GetLastError()));
        return 1;
    }
    // Through the generic function type, which any function pointer may be
    // cast to and from.
    const auto init = reinterpret_cast<INIT_SECURITY_INTERFACE_A>(reinterpret_cast<void (*)()>(address));
    const PSecurityFunctionTableA functions = init();
    if (functions == nullptr) {
        std::snprintf(auth_probe_error, sizeof auth_probe_error, "Couldn't init package in %s\n", library);
        return 1;
    }
    char name[64];
    std::snprintf(name, sizeof name, "%s", package);
    PSecPkgInfoA info = nullptr;
    const SECURITY_STATUS status = functions->QuerySecurityPackageInfoA(name, &info);
    if (status != 0 || info == nullptr) {
        std::snprintf(auth_probe_error, sizeof auth_probe_error, "Couldn't query package info for %s, error %u\n",
                      package, static_cast<unsigned>(status));
        return 1;
    }
    *max_token = info->cbMaxToken;
    functions->FreeContextBuffer(info);
    security_library = module;
    security_functions = functions;
    return 0;
}

int probe_gssapi()
{
    return probe_security_package("security.dll", "InitSecurityInterfaceA", "kerberos", &kerberos_max_token);
}
