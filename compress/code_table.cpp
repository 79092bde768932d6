#include "compress/code_table.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "decompress/huffman.h"

void limited_code_lengths(const uint32_t* freqs, int count, int max_length, uint8_t* lengths)
{
    std::memset(lengths, 0, static_cast<size_t>(count));
    // The used symbols by weight, lightest first (equal weights in symbol
    // order): as 48-bit weight and 16-bit symbol in one key.
    uint64_t keys[MAX_TABLE_SYMBOLS];
    int n = 0;
    for (int s = 0; s < count; ++s)
        if (freqs[s] != 0)
            keys[n++] = uint64_t{freqs[s]} << 16 | static_cast<uint32_t>(s);
    if (n == 0)
        return;
    if (n == 1) {
        lengths[keys[0] & 0xFFFF] = 1;
        return;
    }
    std::sort(keys, keys + n);

    // Package-merge, bottom up: the list of the deepest level is the leaves;
    // each level above merges the leaves with the pairs of the list below
    // (a leaf before a package of equal weight). Only the weights and, per
    // prefix of each list, how many leaves it holds are kept.
    uint64_t weights[2][2 * MAX_TABLE_SYMBOLS];
    uint16_t leaves_in[MAX_LENGTH_LIMIT][2 * MAX_TABLE_SYMBOLS + 1];
    int size = n;
    for (int k = 0; k < n; ++k)
        weights[0][k] = keys[k] >> 16;
    for (int k = 0; k <= n; ++k)
        leaves_in[max_length - 1][k] = static_cast<uint16_t>(k);
    for (int level = max_length - 2; level >= 0; --level) {
        const uint64_t* below = weights[(max_length - 2 - level) & 1];
        uint64_t* list = weights[(max_length - 1 - level) & 1];
        uint16_t* leaf_count = leaves_in[level];
        int packages = size / 2, a = 0, b = 0, m = 0;
        leaf_count[0] = 0;
        while (a < n || b < packages) {
            uint64_t package = b < packages ? below[2 * b] + below[2 * b + 1] : 0;
            if (b == packages || (a < n && (keys[a] >> 16) <= package)) {
                list[m] = keys[a++] >> 16;
                leaf_count[m + 1] = static_cast<uint16_t>(leaf_count[m] + 1);
            } else {
                list[m] = package;
                ++b;
                leaf_count[m + 1] = leaf_count[m];
            }
            ++m;
        }
        size = m;
    }
    // Top down: the first 2n - 2 items of the top list are chosen; each
    // chosen package chooses the two items below it, a prefix of the list
    // below. A leaf is as long as the number of levels that choose it.
    int taken = 2 * n - 2;
    for (int level = 0; level < max_length && taken > 0; ++level) {
        int leaves = leaves_in[level][taken];
        for (int k = 0; k < leaves; ++k)
            lengths[keys[k] & 0xFFFF]++;
        taken = 2 * (taken - leaves);
    }
}

bool assign_codes(CodeTableWork& work, int width, int n, const uint8_t* lengths, PrefixCode& code)
{
    uint8_t work_lengths[MAX_TABLE_SYMBOLS];
    uint16_t lookup[TABLE_SIZE];
    std::memcpy(work_lengths, lengths, static_cast<size_t>(n) + 1);
    std::memset(lookup, 0, sizeof lookup);
    std::memset(code.lengths, 0, sizeof code.lengths);
    std::memset(code.codes, 0, sizeof code.codes);
    if (!build_lookup_table(work, width, n, work_lengths, lookup))
        return false;

    // A code of length L fills the 2^(width - L) entries that begin with it,
    // so the first entry holding a symbol gives its code. Unused symbols
    // are skipped: entries the build did not write still hold symbol 0.
    bool seen[MAX_TABLE_SYMBOLS] = {};
    for (int index = 0; index < (1 << width); ++index) {
        int s = lookup[index];
        if (s > n || seen[s] || work_lengths[s] == 0)
            continue;
        seen[s] = true;
        code.lengths[s] = work_lengths[s];
        code.codes[s] = static_cast<uint16_t>(index >> (width - work_lengths[s]));
    }
    for (int s = 0; s <= n; ++s)
        if (lengths[s] != 0 && !seen[s])
            return false;
    return true;
}

