#include "decompress/huffman.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <utility>

#if defined(__SSE2__) && !defined(KELVO_SMALL_CODE)
#include <emmintrin.h>
#define KELVO_MASKED_PARTITION 1
#else
#define KELVO_MASKED_PARTITION 0
#endif
// Long ranges' stops as lists, packed by AVX-512 (on Windows only where
// the build makes GCC's 64-byte spills safe on a thread's 16-byte-aligned
// stack).
#if KELVO_MASKED_PARTITION && defined(__x86_64__) && (!defined(_WIN32) || defined(KELVO_UNALIGNED_VECTOR_SPILLS))
#include <immintrin.h>
#define KELVO_STOP_LISTS 1
#define KELVO_STOP_LISTS_TARGET "avx512f,avx512bw,avx512vl,popcnt"
#else
#define KELVO_STOP_LISTS 0
#endif


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

namespace {

inline uint32_t item_key(uint32_t item) { return item >> 16; }

// A range whose keys are all equal: each partition of it stops both scans
// at once on every entry, so it swaps the ends inward (a reversal) and
// leaves the halves, which share the middle entry when the size is odd;
// halves of two entries are left as they are. Run once per size of range,
// so built for size.
[[gnu::cold]] void reverse_halves(uint32_t* items, int lo, int hi)
{
    for (;;) {
        std::reverse(items + lo, items + hi + 1);
        const int half = (hi - lo + 1) / 2;
        const int i = lo + half;
        const int j = hi - half;
        if (j - lo >= 2)
            reverse_halves(items, lo, j);
        if (hi - i < 2)
            return;
        lo = i;
    }
}

// Puts a range of equal keys into the order those partitions give it,
// without comparing.
void order_equal_run(CodeTableWork& work, uint32_t* items, int lo, int hi)
{
    const int size = hi - lo + 1;
    uint16_t* order = work.run_orders + size * (size - 1) / 2;
    if (!work.run_order_made[size]) {
        uint32_t places[MAIN_SYMBOL_LIMIT + 1];
        for (int t = 0; t < size; ++t)
            places[t] = uint32_t(t);
        reverse_halves(places, 0, size - 1);
        for (int t = 0; t < size; ++t)
            order[t] = uint16_t(places[t]);
        work.run_order_made[size] = 1;
    }
    uint32_t run[MAIN_SYMBOL_LIMIT + 1];
    std::memcpy(run, items + lo, sizeof(uint32_t) * size_t(size));
    for (int t = 0; t < size; ++t)
        items[lo + t] = run[order[t]];
}

// With ANY_USED (the builder, once it knows some key is not 0), a range
// of zero keys is left as it stands: such a range lies past every used
// symbol, where the order is never looked at, and no other range moves
// its entries.
template <bool ANY_USED = false>
void sort_items(CodeTableWork& work, uint32_t* items, int lo, int hi)
{
    for (;;) {
        // Equal ends are needed for a range of equal keys, and cheap to see.
        if (item_key(items[lo]) == item_key(items[hi])) {
            uint32_t differ = 0;
            for (int k = lo; k <= hi; ++k)
                differ |= items[k] ^ items[lo];
            if (item_key(differ) == 0) {
                if (!ANY_USED || item_key(items[lo]) != 0)
                    order_equal_run(work, items, lo, hi);
                return;
            }
        }
        // Word comparisons against the pivot's key with the lowest and the
        // highest symbol part decide "less" and "greater" by the key alone.
        const uint32_t pivot = item_key(items[hi]);
        const uint32_t above = pivot << 16 | 0xFFFF;
        const uint32_t below = pivot << 16;
        int i = lo;
        int j = hi;
        for (;;) {
            while (items[i] > above)
                ++i;
            while (items[j] < below)
                --j;
            if (i > j)
                break;
            std::swap(items[i], items[j]);
            ++i;
            --j;
            if (i >= j)
                break;
        }
        if (lo < j) {
            if (lo < j - 1)
                sort_items<ANY_USED>(work, items, lo, j);
            else if (item_key(items[lo]) < item_key(items[j]))
                std::swap(items[lo], items[j]);
        }
        if (i < hi) {
            if (i < hi - 1) {
                lo = i;
                continue;
            }
            if (item_key(items[i]) < item_key(items[hi]))
                std::swap(items[i], items[hi]);
        }
        return;
    }
}

#if KELVO_MASKED_PARTITION
// The same sort, with the keys also kept as bytes beside the items. A
// partition's scans stop, until they meet, exactly at the places whose
// keys, as they were before the partition, are at most the pivot's (the
// scan to the right) and at least it (the scan to the left): once a pair
// has been swapped, neither scan can pass the other's last stop, which
// then holds a key that stops it. So the stops of a range are found all
// at once, as bit masks from 16-byte comparisons, and the swaps go from
// stop to stop, without a mispredicted branch at every stop.
constexpr int STOP_WORDS = (MAIN_SYMBOL_LIMIT + 1 + 63) / 64;

// Bit x of right (left) is set where keys[x] <= pivot (>= pivot), x < size;
// returns the number of words.
inline int stop_masks(const uint8_t* keys, int size, uint8_t pivot, uint64_t* right, uint64_t* left)
{
    // Signed comparisons of bytes, on keys with their top bit flipped.
    const __m128i flip = _mm_set1_epi8(char(0x80));
    const __m128i p = _mm_set1_epi8(char(pivot ^ 0x80));
    const int words = (size + 63) >> 6;
    for (int w = 0; w < words; ++w) {
        uint64_t r = 0, l = 0;
        // Most ranges are short: no groups past the last key.
        const int groups = std::min(4, (size - 64 * w + 15) >> 4);
        for (int q = 0; q < groups; ++q) {
            const __m128i k = _mm_xor_si128(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys + w * 64 + q * 16)), flip);
            r |= uint64_t(uint32_t(_mm_movemask_epi8(_mm_cmpgt_epi8(k, p)))) << (16 * q);
            l |= uint64_t(uint32_t(_mm_movemask_epi8(_mm_cmpgt_epi8(p, k)))) << (16 * q);
        }
        right[w] = ~r;
        left[w] = ~l;
    }
    const uint64_t valid = ~uint64_t(0) >> (63 - ((size - 1) & 63));
    right[words - 1] &= valid;
    left[words - 1] &= valid;
    return words;
}

