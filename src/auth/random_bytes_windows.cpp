#include <windows.h>
#include <ntsecapi.h> // RtlGenRandom, exported by advapi32.dll as SystemFunction036

#include "auth/random_bytes.h"

bool random_bytes(unsigned char* out, std::size_t size) noexcept
{
    return RtlGenRandom(out, static_cast<ULONG>(size)) != FALSE;
}
