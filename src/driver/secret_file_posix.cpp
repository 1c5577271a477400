#include "driver/secret_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "auth/md5.h"

namespace {

// Reads until the first LF, the end of the file or a full buffer. Returns
// the count of bytes in the buffer, or -1.
long read_first_line(int fd, char* buffer, std::size_t size) noexcept
{
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t n = read(fd, buffer + filled, size - filled);
        if (n < 0 && errno == EINTR)
            continue;
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

// Opens the file at `path` for reading when it is a regular file: the
// descriptor with its status, or -1 with *refusal (unreadable, errno set, or
// not_regular).
int open_regular_file(const char* path, struct stat* status, SecretFile* refusal) noexcept
{
    // Without O_NONBLOCK, opening a FIFO would wait for a writer for ever;
    // on a regular file it changes nothing.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    *refusal = SecretFile::unreadable;
    if (fd < 0)
        return -1;
    if (fstat(fd, status) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    if (!S_ISREG(status->st_mode)) {
        close(fd);
        *refusal = SecretFile::not_regular;
        return -1;
    }
    return fd;
}

} // namespace

const char secret_file_open_advice[] = "open to its group or others: chmod 600 it";

SecretFile check_regular_file(const char* path) noexcept
{
    struct stat status {};
    SecretFile refusal = SecretFile::unreadable;
    const int fd = open_regular_file(path, &status, &refusal);
    if (fd < 0)
        return refusal;
    close(fd);
    return SecretFile::read;
}

SecretFile read_secret_file(const char* path, char* buffer, std::size_t size) noexcept
{
    struct stat status {};
    SecretFile refusal = SecretFile::unreadable;
    const int fd = open_regular_file(path, &status, &refusal);
    if (fd < 0)
        return refusal;
    // As ssh refuses a private key that others may read: the secret may
    // already have leaked, and the user should know.
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        close(fd);
        return SecretFile::open_to_others;
    }
    const long filled = read_first_line(fd, buffer, size);
    const int saved = errno;
    close(fd);
    if (filled < 0) {
        secure_wipe(buffer, static_cast<std::uint32_t>(size));
        errno = saved;
        return SecretFile::unreadable;
    }
    return keep_first_line(buffer, size, static_cast<std::size_t>(filled));
}