inline void swap_keyed(uint32_t* items, uint8_t* keys, int a, int b)
{
    std::swap(items[a], items[b]);
    std::swap(keys[a], keys[b]);
}

#if KELVO_STOP_LISTS
// Room for the last packing's whole 16 places past the stops.
constexpr int STOP_LIST_SIZE = MAIN_SYMBOL_LIMIT + 2 + 16;

bool stop_lists_supported()
{
    static const bool supported = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                                  __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("popcnt");
    return supported;
}

// The places x < size where keys[x] <= pivot (right) and >= pivot (left), in
// order, 16 keys at a time; returns how many of each.
__attribute__((target(KELVO_STOP_LISTS_TARGET))) std::pair<int, int> stop_lists(const uint8_t* keys, int size,
                                                                               uint8_t pivot, int32_t* right,
                                                                               int32_t* left)
{
    const __m128i p = _mm_set1_epi8(char(pivot));
    __m512i place = _mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    int right_count = 0, left_count = 0;
    for (int c = 0; c < size; c += 16) {
        const __mmask16 valid = size - c >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (size - c)) - 1);
        const __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keys + c));
        const __mmask16 r = _mm_mask_cmple_epu8_mask(valid, k, p);
        const __mmask16 l = _mm_mask_cmpge_epu8_mask(valid, k, p);
        _mm512_storeu_si512(right + right_count, _mm512_maskz_compress_epi32(r, place));
        _mm512_storeu_si512(left + left_count, _mm512_maskz_compress_epi32(l, place));
        right_count += int(_mm_popcnt_u32(r));
        left_count += int(_mm_popcnt_u32(l));
        place = _mm512_add_epi32(place, _mm512_set1_epi32(16));
    }
    return {right_count, left_count};
}

