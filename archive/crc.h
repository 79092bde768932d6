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
};

// Builds the tables; the job does this once, before the first header is read.
void crc_build_table(AceCrc& crc);

// Returns the running value updated over size bytes.
uint32_t crc_update(const AceCrc& crc, uint32_t value, const void* data, size_t size);
