// Writes a packed bit stream: values MSB-first into 32-bit words that are
// stored little-endian, the order in which the bit reader consumes them.
#pragma once

#include <cstdint>
#include <vector>

struct PackBitWriter {
    std::vector<uint8_t> bytes;  // whole words only
    uint64_t pending = 0;        // low pending_bits bits not yet in a word
    int pending_bits = 0;

    // Appends the low n bits of value (0 <= n <= 32), first bit = bit n-1.
    void put(uint32_t value, int n)
    {
        if (n == 0)
            return;
        pending = (pending << n) | (value & (n == 32 ? 0xFFFFFFFFu : ((1u << n) - 1)));
        pending_bits += n;
        if (pending_bits >= 32) {
            pending_bits -= 32;
            put_word(static_cast<uint32_t>(pending >> pending_bits));
            pending &= (uint64_t{1} << pending_bits) - 1;
        }
    }

    // Pads the stream with zero bits up to the next word boundary.
    void align_to_word()
    {
        if (pending_bits > 0)
            put(0, 32 - pending_bits);
    }

    uint64_t bit_count() const { return uint64_t{bytes.size()} * 8 + pending_bits; }

private:
    void put_word(uint32_t word)
    {
        bytes.push_back(static_cast<uint8_t>(word));
        bytes.push_back(static_cast<uint8_t>(word >> 8));
        bytes.push_back(static_cast<uint8_t>(word >> 16));
        bytes.push_back(static_cast<uint8_t>(word >> 24));
    }
};