namespace {

constexpr int RUN_MIN = 4;
constexpr int RUN_MAX = 19;

// The values sent for one (B, P) choice, as pre-code tokens.
struct TableTokens {
    uint8_t symbol[MAX_TABLE_SYMBOLS];
    uint8_t run_extra[MAX_TABLE_SYMBOLS];
    int count;
};

// The cheapest way to send k zero values, as the size of its last piece
// (1: a single zero, 4..19: a run), for each price of a single zero (0: it
// cannot be sent, P = 0) and of a run with its 4 bits; both are at most 8
// bits of pre-code (a symbol the pre-code lacks is priced 8) plus 4.
constexpr int MAX_ZERO_PRICE = 8;
constexpr int MAX_RUN_PRICE = MAX_ZERO_PRICE + 4;
struct ZeroSplits {
    uint8_t last[MAX_ZERO_PRICE + 1][MAX_RUN_PRICE + 1][MAX_TABLE_SYMBOLS + 1];
};

const ZeroSplits& zero_splits()
{
    static const ZeroSplits splits = [] {
        ZeroSplits z{};
        for (int zero = 0; zero <= MAX_ZERO_PRICE; ++zero) {
            for (int run = 0; run <= MAX_RUN_PRICE; ++run) {
                uint32_t best[MAX_TABLE_SYMBOLS + 1];
                uint8_t* how = z.last[zero][run];
                best[0] = 0;
                for (int k = 1; k <= MAX_TABLE_SYMBOLS; ++k) {
                    best[k] = UINT32_MAX;
                    how[k] = 0;
                    if (zero > 0 && best[k - 1] != UINT32_MAX) {
                        best[k] = best[k - 1] + static_cast<uint32_t>(zero);
                        how[k] = 1;
                    }
                    for (int t = RUN_MIN; t <= RUN_MAX && t <= k; ++t) {
                        if (best[k - t] != UINT32_MAX && best[k - t] + static_cast<uint32_t>(run) < best[k]) {
                            best[k] = best[k - t] + static_cast<uint32_t>(run);
                            how[k] = static_cast<uint8_t>(t);
                        }
                    }
                }
            }
        }
        return z;
    }();
    return splits;
}

// Splits the values into tokens; zero values are grouped into runs where
// the given costs say so (cheapest split of each stretch of zeros).
void tokenize(const uint8_t* values, int value_count, int p, uint32_t zero_cost, uint32_t run_cost,
              TableTokens& tokens)
{
    const uint8_t* how = zero_splits().last[p > 0 ? std::min<uint32_t>(zero_cost, MAX_ZERO_PRICE) : 0]
                                           [std::min<uint32_t>(run_cost, MAX_RUN_PRICE)];
    tokens.count = 0;
    int i = 0;
    while (i < value_count) {
        if (values[i] != 0) {
            tokens.symbol[tokens.count] = values[i];
            tokens.run_extra[tokens.count++] = 0;
            ++i;
            continue;
        }
        int k = 0;
        while (i + k < value_count && values[i + k] == 0)
            ++k;
        // A stretch that only a run can send (P = 0) may end the table, where
        // a run longer than what is left is cut by the decoder.
        int left = k;
        uint8_t pieces[MAX_TABLE_SYMBOLS];
        int piece_count = 0;
        if (how[left] == 0) {
            while (left > 0) {
                int t = std::min(left, RUN_MAX);
                pieces[piece_count++] = static_cast<uint8_t>(std::max(t, RUN_MIN));
                left -= t;
            }
        } else {
            while (left > 0) {
                pieces[piece_count++] = how[left];
                left -= how[left];
            }
        }
        for (int q = piece_count - 1; q >= 0; --q) {
            if (pieces[q] == 1) {
                tokens.symbol[tokens.count] = 0;
                tokens.run_extra[tokens.count++] = 0;
            } else {
                tokens.symbol[tokens.count] = static_cast<uint8_t>(p);
                tokens.run_extra[tokens.count++] = static_cast<uint8_t>(pieces[q] - RUN_MIN);
            }
        }
        i += k;
    }
}

struct TableChoice {
    int base, modulus;
    uint8_t pre_lengths[PRE_SYMBOL_COUNT];
    TableTokens tokens;
    uint32_t bits;
};

// Prices one (B, P) choice: two rounds of (tokenize, pre-code lengths).
void price_choice(const uint8_t* values, int value_count, int p, TableChoice& choice)
{
    uint32_t zero_cost = 2, run_cost = 3 + 4;
    for (int round = 0; round < 2; ++round) {
        tokenize(values, value_count, p, zero_cost, run_cost, choice.tokens);
        uint32_t freqs[PRE_SYMBOL_COUNT] = {};
        for (int t = 0; t < choice.tokens.count; ++t)
            freqs[choice.tokens.symbol[t]]++;
        limited_code_lengths(freqs, p + 1, MAX_PRE_CODE_LENGTH, choice.pre_lengths);
        zero_cost = choice.pre_lengths[0] ? choice.pre_lengths[0] : 8;
        run_cost = (choice.pre_lengths[p] ? choice.pre_lengths[p] : 8) + 4;
    }
    uint32_t bits = 9 + 4 + 4 + 3 * static_cast<uint32_t>(p + 1);
    for (int t = 0; t < choice.tokens.count; ++t) {
        int s = choice.tokens.symbol[t];
        bits += choice.pre_lengths[s] + (s == p ? 4 : 0);
    }
    choice.bits = bits;
}

}  // namespace

