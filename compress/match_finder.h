// Finds earlier occurrences of the bytes at a position: binary trees keyed
// by a 4-byte hash for matches of 4 bytes and more, plus single-candidate
// tables for 2- and 3-byte matches.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/platform.h"

constexpr int MIN_MATCH = 2;
constexpr int MAX_MATCH = 259;

// One candidate: length and coded distance value (distance - 1).
struct MatchRef {
    uint32_t length;
    uint32_t value;
};

// Longest list find_matches can return: lengths strictly increase.
constexpr int MAX_MATCHES_PER_POSITION = MAX_MATCH;

// Words the match finder reads and writes at random over megabytes: on
// huge pages where the system has them (about 3 % of level 6's time on
// the payload corpus went to missed address translations).
class WordTable {
public:
    WordTable() = default;
    ~WordTable() { platform_release_large(words_); }
    WordTable(const WordTable&) = delete;
    WordTable& operator=(const WordTable&) = delete;

    // n words of 0. False when there is no memory: the table is then empty.
    bool assign(size_t n)
    {
        platform_release_large(words_);
        words_ = static_cast<uint32_t*>(platform_allocate_large(n * sizeof(uint32_t)));
        size_ = words_ ? n : 0;
        return words_ != nullptr;
    }
    uint32_t& operator[](size_t i) { return words_[i]; }
    const uint32_t& operator[](size_t i) const { return words_[i]; }
    uint32_t* begin() { return words_; }
    uint32_t* end() { return words_ + size_; }
    size_t size() const { return size_; }
    bool operator==(const WordTable& other) const
    {
        return size_ == other.size_ && (size_ == 0 || std::memcmp(words_, other.words_, size_ * sizeof(uint32_t)) == 0);
    }

private:
    uint32_t* words_ = nullptr;
    size_t size_ = 0;
};

struct MatchFinder {
    const uint8_t* data = nullptr;  // the window's bytes; positions index it
    uint32_t window = 0;            // distances stay below this (a power of two)
    uint32_t min_pos = 0;           // no match reaches before this position
    int max_depth = 32;             // tree nodes visited per search
    uint32_t nice_length = 128;     // a match this long ends the search

    WordTable hash2;  // position + 1 of the latest 2-byte key, 0 = none
    WordTable hash3;
    WordTable hash4;  // tree roots
    WordTable child;  // two per window slot: smaller, greater
};

inline uint64_t load64(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Length of the common prefix of a and b, from start up to limit. Eight
// bytes a step where both sides have them (the first differing byte of a
// little-endian load is its lowest differing one), then bytes.
inline uint32_t common_length(const uint8_t* a, const uint8_t* b, uint32_t start, uint32_t limit)
{
    uint32_t len = start;
    if constexpr (std::endian::native == std::endian::little) {
        while (len + 8 <= limit) {
            uint64_t diff = load64(a + len) ^ load64(b + len);
            if (diff != 0)
                return len + static_cast<uint32_t>(std::countr_zero(diff) >> 3);
            len += 8;
        }
    }
    while (len < limit && a[len] == b[len])
        ++len;
    return len;
}

// False when its tables could not be had (no memory).
bool match_finder_init(MatchFinder& mf, const uint8_t* data, int window_bits, int max_depth,
                       uint32_t nice_length);

// Records position pos and returns its matches, shortest first, each the
// closest found of its length; no match is longer than max_length (the
// bytes left before the end of the entry, at most MAX_MATCH). Positions
// must be visited in increasing order, each once (by find or skip).
int find_matches(MatchFinder& mf, uint32_t pos, uint32_t max_length, MatchRef* out);

// Records pos in the 2- and 3-byte tables only and returns what they
// hold for it, shortest first: the cheap look of a stretch where the trees
// find nothing. The trees do not learn pos.
int find_short_matches(MatchFinder& mf, uint32_t pos, uint32_t max_length, MatchRef* out);

// The data now starts delta bytes further on (a multiple of the window):
// every recorded position moves down by delta, and those that would fall
// before the new start are forgotten.
void match_finder_rebase(MatchFinder& mf, const uint8_t* data, uint32_t delta);

// Hash chains for the fast levels, over the same tables (a chain link per
// window slot in child): records pos (which needs 4 bytes there) and
// returns its longest match of 4 bytes or more among the last depth
// positions of its hash, length 0 when there is none.
MatchRef chain_search(MatchFinder& mf, uint32_t pos, uint32_t max_length, int depth);
void chain_insert(MatchFinder& mf, uint32_t pos);

// find_matches for pos and then for pos + 1, both with MAX_MATCH bytes
// ahead, with the same results; the two tree walks take turns where they
// share no node, which hides much of the time spent waiting on memory.
void find_matches_two(MatchFinder& mf, uint32_t pos, MatchRef* out, int& count, MatchRef* next_out,
                      int& next_count);

// A hint only, never a change of result: asks for the memory the search
// at pos will touch first, so that it arrives while earlier positions are
// searched. Call it for a position some steps ahead of the next search.
void prefetch_position(const MatchFinder& mf, uint32_t pos);

// Records position pos without searching.
void skip_position(MatchFinder& mf, uint32_t pos, uint32_t max_length);