// A partition of a long range over the lists of its stops: the k-th of the
// right list pairs with the k-th from the end of the left one, as in the
// loops below. Returns the places where the scans stopped, from lo.
inline std::pair<int, int> partition_by_lists(uint32_t* items, uint8_t* keys, int lo, int size, const int32_t* right,
                                              const int32_t* left, int left_count)
{
    const int32_t* l_at = left + left_count - 1;
    int k = 0;
    int r, l;
    for (;;) {
        r = right[k];
        l = *l_at;
        if (r >= l)
            break;
        swap_keyed(items, keys, lo + r, lo + l);
        if (l - r <= 2)
            return {r + 1, l - 1};
        ++k;
        --l_at;
    }
    if (r == l)
        return {r + 1, r - 1};
    const int a = k != 0 ? right[k - 1] : -1;
    const int b = k != 0 ? l_at[1] : size;
    return {std::min(r, b), std::max(l, a)};
}
#endif

template <bool ANY_USED = false>
void sort_keyed(CodeTableWork& work, uint32_t* items, uint8_t* keys, int lo, int hi)
{
    for (;;) {
        const uint8_t pivot = keys[hi];
        const int size = hi - lo + 1;
        int i, j;
#if KELVO_STOP_LISTS
        if (size > 62 && !work.scalar_sort && stop_lists_supported()) {
            // Each list ends in a stop that stands for none left: past the
            // last entry on the right, before the first on the left.
            int32_t right[STOP_LIST_SIZE], left_list[STOP_LIST_SIZE + 1];
            int32_t* left = left_list + 1;
            const auto [right_count, left_count] = stop_lists(keys + lo, size, pivot, right, left);
            if (right_count == size && left_count == size) {
                if (!ANY_USED || pivot != 0)
                    order_equal_run(work, items, lo, hi);
                return;
            }
            right[right_count] = size;
            left[-1] = -1;
            std::tie(i, j) = partition_by_lists(items, keys, lo, size, right, left, left_count);
        } else
#endif
        {
            uint64_t right[STOP_WORDS], left[STOP_WORDS];
            const int words = stop_masks(keys + lo, size, pivot, right, left);
            if (keys[lo] == pivot) {
                // Every key stops one scan at least; a range whose keys all
                // stop both is a range of equal keys.
                uint64_t differ = 0;
                for (int w = 0; w < words; ++w)
                    differ |= right[w] ^ left[w];
                if (differ == 0) {
                    if (!ANY_USED || pivot != 0)
                        order_equal_run(work, items, lo, hi);
                    return;
                }
            }
            // The stops in pairs, the k-th of the scan to the right with the
            // k-th of the scan to the left: each pair whose first lies left of
            // its second is swapped, and no swap moves a key of a later pair.
            if (size <= 62) {
                // One word each, moved up a place: bit 63 of the right scan's
                // stops stands for none left (62, past every entry) and bit 0 of
                // the left scan's for none left (-1), so neither needs a test of
                // its own; most ranges are this short.
                uint64_t mr = right[0] << 1 | uint64_t(1) << 63, ml = left[0] << 1 | 1;
                int a = -1, b = size;  // the last pair swapped, from lo
                int r, l;
                for (;;) {
                    r = __builtin_ctzll(mr) - 1;
                    l = 62 - __builtin_clzll(ml);
                    if (r >= l)
                        break;
                    swap_keyed(items, keys, lo + r, lo + l);
                    if (l - r <= 2)
                        break;
                    a = r;
                    b = l;
                    mr &= mr - 1;
                    ml ^= uint64_t(1) << (l + 1);
                }
                if (r < l) {
                    // The last pair swapped: the scans have met.
                    i = r + 1;
                    j = l - 1;
                } else if (r == l) {
                    // One key equal to the pivot where the scans meet.
                    i = r + 1;
                    j = r - 1;
                } else {
                    // The scans have crossed (see the loop for longer ranges).
                    i = std::min(r, b);
                    j = std::max(l, a);
                }
            } else {
                int wr = 0, wl = words - 1;
                uint64_t mr = right[0], ml = left[words - 1];
                int a = -1, b = size;  // the last pair swapped, from lo
                for (;;) {
                    int r = INT32_MAX, l = -1;
                    while (mr == 0 && ++wr < words)
                        mr = right[wr];
                    if (mr != 0) {
                        r = wr * 64 + __builtin_ctzll(mr);
                        mr &= mr - 1;
                    }
                    while (ml == 0 && --wl >= 0)
                        ml = left[wl];
                    if (ml != 0) {
                        const int top = 63 - __builtin_clzll(ml);
                        l = wl * 64 + top;
                        ml &= ~(uint64_t(1) << top);
                    }
                    if (r < l) {
                        swap_keyed(items, keys, lo + r, lo + l);
                        a = r;
                        b = l;
                        if (l - r <= 2) {
                            i = r + 1;
                            j = l - 1;
                            break;
                        }
                        continue;
                    }
                    if (r == l) {
                        // One key equal to the pivot where the scans meet.
                        i = r + 1;
                        j = r - 1;
                        break;
                    }
                    // The scans have crossed: each stops at its own next stop or at
                    // the place the other last swapped, whichever comes first.
                    i = std::min(r, b);
                    j = std::max(l, a);
                    break;
                }
            }
        }
        i += lo;
        j += lo;
        if (lo < j) {
            if (lo < j - 1)
                sort_keyed<ANY_USED>(work, items, keys, lo, j);
            else if (keys[lo] < keys[j])
                swap_keyed(items, keys, lo, j);
        }
        if (i < hi) {
            if (i < hi - 1) {
                lo = i;
                continue;
            }
            if (keys[i] < keys[hi])
                swap_keyed(items, keys, i, hi);
        }
        return;
    }
}
#endif

