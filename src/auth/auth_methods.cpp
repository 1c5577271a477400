#include "auth/auth_methods.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "auth/sasl.h"
#include "common/ascii.h"
#include "common/settings.h"

AuthMethod auth_methods[auth_method_count] = {
    {AUTH_KIND_CRAM_MD5, "CRAM-MD5", 1, 0, nullptr, nullptr},
    {AUTH_KIND_LOGIN, "LOGIN", 1, 0, nullptr, nullptr},
    {AUTH_KIND_PLAIN, "PLAIN", 1, 0, &sasl_plain, nullptr},
    {AUTH_KIND_SCRAM_SHA256, "SCRAM-SHA-256", 1, 0, &sasl_scram_sha256, nullptr},
    {AUTH_KIND_SCRAM_SHA256_PLUS, "SCRAM-SHA-256-PLUS", 1, 0, &sasl_scram_sha256, nullptr},
};

static_assert([] {
    bool seen[auth_method_count] = {};
    for (const int i : auth_preference) {
        if (i < 0 || i >= auth_method_count || seen[i])
            return false;
        seen[i] = true;
    }
    return true;
}(), "auth_preference names every method once");

char auth_probe_error[auth_probe_error_size];

int find_auth_method(const char* name) noexcept
{
    for (int i = 0; i < auth_method_count; ++i) {
        if (ascii_equal_nocase(auth_methods[i].name, name))
            return i;
    }
    return -1;
}

bool auth_kind_offered(std::int32_t kind) noexcept
{
    return std::any_of(std::begin(auth_methods), std::end(auth_methods),
                       [kind](const AuthMethod& method) { return method.kind == kind && method.offered == 1; });
}

void mark_offered(const char* name) noexcept
{
    for (auto& method : auth_methods) {
        if (ascii_equal_nocase(method.name, name))
            method.offered = 1;
    }
}

void set_auth_unusable(std::int32_t kind, const char* reason) noexcept
{
    for (auto& method : auth_methods) {
        if (method.kind == kind) {
            method.usable = 0;
            method.unusable = reason;
        }
    }
}

void probe_auth_methods(int list)
{
    for (auto& method : auth_methods) {
        if (method.kind == AUTH_KIND_GSSAPI) {
            if (probe_gssapi() != 0) {
                method.usable = 0;
            } else {
                if (settings.verbose != 0)
                    std::printf(" GSSAPI auth support initialized successfully\n");
                method.usable = 1;
            }
        }
        if (list != 0) {
            std::printf(" %s: ", method.name);
            if (method.usable == 1)
                std::printf("OK\n");
            else
                std::printf("Error: %s\n", method.unusable != nullptr ? method.unusable : auth_probe_error);
        }
    }
}
