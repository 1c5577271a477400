#include "driver/secret_file.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "auth/md5.h"
#include "driver/access_list_windows.h"

namespace {

// The user this process runs as, and the DACL of the file: a SID is at most
// SECURITY_MAX_SID_SIZE bytes, an ACL at most 64 KiB.
alignas(TOKEN_USER) unsigned char token_user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
alignas(SECURITY_DESCRIPTOR_RELATIVE) unsigned char descriptor[sizeof(SECURITY_DESCRIPTOR_RELATIVE) + 65536];

SecretFile failed_to_tell() noexcept
{
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    return SecretFile::unreadable;
}

// Whether users other than this one may use the file open as `fd`: read when
// only this user, SYSTEM and the Administrators may. When Windows cannot tell,
// the file is not read either (unreadable, errno set): its access list is not
// known to be open, so "chmod 600 it" would be the wrong advice.
SecretFile check_access(int fd) noexcept
{
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == FALSE)
        return failed_to_tell();
    DWORD needed = 0;
    const BOOL known = GetTokenInformation(token, TokenUser, token_user, sizeof token_user, &needed);
    const DWORD error = GetLastError();
    CloseHandle(token);
    if (known == FALSE) {
        SetLastError(error);
        return failed_to_tell();
    }
    // Judged on the handle, not the name, so that it is the file read below.
    // _open asked for GENERIC_READ, which holds READ_CONTROL. The C library
    // hands the handle out as an integer.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (GetKernelObjectSecurity(file, DACL_SECURITY_INFORMATION, descriptor, sizeof descriptor, &needed) == FALSE)
        return failed_to_tell();
    const PSID user = reinterpret_cast<const TOKEN_USER*>(token_user)->User.Sid;
    return access_list_open_to_others(descriptor, user) ? SecretFile::open_to_others : SecretFile::read;
}

// Whether the handle is of a file of data on a disk: not a directory, pipe,
// console or other device, where a read may wait for ever.
bool is_disk_file(HANDLE file) noexcept
{
    BY_HANDLE_FILE_INFORMATION information{};
    return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &information) != FALSE &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

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

// Opens the file at `path` for reading when it is a file of data on a disk:
// the descriptor, or -1 with *refusal (unreadable, errno set, or
// not_regular).
int open_regular_file(const char* path, SecretFile* refusal) noexcept
{
    // Binary mode: the line end is taken off by the reader, CR LF or LF
    // alike, not translated by the C library.
    const int fd = _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    *refusal = SecretFile::unreadable;
    if (fd < 0) {
        // The C library opens no directory: it fails as access denied.
        const int error = errno;
        const DWORD attributes = GetFileAttributesA(path);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            *refusal = SecretFile::not_regular;
        errno = error;
        return -1;
    }
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    if (!is_disk_file(reinterpret_cast<HANDLE>(_get_osfhandle(fd)))) {
        _close(fd);
        *refusal = SecretFile::not_regular;
        return -1;
    }
    return fd;
}

} // namespace

SecretFile check_regular_file(const char* path) noexcept
{
    SecretFile refusal = SecretFile::unreadable;
    const int fd = open_regular_file(path, &refusal);
    if (fd < 0)
        return refusal;
    _close(fd);
    return SecretFile::read;
}

const char secret_file_open_advice[] =
    "open to other users: let only your account read it (icacls FILE /inheritance:r /grant:r %USERNAME%:R)";

SecretFile read_secret_file(const char* path, char* buffer, std::size_t size) noexcept
{
    SecretFile refusal = SecretFile::unreadable;
    const int fd = open_regular_file(path, &refusal);
    if (fd < 0)
        return refusal;
    // As on Linux: the secret may already have leaked, and the user should
    // know. Windows keeps who may use a file in its security descriptor.
    const SecretFile access = check_access(fd);
    if (access != SecretFile::read) {
        const int error = errno;
        _close(fd);
        errno = error;
        return access;
    }
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
