#include "driver/secret_file.h"

#include <cstdint>
#include <cstring>

#include "auth/md5.h"

SecretFile keep_first_line(char* buffer, std::size_t size, std::size_t filled) noexcept
{
    const auto* end = static_cast<const char*>(std::memchr(buffer, '\n', filled));
    std::size_t length = end != nullptr ? static_cast<std::size_t>(end - buffer) : filled;
    // One byte must stay free for the NUL.
    if (length >= size) {
        secure_wipe(buffer, static_cast<std::uint32_t>(size));
        return SecretFile::too_long;
    }
    if (length > 0 && buffer[length - 1] == '\r')
        --length;
    secure_wipe(buffer + length, static_cast<std::uint32_t>(filled - length));
    buffer[length] = '\0';
    return length == 0 ? SecretFile::empty : SecretFile::read;
}
