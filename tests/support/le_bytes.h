// Little-endian fields written into and read from byte buffers, for the
// tests that build or inspect Windows executables by hand.
#pragma once

#include <cstddef>
#include <cstdint>

#include "compress/archive_writer.h"

inline void put16(Bytes& b, size_t at, uint32_t v)
{
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
inline void put32(Bytes& b, size_t at, uint32_t v)
{
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}
inline uint32_t get16(const Bytes& b, size_t at) { return uint32_t(b[at] | b[at + 1] << 8); }
inline uint32_t get32(const Bytes& b, size_t at) { return get16(b, at) | get16(b, at + 2) << 16; }
