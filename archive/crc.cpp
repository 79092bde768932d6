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

// The wider folds need the operating system to save the vector registers
// they use. On Windows GCC may spill 32-byte registers to a stack aligned
// to 16 bytes only, so they are left out there unless the build makes such
// spills unaligned moves; and from the installer stub, which keeps its
// code small.
#if !defined(KELVO_SMALL_CODE) && (!defined(_WIN32) || defined(KELVO_UNALIGNED_VECTOR_SPILLS))
#define KELVO_CRC_WIDE_FOLDS 1
#else
#define KELVO_CRC_WIDE_FOLDS 0
#endif

int crc_carry_less_available()
{
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_PCLMUL) || !(c & bit_SSE4_1))
        return CRC_FOLD_NONE;
#if KELVO_CRC_WIDE_FOLDS
    if (!(c & bit_OSXSAVE) || !(c & bit_AVX))
        return CRC_FOLD_16;
    unsigned saved, saved_hi;
    __asm__("xgetbv" : "=a"(saved), "=d"(saved_hi) : "c"(0));
    unsigned b7 = 0, c7 = 0;
    if ((saved & 0x6) != 0x6 || !__get_cpuid_count(7, 0, &a, &b7, &c7, &d) || !(b7 & bit_AVX2) ||
        !(c7 & bit_VPCLMULQDQ))
        return CRC_FOLD_16;
    // The 512-bit registers' upper halves and the mask registers too.
    if ((saved & 0xE0) == 0xE0 && (b7 & bit_AVX512F) && (b7 & bit_AVX512VL))
        return CRC_FOLD_64;
    return CRC_FOLD_32;
#else
    return CRC_FOLD_16;
#endif
}

namespace {

// Folding over the bit-reflected polynomial P. To move a 128-bit lane D
// bits on, its low half is multiplied by x^(D+32) mod P and its high half
// by x^(D-32) mod P (each bit-reflected and shifted left once), and both
// products are added to the lane D bits on. k5 then takes 64 bits to 32,
// and the Barrett reduction uses P and floor(x^64 / P). The running value
// goes in before the bytes and comes out after them, neither inverted.
constexpr long long FOLD_128[2] = {0x1751997d0, 0x0ccaa009e};
[[maybe_unused]] constexpr long long FOLD_512[2] = {0x154442bd4, 0x1c6e41596};

#define KELVO_FOLD_TARGET "pclmul,sse4.1"
#if defined(__i386__)
// 32-bit Windows threads may start with a stack aligned to 4 bytes only.
#define KELVO_FOLD_ALIGN __attribute__((force_align_arg_pointer))
#else
#define KELVO_FOLD_ALIGN
#endif

// Lane x, which holds the bytes just before p folded in, through the size
// bytes left and down to the running value (the stub's size is a multiple
// of 16).
__attribute__((target(KELVO_FOLD_TARGET), always_inline)) inline uint32_t fold_last_lane(__m128i x, const uint8_t* p,
                                                                                        size_t size)
{
    const __m128i k3k4 = _mm_set_epi64x(FOLD_128[1], FOLD_128[0]);
    const __m128i k5 = _mm_set_epi32(0, 0, 0x00000001, 0x63cd6124);
    const __m128i poly = _mm_set_epi32(0x00000001, int(0xf7011641), 0x00000001, int(0xdb710641));
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
    while (size >= 16) {
        const __m128i lo = _mm_clmulepi64_si128(x, k3k4, 0x00);
        x = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k3k4, 0x11),
                                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                          lo);
        p += 16;
        size -= 16;
    }
#ifndef KELVO_SMALL_CODE
    if (size != 0) {
        // The last size bytes (1 to 15): the final 16 bytes of the data are
        // the lane's last 16 - size bytes and these; the lane's first size
        // bytes, as a lane of their own (zeros before them), are folded
        // into them 128 bits on.
        alignas(16) static const uint8_t shifts[48] = {
            0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
            0,    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,   13,   14,   15,
            0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
        const __m128i up = _mm_loadu_si128(reinterpret_cast<const __m128i*>(shifts + size));
        const __m128i down = _mm_loadu_si128(reinterpret_cast<const __m128i*>(shifts + size + 16));
        const __m128i first = _mm_shuffle_epi8(x, up);
        // A mask byte's top bit picks the data's byte.
        const __m128i last = _mm_blendv_epi8(_mm_shuffle_epi8(x, down),
                                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + size - 16)), down);
        x = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(first, k3k4, 0x00), _mm_clmulepi64_si128(first, k3k4, 0x11)),
                          last);
    }
