// The sending side of the prefix codes: optimal length-limited code
// lengths, the codes the decoder will assign to them, and the code-table
// format (pre-code, length base, running sum modulo P, zero runs).
#pragma once

#include <cstdint>

#include "compress/bit_writer.h"

struct CodeTableWork;

constexpr int MAX_CODE_LENGTH = 11;     // the decoder's lookup width
constexpr int MAX_PRE_CODE_LENGTH = 7;  // 3-bit fields, 7-bit pre-code lookup
constexpr int MAX_TABLE_SYMBOLS = 283;  // main alphabet 0..282

// Optimal code lengths (package-merge) for count symbols (at most
// MAX_TABLE_SYMBOLS), none longer than max_length (at most
// MAX_LENGTH_LIMIT). Unused symbols get 0; a lone used symbol gets 1, which
// is what the decoder's build gives it whatever length is sent.
constexpr int MAX_LENGTH_LIMIT = 16;
void limited_code_lengths(const uint32_t* freqs, int count, int max_length, uint8_t* lengths);

// A code ready to emit: the bits and the number of bits of each symbol.
struct PrefixCode {
    uint16_t codes[MAX_TABLE_SYMBOLS];
    uint8_t lengths[MAX_TABLE_SYMBOLS];  // as the decoder consumes them
};

// Assigns the codes by running the decoder's own table build over the
// lengths of symbols 0..n, so that the two sides cannot disagree on the
// order of equal lengths. Returns false when the lengths do not fit.
bool assign_codes(CodeTableWork& work, int width, int n, const uint8_t* lengths, PrefixCode& code);

// Writes one code table (lengths of symbols 0..limit, each 0..11) in the
// stream format, choosing the length base, the modulus and the pre-code
// that need the fewest bits. Returns the number of bits written. With
// out == nullptr nothing is written and only the cost is returned.
uint32_t write_code_table(CodeTableWork& work, PackBitWriter* out, const uint8_t* lengths, int limit);

// Code lengths for a block's symbols (freqs of symbols 0..limit) that need
// the fewest bits with their table: the optimal ones, or, where the table
// is a large part of the block, those of counts evened out over runs of
// near-equal neighbours, whose lengths the table sends as cheap runs.
void block_code_lengths(CodeTableWork& work, const uint32_t* freqs, int limit, uint8_t* lengths);

inline void put_symbol(PackBitWriter& out, const PrefixCode& code, int symbol)
{
    out.put(code.codes[symbol], code.lengths[symbol]);
}
