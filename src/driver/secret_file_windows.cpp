#include "driver/secret_file.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "auth/md5.h"

namespace {

// Reads until the first LF, the end of the file or a full buffer. Returns
// the count of bytes in the buffer, or -1.
long read_first_line(int fd, char* buffer, std::size_t size) noexcept
{
    std::size_t filled = 0;
    while (filled < size) {
        std::size_t want = size - filled;
        if (want > INT_MAX) // what one _read can report
            want = INT_MAX;
        const int n = _read(fd, buffer + filled, static_cast<unsigned int>(want));
        if (n < 0)
            return -1;
        if (n == 0 || std::memchr(buffer + filled, '\n', static_cast<std::size_t>(n)) != nullptr) {
            filled += static_cast<std::size_t>(n);
            break;
        }
        filled += static_cast<std::size_t>(n);
    }
    return static_cast<long>(filled);
}

} // namespace

SecretFile read_secret_file(const char* path, char* buffer, std::size_t size) noexcept
{
    // Binary mode: the line end is taken off below, CR LF or LF alike, not
    // translated by the C library.
    const int fd = _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0)
        return SecretFile::unreadable;
    // Not checked here yet: who else may read the file. On Windows that is
    // the file's security descriptor (its DACL), not mode bits, so
    // SecretFile::open_to_others never comes from this file for now; the
    // README tells users to restrict the file with icacls meanwhile.
    const long filled = read_first_line(fd, buffer, size);
    const int saved = errno;
    _close(fd);
    if (filled < 0) {
        secure_wipe(buffer, static_cast<std::uint32_t>(size));
        errno = saved;
        return SecretFile::unreadable;
    }
    return keep_first_line(buffer, size, static_cast<std::size_t>(filled));
}
