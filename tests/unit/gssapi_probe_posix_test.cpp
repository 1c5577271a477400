// The GSSAPI probe on a POSIX system, which has no Windows security library.
#include <gtest/gtest.h>

#include "auth/auth_methods.h"

namespace {

TEST(GssapiProbe, StopsAtLoadingTheLibrary)
{
    EXPECT_EQ(probe_gssapi(), 1);
    EXPECT_STREQ(auth_probe_error, "Can't load dll security.dll: 2");
}

} // namespace
