// The secret from a file (-k), which other users of the machine cannot read
// as they can read the command line; and the check that a file named on the
// command line (-k, -c) is a file of data, where a read cannot wait for ever.
#pragma once

#include <cstddef>

enum class SecretFile {
    read,           // the first line is in the buffer
    unreadable,     // cannot be opened or read; errno tells why
    not_regular,    // a directory, FIFO, device or the like, not a file of data
    open_to_others, // its group or others may use it (on Windows: its access list)
    empty,          // the first line is empty
    too_long,       // the first line does not fit the buffer
};

// What a file open to others is, and how to make it private, in the
// platform's terms: the rest of the refusal of such a file.
extern const char secret_file_open_advice[];

// Whether the file at `path` is a regular file (on Windows, a file of data
// on a disk) that can be opened for reading: read, unreadable (errno tells
// why) or not_regular.
[[nodiscard]] SecretFile check_regular_file(const char* path) noexcept;

// Reads the first line of the file at `path`, without its CR LF or LF, into
// `buffer` as a NUL-terminated text. Whatever else was read is wiped from the
// buffer, also on failure.
[[nodiscard]] SecretFile read_secret_file(const char* path, char* buffer, std::size_t size) noexcept;

// The part of read_secret_file that is the same on every platform: of the
// `filled` bytes read from the start of the file into `buffer`, keeps the
// first line without its CR LF or LF as a NUL-terminated text and wipes the
// rest. Returns read, empty or too_long (the buffer then wiped whole).
[[nodiscard]] SecretFile keep_first_line(char* buffer, std::size_t size, std::size_t filled) noexcept;