#ifdef KELVO_SMALL_CODE
// span is a power of two: most spans are short, and the long ones are
// whole words of four entries, stored two words a turn.
inline void fill_span(uint16_t* p, uint32_t span, uint16_t value)
{
    if (span < 4) {
        p[0] = value;
        if (span == 2)
            p[1] = value;
        return;
    }
    const uint64_t four = uint64_t(value) * 0x0001000100010001u;
    if (span == 4) {
        std::memcpy(p, &four, 8);
        return;
    }
    for (uint32_t k = 0; k < span; k += 8) {
        std::memcpy(p + k, &four, 8);
        std::memcpy(p + k + 4, &four, 8);
    }
}
#endif

// What the table holds from pos up is then what it held before the build.
inline void clear_stale_entries(uint16_t* table, uint32_t size, uint32_t pos, int stale_from)
{
    const uint32_t from = std::max(pos, uint32_t(std::max(stale_from, 0)));
    if (from < size)
        std::fill(table + from, table + size, uint16_t(0));
}

inline bool build_arguments_valid(int width, int n)
{
    return n >= 0 && n <= MAIN_SYMBOL_LIMIT && width >= 1 && width <= TABLE_BITS;
}

}  // namespace

namespace {

// sort_items on work.sort_items; with KEYS_MADE, scan_keys already holds
// their keys.
template <bool ANY_USED = false, bool KEYS_MADE = false>
void sort_work_items(CodeTableWork& work, int lo, int hi)
{
#if KELVO_MASKED_PARTITION
    if constexpr (!KEYS_MADE) {
        for (int k = lo; k <= hi; ++k)
            work.scan_keys[k] = uint8_t(item_key(work.sort_items[k]));
    }
    sort_keyed<ANY_USED>(work, work.sort_items, work.scan_keys, lo, hi);
#else
    sort_items<ANY_USED>(work, work.sort_items, lo, hi);
#endif
}

#if KELVO_MASKED_PARTITION
constexpr int COUNTED_LENGTHS = TABLE_BITS + 2;  // 0..TABLE_BITS, then the longer ones together

// The sort's items and byte keys for symbols 0..n, and how many symbols
// have each code length: 16 keys at a time, a byte counter per length and
// lane (each lane sees at most 18 keys), summed at the end.
void prepare_items(CodeTableWork& work, int n, const uint8_t* lengths, uint32_t* per_length)
{
    uint8_t* keys = work.scan_keys;
    std::memcpy(keys, lengths, size_t(n) + 1);
    std::memset(keys + n + 1, 0, 16);  // the last group's tail counts as length 0
    const int groups = (n + 16) / 16;
    static_assert((MAIN_SYMBOL_LIMIT + 16) / 16 * 16 <= sizeof work.scan_keys && (MAIN_SYMBOL_LIMIT + 16) / 16 < 256);
    __m128i counts[COUNTED_LENGTHS];
    for (int v = 0; v < COUNTED_LENGTHS; ++v)
        counts[v] = _mm_setzero_si128();
    const __m128i longest = _mm_set1_epi8(char(TABLE_BITS + 1));
    for (int g = 0; g < groups; ++g) {
        const __m128i k = _mm_min_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(keys + 16 * g)), longest);
        for (int v = 0; v < COUNTED_LENGTHS; ++v)
            counts[v] = _mm_sub_epi8(counts[v], _mm_cmpeq_epi8(k, _mm_set1_epi8(char(v))));
    }
    for (int v = 0; v < COUNTED_LENGTHS; ++v) {
        const __m128i sums = _mm_sad_epu8(counts[v], _mm_setzero_si128());
        per_length[v] = uint32_t(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
    }
    per_length[0] -= uint32_t(groups * 16 - (n + 1));
    uint32_t* items = work.sort_items;
    for (int i = 0; i <= n; ++i)
        items[i] = uint32_t(keys[i]) << 16 | uint32_t(i);
}
#endif

}  // namespace

