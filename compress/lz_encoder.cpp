#include "compress/lz_encoder.h"

#include <algorithm>
#include <cstring>

#include "compress/bit_writer.h"
#include "compress/code_table.h"
#include "compress/fixed_log2.h"
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
    bool sparse_search;    // the trees search a matchless stretch sparsely
    uint16_t granule_ops;  // block cuts fall between granules of this many ops or more
};
// Reparsing each block under its own statistics saved 0.35 % of the output
// on 14 MB of installer payload (PE files and text), for one more parse.
// At level 6 the blocks are chosen on the coarse pass alone and then parsed
// under their own statistics: on 20 MB of the payload corpus 14 % less
// processor time than a coarse and a full pass before the block parses,
// for 0.24 % more output.
// Level 9 cuts blocks on granules of 32 ops: on the payload corpus 0.03 %
// smaller for under 1 % more time (level 6 would pay some 2 %).
constexpr LevelTuning LEVELS[MAX_LEVEL + 1] = {
    {4, 16, 1, false, 1, false, 128},  // 0: unused
    {4, 16, 1, false, 1, false, 128},  {8, 32, 1, false, 2, false, 128},  {16, 64, 1, false, 2, false, 128},
    {16, 48, 2, false, 0, true, 128},  {24, 64, 2, false, 0, true, 128},  {32, 96, 1, true, 0, true, 128},
    {48, 128, 3, true, 0, true, 128},  {96, 192, 3, true, 0, true, 128},  {192, 259, 4, true, 0, false, 32},
};

// The lengths run on by three, for the parse's last group of four.
constexpr int LENGTH_PADDING = 3;
struct CostModel {
    uint32_t main[MAIN_SYMBOLS];
    uint32_t length[LENGTH_SYMBOLS + LENGTH_PADDING];
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
    if (total == 0) {
        for (int s = 0; s < n; ++s)
            costs[s] = 8 * COST_UNIT;
        return;
    }
    const int64_t log_total = static_cast<int64_t>(log2_fixed(total));
    // An unseen symbol counts as 0.4 of one: log2(total / 0.4) = log2(5 total) - 1.
    const int64_t unseen = static_cast<int64_t>(log2_fixed(total * 5)) - static_cast<int64_t>(LOG2_ONE);
    constexpr int64_t lowest = LOG2_ONE, highest = 12 * LOG2_ONE;
    for (int s = 0; s < n; ++s) {
        int64_t bits = counts[s] ? log_total - static_cast<int64_t>(log2_fixed(counts[s])) : unseen;
        bits = std::clamp(bits, lowest, highest);
        costs[s] = static_cast<uint32_t>((bits * COST_UNIT + static_cast<int64_t>(LOG2_ONE / 2)) >> LOG2_FRACTION_BITS);
    }
}

