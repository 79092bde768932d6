#include "compress/code_table.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "decompress/huffman.h"

namespace {

// Package-merge node: a leaf (symbol >= 0) or a package of two nodes.
struct MergeNode {
    uint64_t weight;
    int32_t symbol;
    int32_t left, right;
};

}  // namespace

void limited_code_lengths(const uint32_t* freqs, int count, int max_length, uint8_t* lengths)
{
    std::memset(lengths, 0, static_cast<size_t>(count));
    std::vector<int32_t> used;
    for (int32_t s = 0; s < count; ++s)
        if (freqs[s] != 0)
            used.push_back(s);
    if (used.empty())
        return;
    if (used.size() == 1) {
        lengths[used[0]] = 1;
        return;
    }
    std::stable_sort(used.begin(), used.end(),
                     [&](int32_t a, int32_t b) { return freqs[a] < freqs[b]; });

    std::vector<MergeNode> pool;
    pool.reserve(used.size() * 2 * static_cast<size_t>(max_length));
    std::vector<int32_t> leaves;
    for (int32_t s : used) {
        leaves.push_back(static_cast<int32_t>(pool.size()));
        pool.push_back({freqs[s], s, -1, -1});
    }

    // Each round pairs the current list into packages and merges them with
    // the leaves; after max_length - 1 rounds the first 2m - 2 items name
    // every leaf as often as its optimal code is long.
    std::vector<int32_t> list = leaves, merged;
    for (int round = 1; round < max_length; ++round) {
        std::vector<int32_t> packages;
        for (size_t k = 0; k + 1 < list.size(); k += 2) {
            packages.push_back(static_cast<int32_t>(pool.size()));
            pool.push_back({pool[list[k]].weight + pool[list[k + 1]].weight, -1, list[k], list[k + 1]});
        }
        merged.clear();
        size_t a = 0, b = 0;
        while (a < leaves.size() || b < packages.size()) {
            if (b == packages.size() ||
                (a < leaves.size() && pool[leaves[a]].weight <= pool[packages[b]].weight))
                merged.push_back(leaves[a++]);
            else
                merged.push_back(packages[b++]);
        }
        list.swap(merged);
    }

    size_t take = 2 * used.size() - 2;
    std::vector<int32_t> stack;
    for (size_t k = 0; k < take && k < list.size(); ++k) {
        stack.push_back(list[k]);
        while (!stack.empty()) {
            const MergeNode& node = pool[stack.back()];
            stack.pop_back();
            if (node.symbol >= 0) {
                lengths[node.symbol]++;
            } else {
                stack.push_back(node.left);
                stack.push_back(node.right);
            }
        }
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

// Splits the values into tokens; zero values are grouped into runs where
// the given costs say so (cheapest split of each stretch of zeros).
void tokenize(const uint8_t* values, int value_count, int p, uint32_t zero_cost, uint32_t run_cost,
              TableTokens& tokens)
{
    // best[k]: cheapest way to send k zeros; how[k]: size of the last piece.
    uint32_t best[MAX_TABLE_SYMBOLS + 1];
    uint8_t how[MAX_TABLE_SYMBOLS + 1];
    best[0] = 0;
    for (int k = 1; k <= value_count; ++k) {
        best[k] = UINT32_MAX;
        if (p > 0 && best[k - 1] != UINT32_MAX) {
            best[k] = best[k - 1] + zero_cost;
            how[k] = 1;
        }
        for (int t = RUN_MIN; t <= RUN_MAX && t <= k; ++t) {
            if (best[k - t] != UINT32_MAX && best[k - t] + run_cost < best[k]) {
                best[k] = best[k - t] + run_cost;
                how[k] = static_cast<uint8_t>(t);
            }
        }
    }
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
        if (best[left] == UINT32_MAX) {
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
