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
    // 1 when the processor multiplies without carries (PCLMULQDQ with
    // SSE4.1): long runs are then folded 64 bytes a step instead.
    uint8_t carry_less;
};

// Builds the tables and chooses the method; the job does this once,
// before the first header is read.
void crc_build_table(AceCrc& crc);

// Returns the running value updated over size bytes.
uint32_t crc_update(const AceCrc& crc, uint32_t value, const void* data, size_t size);

// The two methods on their own, for tests: the tables, and the carry-less
// folding (only where crc_carry_less_available() says so; it takes the
// tables for what is shorter than a fold).
uint32_t crc_update_by_table(const AceCrc& crc, uint32_t value, const void* data, size_t size);
uint32_t crc_update_carry_less(const AceCrc& crc, uint32_t value, const void* data, size_t size);
int crc_carry_less_available();
