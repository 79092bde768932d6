#include "compress/lz_encoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "compress/bit_writer.h"
#include "compress/code_table.h"
#include "decompress/huffman.h"
#include "decompress/lz77.h"

namespace {

constexpr int MAIN_SYMBOLS = 283;
constexpr int LENGTH_SYMBOLS = 256;
// Bytes parsed with one cost model; also the longest stretch between two
// forced block boundaries. 256 KiB keeps the parse arrays near 16 MB.
constexpr uint32_t SEGMENT_BYTES = 1u << 18;
constexpr uint32_t COST_UNIT = 16;  // costs count sixteenths of a bit
constexpr uint32_t INFINITE_COST = UINT32_MAX;

struct LevelTuning {
    int max_depth;         // tree nodes (or chain links) visited per search
    uint32_t nice_length;  // a match this long is taken as it stands
    int passes;            // parses of a segment, each priced by the last
    bool reparse_blocks;   // parse each block once more under its own code
    int chain_parse;       // 0: cheapest path; 1 greedy, 2 lazy over hash chains
};
// Reparsing each block under its own statistics saved 0.35 % of the output
// on 14 MB of installer payload (PE files and text), for one more parse.
constexpr LevelTuning LEVELS[MAX_LEVEL + 1] = {
    {4, 16, 1, false, 1},  // 0: unused
    {4, 16, 1, false, 1},   {8, 32, 1, false, 2},   {16, 64, 1, false, 2},
    {16, 48, 2, false, 0},  {24, 64, 2, false, 0},  {32, 96, 2, true, 0},
    {48, 128, 3, true, 0},  {96, 192, 3, true, 0},  {192, 259, 4, true, 0},
};

struct CostModel {
    uint32_t main[MAIN_SYMBOLS];
    uint32_t length[LENGTH_SYMBOLS];
};

// Sixteenths of a bit for a symbol seen f times out of total, held between
// 1 bit (no code is shorter) and 12 (a symbol not seen so far is priced a
// little above the longest code). Whole code lengths from a real code
// priced 0.2 % worse on the payload corpus than these fractions.
void costs_from_counts(const uint32_t* counts, int n, uint32_t* costs)
{
    uint64_t total = 0;
    for (int s = 0; s < n; ++s)
        total += counts[s];
    for (int s = 0; s < n; ++s) {
        double f = counts[s] ? counts[s] : 0.4;
        double bits = total ? std::log2(static_cast<double>(total) / f) : 8.0;
        bits = std::clamp(bits, 1.0, 12.0);
        costs[s] = static_cast<uint32_t>(bits * COST_UNIT + 0.5);
    }
}

void model_from_stats(const SymbolStats& stats, CostModel& model)
{
    costs_from_counts(stats.main, MAIN_SYMBOLS, model.main);
    costs_from_counts(stats.length, LENGTH_SYMBOLS, model.length);
}

// A first guess before any parse: literals by their frequency in the
// segment, matches by a rough prior (short lengths and recent distances
// are common).
void initial_model(const uint8_t* bytes, uint32_t size, CostModel& model)
{
    uint32_t counts[256] = {};
    for (uint32_t i = 0; i < size; ++i)
        counts[bytes[i]]++;
    SymbolStats stats{};
    for (int b = 0; b < 256; ++b)
        stats.main[b] = counts[b] * 2 + 1;
    uint32_t match_weight = size / 8 + 1;
    const uint32_t rep_weights[4] = {6, 3, 2, 2};
    for (int r = 0; r < 4; ++r)
        stats.main[256 + r] = match_weight * rep_weights[r] / 8 + 1;
    for (int s = 260; s < MAIN_SYMBOLS; ++s)
        stats.main[s] = match_weight / 20 + 1;
    for (int m = 0; m < LENGTH_SYMBOLS; ++m)
        stats.length[m] = match_weight * 4 / ((m + 1) * (m + 2)) + 1;
    model_from_stats(stats, model);
}

void count_op(const ParseOp& op, SymbolStats& stats)
{
    if (op.kind == OP_LITERAL) {
        stats.main[op.value]++;
    } else if (op.kind < OP_NEW_DISTANCE) {
        int r = op.kind - OP_REP0;
        stats.main[256 + r]++;
        stats.length[op.length - rep_length_base(r)]++;
    } else {
        int extra;
        stats.main[distance_symbol(op.value, extra)]++;
        stats.length[op.length - distance_length_base(op.value)]++;
    }
}

inline void apply_op(const ParseOp& op, const uint32_t* reps, uint32_t* out)
{
    if (op.kind == OP_LITERAL) {
        std::memcpy(out, reps, 4 * sizeof(uint32_t));
    } else if (op.kind < OP_NEW_DISTANCE) {
        int r = op.kind - OP_REP0;
        uint32_t v = reps[r];
        int k = 1;
        out[0] = v;
        for (int j = 0; j < 4; ++j)
            if (j != r)
                out[k++] = reps[j];
    } else {
        out[0] = op.value;
        out[1] = reps[0];
        out[2] = reps[1];
        out[3] = reps[2];
    }
}

struct Reps {
    uint32_t r[4];
};

// Per-segment scratch, kept between segments to avoid reallocating.
struct SegmentWork {
    std::vector<uint32_t> match_start;  // per position, into matches
    std::vector<MatchRef> matches;
    // Per position of the parse, apart so that relaxing a run of lengths
    // walks only the costs and steps: the cheapest cost so far, the step
    // that arrives there, and the distance history once it is settled.
    std::vector<uint32_t> cost;
    std::vector<ParseOp> arrive;
    std::vector<Reps> reps;
    std::vector<ParseOp> ops;
};

inline uint32_t relative(const LzEncoder& enc, uint64_t pos) { return static_cast<uint32_t>(pos - enc.finder_base); }

// Brings [seg_begin, seg_end) and the lookahead behind it into the window,
// with the dictionary's reach before it; rebases the finder when the
// window has slid.
bool sync_window(LzEncoder& enc, uint64_t seg_begin, uint64_t seg_end)
{
    uint64_t keep = seg_begin > StreamWindow::HISTORY ? seg_begin - StreamWindow::HISTORY : 0;
    if (!enc.window->prepare(keep, seg_end + MAX_MATCH))
        return false;
    uint64_t base = enc.window->base();
    if (base != enc.finder_base || enc.finder.data != enc.window->buffer()) {
        match_finder_rebase(enc.finder, enc.window->buffer(), static_cast<uint32_t>(base - enc.finder_base));
        enc.finder_base = base;
    }
    return true;
}

void collect_matches(LzEncoder& enc, uint64_t seg_begin, uint32_t seg_size,
                     SegmentWork& work)
{
    work.match_start.assign(seg_size + 1, 0);
    work.matches.clear();
    MatchRef found[MAX_MATCHES_PER_POSITION + 2];
    uint64_t skip_until = 0;
    // The window holds MAX_MATCH bytes past the segment, or the stream's end.
    const uint64_t data_end = enc.window->end();
    for (uint32_t i = 0; i < seg_size; ++i) {
        uint64_t pos = seg_begin + i;
        // The match trees compare up to the end of the whole stream, never
        // up to the entry's end: a tree built with comparisons cut short
        // in the middle of the stream takes "equal up to the limit" for
        // equal and loses its order, and later searches then report
        // lengths that are not there. The parser cuts matches at the
        // entry's end.
        uint32_t max_length = static_cast<uint32_t>(std::min<uint64_t>(MAX_MATCH, data_end - pos));
        work.match_start[i] = static_cast<uint32_t>(work.matches.size());
        if (pos < skip_until) {
            skip_position(enc.finder, relative(enc, pos), max_length);
            continue;
        }
        int n = find_matches(enc.finder, relative(enc, pos), max_length, found);
        work.matches.insert(work.matches.end(), found, found + n);
        // Past a long match the parse jumps, so searching there is wasted.
        if (n > 0 && found[n - 1].length >= enc.finder.nice_length)
            skip_until = pos + found[n - 1].length;
    }
    work.match_start[seg_size] = static_cast<uint32_t>(work.matches.size());
}

// The first of several parses only gathers statistics for the next one,
// so it is coarse: each match is tried at its full length alone, and one
// of this length or more is taken as it stands. On 20 MB of the payload
// corpus this cut -m6 by 9 % of its processor time and -m9 by 11 %, and
// both came out a little smaller (0.01 %, 0.07 %): the priced
// statistics are those of longer matches, as the final parse takes them.
// Coarse later passes too made -m9 0.07 % larger.
constexpr uint32_t COARSE_NICE_LENGTH = 32;

// Cheapest path through the segment under the model: a forward pass over
// positions, each carrying the distance history of the best path to it.
// The range starts at stream position seg_begin, which is entry cache_base
// of the segment's match cache.
void parse_segment(LzEncoder& enc, uint64_t seg_begin, uint32_t cache_base, uint32_t seg_size,
                   const uint32_t* reps_in, const CostModel& model, SegmentWork& work, uint32_t* reps_out,
                   bool coarse = false)
{
    const uint32_t nice = coarse ? std::min(COARSE_NICE_LENGTH, enc.finder.nice_length) : enc.finder.nice_length;
    work.cost.assign(seg_size + 1, INFINITE_COST);
    work.arrive.resize(seg_size + 1);
    work.reps.resize(seg_size + 1);
    uint32_t* costs = work.cost.data();
    ParseOp* arrive = work.arrive.data();
    Reps* history = work.reps.data();
    costs[0] = 0;
    std::memcpy(history[0].r, reps_in, sizeof history[0].r);

    auto relax = [&](uint32_t target, uint32_t cost, uint8_t kind, uint32_t value, uint32_t length) {
        if (cost < costs[target]) {
            costs[target] = cost;
            arrive[target] = {value, static_cast<uint16_t>(length), kind};
        }
    };

    uint32_t i = 0;
    while (i < seg_size) {
        if (i > 0)
            apply_op(arrive[i], history[i - arrive[i].length].r, history[i].r);
        const uint32_t* node_reps = history[i].r;
        const uint64_t pos = seg_begin + i;
        const uint8_t* in = enc.window->at(pos);
        const uint32_t max_length = std::min<uint32_t>(MAX_MATCH, seg_size - i);
        const uint32_t base_cost = costs[i];
        uint32_t jump = 0;

        relax(i + 1, base_cost + model.main[in[0]], OP_LITERAL, in[0], 1);

        if (max_length >= 2) {
            for (int r = 0; r < 4; ++r) {
                uint32_t v = node_reps[r];
                bool repeated = false;
                for (int q = 0; q < r; ++q)
                    repeated |= node_reps[q] == v;
                uint64_t distance = uint64_t{v} + 1;
                if (repeated || relative(enc, pos) < enc.finder.min_pos + distance)
                    continue;
                const uint8_t* src = in - distance;
                if (src[0] != in[0] || src[1] != in[1])
                    continue;
                uint32_t base = rep_length_base(r);
                uint32_t length = std::min(common_length(in, src, 0, max_length), base + 255);
                if (length < base)
                    continue;
                uint32_t symbol_cost = base_cost + model.main[256 + r];
                uint8_t kind = static_cast<uint8_t>(OP_REP0 + r);
                if (length >= nice || coarse) {
                    relax(i + length, symbol_cost + model.length[length - base], kind, v, length);
                    if (coarse && length < nice)
                        continue;
                    jump = std::max(jump, length);
                    continue;
                }
                for (uint32_t l = base; l <= length; ++l)
                    relax(i + l, symbol_cost + model.length[l - base], kind, v, l);
            }

            uint32_t covered = 1;
            for (uint32_t k = work.match_start[cache_base + i]; k < work.match_start[cache_base + i + 1]; ++k) {
                const MatchRef& m = work.matches[k];
                uint32_t length = std::min(m.length, max_length);
                uint32_t base = distance_length_base(m.value);
                uint32_t low = std::max(covered + 1, base);
                uint32_t high = std::min(length, base + 255);
                covered = std::max(covered, length);
                if (high < low)
                    continue;
                int extra;
                int symbol = distance_symbol(m.value, extra);
                uint32_t symbol_cost = base_cost + model.main[symbol] + static_cast<uint32_t>(extra) * COST_UNIT;
                if (high >= nice || coarse) {
                    relax(i + high, symbol_cost + model.length[high - base], OP_NEW_DISTANCE, m.value, high);
                    if (coarse && high < nice)
                        continue;
                    jump = std::max(jump, high);
                    continue;
                }
                for (uint32_t l = low; l <= high; ++l)
                    relax(i + l, symbol_cost + model.length[l - base], OP_NEW_DISTANCE, m.value, l);
            }
        }
        // A long match is taken as it stands: the positions it covers are
        // not worth trying as starting points. Paths that reach past them
        // from earlier positions still compete at the target.
        i += jump > 0 ? jump : 1;
    }

    apply_op(arrive[seg_size], history[seg_size - arrive[seg_size].length].r, history[seg_size].r);
    std::memcpy(reps_out, history[seg_size].r, sizeof history[seg_size].r);

    work.ops.clear();
    for (uint32_t at = seg_size; at > 0; at -= arrive[at].length)
        work.ops.push_back(arrive[at]);
    std::reverse(work.ops.begin(), work.ops.end());
}

// The fast levels: the longest match a hash chain gives (or the last
// distance again when that is as long), taken greedily, or lazily: a match
// is put off by a literal when the next position has a longer one.
void chain_parse_segment(LzEncoder& enc, uint64_t seg_begin, uint32_t seg_size, const uint32_t* reps_in, int mode,
                         SegmentWork& work, uint32_t* reps_out)
{
    MatchFinder& mf = enc.finder;
    const int depth = mf.max_depth;
    const uint64_t data_end = enc.window->end();
    uint32_t reps[4];
    std::memcpy(reps, reps_in, sizeof reps);
    work.ops.clear();
    uint64_t inserted = seg_begin;  // positions before this are in the chains
    auto insert_until = [&](uint64_t until) {
        for (; inserted < until && inserted + 4 <= data_end; ++inserted)
            chain_insert(mf, relative(enc, inserted));
        inserted = std::max(inserted, until);
    };
    // The best step at pos: a match (length >= 2) or a literal (length 1).
    auto best_at = [&](uint64_t pos, uint32_t max_length, const uint32_t* r) -> ParseOp {
        const uint8_t* in = enc.window->at(pos);
        const uint32_t rel = relative(enc, pos);
        uint32_t rep_length = 0;
        uint64_t distance = uint64_t{r[0]} + 1;
        if (max_length >= 2 && rel >= mf.min_pos + distance) {
            const uint8_t* src = in - distance;
            if (src[0] == in[0] && src[1] == in[1])
                rep_length = std::min<uint32_t>(common_length(in, src, 2, max_length), 2 + 255);
        }
        MatchRef m{0, 0};
        if (pos + 4 <= data_end && pos >= inserted) {
            m = chain_search(mf, rel, max_length, depth);
            inserted = pos + 1;
        }
        if (rep_length >= 2 && rep_length + 1 >= m.length)
            return {r[0], static_cast<uint16_t>(rep_length), OP_REP0};
        if (m.length >= 4) {
            uint32_t length = std::min(m.length, distance_length_base(m.value) + 255);
            return {m.value, static_cast<uint16_t>(length), OP_NEW_DISTANCE};
        }
        return {in[0], 1, OP_LITERAL};
    };

    uint32_t i = 0;
    ParseOp next{0, 0, OP_LITERAL};  // the step found at i by the lazy look-ahead
    bool have_next = false;
    while (i < seg_size) {
        const uint64_t pos = seg_begin + i;
        ParseOp op = have_next ? next : best_at(pos, std::min<uint32_t>(MAX_MATCH, seg_size - i), reps);
        have_next = false;
        if (mode == 2 && op.kind == OP_NEW_DISTANCE && op.length < mf.nice_length && i + 1 < seg_size) {
            uint32_t after[4];
            ParseOp literal{enc.window->at(pos)[0], 1, OP_LITERAL};
            apply_op(literal, reps, after);
            next = best_at(pos + 1, std::min<uint32_t>(MAX_MATCH, seg_size - i - 1), after);
            if (next.length > op.length + 1) {
                op = literal;
                have_next = true;
            }
        }
        uint32_t after[4];
        apply_op(op, reps, after);
        std::memcpy(reps, after, sizeof reps);
        work.ops.push_back(op);
        i += op.length;
        insert_until(seg_begin + i);
    }
    std::memcpy(reps_out, reps, sizeof reps);
}

// ---- block splitting -------------------------------------------------------

constexpr int HIST_WIDTH = MAIN_SYMBOLS + LENGTH_SYMBOLS;

struct SplitWork {
    std::vector<uint32_t> prefix;  // granule prefix sums, HIST_WIDTH each
    std::vector<float> nlogn;      // f * log2(f)
};

float n_log_n(SplitWork& sw, uint32_t f)
{
    if (f >= sw.nlogn.size()) {
        size_t old = sw.nlogn.size();
        sw.nlogn.resize(std::max<size_t>(f + 1, old * 2));
        for (size_t k = old; k < sw.nlogn.size(); ++k)
            sw.nlogn[k] = k ? static_cast<float>(k * std::log2(static_cast<double>(k))) : 0.0f;
    }
    return sw.nlogn[f];
}

// Estimated bits of granules [a, b) as one block: the entropy of its
// symbols plus a rough price for its two tables. The price is set a little
// above what tables cost (about 4 bits a used symbol rather than 3, 300
// fixed rather than 60): splitting less often saved 0.15 % on installer
// payload, where the entropy understates what whole-bit codes cost.
float block_estimate(SplitWork& sw, size_t a, size_t b)
{
    const uint32_t* lo = &sw.prefix[a * HIST_WIDTH];
    const uint32_t* hi = &sw.prefix[b * HIST_WIDTH];
    float bits = 300.0f;
    for (int part = 0; part < 2; ++part) {
        int first = part == 0 ? 0 : MAIN_SYMBOLS;
        int last = part == 0 ? MAIN_SYMBOLS : HIST_WIDTH;
        uint32_t total = 0;
        int used = 0;
        float sum = 0;
        for (int s = first; s < last; ++s) {
            uint32_t f = hi[s] - lo[s];
            if (f) {
                total += f;
                ++used;
                sum += n_log_n(sw, f);
            }
        }
        bits += n_log_n(sw, total) - sum + 4.0f * used;
    }
    return bits;
}

// What granules [a, b) cost as one block, exactly: its two tables as they
// would be written, its block count and its symbols under their codes.
uint64_t block_bits(CodeTableWork& work, const SplitWork& sw, size_t a, size_t b)
{
    const uint32_t* lo = &sw.prefix[a * HIST_WIDTH];
    const uint32_t* hi = &sw.prefix[b * HIST_WIDTH];
    uint32_t counts[HIST_WIDTH];
    for (int s = 0; s < HIST_WIDTH; ++s)
        counts[s] = hi[s] - lo[s];
    uint8_t lengths[HIST_WIDTH];
    limited_code_lengths(counts, MAIN_SYMBOLS, MAX_CODE_LENGTH, lengths);
    limited_code_lengths(counts + MAIN_SYMBOLS, LENGTH_SYMBOLS, MAX_CODE_LENGTH, lengths + MAIN_SYMBOLS);
    uint64_t bits = BLOCK_COUNT_BITS + write_code_table(work, nullptr, lengths, MAIN_SYMBOL_LIMIT) +
                    write_code_table(work, nullptr, lengths + MAIN_SYMBOLS, LENGTH_SYMBOL_LIMIT);
    for (int s = 0; s < HIST_WIDTH; ++s)
        bits += uint64_t{counts[s]} * lengths[s];
    return bits;
}

// A block boundary costs the decoder a table read (two tables of up to 283
// lengths, their sort and two 2048-entry lookups): a cut is made only where
// it saves this many bits beyond the tables it adds. On the payload corpus
// at level 6 this price drops 3.5 % of the blocks for 0.016 % of size;
// 2048 bits dropped more and cost 0.3 %: most cuts pay well.
constexpr uint64_t DECODER_BLOCK_COST_BITS = 256;

void split_range(LzEncoder& enc, SplitWork& sw, size_t a, size_t b, std::vector<size_t>& cuts)
{
    if (b - a < 2)
        return;
    float whole = block_estimate(sw, a, b);
    float best = whole;
    size_t best_cut = 0;
    for (size_t g = a + 1; g < b; ++g) {
        float cost = block_estimate(sw, a, g) + block_estimate(sw, g, b);
        if (cost < best) {
            best = cost;
            best_cut = g;
        }
    }
    if (best_cut == 0 || best > whole - 16.0f)
        return;
    // The estimate chose where; the real tables say whether.
    if (block_bits(enc.codes, sw, a, best_cut) + block_bits(enc.codes, sw, best_cut, b) + DECODER_BLOCK_COST_BITS >
        block_bits(enc.codes, sw, a, b))
        return;
    split_range(enc, sw, a, best_cut, cuts);
    cuts.push_back(best_cut);
    split_range(enc, sw, best_cut, b, cuts);
}

std::vector<size_t> limit_blocks(const LzEncoder& enc, const std::vector<size_t>& ends);

// Ends of the blocks (op indices) for one segment's ops.
std::vector<size_t> choose_blocks(LzEncoder& enc, const std::vector<ParseOp>& ops, SplitWork& sw)
{
    std::vector<size_t> ends;
    size_t count = ops.size();
    if (enc.options.adaptive_blocks && count >= 2048) {
        size_t granule = std::max<size_t>(512, (count + 127) / 128);
        size_t granules = (count + granule - 1) / granule;
        sw.prefix.assign((granules + 1) * HIST_WIDTH, 0);
        for (size_t g = 0; g < granules; ++g) {
            uint32_t* row = &sw.prefix[(g + 1) * HIST_WIDTH];
            std::memcpy(row, row - HIST_WIDTH, HIST_WIDTH * sizeof(uint32_t));
            SymbolStats stats{};
            for (size_t k = g * granule; k < std::min(count, (g + 1) * granule); ++k)
                count_op(ops[k], stats);
            for (int s = 0; s < MAIN_SYMBOLS; ++s)
                row[s] += stats.main[s];
            for (int m = 0; m < LENGTH_SYMBOLS; ++m)
                row[MAIN_SYMBOLS + m] += stats.length[m];
        }
        std::vector<size_t> cuts;
        split_range(enc, sw, 0, granules, cuts);
        for (size_t c : cuts)
            ends.push_back(c * granule);
    }
    ends.push_back(count);

    return limit_blocks(enc, ends);
}

// No block may exceed the count field: long ones are split evenly.
std::vector<size_t> limit_blocks(const LzEncoder& enc, const std::vector<size_t>& ends)
{
    std::vector<size_t> limited;
    size_t start = 0;
    for (size_t end : ends) {
        size_t n = end - start;
        size_t pieces = (n + enc.options.max_block_symbols - 1) / enc.options.max_block_symbols;
        for (size_t p = 1; p <= pieces; ++p)
            limited.push_back(start + n * p / pieces);
        start = end;
    }
    return limited;
}

int highest_used(const uint8_t* lengths, int limit)
{
    int n = 0;
    for (int s = 0; s <= limit; ++s)
        if (lengths[s])
            n = s;
    return n;
}

// Writes one block of ops that starts at stream position pos.
void write_block(LzEncoder& enc, PackBitWriter& out, const ParseOp* ops, size_t count, uint64_t pos)
{
    for (size_t k = 0; k < count; ++k) {
        if (ops[k].kind != OP_LITERAL) {
            uint64_t distance = uint64_t{ops[k].value} + 1;
            enc.last_max_distance = std::max(enc.last_max_distance, distance);
            enc.last_lowest_source = std::min(enc.last_lowest_source, pos - distance);
        }
        pos += ops[k].length;
    }

    SymbolStats stats{};
    for (size_t k = 0; k < count; ++k)
        count_op(ops[k], stats);
    uint8_t main_lengths[MAIN_SYMBOLS], length_lengths[LENGTH_SYMBOLS];
    limited_code_lengths(stats.main, MAIN_SYMBOLS, MAX_CODE_LENGTH, main_lengths);
    limited_code_lengths(stats.length, LENGTH_SYMBOLS, MAX_CODE_LENGTH, length_lengths);

    CodeTableWork& work = enc.codes;
    PrefixCode main_code, length_code;
    assign_codes(work, TABLE_BITS, highest_used(main_lengths, MAIN_SYMBOL_LIMIT), main_lengths, main_code);
    assign_codes(work, TABLE_BITS, highest_used(length_lengths, LENGTH_SYMBOL_LIMIT), length_lengths,
                 length_code);
    write_code_table(work, &out, main_lengths, MAIN_SYMBOL_LIMIT);
    write_code_table(work, &out, length_lengths, LENGTH_SYMBOL_LIMIT);
    out.put(static_cast<uint32_t>(count), BLOCK_COUNT_BITS);
    enc.last_block_symbols.push_back(static_cast<uint32_t>(count));

    for (size_t k = 0; k < count; ++k) {
        const ParseOp& op = ops[k];
        if (op.kind == OP_LITERAL) {
            put_symbol(out, main_code, static_cast<int>(op.value));
        } else if (op.kind < OP_NEW_DISTANCE) {
            int r = op.kind - OP_REP0;
            put_symbol(out, main_code, 256 + r);
            put_symbol(out, length_code, static_cast<int>(op.length - rep_length_base(r)));
        } else {
            int extra;
            put_symbol(out, main_code, distance_symbol(op.value, extra));
            if (extra > 0)
                out.put(op.value - (1u << extra), extra);
            put_symbol(out, length_code, static_cast<int>(op.length - distance_length_base(op.value)));
        }
    }
}

// The segment's ops as blocks ending at ends, the first at stream position pos.
void write_blocks(LzEncoder& enc, PackBitWriter& out, const std::vector<ParseOp>& ops, const std::vector<size_t>& ends,
                  uint64_t pos)
{
    size_t start = 0;
    for (size_t block_end : ends) {
        write_block(enc, out, ops.data() + start, block_end - start, pos);
        for (size_t k = start; k < block_end; ++k)
            pos += ops[k].length;
        start = block_end;
    }
}

}  // namespace

