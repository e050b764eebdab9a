// The bytes probe_child floods its outputs with, for tests that check every
// byte arrived in order.
#pragma once

#include <cstddef>

namespace probe {

// Byte `i` on standard output (`stream` 1) or standard error (2). Neither
// period divides a power of two, so a lost or repeated piece shows.
inline char floodByte(int stream, std::size_t i)
{
    return stream == 1 ? static_cast<char>(i % 251) : static_cast<char>((i % 241) ^ 0x5A);
}

}  // namespace probe
