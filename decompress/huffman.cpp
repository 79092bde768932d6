#include "decompress/huffman.h"

#include <algorithm>
#include <cstring>
#include <utility>


namespace {

void swap_entries(CodeTableWork& work, int a, int b)
{
    std::swap(work.sort_keys[a], work.sort_keys[b]);
    std::swap(work.sort_symbols[a], work.sort_symbols[b]);
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

int build_lookup_table(CodeTableWork& work, int width, int n, uint8_t* lengths, uint16_t* table)
{
    if (n < 0 || n > MAIN_SYMBOL_LIMIT || width < 1 || width > TABLE_BITS)
        return 0;

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
            return 0;
        const uint32_t span = 1u << (width - length);
        if (pos + span > size)
            return 0;
        std::fill_n(table + pos, span, work.sort_symbols[k]);
        pos += span;
    }
    return 1;
}

void pack_lookup_table(const HuffmanTable& table, uint16_t* fast)
{
    for (int v = 0; v < TABLE_SIZE; ++v) {
        const uint16_t s = table.lookup[v];
        fast[v] = uint16_t(s << FAST_LENGTH_BITS | table.code_lengths[s]);
    }
}
