// The GSSAPI probe against the real security library, and each failing step
// with its own message and number.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "auth/auth_methods.h"
#include "auth/gssapi_probe_windows.h"

namespace {

TEST(GssapiProbe, KerberosPackageIsFound)
{
    EXPECT_EQ(probe_gssapi(), 0) << auth_probe_error;
    std::uint32_t max_token = 0;
    ASSERT_EQ(probe_security_package("security.dll", "InitSecurityInterfaceA", "kerberos", &max_token), 0)
        << auth_probe_error;
    EXPECT_GT(max_token, 0u);
}

struct FailureCase {
    const char* library;
    const char* entry;
    const char* package;
    std::string message;
};

TEST(GssapiProbe, EachFailingStepHasItsMessage)
{
    const FailureCase cases[] = {
        {"no-such-library.dll", "InitSecurityInterfaceA", "kerberos",
         "Can't load dll no-such-library.dll: " + std::to_string(ERROR_MOD_NOT_FOUND)},
        {"kernel32.dll", "InitSecurityInterfaceA", "kerberos",
         "Cannot get security entry routine: " + std::to_string(ERROR_PROC_NOT_FOUND)},
        {"security.dll", "InitSecurityInterfaceA", "no-such-package",
         "Couldn't query package info for no-such-package, error " +
             std::to_string(static_cast<unsigned>(SEC_E_SECPKG_NOT_FOUND)) + "\n"},
    };
    for (const FailureCase& c : cases) {
        std::uint32_t max_token = 0;
        EXPECT_EQ(probe_security_package(c.library, c.entry, c.package, &max_token), 1) << c.message;
        EXPECT_EQ(std::string(auth_probe_error), c.message);
        EXPECT_EQ(max_token, 0u);
    }
}

} // namespace
