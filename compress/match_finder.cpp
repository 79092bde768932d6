#include "compress/match_finder.h"

#include <cstring>

namespace {

constexpr int HASH3_BITS = 15;
constexpr int HASH4_BITS = 17;

inline uint32_t load32(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;  // only hashed, so byte order does not matter
}

inline uint32_t hash_2(const uint8_t* p) { return p[0] | (uint32_t{p[1]} << 8); }
inline uint32_t hash_3(const uint8_t* p)
{
    uint32_t v = p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16);
    return (v * 0x9E3779B1u) >> (32 - HASH3_BITS);
}
inline uint32_t hash_4(const uint8_t* p) { return (load32(p) * 0x9E3779B1u) >> (32 - HASH4_BITS); }

// A stored slot value names position value - 1; 0 and anything outside the
// window or before min_pos count as empty.
inline bool usable(const MatchFinder& mf, uint32_t pos, uint32_t slot, uint32_t& node)
{
    if (slot == 0)
        return false;
    node = slot - 1;
    return node >= mf.min_pos && node < pos && pos - node < mf.window;
}

}  // namespace

bool match_finder_init(MatchFinder& mf, const uint8_t* data, int window_bits, int max_depth,
                       uint32_t nice_length)
{
    mf.data = data;
    mf.window = uint32_t{1} << window_bits;
    mf.min_pos = 0;
    mf.max_depth = max_depth;
    mf.nice_length = nice_length;
    return mf.hash2.assign(1u << 16) && mf.hash3.assign(1u << HASH3_BITS) && mf.hash4.assign(1u << HASH4_BITS) &&
           mf.child.assign(size_t{2} * mf.window);
}