uint32_t write_code_table(CodeTableWork& work, PackBitWriter* out, const uint8_t* lengths, int limit)
{
    int n = 0;
    int shortest = MAX_CODE_LENGTH + 1, longest = 0;
    for (int s = 0; s <= limit; ++s) {
        if (lengths[s] != 0) {
            n = s;
            shortest = std::min<int>(shortest, lengths[s]);
            longest = std::max<int>(longest, lengths[s]);
        }
    }

    TableChoice best{};
    best.bits = UINT32_MAX;
    uint8_t values[MAX_TABLE_SYMBOLS];
    if (longest == 0) {
        // No symbol in use: P = 0 makes every value a run of zeros.
        values[0] = 0;
        best.base = 0;
        best.modulus = 0;
        price_choice(values, 1, 0, best);
    } else {
        // The cheapest choice lies near the largest base and the smallest
        // modulus. Searching only three bases and four moduli cost 83 of
        // 3000 random tables some 10 bits each, and is ten times faster.
        for (int b = std::max(0, shortest - 3); b < shortest; ++b) {
            int smallest_p = std::max(2, longest - b + 1);
            for (int p = smallest_p; p < PRE_SYMBOL_COUNT && p <= smallest_p + 3; ++p) {
                int previous = 0;
                for (int j = 0; j <= n; ++j) {
                    int c = lengths[j] ? lengths[j] - b : 0;
                    values[j] = static_cast<uint8_t>(((c - previous) % p + p) % p);
                    previous = c;
                }
                TableChoice choice;
                choice.base = b;
                choice.modulus = p;
                price_choice(values, n + 1, p, choice);
                if (choice.bits < best.bits)
                    best = choice;
            }
        }
    }

    if (out != nullptr) {
        PrefixCode pre{};
        // The pre-code's own lengths always fit: package-merge keeps them to 7.
        assign_codes(work, PRE_TABLE_BITS, best.modulus, best.pre_lengths, pre);
        out->put(static_cast<uint32_t>(n), 9);
        out->put(static_cast<uint32_t>(best.base), 4);
        out->put(static_cast<uint32_t>(best.modulus), 4);
        for (int i = 0; i <= best.modulus; ++i)
            out->put(best.pre_lengths[i], 3);
        for (int t = 0; t < best.tokens.count; ++t) {
            int s = best.tokens.symbol[t];
            put_symbol(*out, pre, s);
            if (s == best.modulus)
                out->put(best.tokens.run_extra[t], 4);
        }
    }
    return best.bits;
}