LzEncoder::LzEncoder() = default;
LzEncoder::~LzEncoder() = default;

void lz_encoder_init(LzEncoder& enc, const LzEncoderOptions& options, StreamWindow& window)
{
    enc.options = options;
    enc.options.dict_bits = std::clamp(options.dict_bits, MIN_DICT_BITS, MAX_DICT_BITS);
    enc.options.level = std::clamp(options.level, MIN_LEVEL, MAX_LEVEL);
    enc.options.max_block_symbols = std::clamp<uint32_t>(options.max_block_symbols, 1, MAX_BLOCK_SYMBOLS);
    enc.window = &window;
    enc.finder_base = window.base();
    const LevelTuning& tuning = LEVELS[enc.options.level];
    match_finder_init(enc.finder, window.buffer(), enc.options.dict_bits, tuning.max_depth, tuning.nice_length);
    enc.have_carried = false;
}

void lz_encoder_init(LzEncoder& enc, const LzEncoderOptions& options, const uint8_t* data, uint64_t size)
{
    enc.own_window = std::make_unique<StreamWindow>(data, size);
    lz_encoder_init(enc, options, *enc.own_window);
}

void lz_start_stream(LzEncoder& enc, uint64_t pos) { enc.finder.min_pos = relative(enc, pos); }