namespace {

// One search of a tree, as steps: walk_begin inserts pos as the root of
// its tree (re-linking the old tree below it) and walk_step visits one node,
// reporting the matches met on the way when out is given. Two walks in
// different trees touch disjoint nodes, so they may take turns: the memory
// waits of one overlap those of the other.
struct TreeWalk {
    const uint8_t* in;
    uint32_t pos, max_length, nice, best_length;
    uint32_t* pending_lt;
    uint32_t* pending_gt;
    uint32_t lt_length, gt_length, length, node;
    int depth;
    MatchRef* out;
    int count;
};

// False when the tree held nothing usable: the walk is over.
inline bool walk_begin(MatchFinder& mf, TreeWalk& w, uint32_t pos, uint32_t max_length, uint32_t best_length,
                       MatchRef* out, int count)
{
    w.in = mf.data + pos;
    w.pos = pos;
    w.max_length = max_length;
    w.best_length = best_length;
    w.out = out;
    w.count = count;
    uint32_t h = hash_4(w.in);
    uint32_t slot = mf.hash4[h];
    mf.hash4[h] = pos + 1;
    w.pending_lt = &mf.child[2 * (pos & (mf.window - 1))];
    w.pending_gt = w.pending_lt + 1;
    w.nice = mf.nice_length < max_length ? mf.nice_length : max_length;
    if (!usable(mf, pos, slot, w.node)) {
        *w.pending_lt = *w.pending_gt = 0;
        return false;
    }
    w.lt_length = w.gt_length = w.length = 0;
    w.depth = mf.max_depth;
    return true;
}

// False when the walk is over.
inline bool walk_step(MatchFinder& mf, TreeWalk& w)
{
    const uint8_t* in = w.in;
    const uint8_t* match = mf.data + w.node;
    uint32_t length = w.length;
    uint32_t* node_children = &mf.child[2 * (w.node & (mf.window - 1))];
    if (match[length] == in[length]) {
        length = common_length(in, match, length + 1, w.max_length);
        if (w.out != nullptr && length > w.best_length) {
            w.best_length = length;
            w.out[w.count++] = {length, w.pos - w.node - 1};
        }
        if (length >= w.nice) {
            // Equal up to the limit: the new node takes over the old
            // one's subtrees and the old one leaves the tree.
            *w.pending_lt = node_children[0];
            *w.pending_gt = node_children[1];
            return false;
        }
    }
    uint32_t slot;
    if (match[length] < in[length]) {
        *w.pending_lt = w.node + 1;
        w.pending_lt = &node_children[1];
        slot = *w.pending_lt;
        w.lt_length = length;
        if (w.gt_length < length)
            length = w.gt_length;
    } else {
        *w.pending_gt = w.node + 1;
        w.pending_gt = &node_children[0];
        slot = *w.pending_gt;
        w.gt_length = length;
        if (w.lt_length < length)
            length = w.lt_length;
    }
    w.length = length;
    if (--w.depth <= 0 || !usable(mf, w.pos, slot, w.node)) {
        *w.pending_lt = *w.pending_gt = 0;
        return false;
    }
    // The next node's byte and children, asked for before the other walk
    // takes its turn: about 0.5 % of level 6's processor time, near the
    // noise of the measurement.
    __builtin_prefetch(mf.data + w.node + length);
    __builtin_prefetch(&mf.child[2 * (w.node & (mf.window - 1))]);
    return true;
}

int tree_search(MatchFinder& mf, uint32_t pos, uint32_t max_length, uint32_t best_length, MatchRef* out,
                int count)
{
    TreeWalk w;
    if (walk_begin(mf, w, pos, max_length, best_length, out, count))
        while (walk_step(mf, w)) {
        }
    return w.count;
}

// The 2- and 3-byte candidates of pos (max_length >= 3); best is the
// longest length reported.
int short_matches(MatchFinder& mf, uint32_t pos, uint32_t max_length, MatchRef* out, uint32_t& best)
{
    const uint8_t* in = mf.data + pos;
    int count = 0;
    best = 1;
    uint32_t node;
    uint32_t h2 = hash_2(in);
    uint32_t slot = mf.hash2[h2];
    mf.hash2[h2] = pos + 1;
    // A 2-byte match pays only with a distance value below 256, where its
    // length base is 2.
    if (usable(mf, pos, slot, node) && pos - node <= 256) {
        uint32_t length = common_length(in, mf.data + node, 0, max_length);
        if (length >= 2) {
            best = length;
            out[count++] = {length, pos - node - 1};
        }
    }
    if (max_length < 3)
        return count;
    uint32_t h3 = hash_3(in);
    slot = mf.hash3[h3];
    mf.hash3[h3] = pos + 1;
    if (usable(mf, pos, slot, node)) {
        uint32_t length = common_length(in, mf.data + node, 0, max_length);
        if (length > best) {
            best = length;
            out[count++] = {length, pos - node - 1};
        }
    }
    return count;
}

}  // namespace

int find_matches(MatchFinder& mf, uint32_t pos, uint32_t max_length, MatchRef* out)
{
    if (max_length < 2)
        return 0;
    uint32_t best;
    int count = short_matches(mf, pos, max_length, out, best);
    if (max_length < 4)
        return count;
    return tree_search(mf, pos, max_length, best, out, count);
}

int find_short_matches(MatchFinder& mf, uint32_t pos, uint32_t max_length, MatchRef* out)
{
    if (max_length < 2)
        return 0;
    uint32_t best;
    return short_matches(mf, pos, max_length, out, best);
}