namespace {

// Each run of at least two neighbouring counts that stay within tolerance
// of their running mean (gaps of up to two unused symbols bridged, which
// then get codes too) takes the mean. The tolerance is in halves of the
// mean; the test |f - sum / used| > tolerance * mean + 1 is made on
// integers, multiplied out by 2 used.
void even_out_counts(const uint32_t* freqs, int count, uint64_t tolerance_halves, uint32_t* out)
{
    std::memcpy(out, freqs, static_cast<size_t>(count) * sizeof(uint32_t));
    constexpr int MAX_GAP = 2;
    int i = 0;
    while (i < count) {
        if (freqs[i] == 0) {
            ++i;
            continue;
        }
        uint64_t sum = freqs[i];
        uint64_t used = 1;
        int j = i + 1;
        while (j < count) {
            int next = j;
            while (next < count && freqs[next] == 0)
                ++next;
            if (next == count || next - j > MAX_GAP)
                break;
            const uint64_t scaled = uint64_t{freqs[next]} * used;
            const uint64_t deviation = scaled > sum ? scaled - sum : sum - scaled;
            if (2 * deviation > tolerance_halves * sum + 2 * used)
                break;
            sum += freqs[next];
            ++used;
            j = next + 1;
        }
        if (j - i >= 2) {
            // The mean rounded to the nearest count, at least 1.
            uint32_t mean = std::max<uint32_t>(1, static_cast<uint32_t>((2 * sum + used) / (2 * used)));
            for (int k = i; k < j; ++k)
                out[k] = mean;
        }
        i = j;
    }
}

uint64_t block_cost(CodeTableWork& work, const uint32_t* freqs, int limit, const uint8_t* lengths)
{
    uint64_t bits = write_code_table(work, nullptr, lengths, limit);
    for (int s = 0; s <= limit; ++s)
        bits += uint64_t{freqs[s]} * lengths[s];
    return bits;
}

}  // namespace

void block_code_lengths(CodeTableWork& work, const uint32_t* freqs, int limit, uint8_t* lengths)
{
    const int count = limit + 1;
    limited_code_lengths(freqs, count, MAX_CODE_LENGTH, lengths);
    uint64_t total = 0;
    for (int s = 0; s < count; ++s)
        total += freqs[s];
    // On the payload corpus nearly all of the gain was in blocks of fewer
    // than 8000 symbols, where a table is some 5 % of the block; evening
    // out with tolerances of a half and of one took 11 % off the tables.
    constexpr uint64_t MAX_EVENED_SYMBOLS = 16384;
    if (total >= MAX_EVENED_SYMBOLS)
        return;
    uint64_t best = block_cost(work, freqs, limit, lengths);
    for (uint64_t tolerance_halves : {1, 2}) {
        uint32_t evened[MAX_TABLE_SYMBOLS];
        uint8_t candidate[MAX_TABLE_SYMBOLS];
        even_out_counts(freqs, count, tolerance_halves, evened);
        limited_code_lengths(evened, count, MAX_CODE_LENGTH, candidate);
        uint64_t bits = block_cost(work, freqs, limit, candidate);
        if (bits < best) {
            best = bits;
            std::memcpy(lengths, candidate, static_cast<size_t>(count));
        }
    }
}
