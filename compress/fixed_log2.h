// Base-2 logarithms in fixed point, from integer arithmetic alone. Every
// choice the packer makes (prices, block cuts, code lengths) is taken from
// these, never from floating point: the 32-bit Windows build computes in
// x87 registers of 80 bits and the 64-bit one in SSE doubles, and the C
// libraries round log2 differently, so a float comparison that ties on
// one machine can go the other way on the next and the same files would
// pack to different archives.
#pragma once

#include <bit>
#include <cstdint>

constexpr int LOG2_FRACTION_BITS = 16;
constexpr uint64_t LOG2_ONE = uint64_t{1} << LOG2_FRACTION_BITS;

// log2(x) * 2^16 for x >= 1, within 2^-15 bits of the true value; 0 for
// x = 0. The mantissa is kept to 32 bits and squared once per fraction
// bit: a square of 2 or more means the next bit is 1 (then halve).
constexpr uint64_t log2_fixed(uint64_t x)
{
    if (x == 0)
        return 0;
    const int exponent = 63 - std::countl_zero(x);
    uint64_t mantissa = exponent >= 31 ? x >> (exponent - 31) : x << (31 - exponent);  // [2^31, 2^32)
    uint64_t result = static_cast<uint64_t>(exponent) << LOG2_FRACTION_BITS;
    for (int bit = LOG2_FRACTION_BITS - 1; bit >= 0; --bit) {
        mantissa = (mantissa * mantissa) >> 31;
        if (mantissa >= (uint64_t{1} << 32)) {
            mantissa >>= 1;
            result |= uint64_t{1} << bit;
        }
    }
    return result;
}

static_assert(log2_fixed(1) == 0);
static_assert(log2_fixed(2) == LOG2_ONE);
static_assert(log2_fixed(uint64_t{1} << 40) == 40 * LOG2_ONE);
static_assert(log2_fixed(3) == 103872);  // log2(3) = 1.58496..., 1.58496 * 65536 = 103872.3
