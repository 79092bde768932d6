#include "archive/crc.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define KELVO_CRC_CARRY_LESS 1
#else
#define KELVO_CRC_CARRY_LESS 0
#endif

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
    crc.carry_less = uint8_t(crc_carry_less_available());
}

static inline uint32_t load_le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t crc_update_by_table(const AceCrc& crc, uint32_t value, const void* data, size_t size)
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

#if KELVO_CRC_CARRY_LESS

int crc_carry_less_available()
{
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return 0;
    return (c & bit_PCLMUL) && (c & bit_SSE4_1) ? 1 : 0;
}

namespace {

// Folding over the bit-reflected polynomial: x^(k) mod P constants for
// folding 512 bits (k1, k2), 128 bits (k3, k4), 64 bits (k5), then the
// Barrett reduction by P and floor(x^64 / P). size >= 64 and a multiple
// of 16; value is the running value before the bytes, and the result the
// one after them, neither inverted.
__attribute__((target("pclmul,sse4.1")))
#if defined(__i386__)
// 32-bit Windows threads may start with a stack aligned to 4 bytes only.
__attribute__((force_align_arg_pointer))
#endif
uint32_t fold_carry_less(uint32_t value, const uint8_t* p, size_t size)
{
#ifndef KELVO_SMALL_CODE
    const __m128i k1k2 = _mm_set_epi32(0x00000001, int(0xc6e41596), 0x00000001, 0x54442bd4);
#endif
    const __m128i k3k4 = _mm_set_epi32(0x00000000, int(0xccaa009e), 0x00000001, 0x751997d0);
    const __m128i k5 = _mm_set_epi32(0, 0, 0x00000001, 0x63cd6124);
    const __m128i poly = _mm_set_epi32(0x00000001, int(0xf7011641), 0x00000001, int(0xdb710641));
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);

    __m128i x1 = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                               _mm_cvtsi32_si128(int(value)));
#ifdef KELVO_SMALL_CODE
    // The installer stub folds one lane, 16 bytes a step: less code, and
    // still well under the tables' time a byte.
    p += 16;
    size -= 16;
#else
    __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
    p += 64;
    size -= 64;

    while (size >= 64) {
        const __m128i x5 = _mm_clmulepi64_si128(x1, k1k2, 0x00);
        const __m128i x6 = _mm_clmulepi64_si128(x2, k1k2, 0x00);
        const __m128i x7 = _mm_clmulepi64_si128(x3, k1k2, 0x00);
        const __m128i x8 = _mm_clmulepi64_si128(x4, k1k2, 0x00);
        x1 = _mm_clmulepi64_si128(x1, k1k2, 0x11);
        x2 = _mm_clmulepi64_si128(x2, k1k2, 0x11);
        x3 = _mm_clmulepi64_si128(x3, k1k2, 0x11);
        x4 = _mm_clmulepi64_si128(x4, k1k2, 0x11);
        x1 = _mm_xor_si128(_mm_xor_si128(x1, x5), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        x2 = _mm_xor_si128(_mm_xor_si128(x2, x6), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
        x3 = _mm_xor_si128(_mm_xor_si128(x3, x7), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)));
        x4 = _mm_xor_si128(_mm_xor_si128(x4, x8), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)));
        p += 64;
        size -= 64;
    }

    // Four lanes into one, then the 16-byte steps left.
    const __m128i lanes[3] = {x2, x3, x4};
    for (const __m128i& next : lanes) {
        const __m128i lo = _mm_clmulepi64_si128(x1, k3k4, 0x00);
        x1 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x1, k3k4, 0x11), next), lo);
    }
#endif
    while (size >= 16) {
        const __m128i lo = _mm_clmulepi64_si128(x1, k3k4, 0x00);
        x1 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x1, k3k4, 0x11),
                                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                           lo);
        p += 16;
        size -= 16;
    }

    // 128 bits to 64, then to 32 by Barrett reduction.
    __m128i x = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), k5, 0x00), _mm_srli_si128(x, 4));
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, low32), poly, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
    return uint32_t(_mm_extract_epi32(_mm_xor_si128(x, t), 1));
}

}  // namespace

uint32_t crc_update_carry_less(const AceCrc& crc, uint32_t value, const void* data, size_t size)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (size >= 64) {
        const size_t folded = size & ~size_t(15);
        value = fold_carry_less(value, p, folded);
        p += folded;
        size -= folded;
    }
    return crc_update_by_table(crc, value, p, size);
}

#else

int crc_carry_less_available() { return 0; }

uint32_t crc_update_carry_less(const AceCrc& crc, uint32_t value, const void* data, size_t size)
{
    return crc_update_by_table(crc, value, data, size);
}

#endif

uint32_t crc_update(const AceCrc& crc, uint32_t value, const void* data, size_t size)
{
    return crc.carry_less ? crc_update_carry_less(crc, value, data, size)
                          : crc_update_by_table(crc, value, data, size);
}