namespace {

// Hands the whole words made so far to out.
bool flush_words(PackBitWriter& bits, const PackedBytesSink& out)
{
    if (bits.bytes.empty())
        return true;
    bool ok = out(bits.bytes.data(), bits.bytes.size());
    bits.bytes.clear();
    return ok;
}

}  // namespace

bool lz_encode_entry(LzEncoder& enc, uint64_t begin, uint64_t end, const PackedBytesSink& sink)
{
    PackBitWriter out;
    SegmentWork work;
    SplitWork split;
    enc.last_block_symbols.clear();
    enc.last_max_distance = 0;
    enc.last_lowest_source = begin;
    const LevelTuning& tuning = LEVELS[enc.options.level];
    uint32_t reps[4] = {0, 0, 0, 0};  // the decoder starts every entry so

    for (uint64_t seg_begin = begin; seg_begin < end; seg_begin += SEGMENT_BYTES) {
        uint32_t seg_size = static_cast<uint32_t>(std::min<uint64_t>(SEGMENT_BYTES, end - seg_begin));
        if (!sync_window(enc, seg_begin, seg_begin + seg_size))
            return false;
        enc.position = seg_begin + seg_size;
        uint32_t reps_after[4];
        SymbolStats stats{};
        if (tuning.chain_parse) {
            chain_parse_segment(enc, seg_begin, seg_size, reps, tuning.chain_parse, work, reps_after);
            std::vector<size_t> ends = choose_blocks(enc, work.ops, split);
            write_blocks(enc, out, work.ops, ends, seg_begin);
            std::memcpy(reps, reps_after, sizeof reps);
            if (!flush_words(out, sink))
                return false;
            continue;
        }
        collect_matches(enc, seg_begin, seg_size, work);

        CostModel model;
        if (enc.have_carried)
            model_from_stats(enc.carried, model);
        else
            initial_model(enc.window->at(seg_begin), seg_size, model);
        for (int pass = 0; pass < tuning.passes; ++pass) {
            bool coarse = pass == 0 && tuning.passes > 1;
            parse_segment(enc, seg_begin, 0, seg_size, reps, model, work, reps_after, coarse);
            stats = SymbolStats{};
            for (const ParseOp& op : work.ops)
                count_op(op, stats);
            model_from_stats(stats, model);
        }
        enc.carried = stats;
        enc.have_carried = true;

        std::vector<size_t> ends = choose_blocks(enc, work.ops, split);
        if (!tuning.reparse_blocks || ends.size() < 2) {
            write_blocks(enc, out, work.ops, ends, seg_begin);
            std::memcpy(reps, reps_after, sizeof reps);
            if (!flush_words(out, sink))
                return false;
            continue;
        }

        // Each block parsed once more under the statistics of its own ops.
        std::vector<ParseOp> segment_ops = work.ops;
        size_t start = 0;
        uint32_t offset = 0;
        for (size_t block_end : ends) {
            SymbolStats block_stats{};
            uint32_t bytes = 0;
            for (size_t k = start; k < block_end; ++k) {
                count_op(segment_ops[k], block_stats);
                bytes += segment_ops[k].length;
            }
            CostModel block_model;
            model_from_stats(block_stats, block_model);
            parse_segment(enc, seg_begin + offset, offset, bytes, reps, block_model, work, reps_after);
            std::memcpy(reps, reps_after, sizeof reps);
            std::vector<size_t> pieces = limit_blocks(enc, {work.ops.size()});
            size_t piece_start = 0;
            uint64_t pos = seg_begin + offset;
            for (size_t piece_end : pieces) {
                write_block(enc, out, work.ops.data() + piece_start, piece_end - piece_start, pos);
                for (size_t k = piece_start; k < piece_end; ++k)
                    pos += work.ops[k].length;
                piece_start = piece_end;
            }
            offset += bytes;
            start = block_end;
        }
        if (!flush_words(out, sink))
            return false;
    }
    out.align_to_word();
    return flush_words(out, sink);
}

std::vector<uint8_t> lz_encode_entry(LzEncoder& enc, uint64_t begin, uint64_t end)
{
    std::vector<uint8_t> packed;
    bool ok = lz_encode_entry(enc, begin, end, [&](const uint8_t* bytes, size_t size) {
        packed.insert(packed.end(), bytes, bytes + size);
        return true;
    });
    if (!ok)
        packed.clear();
    return packed;
}
