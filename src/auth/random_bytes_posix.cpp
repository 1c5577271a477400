#include <cerrno>

#include <sys/random.h>

#include "auth/random_bytes.h"

bool random_bytes(unsigned char* out, std::size_t size) noexcept
{
    // Requests of up to 256 bytes are never cut short once the pool is
    // ready (getrandom(2)); EINTR can only come while it is not.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const ssize_t got = getrandom(out, size, 0);
        if (got == static_cast<ssize_t>(size))
            return true;
        if (got >= 0 || errno != EINTR)
            return false;
    }
    return false;
}
