// Hand-built packed streams for tests: bits are written MSB-first into
// 32-bit words stored little-endian, the order the bit reader consumes.
// Also writes code tables in the stream's format, with each symbol's code
// taken from the decoder's own table builder, so a test states lengths and
// symbols rather than bit patterns.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "extract/job.h"

class BitWriter {
public:
    // Appends the low count bits of value, most significant first; count 0..32.
    void put_bits(uint32_t value, int count)
    {
        for (int i = count - 1; i >= 0; --i) {
            if (bit_count_ % 32 == 0)
                words_.push_back(0);
            if ((value >> i) & 1)
                words_.back() |= 1u << (31 - bit_count_ % 32);
            ++bit_count_;
        }
    }

    size_t bit_count() const { return bit_count_; }

    // The stream so far, its last word padded with 0 bits, plus pad_words
    // words of 0 (lookahead the decoder may peek at but never consumes).
    std::vector<uint8_t> bytes(size_t pad_words = 0) const
    {
        std::vector<uint8_t> out;
        for (size_t k = 0; k < words_.size() + pad_words; ++k) {
            const uint32_t w = k < words_.size() ? words_[k] : 0;
            for (int b = 0; b < 4; ++b)
                out.push_back(uint8_t(w >> (8 * b)));
        }
        return out;
    }

private:
    std::vector<uint32_t> words_;
    size_t bit_count_ = 0;
};

// The codes a decoder derives from a set of code lengths.
struct SentCode {
    std::vector<uint16_t> lookup;  // 2^width entries
    std::vector<uint8_t> lengths;  // bits consumed per symbol (after the build's one-symbol rule)
    std::vector<int> codes;        // code value per symbol; -1 when it cannot be written
    int width = TABLE_BITS;

    // Writes the code of symbol s. Only symbols whose whole span decodes to
    // them, whatever bits follow, can be written.
    void put(BitWriter& bw, int s) const
    {
        ASSERT_LT(size_t(s), codes.size());
        ASSERT_GE(codes[size_t(s)], 0) << "symbol " << s << " has no code of its own";
        bw.put_bits(uint32_t(codes[size_t(s)]), lengths[size_t(s)]);
    }
};

// Runs the decoder's builder on lengths[0..n] with scratch work storage.
inline SentCode derive_codes(int width, std::vector<uint8_t> lengths)
{
    auto scratch = std::make_unique<CodeTableWork>();
    SentCode code;
    code.width = width;
    code.lookup.assign(size_t(1) << width, 0);
    const size_t n = lengths.size() - 1;
    lengths.resize(MAIN_SYMBOL_LIMIT + 2, 0);
    EXPECT_EQ(build_lookup_table(*scratch, width, int(n), lengths.data(), code.lookup.data()), 1);
    lengths.resize(n + 1);
    code.lengths = lengths;
    code.codes.assign(n + 1, -1);
    std::vector<size_t> first(n + 1, code.lookup.size());
    for (size_t v = code.lookup.size(); v-- > 0;) {
        if (code.lookup[v] <= n)
            first[code.lookup[v]] = v;
    }
    for (size_t s = 0; s <= n; ++s) {
        const int length = lengths[s];
        if (length < 1 || length > width || first[s] == code.lookup.size())
            continue;
        const size_t span = size_t(1) << (width - length);
        if (first[s] % span != 0)
            continue;
        bool owned = true;
        for (size_t k = 0; k < span && owned; ++k)
            owned = code.lookup[first[s] + k] == s;
        if (owned)
            code.codes[s] = int(first[s] >> (width - length));
    }
    return code;
}

// One pre-coded value of a code table: a value below P, or a run of
// run_length (4..19) zero values through the run code P.
struct PreValue {
    int value;
    int run_length = 0;
};

// Writes a code table field by field.
inline void put_code_table_raw(BitWriter& bw, int max_symbol, int length_base, int max_pre_symbol,
                               const std::vector<uint8_t>& pre_lengths, const std::vector<PreValue>& values)
{
    bw.put_bits(uint32_t(max_symbol), 9);
    bw.put_bits(uint32_t(length_base), 4);
    bw.put_bits(uint32_t(max_pre_symbol), 4);
    ASSERT_EQ(pre_lengths.size(), size_t(max_pre_symbol) + 1);
    for (uint8_t length : pre_lengths)
        bw.put_bits(length, 3);
    const SentCode pre = derive_codes(PRE_TABLE_BITS, pre_lengths);
    for (const PreValue& v : values) {
        if (v.run_length > 0) {
            pre.put(bw, max_pre_symbol);
            bw.put_bits(uint32_t(v.run_length - 4), 4);
        } else {
            pre.put(bw, v.value);
        }
    }
}

// Writes a code table that makes read_code_table produce exactly these
// code lengths (0..11) for symbols 0..lengths.size()-1, and returns the codes
// the decoder will use. Differences of the running sum go out modulo 12
// (B = 0, P = 12), with runs of zero differences through the run code.
inline SentCode put_code_table(BitWriter& bw, const std::vector<uint8_t>& lengths)
{
    constexpr int P = 12;
    std::vector<PreValue> values;
    int previous = 0;
    for (size_t j = 0; j < lengths.size();) {
        const int diff = (lengths[j] - previous + P) % P;
        if (diff == 0) {
            size_t run = 0;
            while (j + run < lengths.size() && lengths[j + run] == previous && run < 19)
                ++run;
            if (run >= 4) {
                values.push_back({0, int(run)});
                j += run;
                continue;
            }
        }
        values.push_back({diff});
        previous = lengths[j];
        ++j;
    }
    // Lengths of the 13 pre-code symbols: 4 bits each, an incomplete code.
    put_code_table_raw(bw, int(lengths.size()) - 1, 0, P, std::vector<uint8_t>(P + 1, 4), values);
    return derive_codes(TABLE_BITS, lengths);
}
