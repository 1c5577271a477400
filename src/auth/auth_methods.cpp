#include "auth/auth_methods.h"

#include <cstdio>

#include "common/ascii.h"
#include "common/settings.h"

AuthMethod auth_methods[auth_method_count] = {
    {AUTH_KIND_CRAM_MD5, "CRAM-MD5", 1, 0},
    {AUTH_KIND_LOGIN, "LOGIN", 1, 0},
};

char auth_probe_error[auth_probe_error_size];

int find_auth_method(const char* name) noexcept
{
    for (int i = 0; i < auth_method_count; ++i) {
        if (ascii_equal_nocase(auth_methods[i].name, name))
            return i;
    }
    return -1;
}

void mark_offered(const char* name) noexcept
{
    for (auto& method : auth_methods) {
        if (ascii_equal_nocase(method.name, name))
            method.offered = 1;
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
                std::printf("Error: %s\n", auth_probe_error);
        }
    }
}
