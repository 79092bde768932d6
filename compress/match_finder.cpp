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

void match_finder_init(MatchFinder& mf, const uint8_t* data, int window_bits, int max_depth,
                       uint32_t nice_length)
{
    mf.data = data;
    mf.window = uint32_t{1} << window_bits;
    mf.min_pos = 0;
    mf.max_depth = max_depth;
    mf.nice_length = nice_length;
    mf.hash2.assign(1u << 16, 0);
    mf.hash3.assign(1u << HASH3_BITS, 0);
    mf.hash4.assign(1u << HASH4_BITS, 0);
    mf.child.assign(size_t{2} * mf.window, 0);
}

namespace {

// Inserts pos as the root of its tree, re-linking the old tree below it;
// when out is given, reports the matches met on the way.
int tree_search(MatchFinder& mf, uint32_t pos, uint32_t max_length, uint32_t best_length, MatchRef* out,
                int count)
{
    const uint8_t* in = mf.data + pos;
    uint32_t h = hash_4(in);
    uint32_t slot = mf.hash4[h];
    mf.hash4[h] = pos + 1;

    uint32_t* pending_lt = &mf.child[2 * (pos & (mf.window - 1))];
    uint32_t* pending_gt = pending_lt + 1;
    uint32_t nice = mf.nice_length < max_length ? mf.nice_length : max_length;
    uint32_t node;
    if (!usable(mf, pos, slot, node)) {
        *pending_lt = *pending_gt = 0;
        return count;
    }
    uint32_t lt_length = 0, gt_length = 0, length = 0;
    int depth = mf.max_depth;
    for (;;) {
        const uint8_t* match = mf.data + node;
        if (match[length] == in[length]) {
            length = common_length(in, match, length + 1, max_length);
            if (out != nullptr && length > best_length) {
                best_length = length;
                out[count++] = {length, pos - node - 1};
            }
            if (length >= nice) {
                // Equal up to the limit: the new node takes over the old
                // one's subtrees and the old one leaves the tree.
                uint32_t* node_children = &mf.child[2 * (node & (mf.window - 1))];
                *pending_lt = node_children[0];
                *pending_gt = node_children[1];
                return count;
            }
        }
        uint32_t* node_children = &mf.child[2 * (node & (mf.window - 1))];
        if (match[length] < in[length]) {
            *pending_lt = node + 1;
            pending_lt = &node_children[1];
            slot = *pending_lt;
            lt_length = length;
            if (gt_length < length)
                length = gt_length;
        } else {
            *pending_gt = node + 1;
            pending_gt = &node_children[0];
            slot = *pending_gt;
            gt_length = length;
            if (lt_length < length)
                length = lt_length;
        }
        if (--depth <= 0 || !usable(mf, pos, slot, node)) {
            *pending_lt = *pending_gt = 0;
            return count;
        }
    }
}

}  // namespace

int find_matches(MatchFinder& mf, uint32_t pos, uint32_t max_length, MatchRef* out)
{
    if (max_length < 2)
        return 0;
    const uint8_t* in = mf.data + pos;
    int count = 0;
    uint32_t best = 1;
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
    if (max_length < 4)
        return count;
    return tree_search(mf, pos, max_length, best, out, count);
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
    auto shift = [delta](std::vector<uint32_t>& slots) {
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