void sort_items_by_length(CodeTableWork& work, int lo, int hi) { sort_work_items(work, lo, hi); }

#ifdef KELVO_SMALL_CODE
// The installer's form: the least code.
int build_lookup_table(CodeTableWork& work, int width, int n, uint8_t* lengths, uint16_t* table, uint16_t* entries,
                       int stale_from, [[maybe_unused]] uint32_t* match_entries, bool)
{
    const uint32_t size = 1u << width;
    const auto clear_stale = [&](uint32_t pos) { clear_stale_entries(table, size, pos, stale_from); };
    if (!build_arguments_valid(width, n)) {
        clear_stale(0);
        return 0;
    }

    uint32_t* items = work.sort_items;
    for (int i = 0; i <= n; ++i)
        items[i] = uint32_t(lengths[i]) << 16 | uint32_t(i);
    if (n != 0)
        sort_items(work, items, 0, n);
    items[n + 1] = 0;
    int count = 0;
    while (item_key(items[count]) != 0)
        ++count;

    if (count < 2) {
        // A lone symbol (or none) still needs a code a decoder can consume.
        lengths[items[0] & 0xFFFF] = 1;
        if (count == 0)
            count = 1;
    }

    uint32_t pos = 0;
    for (int k = count - 1; k >= 0; --k) {
        if (pos >= size)
            return 1;  // full: the longest codes get no entries
        const uint32_t length = item_key(items[k]);
        const uint32_t span = length > uint32_t(width) ? 0 : 1u << (width - length);
        if (span == 0 || pos + span > size) {
            clear_stale(pos);
            return 0;
        }
        const uint16_t symbol = uint16_t(items[k]);
        fill_span(table + pos, span, symbol);
        if (entries)
            fill_span(entries + pos, span, uint16_t(symbol << FAST_LENGTH_BITS | lengths[symbol]));
        pos += span;
    }
    clear_stale(pos);
    if (entries) {
        for (uint32_t v = pos; v < size; ++v)
            entries[v] = uint16_t(table[v] << FAST_LENGTH_BITS | lengths[table[v]]);
    }
    return 1;
}

