// The archive's CRC-32: reflected polynomial 0xEDB88320, running value
// starting at 0xFFFFFFFF and never inverted at the end.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t CRC_POLYNOMIAL = 0xEDB88320u;
constexpr uint32_t CRC_INIT = 0xFFFFFFFFu;

struct AceCrc {
    // table[0] is the classic 256-entry byte table; the other slices let
    // crc_update consume eight bytes per step on long runs of output.
    uint32_t table[8][256];
    // Where the processor multiplies without carries, long runs are
    // folded instead: the widest CRC_FOLD_ form it has.
    uint8_t carry_less;
};

// The carry-less forms by the width of their registers: PCLMULQDQ with
// SSE4.1 (16 bytes), then VPCLMULQDQ with AVX2 (32) and with AVX-512 (64).
constexpr uint8_t CRC_FOLD_NONE = 0;
constexpr uint8_t CRC_FOLD_16 = 1;
constexpr uint8_t CRC_FOLD_32 = 2;
constexpr uint8_t CRC_FOLD_64 = 3;

// Builds the tables and chooses the method; the job does this once,
// before the first header is read.
void crc_build_table(AceCrc& crc);

// Returns the running value updated over size bytes.
uint32_t crc_update(const AceCrc& crc, uint32_t value, const void* data, size_t size);

// The two methods on their own, for tests: the tables, and the carry-less
// folding, in the form crc.carry_less names (at most what
// crc_carry_less_available() returns; it takes the tables for what is
// shorter than a fold).
uint32_t crc_update_by_table(const AceCrc& crc, uint32_t value, const void* data, size_t size);
uint32_t crc_update_carry_less(const AceCrc& crc, uint32_t value, const void* data, size_t size);
int crc_carry_less_available();