#endif

    // 128 bits to 64, then to 32 by Barrett reduction.
    x = _mm_xor_si128(_mm_srli_si128(x, 8), _mm_clmulepi64_si128(x, k3k4, 0x10));
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, low32), k5, 0x00), _mm_srli_si128(x, 4));
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, low32), poly, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
    return uint32_t(_mm_extract_epi32(_mm_xor_si128(x, t), 1));
}

// Four 16-byte lanes, 64 bytes a step. size >= 64.
__attribute__((target(KELVO_FOLD_TARGET))) KELVO_FOLD_ALIGN uint32_t fold_16(uint32_t value, const uint8_t* p,
                                                                             size_t size)
{
    __m128i x1 = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), _mm_cvtsi32_si128(int(value)));
#ifdef KELVO_SMALL_CODE
    // The installer stub folds one lane, 16 bytes a step: less code, and
    // still well under the tables' time a byte.
    return fold_last_lane(x1, p + 16, size - 16);
#else
    const __m128i k1k2 = _mm_set_epi64x(FOLD_512[1], FOLD_512[0]);
    const __m128i k3k4 = _mm_set_epi64x(FOLD_128[1], FOLD_128[0]);
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

    // Four lanes into one.
    const __m128i lanes[3] = {x2, x3, x4};
    for (const __m128i& next : lanes) {
        const __m128i lo = _mm_clmulepi64_si128(x1, k3k4, 0x00);
        x1 = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x1, k3k4, 0x11), next), lo);
    }
    return fold_last_lane(x1, p, size);
#endif
}

#if KELVO_CRC_WIDE_FOLDS
// The same with 256-bit registers, each two lanes (VPCLMULQDQ works lane
// by lane): four of them, 128 bytes a step, D = 1024, brought together
// with D = 256 and the last register's two lanes with D = 128.
constexpr long long FOLD_1024[2] = {0x1e88ef372, 0x14a7fe880};
constexpr long long FOLD_256[2] = {0xf1da05aa, 0x15a546366};
#define KELVO_FOLD_32_TARGET "pclmul,sse4.1,avx2,vpclmulqdq"

__attribute__((target(KELVO_FOLD_32_TARGET), always_inline)) inline __m256i fold_32_into(__m256i x, __m256i k,
                                                                                        __m256i next)
{
    return _mm256_xor_si256(_mm256_xor_si256(_mm256_clmulepi64_epi128(x, k, 0x00), _mm256_clmulepi64_epi128(x, k, 0x11)),
                            next);
}

__attribute__((target(KELVO_FOLD_32_TARGET), always_inline)) inline uint32_t fold_last_32(__m256i x, const uint8_t* p,
                                                                                        size_t size)
{
    const __m128i k3k4 = _mm_set_epi64x(FOLD_128[1], FOLD_128[0]);
    const __m128i lo = _mm256_castsi256_si128(x);
    const __m128i folded = _mm_xor_si128(_mm_clmulepi64_si128(lo, k3k4, 0x00), _mm_clmulepi64_si128(lo, k3k4, 0x11));
    return fold_last_lane(_mm_xor_si128(folded, _mm256_extracti128_si256(x, 1)), p, size);
}