#else
namespace {

// A run of span equal entries (a power of two) at p: one store for short
// runs, 16-byte stores for the rest.
template <typename T>
inline void fill_run(T* p, uint32_t span, T value)
{
    typedef T Vec __attribute__((vector_size(16)));
    if (span * sizeof(T) >= 32) {
        // Spans are powers of two: whole pairs of stores.
        const Vec v = Vec{} + value;  // a broadcast, not one insert per lane
        for (uint32_t k = 0; k < span; k += 32 / sizeof(T)) {
            std::memcpy(p + k, &v, 16);
            std::memcpy(p + k + 16 / sizeof(T), &v, 16);
        }
    } else if (span * sizeof(T) == 16) {
        const Vec v = Vec{} + value;
        std::memcpy(p, &v, 16);
    } else if (span * sizeof(T) == 8) {
        const uint64_t w = uint64_t(value) * (sizeof(T) == 2 ? 0x0001000100010001u : 0x0000000100000001u);
        std::memcpy(p, &w, 8);
    } else if (sizeof(T) == 2 && span == 2) {
        const uint32_t w = uint32_t(value) * 0x00010001u;
        std::memcpy(p, &w, sizeof w);
    } else {
        p[0] = value;
    }
}

// main_entry of the match symbols with code length 0: a code length adds
// itself to the low bits and to the bits the match takes.
constexpr int MATCH_SYMBOLS = MAIN_SYMBOL_LIMIT + 1 - 256;
constexpr auto MATCH_ENTRY_BASES = [] {
    std::array<uint32_t, MATCH_SYMBOLS> bases{};
    for (int s = 0; s < MATCH_SYMBOLS; ++s)
        bases[size_t(s)] = main_entry(uint32_t(256 + s), 0);
    return bases;
}();
constexpr bool match_entries_add_linearly()
{
    for (int s = 0; s < MATCH_SYMBOLS; ++s)
        for (uint32_t length = 1; length <= uint32_t(TABLE_BITS); ++length)
            if (main_entry(uint32_t(256 + s), length) != MATCH_ENTRY_BASES[size_t(s)] + length * 0x00010001u)
                return false;
    return true;
}
static_assert(match_entries_add_linearly(), "a code length adds itself to both fields of every match entry");

inline uint32_t main_entry_fast(uint32_t symbol, uint32_t code_length)
{
    return symbol < 256 ? (symbol << FAST_LENGTH_BITS | code_length)
                        : MATCH_ENTRY_BASES[symbol - 256] + code_length * 0x00010001u;
}

// Writes m codes of one length, span entries each, from entry pos up: those
// of items[k], items[k-1], ... (the order in which the sort leaves them).
template <bool ENTRIES, bool MATCH, bool LOOKUP = true>
void fill_codes(const uint32_t* items, int k, uint32_t m, uint32_t span, uint32_t pos, const uint8_t* lengths,
                uint16_t* table, uint16_t* entries, uint32_t* match_entries)
{
    const uint32_t* item = items + k;
    if (span == 1) {
        for (uint32_t t = 0; t < m; ++t) {
            const uint32_t symbol = item[-int(t)] & 0xFFFF;
            if constexpr (LOOKUP)
                table[pos + t] = uint16_t(symbol);
            if constexpr (ENTRIES)
                entries[pos + t] = uint16_t(symbol << FAST_LENGTH_BITS | lengths[symbol]);
            if constexpr (MATCH)
                match_entries[pos + t] = main_entry_fast(symbol, lengths[symbol]);
        }
        return;
    }
    for (uint32_t t = 0; t < m; ++t, pos += span) {
        const uint32_t symbol = item[-int(t)] & 0xFFFF;
        if constexpr (LOOKUP)
            fill_run<uint16_t>(table + pos, span, uint16_t(symbol));
        if constexpr (ENTRIES)
            fill_run<uint16_t>(entries + pos, span, uint16_t(symbol << FAST_LENGTH_BITS | lengths[symbol]));
        if constexpr (MATCH)
            fill_run<uint32_t>(match_entries + pos, span, main_entry_fast(symbol, lengths[symbol]));
    }
}

}  // namespace

