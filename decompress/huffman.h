// Prefix-code tables sent in the stream: read with a pre-code and a running
// sum, then expanded into a direct 11-bit lookup table. Which symbol gets
// which code is decided by sort_by_length, an in-place quicksort whose
// order of equal lengths is part of the format.
#pragma once

#include <cstdint>

struct JobContext;

constexpr int TABLE_BITS = 11;
constexpr int TABLE_SIZE = 1 << TABLE_BITS;
constexpr int PRE_TABLE_BITS = 7;
constexpr int PRE_SYMBOL_COUNT = 16;
constexpr int MAIN_SYMBOL_LIMIT = 282;
constexpr int LENGTH_SYMBOL_LIMIT = 255;
static_assert((1 << PRE_TABLE_BITS) <= TABLE_SIZE, "the pre-code borrows the table's own lookup");

// Decode entries for hot loops: each holds a symbol's code length in its
// low FAST_LENGTH_BITS bits and the symbol above them, so that a decode is
// one load, one mask for the bits to consume and one shift for the symbol.
// The table builder writes them beside lookup when asked to.
constexpr int FAST_LENGTH_BITS = 6;
constexpr uint16_t FAST_LENGTH_MASK = (1u << FAST_LENGTH_BITS) - 1;
static_assert(MAIN_SYMBOL_LIMIT < (1 << (16 - FAST_LENGTH_BITS)));
// The longest code length read_code_table can leave in code_lengths: a
// running sum modulo P (at most 14) plus the base B (at most 15). Longer
// lengths cannot be sent, so a skip never exceeds the bit reader's 32.
constexpr int MAX_SENT_CODE_LENGTH = (PRE_SYMBOL_COUNT - 2) + (PRE_SYMBOL_COUNT - 1);
static_assert(MAX_SENT_CODE_LENGTH <= FAST_LENGTH_MASK && MAX_SENT_CODE_LENGTH <= 32);

// Main-code entries for the symbol loop outside the installer stub, 32 bits:
// the low 16 as in the 16-bit entries (code length, symbol); a match
// symbol (256 and above) adds what its step needs, so that the loop looks
// nothing else up: the bits its code and its extra bits take together,
// the extra-bit count, the length base, and for a new distance whether
// its coded value has a leading 1 (v = that 1 shifted left by the count,
// plus the extra bits: symbol 260 has none, 261 is 1).
constexpr int MATCH_TOTAL_SHIFT = 16;  // 6 bits
constexpr int MATCH_EXTRA_SHIFT = 22;  // 5 bits
constexpr int MATCH_BASE_SHIFT = 27;   // 3 bits
constexpr uint32_t MATCH_LEADING_ONE = 1u << 30;
constexpr uint32_t MATCH_NEW_DISTANCE = 1u << 31;
constexpr uint32_t main_entry(uint32_t symbol, uint32_t code_length)
{
    const uint32_t low = symbol << FAST_LENGTH_BITS | code_length;
    if (symbol < 256)
        return low;
    if (symbol < 260)
        return low | code_length << MATCH_TOTAL_SHIFT | (symbol - 256 <= 1 ? 2u : 3u) << MATCH_BASE_SHIFT;
    const uint32_t k = symbol - 260;
    const uint32_t extra = k <= 1 ? 0 : k - 1;
    // The length base of every coded value of the symbol (their range
    // does not straddle 255 or 8191): that of its lowest.
    const uint32_t lowest = k <= 1 ? k : 1u << extra;
    const uint32_t base = lowest <= 255 ? 2 : lowest <= 8191 ? 3 : 4;
    return low | (code_length + extra) << MATCH_TOTAL_SHIFT | extra << MATCH_EXTRA_SHIFT | base << MATCH_BASE_SHIFT |
           (k >= 1 ? MATCH_LEADING_ONE : 0) | MATCH_NEW_DISTANCE;
}
static_assert(MAX_SENT_CODE_LENGTH + (MAIN_SYMBOL_LIMIT - 261) < 64 && MAIN_SYMBOL_LIMIT - 261 < 32,
              "a match's fields fit their bits");

