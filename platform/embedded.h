// The trailer that marks an archive appended to a native executable:
// the archive's bytes, then its length (32-bit little-endian), then the
// eight bytes EMBEDDED_MAGIC. Windows builds use a resource instead.
#pragma once

#include <cstdint>
#include <cstring>

constexpr char EMBEDDED_MAGIC[8] = {'K', 'E', 'L', 'V', 'O', 'A', 'R', 'C'};
constexpr uint32_t EMBEDDED_TRAILER_SIZE = 12;

inline bool embedded_payload_find(const uint8_t* image, uint32_t image_length,
                                  const uint8_t** data, uint32_t* length)
{
    if (!image || image_length < EMBEDDED_TRAILER_SIZE)
        return false;
    const uint8_t* t = image + image_length - EMBEDDED_TRAILER_SIZE;
    if (std::memcmp(t + 4, EMBEDDED_MAGIC, sizeof EMBEDDED_MAGIC) != 0)
        return false;
    uint32_t n = uint32_t(t[0]) | uint32_t(t[1]) << 8 | uint32_t(t[2]) << 16 | uint32_t(t[3]) << 24;
    if (n > image_length - EMBEDDED_TRAILER_SIZE)
        return false;
    *data = t - n;
    *length = n;
    return true;
}
