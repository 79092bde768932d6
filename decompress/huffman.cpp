#include "decompress/huffman.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "extract/job.h"

namespace {

void swap_entries(CodeTableWork& work, int a, int b)
{
    std::swap(work.sort_keys[a], work.sort_keys[b]);
    std::swap(work.sort_symbols[a], work.sort_symbols[b]);
}

int fail_table(JobContext& cx)
{
    // Ends the LZ77 decoder's current call as though its limit were reached.
    cx.lz.call_produced = cx.lz.call_limit;
    return 0;
}

}  // namespace

// The exact sequence of swaps decides which symbol of a given length gets
// which code, so this is the format's own quicksort, not any sort that
// yields descending keys.
void sort_by_length(CodeTableWork& work, int lo, int hi)
{
    uint8_t* keys = work.sort_keys;
    for (;;) {
        const uint8_t pivot = keys[hi];
        int i = lo;
        int j = hi;
        for (;;) {
            // keys[hi] == pivot stops the first scan; every swap leaves a
            // stopper for both scans, so neither leaves [lo, hi].
            while (keys[i] > pivot)
                ++i;
            while (keys[j] < pivot)
                --j;
            if (i > j)
                break;
            swap_entries(work, i, j);
            ++i;
            --j;
            if (i >= j)
                break;
        }
        if (lo < j) {
            if (lo < j - 1)
                sort_by_length(work, lo, j);
            else if (keys[lo] < keys[j])
                swap_entries(work, lo, j);
        }
        if (i < hi) {
            if (i < hi - 1) {
                lo = i;
                continue;
            }
            if (keys[i] < keys[hi])
                swap_entries(work, i, hi);
        }
        return;
    }
}

int build_lookup_table(JobContext& cx, int width, int n, uint8_t* lengths, uint16_t* table)
{
    CodeTableWork& work = cx.tables;
    if (n < 0 || n > MAIN_SYMBOL_LIMIT || width < 1 || width > TABLE_BITS)
        return fail_table(cx);

    std::memcpy(work.sort_keys, lengths, size_t(n) + 1);
    if (n != 0) {
        for (int i = 0; i <= n; ++i)
            work.sort_symbols[i] = uint16_t(i);
        sort_by_length(work, 0, n);
    } else {
        work.sort_symbols[0] = 0;
    }
    work.sort_keys[n + 1] = 0;
    int count = 0;
    while (work.sort_keys[count] != 0)
        ++count;

    if (count < 2) {
        // A lone symbol (or none) still needs a code a decoder can consume.
        lengths[work.sort_symbols[0]] = 1;
        if (count == 0)
            count = 1;
    }

    const uint32_t size = 1u << width;
    uint32_t pos = 0;
    for (int k = count - 1; k >= 0; --k) {
        if (pos >= size)
            return 1;  // full: the longest codes get no entries
        const int length = work.sort_keys[k];
        if (length > width)
            return fail_table(cx);
        const uint32_t span = 1u << (width - length);
        if (pos + span > size)
            return fail_table(cx);
        std::fill_n(table + pos, span, work.sort_symbols[k]);
        pos += span;
    }
    return 1;
}

int read_code_table(JobContext& cx, int width, uint16_t* table, uint8_t* lengths, int limit)
{
    CodeTableWork& work = cx.tables;
    std::memset(lengths, 0, size_t(limit));
    std::fill_n(table, size_t(1) << width, uint16_t(0));

    int n = int(read_bits(cx, 9));
    if (n > limit)
        n = limit;
    const int length_base = int(read_bits(cx, 4));
    const int max_pre_symbol = int(read_bits(cx, 4));
    for (int i = 0; i <= max_pre_symbol; ++i)
        work.pre_lengths[i] = uint8_t(read_bits(cx, 3));

    // The pre-code borrows the first 128 entries of the table being read;
    // every entry it can yield is a symbol 0..max_pre_symbol, since the rest
    // of the table was just cleared to 0.
    if (!build_lookup_table(cx, PRE_TABLE_BITS, max_pre_symbol, work.pre_lengths, table))
        return 0;

    int i = 0;
    while (i <= n) {
        const int s = table[peek_bits(cx, PRE_TABLE_BITS)];
        skip_bits(cx, work.pre_lengths[s]);
        if (s < max_pre_symbol) {
            lengths[i++] = uint8_t(s);
            continue;
        }
        const int run = int(read_bits(cx, 4)) + 4;
        for (int r = 0; r < run && i <= n; ++r)
            lengths[i++] = 0;
    }

    if (max_pre_symbol != 0) {
        for (int j = 1; j <= n; ++j)
            lengths[j] = uint8_t((lengths[j - 1] + lengths[j]) % max_pre_symbol);
    }
    for (int j = 0; j <= n; ++j) {
        if (lengths[j] != 0)
            lengths[j] = uint8_t(lengths[j] + length_base);
    }
    return build_lookup_table(cx, width, n, lengths, table);
}

int decode_symbol(JobContext& cx, const HuffmanTable& table)
{
    const int s = table.lookup[peek_bits(cx, TABLE_BITS)];
    skip_bits(cx, table.code_lengths[s]);
    return s;
}

void pack_lookup_table(const HuffmanTable& table, uint16_t* fast)
{
    for (int v = 0; v < TABLE_SIZE; ++v) {
        const uint16_t s = table.lookup[v];
        fast[v] = uint16_t(s << FAST_LENGTH_BITS | table.code_lengths[s]);
    }
}
