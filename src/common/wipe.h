// Overwriting memory that held a secret or clear text of the dialogue, in a
// way the compiler may not drop as a dead store.
#pragma once

#include <cstddef>

inline void secure_zero(void* memory, std::size_t size) noexcept
{
    volatile unsigned char* p = static_cast<volatile unsigned char*>(memory);
    while (size-- > 0)
        *p++ = 0;
}