void find_matches_two(MatchFinder& mf, uint32_t pos, MatchRef* out, int& count, MatchRef* next_out,
                      int& next_count)
{
    // The hash tables of 2 and 3 bytes are apart from the trees: both
    // positions' lookups may come before either tree walk.
    uint32_t best, next_best;
    count = short_matches(mf, pos, MAX_MATCH, out, best);
    next_count = short_matches(mf, pos + 1, MAX_MATCH, next_out, next_best);
    // The walks share no node when the positions hash to different trees
    // and the node whose slot pos + 1 takes over (pos + 1 - window, which
    // pos could still reach) is not in the tree of pos.
    const uint8_t* in = mf.data + pos;
    const uint32_t h = hash_4(in);
    if (h == hash_4(in + 1) || (pos + 1 >= mf.window && hash_4(in + 1 - mf.window) == h)) {
        count = tree_search(mf, pos, MAX_MATCH, best, out, count);
        next_count = tree_search(mf, pos + 1, MAX_MATCH, next_best, next_out, next_count);
        return;
    }
    TreeWalk a, b;
    bool more_a = walk_begin(mf, a, pos, MAX_MATCH, best, out, count);
    bool more_b = walk_begin(mf, b, pos + 1, MAX_MATCH, next_best, next_out, next_count);
    while (more_a && more_b) {
        more_a = walk_step(mf, a);
        more_b = walk_step(mf, b);
    }
    while (more_a)
        more_a = walk_step(mf, a);
    while (more_b)
        more_b = walk_step(mf, b);
    count = a.count;
    next_count = b.count;
}

void prefetch_position(const MatchFinder& mf, uint32_t pos)
{
    const uint8_t* in = mf.data + pos;
    __builtin_prefetch(&mf.hash2[hash_2(in)]);
    __builtin_prefetch(&mf.hash3[hash_3(in)]);
    // The root may still change before pos is searched (a nearer position
    // of the same hash); then the wrong node comes in, which costs nothing
    // but the fetch.
    uint32_t slot = mf.hash4[hash_4(in)];
    if (slot != 0) {
        __builtin_prefetch(&mf.child[2 * ((slot - 1) & (mf.window - 1))]);
        __builtin_prefetch(mf.data + (slot - 1));
    }
}

void skip_position(MatchFinder& mf, uint32_t pos, uint32_t max_length)
{
    if (max_length < 2)
        return;
    const uint8_t* in = mf.data + pos;
    mf.hash2[hash_2(in)] = pos + 1;
    if (max_length < 3)
        return;
    mf.hash3[hash_3(in)] = pos + 1;
    if (max_length < 4)
        return;
    tree_search(mf, pos, max_length, 0, nullptr, 0);
}

void match_finder_rebase(MatchFinder& mf, const uint8_t* data, uint32_t delta)
{
    mf.data = data;
    mf.min_pos = mf.min_pos > delta ? mf.min_pos - delta : 0;
    if (delta == 0)
        return;
    // Slots hold position + 1, 0 for none.
    auto shift = [delta](WordTable& slots) {
        for (uint32_t& v : slots)
            v = v > delta ? v - delta : 0;
    };
    shift(mf.hash2);
    shift(mf.hash3);
    shift(mf.hash4);
    shift(mf.child);
}

void chain_insert(MatchFinder& mf, uint32_t pos)
{
    uint32_t h = hash_4(mf.data + pos);
    mf.child[pos & (mf.window - 1)] = mf.hash4[h];
    mf.hash4[h] = pos + 1;
}

MatchRef chain_search(MatchFinder& mf, uint32_t pos, uint32_t max_length, int depth)
{
    const uint8_t* in = mf.data + pos;
    uint32_t h = hash_4(in);
    uint32_t slot = mf.hash4[h];
    mf.child[pos & (mf.window - 1)] = slot;
    mf.hash4[h] = pos + 1;
    MatchRef best{0, 0};
    if (max_length < 4)
        return best;
    uint32_t node;
    const uint32_t nice = mf.nice_length < max_length ? mf.nice_length : max_length;
    while (depth-- > 0 && usable(mf, pos, slot, node)) {
        const uint8_t* match = mf.data + node;
        if (match[best.length] == in[best.length] && std::memcmp(match, in, 4) == 0) {
            uint32_t length = common_length(in, match, 4, max_length);
            if (length > best.length) {
                best = {length, pos - node - 1};
                if (length >= nice)
                    break;
            }
        }
        slot = mf.child[node & (mf.window - 1)];
    }
    return best;
}