struct HuffmanTable {
    uint16_t lookup[TABLE_SIZE];
    uint8_t code_lengths[MAIN_SYMBOL_LIMIT + 1];
    uint16_t fast[TABLE_SIZE];  // decode entries of lookup, for the LZ77 loop
};

// Working storage shared by every table read (one at a time).
struct CodeTableWork {
    uint8_t pre_lengths[PRE_SYMBOL_COUNT];
    uint8_t sort_keys[MAIN_SYMBOL_LIMIT + 2];
    uint16_t sort_symbols[MAIN_SYMBOL_LIMIT + 1];
    // What the builder sorts: length << 16 | symbol, one word per symbol,
    // so a swap moves one word and a scan compares words.
    uint32_t sort_items[MAIN_SYMBOL_LIMIT + 2];
    // Their keys as bytes, with room for whole 64-byte reads past the last.
    uint8_t scan_keys[MAIN_SYMBOL_LIMIT + 2 + 64];
    // The order the sort leaves a range of equal lengths in depends on the
    // range's size alone: run_orders[size * (size - 1) / 2 + t] is the
    // place in the range of the entry that ends at place t, made the first
    // time a range of that size occurs (run_order_made[size]).
    uint8_t run_order_made[MAIN_SYMBOL_LIMIT + 2];
    uint16_t run_orders[(MAIN_SYMBOL_LIMIT + 1) * (MAIN_SYMBOL_LIMIT + 2) / 2];
    // Set, the builder's sort keeps to its plainest form on any processor
    // (for tests that compare the forms).
    bool scalar_sort;
};

// With entries, the table's decode entries are written too.
// With match_entries, the main code's 32-bit entries are written too.
// Without lookup, the codes' entries of table are left as they were (see
// build_lookup_table).
int read_code_table(JobContext& cx, int width, uint16_t* table, uint8_t* lengths, int limit,
                    uint16_t* entries = nullptr, uint32_t* match_entries = nullptr, bool lookup = true);
// Fills table from the code lengths of symbols 0..n; 0 when they do not fit
// (an over-subscribed set, or a length beyond width). A failed build ends
// the LZ77 decoder's call at its limit: read_block_header does that. With
// entries, it writes each entry's decode entry as it
// fills it, and those of the entries it leaves, whose symbols must then
// have a length in lengths (read_code_table's cleared table does).
// Entries of table from stale_from up count as 0 whatever they hold: the
// builder sets those it does not fill to 0, on failure too.
// match_entries (width TABLE_BITS, not in the installer stub) the same as
// entries, in main_entry's form.
// Without lookup (for a decoder that reads the decode entries alone, and
// with entries or match_entries), the entries of table that codes fill are
// left as they were; those it leaves are cleared as ever, since their
// decode entries are made from them. The installer stub fills them always.
int build_lookup_table(CodeTableWork& work, int width, int n, uint8_t* lengths, uint16_t* table,
                       uint16_t* entries = nullptr, int stale_from = TABLE_SIZE, uint32_t* match_entries = nullptr,
                       bool lookup = true);
// The format's quicksort on sort_keys and sort_symbols, step by step: the
// reference for sort_items_by_length.
void sort_by_length(CodeTableWork& work, int lo, int hi);
// The same order on sort_items: the same swaps where keys differ, and
// ranges of one length put straight into the order those swaps give them.
void sort_items_by_length(CodeTableWork& work, int lo, int hi);
int decode_symbol(JobContext& cx, const HuffmanTable& table);
// The plain way to decode entries, from lookup and code_lengths; the
// builder's own must equal it.
void pack_lookup_table(const HuffmanTable& table, uint16_t* fast);
void pack_main_entries(const HuffmanTable& table, uint32_t* entries);