void model_from_stats(const SymbolStats& stats, CostModel& model)
{
    costs_from_counts(stats.main, MAIN_SYMBOLS, model.main);
    costs_from_counts(stats.length, LENGTH_SYMBOLS, model.length);
    std::fill(model.length + LENGTH_SYMBOLS, std::end(model.length), INFINITE_COST);
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

// The symbols an op sends, as indices of one row of main symbols followed
// by length symbols; returns how many (1 or 2).
inline int op_symbols(const ParseOp& op, int* symbols)
{
    if (op.kind == OP_LITERAL) {
        symbols[0] = static_cast<int>(op.value);
        return 1;
    }
    if (op.kind < OP_NEW_DISTANCE) {
        int r = op.kind - OP_REP0;
        symbols[0] = 256 + r;
        symbols[1] = MAIN_SYMBOLS + static_cast<int>(op.length - rep_length_base(r));
        return 2;
    }
    int extra;
    symbols[0] = distance_symbol(op.value, extra);
    symbols[1] = MAIN_SYMBOLS + static_cast<int>(op.length - distance_length_base(op.value));
    return 2;
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

// Four costs side by side, for comparing a run of targets at once (the
// compiler's vector extension: SIMD where the target has it).
typedef uint32_t CostLanes __attribute__((vector_size(16)));
typedef int32_t LaneMask __attribute__((vector_size(16)));

inline CostLanes load_lanes(const uint32_t* p)
{
    CostLanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline bool any_lane(LaneMask m)
{
    uint64_t half[2];
    std::memcpy(half, &m, sizeof half);
    return (half[0] | half[1]) != 0;
}

inline uint16_t load16(const uint8_t* p)
{
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

// Bit k set where byte k of a and b differ, k = 0..3.
inline uint32_t difference_bytes(const uint8_t* a, const uint8_t* b)
{
    uint32_t mask = 0;
    for (int k = 0; k < 4; ++k)
        mask |= static_cast<uint32_t>(a[k] != b[k]) << k;
    return mask;
}

// The history after a step of three is the one after its first match.
inline ParseOp step_of(ParseOp op)
{
    op.kind &= static_cast<uint8_t>(~OP_THEN_REP0);
    return op;
}

// Per-segment scratch, kept between segments to avoid reallocating.
struct SegmentWork {
    std::vector<uint32_t> match_start;  // per position, into matches
    std::vector<MatchRef> matches;
    // Per position of the parse, apart so that relaxing a run of lengths
    // walks only the costs and steps: the cheapest cost so far, the step
    // that arrives there, and the distance history once it is settled.
    std::vector<uint32_t> cost;
    std::vector<ParseOp> arrive;
    std::vector<uint16_t> heads;  // a step of three: its first match's length and literals
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

// Positions ahead whose first tree node is asked for before it is needed.
constexpr uint32_t PREFETCH_AHEAD = 8;

// Already compressed data (images, archives inside the payload) has no
// matches of 4 bytes or more, and a tree search finds that out as slowly
// as it finds a match. After SPARSE_AFTER searched positions in a row
// without one, only every SPARSE_STEP-th position is searched (and goes
// into the trees); the others look only at the 2- and 3-byte tables,
// which still see a repeat close by. A match of 4 bytes or more from
// either ends the stretch. On the payload corpus at level 6 about 5 %
// less processor time for 0.018 % more output (its images and jars alone:
// 2.4 s before, 1.6 s after). After 256 misses it was a little faster and
// lost 0.035 %; without the 2- and 3-byte look the images and jars came
// out 0.3 % larger. Level 9 searches every position.
constexpr uint32_t SPARSE_AFTER = 512;
constexpr uint32_t SPARSE_STEP = 16;

void collect_matches(LzEncoder& enc, uint64_t seg_begin, uint32_t seg_size, bool sparse_search,
                     SegmentWork& work)
{
    work.match_start.assign(seg_size + 1, 0);
    work.matches.clear();
    MatchRef found[MAX_MATCHES_PER_POSITION + 2];
    MatchRef next_found[MAX_MATCHES_PER_POSITION + 2];
    uint64_t skip_until = 0;
    // Matches found at pos, kept unless the parse jumps over pos: past a
    // long match the parse jumps, so reporting there is wasted (the tree
    // takes the position in all the same).
    auto keep = [&](uint64_t pos, const MatchRef* m, int n) {
        if (pos < skip_until)
            return;
        work.matches.insert(work.matches.end(), m, m + n);
        if (n > 0 && m[n - 1].length >= enc.finder.nice_length)
            skip_until = pos + m[n - 1].length;
    };
    uint32_t misses = 0;  // searched positions in a row without a match of 4 bytes
    auto count_miss = [&](const MatchRef* m, int n) {
        misses = n > 0 && m[n - 1].length >= 4 ? 0 : misses + 1;
    };
    // The window holds MAX_MATCH bytes past the segment, or the stream's end.
    const uint64_t data_end = enc.window->end();
    for (uint32_t i = 0; i < seg_size; ++i) {
        uint64_t pos = seg_begin + i;
        work.match_start[i] = static_cast<uint32_t>(work.matches.size());
        // The match trees compare up to the end of the whole stream, never
        // up to the entry's end: a tree built with comparisons cut short
        // in the middle of the stream takes "equal up to the limit" for
        // equal and loses its order, and later searches then report
        // lengths that are not there. The parser cuts matches at the
        // entry's end.
        uint32_t max_length = static_cast<uint32_t>(std::min<uint64_t>(MAX_MATCH, data_end - pos));
        // Inside a long match the position only goes into the tree: its
        // search would report nothing that is kept, and would still
        // compare the short candidates' bytes up to MAX_MATCH. Done so
        // for the pairs too, the same output of the payload corpus at
        // level 6 took some 2 % less processor time, and asking for the
        // memory of the position PREFETCH_AHEAD on here as in the pairs'
        // path some 2 % less again.
        if (pos < skip_until) {
            if (pos + PREFETCH_AHEAD + 4 <= data_end)
                prefetch_position(enc.finder, relative(enc, pos + PREFETCH_AHEAD));
            skip_position(enc.finder, relative(enc, pos), max_length);
            continue;
        }
        if (sparse_search && misses >= SPARSE_AFTER) {
            int n;
            if (i % SPARSE_STEP == 0) {
                if (pos + SPARSE_STEP + 4 <= data_end)
                    prefetch_position(enc.finder, relative(enc, pos + SPARSE_STEP));
                n = find_matches(enc.finder, relative(enc, pos), max_length, found);
            } else {
                n = find_short_matches(enc.finder, relative(enc, pos), max_length, found);
            }
            keep(pos, found, n);
            count_miss(found, n);
            continue;
        }
        if (i + 1 < seg_size && pos + 1 + MAX_MATCH <= data_end) {
            // What the search of the pair PREFETCH_AHEAD positions on reads first, asked for now.
            if (pos + PREFETCH_AHEAD + 1 + 4 <= data_end) {
                prefetch_position(enc.finder, relative(enc, pos + PREFETCH_AHEAD));
                prefetch_position(enc.finder, relative(enc, pos + PREFETCH_AHEAD + 1));
            }
            int n, next_n;
            find_matches_two(enc.finder, relative(enc, pos), found, n, next_found, next_n);
            keep(pos, found, n);
            work.match_start[i + 1] = static_cast<uint32_t>(work.matches.size());
            keep(pos + 1, next_found, next_n);
            count_miss(found, n);
            count_miss(next_found, next_n);
            ++i;
            continue;
        }
        int n = find_matches(enc.finder, relative(enc, pos), max_length, found);
        keep(pos, found, n);
        count_miss(found, n);
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
    work.cost.assign(seg_size + 1 + LENGTH_PADDING, INFINITE_COST);
    work.arrive.resize(seg_size + 1);
    work.heads.resize(seg_size + 1);
    work.reps.resize(seg_size + 1);
    uint32_t* costs = work.cost.data();
    ParseOp* arrive = work.arrive.data();
    uint16_t* heads = work.heads.data();
    Reps* history = work.reps.data();
    costs[0] = 0;
    std::memcpy(history[0].r, reps_in, sizeof history[0].r);

    auto relax = [&](uint32_t target, uint32_t cost, uint8_t kind, uint32_t value, uint32_t length) {
        if (cost < costs[target]) {
            costs[target] = cost;
            arrive[target] = {value, static_cast<uint16_t>(length), kind};
        }
    };
    // Targets at + l for l in [low, high], priced symbol_cost plus
    // length_costs[l - low]. Few of them improve, so four are compared at
    // once and only a group with an improvement is looked at one by one.
    auto relax_run = [&](uint32_t at, uint32_t low, uint32_t high, uint32_t symbol_cost,
                         const uint32_t* length_costs, uint8_t kind, uint32_t value) {
        uint32_t l = low;
        const CostLanes symbol = {symbol_cost, symbol_cost, symbol_cost, symbol_cost};
        for (; l + 3 <= high; l += 4) {
            CostLanes cost = symbol + load_lanes(length_costs + (l - low));
            CostLanes old = load_lanes(costs + at + l);
            if (!any_lane(cost < old))
                continue;
            for (uint32_t k = 0; k < 4; ++k)
                relax(at + l + k, cost[k], kind, value, l + k);
        }
        // The last one to three as one more group, its lanes past high
        // priced out (length_costs and costs have room for the group):
        // about 0.7 % of level 6's time, near the noise of measuring it.
        if (l <= high) {
            const uint32_t last = high - l;
            const CostLanes lane = {0, 1, 2, 3};
            const CostLanes limit = {last, last, last, last};
            CostLanes cost = (symbol + load_lanes(length_costs + (l - low))) | (CostLanes)(lane > limit);
            CostLanes old = load_lanes(costs + at + l);
            if (any_lane(cost < old))
                for (uint32_t k = 0; k <= last; ++k)
                    relax(at + l + k, cost[k], kind, value, l + k);
        }
    };
    // A match that ends where one or two bytes differ, then those bytes as
    // literals, then the same distance again (now the newest, rep 0):
    // common in code and tables, and a path the cheapest path to the byte
    // after the literals need not carry, since it may arrive there with
    // another history. heads keeps the first match's length, and the
    // number of literals less one in its top bit. room: the bytes from in
    // to the segment's end.
    const bool three_steps = !coarse;
    auto relax_three = [&](uint32_t at, const uint8_t* in, const uint8_t* src, uint32_t head, uint32_t room,
                           uint32_t cost, uint8_t kind, uint32_t value) {
        if (head + 3 > room)
            return;
        uint32_t gap;
        if (head + 4 <= room) {
            // Bytes head .. head + 3 of both sides: the first must differ,
            // then one literal and two equal bytes, or two literals and two
            // equal bytes.
            uint32_t differ = difference_bytes(in + head, src + head);
            if ((differ & 1) == 0)
                return;
            if ((differ & 6) == 0)
                gap = 1;
            else if ((differ & 12) == 0)
                gap = 2;
            else
                return;
        } else {
            if (in[head] == src[head] || in[head + 1] != src[head + 1] || in[head + 2] != src[head + 2])
                return;
            gap = 1;
        }
        if (gap == 2)
            cost += model.main[in[head + 1]];
        uint32_t tail = std::min(common_length(in + head + gap, src + head + gap, 2, room - head - gap), 2u + 255u);
        uint32_t target = at + head + gap + tail;
        cost += model.main[in[head]] + model.main[256] + model.length[tail - 2];
        if (cost < costs[target]) {
            costs[target] = cost;
            arrive[target] = {value, static_cast<uint16_t>(head + gap + tail), static_cast<uint8_t>(kind | OP_THEN_REP0)};
            heads[target] = static_cast<uint16_t>(head | (gap - 1) << 15);
        }
    };

    const uint64_t start_reach = relative(enc, seg_begin) - enc.finder.min_pos;  // the farthest distance at i = 0
    const uint32_t* match_start = work.match_start.data() + cache_base;
    const MatchRef* matches = work.matches.data();
    uint32_t i = 0;
    while (i < seg_size) {
        if (i > 0)
            apply_op(step_of(arrive[i]), history[i - arrive[i].length].r, history[i].r);
        const uint32_t* node_reps = history[i].r;
        const uint8_t* in = enc.window->at(seg_begin + i);
        const uint32_t room = seg_size - i;
        const uint32_t max_length = std::min<uint32_t>(MAX_MATCH, room);
        const uint32_t base_cost = costs[i];
        uint32_t jump = 0;

        relax(i + 1, base_cost + model.main[in[0]], OP_LITERAL, in[0], 1);

        if (max_length >= 2) {
            const uint64_t reach = start_reach + i;
            const uint16_t head_bytes = load16(in);
            // A value the history holds twice is tried twice: rare (the
            // zeros an entry starts with), and the dearer try loses.
            uint32_t rep_longest = 1;  // the longest rep match here
            for (int r = 0; r < 4; ++r) {
                uint32_t v = node_reps[r];
                uint64_t distance = uint64_t{v} + 1;
                if (distance > reach)
                    continue;
                const uint8_t* src = in - distance;
                if (load16(src) != head_bytes)
                    continue;
                uint32_t base = rep_length_base(r);
                uint32_t length = std::min(common_length(in, src, 2, max_length), base + 255);
                if (length < base)
                    continue;
                rep_longest = std::max(rep_longest, length);
                uint32_t symbol_cost = base_cost + model.main[256 + r];
                uint8_t kind = static_cast<uint8_t>(OP_REP0 + r);
                if (three_steps && length < max_length)
                    relax_three(i, in, src, length, room, symbol_cost + model.length[length - base], kind, v);
                if (length >= nice || coarse) {
                    relax(i + length, symbol_cost + model.length[length - base], kind, v, length);
                    if (coarse && length < nice)
                        continue;
                    jump = std::max(jump, length);
                    continue;
                }
                relax_run(i, base, length, symbol_cost, model.length, kind, v);
            }

            // New distances start past the longest rep match: its shorter
            // lengths are nearly always cheaper as the rep (on the payload
            // corpus at level 6 some 4 % less processor time, and 0.002 %
            // smaller). A match at a distance the history holds is left to
            // the rep altogether, even where it runs longer: as a new
            // distance it pays a distance code and pushes a second copy of
            // the value into the history, which the price of the step does
            // not see: 0.12 % smaller.
            uint32_t covered = rep_longest;
            for (uint32_t k = match_start[i]; k < match_start[i + 1]; ++k) {
                const MatchRef& m = matches[k];
                uint32_t length = std::min(m.length, max_length);
                if (m.value == node_reps[0] || m.value == node_reps[1] || m.value == node_reps[2] ||
                    m.value == node_reps[3]) {
                    covered = std::max(covered, length);
                    continue;
                }
                uint32_t base = distance_length_base(m.value);
                uint32_t low = std::max(covered + 1, base);
                uint32_t high = std::min(length, base + 255);
                covered = std::max(covered, length);
                if (high < low)
                    continue;
                int extra;
                int symbol = distance_symbol(m.value, extra);
                uint32_t symbol_cost = base_cost + model.main[symbol] + static_cast<uint32_t>(extra) * COST_UNIT;
                if (three_steps && high == m.length && m.length < max_length)
                    relax_three(i, in, in - m.value - 1, high, room, symbol_cost + model.length[high - base],
                                OP_NEW_DISTANCE, m.value);
                if (high >= nice || coarse) {
                    relax(i + high, symbol_cost + model.length[high - base], OP_NEW_DISTANCE, m.value, high);
                    if (coarse && high < nice)
                        continue;
                    jump = std::max(jump, high);
                    continue;
                }
                relax_run(i, low, high, symbol_cost, model.length + (low - base), OP_NEW_DISTANCE, m.value);
            }
        }
        // A long match is taken as it stands: the positions it covers are
        // not worth trying as starting points. Paths that reach past them
        // from earlier positions still compete at the target.
        i += jump > 0 ? jump : 1;
    }

    apply_op(step_of(arrive[seg_size]), history[seg_size - arrive[seg_size].length].r, history[seg_size].r);
    std::memcpy(reps_out, history[seg_size].r, sizeof history[seg_size].r);

    work.ops.clear();
    for (uint32_t at = seg_size; at > 0; at -= arrive[at].length) {
        ParseOp a = arrive[at];
        if (a.kind & OP_THEN_REP0) {
            uint32_t head = heads[at] & 0x7FFF, gap = 1 + (heads[at] >> 15), tail = a.length - head - gap;
            work.ops.push_back({a.value, static_cast<uint16_t>(tail), OP_REP0});
            for (uint32_t g = 1; g <= gap; ++g)
                work.ops.push_back({enc.window->at(seg_begin + at - tail - g)[0], 1, OP_LITERAL});
            work.ops.push_back({a.value, static_cast<uint16_t>(head), static_cast<uint8_t>(a.kind & ~OP_THEN_REP0)});
        } else {
            work.ops.push_back(a);
        }
    }
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
    // Each granule's symbols that occur, with their counts: granule g's are
    // entries [entry_start[g], entry_start[g + 1]).
    std::vector<uint32_t> entry_start;
    std::vector<uint16_t> entry_symbol;
    std::vector<uint32_t> entry_count;
    std::vector<uint32_t> left, right;  // the counts on each side of a cut
    std::vector<uint64_t> nlogn;        // f * log2(f), fixed point
};

uint64_t n_log_n(SplitWork& sw, uint32_t f)
{
    if (f >= sw.nlogn.size()) {
        size_t old = sw.nlogn.size();
        sw.nlogn.resize(std::max<size_t>(size_t{f} + 1, old * 2));
        for (size_t k = old; k < sw.nlogn.size(); ++k)
            sw.nlogn[k] = uint64_t{k} * log2_fixed(k);
    }
    return sw.nlogn[f];
}

// Estimated bits of a block, part by part (main and length symbols): the
// entropy of its symbols, total * log2(total) - sum of f * log2(f), plus a
// rough price for its two tables: 3 bits a used symbol, and 300 fixed
// where a table takes some 60: splitting less often saved 0.15 % on
// installer payload, where the entropy understates what whole-bit codes
// cost (4 bits a used symbol took 0.03 % more with the finer granules).
// Estimates are in fixed point (LOG2_ONE a bit); sums of integers, exact
// in any order.
constexpr int64_t TABLE_FIXED_BITS = 300 * LOG2_ONE;
constexpr int64_t TABLE_BITS_PER_SYMBOL = 3 * LOG2_ONE;

struct SideSums {
    uint64_t total[2] = {0, 0};
    uint64_t sum[2] = {0, 0};  // of f * log2(f)
    int64_t used[2] = {0, 0};
};

int64_t side_estimate(SplitWork& sw, const SideSums& side)
{
    int64_t bits = TABLE_FIXED_BITS;
    for (int part = 0; part < 2; ++part)
        bits += static_cast<int64_t>(n_log_n(sw, static_cast<uint32_t>(side.total[part]))) -
                static_cast<int64_t>(side.sum[part]) + TABLE_BITS_PER_SYMBOL * side.used[part];
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
// Cuts fall between granules of at least the level's granule_ops ops, as
// many granules as a segment of GRANULE_SPAN ops makes of them; a longer
// segment has longer granules. Granules of 128 ops rather than 512 saved
// 0.12 % on a 20 MB part of the payload corpus at level 6.
constexpr size_t GRANULE_SPAN = 65536;

// The best single cut of granules [a, b) by the estimate: every cut in
// one sweep, moving one granule at a time from the right side to the left
// and updating both sides' sums by the symbols that granule holds.
void split_range(LzEncoder& enc, SplitWork& sw, size_t a, size_t b, std::vector<size_t>& cuts)
{
    if (b - a < 2)
        return;
    const uint32_t* lo = &sw.prefix[a * HIST_WIDTH];
    const uint32_t* hi = &sw.prefix[b * HIST_WIDTH];
    sw.left.assign(HIST_WIDTH, 0);
    sw.right.resize(HIST_WIDTH);
    SideSums left, right;
    for (int s = 0; s < HIST_WIDTH; ++s) {
        uint32_t f = hi[s] - lo[s];
        sw.right[s] = f;
        if (f) {
            int part = s < MAIN_SYMBOLS ? 0 : 1;
            right.total[part] += f;
            right.sum[part] += n_log_n(sw, f);
            right.used[part]++;
        }
    }
    const uint64_t* nlogn = sw.nlogn.data();  // long enough: choose_blocks saw to it
    const int64_t whole = side_estimate(sw, right);
    int64_t best = whole;
    size_t best_cut = 0;
    for (size_t g = a + 1; g < b; ++g) {
        for (uint32_t e = sw.entry_start[g - 1]; e < sw.entry_start[g]; ++e) {
            int s = sw.entry_symbol[e];
            uint32_t c = sw.entry_count[e];
            int part = s < MAIN_SYMBOLS ? 0 : 1;
            uint32_t fl = sw.left[s], fr = sw.right[s];
            left.sum[part] += nlogn[fl + c] - nlogn[fl];
            right.sum[part] += nlogn[fr - c] - nlogn[fr];
            left.used[part] += fl == 0;
            right.used[part] -= fr == c;
            left.total[part] += c;
            right.total[part] -= c;
            sw.left[s] = fl + c;
            sw.right[s] = fr - c;
        }
        int64_t cost = side_estimate(sw, left) + side_estimate(sw, right);
        if (cost < best) {
            best = cost;
            best_cut = g;
        }
    }
    if (best_cut == 0 || best > whole - static_cast<int64_t>(16 * LOG2_ONE))
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
        const size_t min_granule = LEVELS[enc.options.level].granule_ops;
        const size_t max_granules = GRANULE_SPAN / min_granule;
        size_t granule = std::max<size_t>(min_granule, (count + max_granules - 1) / max_granules);
        size_t granules = (count + granule - 1) / granule;
        sw.prefix.assign((granules + 1) * HIST_WIDTH, 0);
        sw.entry_start.assign(1, 0);
        sw.entry_symbol.clear();
        sw.entry_count.clear();
        // Every count of a granule is at most its op count: the f log f
        // table is made that long once, so that the sweeps only look up.
        n_log_n(sw, static_cast<uint32_t>(count));
        for (size_t g = 0; g < granules; ++g) {
            uint32_t* row = &sw.prefix[(g + 1) * HIST_WIDTH];
            std::memcpy(row, row - HIST_WIDTH, HIST_WIDTH * sizeof(uint32_t));
            const size_t first_entry = sw.entry_symbol.size();
            for (size_t k = g * granule; k < std::min(count, (g + 1) * granule); ++k) {
                int symbols[2];
                int n = op_symbols(ops[k], symbols);
                for (int q = 0; q < n; ++q) {
                    // A symbol's first count in this granule opens its entry.
                    int s = symbols[q];
                    if (row[s] == row[s - HIST_WIDTH]) {
                        sw.entry_symbol.push_back(static_cast<uint16_t>(s));
                        sw.entry_count.push_back(0);
                    }
                    row[s]++;
                }
            }
            for (size_t e = first_entry; e < sw.entry_symbol.size(); ++e) {
                int s = sw.entry_symbol[e];
                sw.entry_count[e] = row[s] - row[s - HIST_WIDTH];
            }
            sw.entry_start.push_back(static_cast<uint32_t>(sw.entry_symbol.size()));
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
    CodeTableWork& work = enc.codes;
    block_code_lengths(work, stats.main, MAIN_SYMBOL_LIMIT, main_lengths);
    block_code_lengths(work, stats.length, LENGTH_SYMBOL_LIMIT, length_lengths);

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

// What the block parses sent against what the coarse parse had chosen for
// the same blocks, per symbol, older blocks weighing half as much at each
// block; it runs on from entry to entry, as the carried statistics do.
struct CoarseBias {
    SymbolStats coarse{}, fine{};
    bool known = false;
};

struct LzScratch {
    SegmentWork segment;
    SplitWork split;
    CoarseBias bias;
};

namespace {

// The coarse parse takes matches at their full lengths only, so its
// counts are not those that the block parse will send: each is scaled by
// the symbol's share among what the block parses sent over its share
// among their coarse counts, held within 1/4 and 4 (a share of 0 counts
// as 1/10000). On the payload corpus at level 6 0.08 % smaller, for no
// time that could be measured.
void correct_counts(uint32_t* counts, const uint32_t* coarse, const uint32_t* fine, int n)
{
    uint64_t coarse_total = 0, fine_total = 0;
    for (int s = 0; s < n; ++s) {
        coarse_total += coarse[s];
        fine_total += fine[s];
    }
    if (coarse_total == 0 || fine_total == 0)
        return;
    // Shares compared as fine[s] * coarse_total against coarse[s] * fine_total.
    const uint64_t floor = coarse_total * fine_total / 10000 + 1;
    for (int s = 0; s < n; ++s) {
        uint64_t num = uint64_t{fine[s]} * coarse_total + floor;
        uint64_t den = uint64_t{coarse[s]} * fine_total + floor;
        uint64_t scale = std::clamp<uint64_t>((16 * num + den / 2) / den, 4, 64);  // sixteenths
        counts[s] = static_cast<uint32_t>(uint64_t{counts[s]} * scale);
    }
}

void learn_bias(CoarseBias& bias, const SymbolStats& coarse, const SymbolStats& fine)
{
    auto fold = [](uint32_t* seen, const uint32_t* now, int n) {
        for (int s = 0; s < n; ++s)
            seen[s] = seen[s] / 2 + now[s];
    };
    fold(bias.coarse.main, coarse.main, MAIN_SYMBOLS);
    fold(bias.coarse.length, coarse.length, LENGTH_SYMBOLS);
    fold(bias.fine.main, fine.main, MAIN_SYMBOLS);
    fold(bias.fine.length, fine.length, LENGTH_SYMBOLS);
    bias.known = true;
}

}  // namespace

LzEncoder::LzEncoder() = default;
LzEncoder::~LzEncoder() = default;

bool lz_encoder_init(LzEncoder& enc, const LzEncoderOptions& options, StreamWindow& window)
{
    enc.options = options;
    enc.options.dict_bits = std::clamp(options.dict_bits, MIN_DICT_BITS, MAX_DICT_BITS);
    enc.options.level = std::clamp(options.level, MIN_LEVEL, MAX_LEVEL);
    enc.options.max_block_symbols = std::clamp<uint32_t>(options.max_block_symbols, 1, MAX_BLOCK_SYMBOLS);
    enc.window = &window;
    enc.finder_base = window.base();
    const LevelTuning& tuning = LEVELS[enc.options.level];
    enc.have_carried = false;
    return match_finder_init(enc.finder, window.buffer(), enc.options.dict_bits, tuning.max_depth,
                             tuning.nice_length);
}

bool lz_encoder_init(LzEncoder& enc, const LzEncoderOptions& options, const uint8_t* data, uint64_t size)
{
    enc.own_window = std::make_unique<StreamWindow>(data, size);
    return lz_encoder_init(enc, options, *enc.own_window);
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
    if (!enc.scratch)
        enc.scratch = std::make_unique<LzScratch>();
    SegmentWork& work = enc.scratch->segment;
    SplitWork& split = enc.scratch->split;
    CoarseBias& bias = enc.scratch->bias;
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
        collect_matches(enc, seg_begin, seg_size, tuning.sparse_search, work);

        // A segment that goes on with the one before it in the same entry
        // is priced by what that one sent. An entry's first segment is
        // priced by its own bytes: the entry before it may be a few bytes
        // of something else (a 226 KB program after a 2-byte file packed
        // 7 % larger by that file's prices; on the payload corpus at level
        // 6 the archive is 0.03 % smaller so).
        const bool continues = enc.have_carried && seg_begin > begin;
        CostModel model;
        if (continues)
            model_from_stats(enc.carried, model);
        else
            initial_model(enc.window->at(seg_begin), seg_size, model);
        // The coarse first pass only prices the next; a continuing segment
        // has a better price list than that.
        for (int pass = continues && tuning.passes > 1 ? 1 : 0; pass < tuning.passes; ++pass) {
            // A pass that only prices a later one is coarse: with blocks
            // parsed again under their own statistics, even a single pass.
            bool coarse = pass == 0 && (tuning.passes > 1 || tuning.reparse_blocks);
            parse_segment(enc, seg_begin, 0, seg_size, reps, model, work, reps_after, coarse);
            stats = SymbolStats{};
            for (const ParseOp& op : work.ops)
                count_op(op, stats);
            model_from_stats(stats, model);
        }
        enc.carried = stats;
        enc.have_carried = true;

        std::vector<size_t> ends = choose_blocks(enc, work.ops, split);
        if (!tuning.reparse_blocks) {
            write_blocks(enc, out, work.ops, ends, seg_begin);
            std::memcpy(reps, reps_after, sizeof reps);
            if (!flush_words(out, sink))
                return false;
            continue;
        }

        // Each block parsed once more under the statistics of its own ops.
        // The next segment's first parse is priced by what these send: on
        // the payload corpus at level 6 0.02 % smaller than by the coarse
        // parse's statistics.
        std::vector<ParseOp> segment_ops = work.ops;
        enc.carried = SymbolStats{};
        size_t start = 0;
        uint32_t offset = 0;
        for (size_t block_end : ends) {
            SymbolStats block_stats{};
            uint32_t bytes = 0;
            for (size_t k = start; k < block_end; ++k) {
                count_op(segment_ops[k], block_stats);
                bytes += segment_ops[k].length;
            }
            SymbolStats priced = block_stats;
            if (bias.known) {
                correct_counts(priced.main, bias.coarse.main, bias.fine.main, MAIN_SYMBOLS);
                correct_counts(priced.length, bias.coarse.length, bias.fine.length, LENGTH_SYMBOLS);
            }
            CostModel block_model;
            model_from_stats(priced, block_model);
            parse_segment(enc, seg_begin + offset, offset, bytes, reps, block_model, work, reps_after);
            SymbolStats sent{};
            for (const ParseOp& op : work.ops)
                count_op(op, sent);
            for (int s = 0; s < MAIN_SYMBOLS; ++s)
                enc.carried.main[s] += sent.main[s];
            for (int s = 0; s < LENGTH_SYMBOLS; ++s)
                enc.carried.length[s] += sent.length[s];
            learn_bias(bias, block_stats, sent);
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