int build_lookup_table(CodeTableWork& work, int width, int n, uint8_t* lengths, uint16_t* table, uint16_t* entries,
                       int stale_from, uint32_t* match_entries, bool lookup)
{
    const uint32_t size = 1u << width;
    const auto clear_stale = [&](uint32_t pos) { clear_stale_entries(table, size, pos, stale_from); };
    if (!build_arguments_valid(width, n)) {
        clear_stale(0);
        return 0;
    }
    lookup = lookup || (!entries && !match_entries);

    // Symbols by code length (those longer than the table together): the
    // codes go out from the shortest, one length after the other.
    uint32_t* items = work.sort_items;
    uint32_t per_length[TABLE_BITS + 2];
#if KELVO_MASKED_PARTITION
    constexpr bool KEYS_MADE = true;
    prepare_items(work, n, lengths, per_length);
#else
    constexpr bool KEYS_MADE = false;
    // Counted in four interleaved sets: runs of one length would otherwise
    // chain every increment through the same counter in memory.
    uint32_t counts[4][TABLE_BITS + 2] = {};
    for (int i = 0; i <= n; ++i) {
        const uint32_t length = lengths[i];
        items[i] = length << 16 | uint32_t(i);
        ++counts[i & 3][std::min<uint32_t>(length, TABLE_BITS + 1)];
    }
    for (int length = 0; length < TABLE_BITS + 2; ++length)
        per_length[length] = counts[0][length] + counts[1][length] + counts[2][length] + counts[3][length];
#endif
    const int count = n + 1 - int(per_length[0]);
    // The sort puts the used symbols first, count of them.
    if (n != 0) {
        if (count != 0)
            sort_work_items<true, KEYS_MADE>(work, 0, n);
        else
            sort_work_items<false, KEYS_MADE>(work, 0, n);
    }
    if (count < 2) {
        // A lone symbol (or none) still needs a code a decoder can consume;
        // with none, symbol items[0] takes the whole table (length 0).
        lengths[items[0] & 0xFFFF] = 1;
    }
    per_length[0] = count == 0 ? 1 : 0;

    // The entries taken so far are a whole number of the current span, so
    // a code never straddles the end: the table is full exactly, or a code
    // longer than the table fails the build.
    uint32_t pos = 0;
    int k = std::max(count, 1) - 1;
    for (int length = 0; length <= width && pos < size; ++length) {
        const uint32_t span = size >> length;
        const uint32_t m = std::min(per_length[length], (size - pos) >> (width - length));  // / span
        if (m == 0)
            continue;
        if (!lookup && !entries)
            fill_codes<false, true, false>(items, k, m, span, pos, lengths, table, entries, match_entries);
        else if (!lookup && !match_entries)
            fill_codes<true, false, false>(items, k, m, span, pos, lengths, table, entries, match_entries);
        else if (match_entries && entries)
            fill_codes<true, true>(items, k, m, span, pos, lengths, table, entries, match_entries);
        else if (match_entries)
            fill_codes<false, true>(items, k, m, span, pos, lengths, table, entries, match_entries);
        else if (entries)
            fill_codes<true, false>(items, k, m, span, pos, lengths, table, entries, match_entries);
        else
            fill_codes<false, false>(items, k, m, span, pos, lengths, table, entries, match_entries);
        k -= int(m);
        pos += m * span;
    }
    if (pos < size && k >= 0) {
        clear_stale(pos);  // a code longer than the table
        return 0;
    }
    if (pos == size)
        return 1;  // full: the longest codes, if any are left, get no entries
    clear_stale(pos);
    if (entries) {
        for (uint32_t v = pos; v < size; ++v)
            entries[v] = uint16_t(table[v] << FAST_LENGTH_BITS | lengths[table[v]]);
    }
    if (match_entries) {
        for (uint32_t v = pos; v < size; ++v)
            match_entries[v] = main_entry(table[v], lengths[table[v]]);
    }
    return 1;
}
#endif

void pack_lookup_table(const HuffmanTable& table, uint16_t* fast)
{
    for (int v = 0; v < TABLE_SIZE; ++v) {
        const uint16_t s = table.lookup[v];
        fast[v] = uint16_t(s << FAST_LENGTH_BITS | table.code_lengths[s]);
    }
}

void pack_main_entries(const HuffmanTable& table, uint32_t* entries)
{
    for (int v = 0; v < TABLE_SIZE; ++v)
        entries[v] = main_entry(table.lookup[v], table.code_lengths[table.lookup[v]]);
}
