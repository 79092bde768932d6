#include "archive/crc.h"

void crc_build_table(AceCrc& crc)
{
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t v = i;
        for (int k = 0; k < 8; k++)
            v = (v & 1) ? (v >> 1) ^ CRC_POLYNOMIAL : v >> 1;
        crc.table[0][i] = v;
    }
    // Slice k advances a byte that sits k positions before the end of an
    // 8-byte group: one more byte of zeros through table[0].
    for (int k = 1; k < 8; k++)
        for (int i = 0; i < 256; i++) {
            uint32_t prev = crc.table[k - 1][i];
            crc.table[k][i] = (prev >> 8) ^ crc.table[0][prev & 0xFF];
        }
}

static inline uint32_t load_le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t crc_update(const AceCrc& crc, uint32_t value, const void* data, size_t size)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    const auto& t = crc.table;
    while (size >= 8) {
        uint32_t lo = value ^ load_le32(p);
        uint32_t hi = load_le32(p + 4);
        value = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
                t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
        p += 8;
        size -= 8;
    }
    while (size--)
        value = (value >> 8) ^ t[0][(value ^ *p++) & 0xFF];
    return value;
}
