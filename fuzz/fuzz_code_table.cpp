// Code tables: read_code_table on any bit stream, and build_lookup_table
// on any set of lengths, checked against a plain model of which length
// sets fit and how many entries each symbol gets.
//
// Input: byte 0 picks the case; the rest is the bit stream (read) or
// n, width and the lengths (build).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "decompress/bit_reader.h"
#include "decompress/huffman.h"
#include "fuzz_support.h"

namespace {

constexpr uint16_t UNWRITTEN = 0xFFFF;

// The model: after the one-symbol rule, the used lengths from the shortest
// up take 2^(width - length) entries each until the table is full; a
// length above the width met before that makes the build fail.
struct Expected {
    bool ok;
    uint32_t filled;  // entries written from the start
};

Expected model(int width, const std::vector<uint8_t>& used_lengths)
{
    std::vector<uint8_t> sorted = used_lengths;
    std::sort(sorted.begin(), sorted.end());
    const uint32_t size = 1u << width;
    uint32_t pos = 0;
    for (uint8_t length : sorted) {
        if (pos >= size)
            break;
        if (length > width)
            return {false, pos};
        pos += size >> length;
    }
    return {true, pos};
}

void check_build(FuzzContext& fc, int width, int n, const uint8_t* sent)
{
    JobContext& cx = fc.cx();
    std::vector<uint8_t> lengths(MAIN_SYMBOL_LIMIT + 2, 0);
    std::memcpy(lengths.data(), sent, size_t(n) + 1);
    std::vector<uint16_t> table(size_t(1) << width, UNWRITTEN);

    // What the build sees after its one-symbol rule: a lone used symbol
    // keeps its sent length for placement; no used symbol at all places
    // one symbol over the whole table.
    std::vector<uint8_t> used;
    for (int s = 0; s <= n; s++) {
        if (sent[s] != 0)
            used.push_back(sent[s]);
    }
    if (used.empty())
        used.push_back(0);
    const Expected expected = model(width, used);

    const int ok = build_lookup_table(cx.tables, width, n, lengths.data(), table.data());
    FUZZ_CHECK(ok == (expected.ok ? 1 : 0));
    if (!ok)
        return;
    for (uint32_t v = 0; v < table.size(); v++) {
        if (v < expected.filled)
            FUZZ_CHECK(table[v] <= n);
        else
            FUZZ_CHECK(table[v] == UNWRITTEN);
    }
    // Every symbol that got entries got 2^(width - length) of them, in
    // one aligned run; the caller's lengths change only by the
    // one-symbol rule.
    std::vector<uint32_t> first(size_t(n) + 1, UINT32_MAX), count(size_t(n) + 1, 0);
    for (uint32_t v = 0; v < expected.filled; v++) {
        if (first[table[v]] == UINT32_MAX)
            first[table[v]] = v;
        count[table[v]]++;
    }
    int changed = 0;
    for (int s = 0; s <= n; s++) {
        if (lengths[size_t(s)] != sent[s]) {
            changed++;
            FUZZ_CHECK(lengths[size_t(s)] == 1 && used.size() == 1);
        }
        if (count[size_t(s)] == 0)
            continue;
        const uint8_t length = used.size() == 1 ? (used[0] == 0 ? 0 : sent[s]) : sent[s];
        FUZZ_CHECK(length <= width);
        const uint32_t span = (1u << width) >> length;
        FUZZ_CHECK(count[size_t(s)] == span);
        FUZZ_CHECK(first[size_t(s)] % span == 0);
        for (uint32_t k = 0; k < span; k++)
            FUZZ_CHECK(table[first[size_t(s)] + k] == s);
    }
    FUZZ_CHECK(changed <= 1);
}

void check_read(FuzzContext& fc, int limit, const uint8_t* data, size_t size)
{
    JobContext& cx = fc.cx();
    start_bits_from_memory(cx, data, uint32_t(size));
    HuffmanTable& table = cx.lz.main_code;
    const int ok = read_code_table(cx, TABLE_BITS, table.lookup, table.code_lengths, limit);
    // A table is at most about 2,100 bits: the reader never reaches the
    // refill point, so it never asks for packed data.
    FUZZ_CHECK(cx.bits.word_index >= 0 && cx.bits.word_index < REFILL_WORD_INDEX);
    FUZZ_CHECK(cx.bits.bit_offset >= 0 && cx.bits.bit_offset < 32);
    if (!ok)
        return;
    for (int v = 0; v < TABLE_SIZE; v++)
        FUZZ_CHECK(table.lookup[v] <= limit);
    for (int s = 0; s <= limit; s++)
        FUZZ_CHECK(table.code_lengths[s] <= MAX_SENT_CODE_LENGTH);
    // Symbols decode with one lookup and a skip of at most 32 bits.
    for (int i = 0; i < 64 && cx.bits.word_index < REFILL_WORD_INDEX - 2; i++) {
        const int s = decode_symbol(cx, table);
        FUZZ_CHECK(s >= 0 && s <= limit);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FuzzContext fc;
    if (size < 1)
        return 0;
    fc.reset();
    const uint8_t mode = data[0];
    data++;
    size--;
    if ((mode & 1) == 0) {
        check_read(fc, (mode & 2) ? LENGTH_SYMBOL_LIMIT : MAIN_SYMBOL_LIMIT, data, std::min<size_t>(size, INPUT_BYTES));
        return 0;
    }
    if (size < 2)
        return 0;
    const int width = (mode & 2) ? PRE_TABLE_BITS : TABLE_BITS;
    const int limit = width == PRE_TABLE_BITS ? PRE_SYMBOL_COUNT - 1 : MAIN_SYMBOL_LIMIT;
    const int n = int((data[0] | data[1] << 8) % (limit + 1));
    data += 2;
    size -= 2;
    std::vector<uint8_t> sent(size_t(n) + 1, 0);
    std::memcpy(sent.data(), data, std::min(size, sent.size()));
    // The pre-code's lengths are 3-bit fields; the final table's are at
    // most a modulus plus a base. Larger bytes test the "does not fit" path.
    if (mode & 4) {
        for (uint8_t& l : sent)
            l = uint8_t(l % (width == PRE_TABLE_BITS ? 8 : MAX_SENT_CODE_LENGTH + 1));
    }
    check_build(fc, width, n, sent.data());
    return 0;
}
