// The system's random source, for the SCRAM client nonce: getrandom(2), or
// RtlGenRandom on Windows (no CNG, so that bcrypt.dll is not loaded).
#pragma once

#include <cstddef>

// Fills `size` bytes (at most 256). False when the source failed.
[[nodiscard]] bool random_bytes(unsigned char* out, std::size_t size) noexcept;