__attribute__((target(KELVO_FOLD_32_TARGET), always_inline)) inline __m256i load32(const uint8_t* p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// size >= 128.
__attribute__((target(KELVO_FOLD_32_TARGET))) uint32_t fold_32(uint32_t value, const uint8_t* p, size_t size)
{
    const __m256i k1024 = _mm256_set_epi64x(FOLD_1024[1], FOLD_1024[0], FOLD_1024[1], FOLD_1024[0]);
    const __m256i k256 = _mm256_set_epi64x(FOLD_256[1], FOLD_256[0], FOLD_256[1], FOLD_256[0]);
    __m256i x0 = _mm256_xor_si256(load32(p), _mm256_zextsi128_si256(_mm_cvtsi32_si128(int(value))));
    __m256i x1 = load32(p + 32), x2 = load32(p + 64), x3 = load32(p + 96);
    p += 128;
    size -= 128;
    while (size >= 128) {
        x0 = fold_32_into(x0, k1024, load32(p));
        x1 = fold_32_into(x1, k1024, load32(p + 32));
        x2 = fold_32_into(x2, k1024, load32(p + 64));
        x3 = fold_32_into(x3, k1024, load32(p + 96));
        p += 128;
        size -= 128;
    }
    x1 = fold_32_into(x0, k256, x1);
    x2 = fold_32_into(x1, k256, x2);
    x3 = fold_32_into(x2, k256, x3);
    return fold_last_32(x3, p, size);
}

// With 512-bit registers of four lanes: 256 bytes a step, D = 2048, then
// D = 512 between the registers and the last one's halves as above.
constexpr long long FOLD_2048[2] = {0x11542778a, 0x1322d1430};
#define KELVO_FOLD_64_TARGET "pclmul,sse4.1,avx2,vpclmulqdq,avx512f,avx512vl"

__attribute__((target(KELVO_FOLD_64_TARGET), always_inline)) inline __m512i fold_64_into(__m512i x, __m512i k,
                                                                                        __m512i next)
{
    // 0x96: a three-way exclusive or.
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, k, 0x00), _mm512_clmulepi64_epi128(x, k, 0x11), next,
                                     0x96);
}

// size >= 256.
__attribute__((target(KELVO_FOLD_64_TARGET))) uint32_t fold_64(uint32_t value, const uint8_t* p, size_t size)
{
    const __m512i k2048 = _mm512_set_epi64(FOLD_2048[1], FOLD_2048[0], FOLD_2048[1], FOLD_2048[0], FOLD_2048[1],
                                           FOLD_2048[0], FOLD_2048[1], FOLD_2048[0]);
    const __m512i k512 = _mm512_set_epi64(FOLD_512[1], FOLD_512[0], FOLD_512[1], FOLD_512[0], FOLD_512[1], FOLD_512[0],
                                          FOLD_512[1], FOLD_512[0]);
    __m512i x0 = _mm512_xor_si512(_mm512_loadu_si512(p), _mm512_zextsi128_si512(_mm_cvtsi32_si128(int(value))));
    __m512i x1 = _mm512_loadu_si512(p + 64), x2 = _mm512_loadu_si512(p + 128), x3 = _mm512_loadu_si512(p + 192);
    p += 256;
    size -= 256;
    while (size >= 256) {
        x0 = fold_64_into(x0, k2048, _mm512_loadu_si512(p));
        x1 = fold_64_into(x1, k2048, _mm512_loadu_si512(p + 64));
        x2 = fold_64_into(x2, k2048, _mm512_loadu_si512(p + 128));
        x3 = fold_64_into(x3, k2048, _mm512_loadu_si512(p + 192));
        p += 256;
        size -= 256;
    }
    x1 = fold_64_into(x0, k512, x1);
    x2 = fold_64_into(x1, k512, x2);
    x3 = fold_64_into(x2, k512, x3);
    const __m256i k256 = _mm256_set_epi64x(FOLD_256[1], FOLD_256[0], FOLD_256[1], FOLD_256[0]);
    // (The masked extracts: GCC 12's plain ones warn of an undefined value.)
    const __m256i low = _mm512_maskz_extracti64x4_epi64(0xF, x3, 0);
    const __m256i high = _mm512_maskz_extracti64x4_epi64(0xF, x3, 1);
    const __m256i y = fold_32_into(low, k256, high);
    return fold_last_32(y, p, size);
}
#endif

}  // namespace

uint32_t crc_update_carry_less(const AceCrc& crc, uint32_t value, const void* data, size_t size)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (size >= 64) {
#ifdef KELVO_SMALL_CODE
        const size_t folded = size & ~size_t(15);  // the rest by the tables
#else
        const size_t folded = size;
#endif
#if KELVO_CRC_WIDE_FOLDS
        if (crc.carry_less >= CRC_FOLD_64 && folded >= 256)
            value = fold_64(value, p, folded);
        else if (crc.carry_less >= CRC_FOLD_32 && folded >= 128)
            value = fold_32(value, p, folded);
        else
#endif
            value = fold_16(value, p, folded);
        p += folded;
        size -= folded;
    }
    return crc_update_by_table(crc, value, p, size);
}

#else

int crc_carry_less_available() { return CRC_FOLD_NONE; }

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
