#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "extract/job.h"
#include "support/bit_writer.h"
#include "support/test_host.h"

namespace {

// Reads every symbol's code off a built width-11 table as a bit string;
// symbols without entries map to "".
std::vector<std::string> codes_of(const std::vector<uint8_t>& sent_lengths)
{
    auto cx = std::make_unique<JobContext>();
    std::vector<uint16_t> lookup(TABLE_SIZE, 0xFFFF);
    std::vector<uint8_t> lengths = sent_lengths;
    lengths.resize(MAIN_SYMBOL_LIMIT + 2);
    EXPECT_EQ(build_lookup_table(cx->tables, TABLE_BITS, int(sent_lengths.size()) - 1, lengths.data(), lookup.data()), 1);
    std::vector<std::string> codes(sent_lengths.size());
    for (size_t s = 0; s < sent_lengths.size(); ++s) {
        const int length = sent_lengths[s];
        if (length == 0)
            continue;
        const uint32_t span = 1u << (TABLE_BITS - length);
        const auto first = std::find(lookup.begin(), lookup.end(), s);
        if (first == lookup.end())
            continue;
        const size_t index = size_t(first - lookup.begin());
        for (uint32_t k = 0; k < span; ++k)
            EXPECT_EQ(lookup[index + k], s) << "span of symbol " << s;
        for (int b = length - 1; b >= 0; --b)
            codes[s] += char('0' + ((index >> (TABLE_BITS - length + b)) & 1));
    }
    return codes;
}

std::string describe(const std::vector<std::string>& codes)
{
    std::string out;
    for (size_t s = 0; s < codes.size(); ++s) {
        if (!codes[s].empty())
            out += std::to_string(s) + ":" + codes[s] + " ";
    }
    return out;
}

std::vector<uint8_t> repeat(int count, uint8_t length) { return std::vector<uint8_t>(size_t(count), length); }

}  // namespace

TEST(HuffmanBuild, AssignsCodesOfTheWorkedResults)
{
    EXPECT_EQ(describe(codes_of({2, 2, 2, 2})), "0:00 1:01 2:10 3:11 ");
    EXPECT_EQ(describe(codes_of({1, 2, 3, 3})), "0:0 1:10 2:110 3:111 ");
    EXPECT_EQ(describe(codes_of({2, 2, 3, 3, 3, 3})), "0:01 1:00 2:100 3:111 4:110 5:101 ");
    EXPECT_EQ(describe(codes_of({3, 3, 2, 3, 3, 2})), "0:101 1:100 2:00 3:110 4:111 5:01 ");
    EXPECT_EQ(describe(codes_of({0, 3, 0, 3, 2, 3, 3, 2, 0})), "1:100 3:111 4:01 5:110 6:101 7:00 ");
    EXPECT_EQ(describe(codes_of(repeat(8, 3))), "0:011 1:010 2:001 3:000 4:111 5:110 6:101 7:100 ");
    EXPECT_EQ(describe(codes_of(repeat(16, 4))),
              "0:0100 1:0101 2:0110 3:0111 4:0000 5:0001 6:0010 7:0011 "
              "8:1100 9:1101 10:1110 11:1111 12:1000 13:1001 14:1010 15:1011 ");
}

TEST(HuffmanBuild, AllZeroLengthsGiveTheWholeTableToOneSymbol)
{
    const int expected_symbol[] = {0, 1, 2, 3, 2};
    for (int n = 0; n <= 4; ++n) {
        auto cx = std::make_unique<JobContext>();
        std::vector<uint16_t> lookup(TABLE_SIZE, 0xBEEF);
        std::vector<uint8_t> lengths(MAIN_SYMBOL_LIMIT + 2, 0);
        ASSERT_EQ(build_lookup_table(cx->tables, TABLE_BITS, n, lengths.data(), lookup.data()), 1);
        const int s = expected_symbol[n];
        EXPECT_EQ(std::count(lookup.begin(), lookup.end(), s), TABLE_SIZE) << "n = " << n;
        for (int k = 0; k <= n; ++k)
            EXPECT_EQ(lengths[k], k == s ? 1 : 0) << "n = " << n << ", symbol " << k;
        // sort_keys keeps the sent values, only the caller's array changes.
        EXPECT_EQ(cx->tables.sort_keys[0], 0);
    }
}

TEST(HuffmanBuild, OneUsedSymbolTakesItsSpanAndConsumesOneBit)
{
    auto cx = std::make_unique<JobContext>();
    std::vector<uint16_t> lookup(TABLE_SIZE, 0x1234);
    std::vector<uint8_t> lengths(MAIN_SYMBOL_LIMIT + 2, 0);
    lengths[5] = 4;
    ASSERT_EQ(build_lookup_table(cx->tables, TABLE_BITS, 9, lengths.data(), lookup.data()), 1);
    EXPECT_EQ(std::count(lookup.begin(), lookup.begin() + 128, 5), 128);
    EXPECT_EQ(std::count(lookup.begin() + 128, lookup.end(), 0x1234), TABLE_SIZE - 128);
    EXPECT_EQ(lengths[5], 1);
}

TEST(HuffmanBuild, RejectsCodesThatDoNotFit)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> lengths;
        int expected;
    };
    // Spans are placed shortest first, so the table only ever overflows
    // through a length above the width that is reached before it is full.
    const Case cases[] = {
        {"longer than the width", {1, 12}, 0},
        {"longer than the width, alone", {0, 12, 0}, 0},
        {"over-subscribed: full before the longest code", {1, 1, 2}, 1},
        {"full before the too-long code", {1, 1, 12}, 1},
        {"incomplete", {2, 2, 3}, 1},
    };
    for (const Case& c : cases) {
        CodeTableWork work{};
        std::vector<uint16_t> lookup(TABLE_SIZE, 0);
        std::vector<uint8_t> lengths = c.lengths;
        lengths.resize(MAIN_SYMBOL_LIMIT + 2);
        EXPECT_EQ(build_lookup_table(work, TABLE_BITS, int(c.lengths.size()) - 1, lengths.data(), lookup.data()),
                  c.expected)
            << c.what;
    }
    // Symbols the full table leaves out never decode.
    auto cx = std::make_unique<JobContext>();
    std::vector<uint16_t> lookup(TABLE_SIZE, 0);
    std::vector<uint8_t> lengths(MAIN_SYMBOL_LIMIT + 2, 0);
    lengths[0] = 1;
    lengths[1] = 1;
    lengths[2] = 5;
    ASSERT_EQ(build_lookup_table(cx->tables, TABLE_BITS, 2, lengths.data(), lookup.data()), 1);
    EXPECT_EQ(std::count(lookup.begin(), lookup.end(), 2), 0);
}

TEST(HuffmanSort, OrdersDescendingAndKeepsSymbolsWithTheirKeys)
{
    std::mt19937 rng(7);
    auto work = std::make_unique<CodeTableWork>();
    for (int trial = 0; trial < 2000; ++trial) {
        const int n = int(rng() % (MAIN_SYMBOL_LIMIT + 1));
        // Few distinct keys, as code lengths have, as often as many.
        const int spread = 1 + int(rng() % (trial % 2 ? 16 : 255));
        std::vector<uint8_t> keys(size_t(n) + 1);
        for (int i = 0; i <= n; ++i) {
            keys[i] = uint8_t(rng() % spread);
            work->sort_keys[i] = keys[i];
            work->sort_symbols[i] = uint16_t(i);
        }
        sort_by_length(*work, 0, n);
        std::vector<bool> seen(size_t(n) + 1, false);
        for (int i = 0; i <= n; ++i) {
            if (i > 0) {
                ASSERT_GE(work->sort_keys[i - 1], work->sort_keys[i]) << "trial " << trial;
            }
            const uint16_t s = work->sort_symbols[i];
            ASSERT_LE(s, n);
            ASSERT_FALSE(seen[s]);
            seen[s] = true;
            ASSERT_EQ(keys[s], work->sort_keys[i]);
        }
        // The word sort, in its plain form and in the one the processor
        // allows, leaves every symbol where the format's sort does.
        for (const bool scalar : {true, false}) {
            for (int i = 0; i <= n; ++i)
                work->sort_items[i] = uint32_t(keys[i]) << 16 | uint32_t(i);
            work->scalar_sort = scalar;
            sort_items_by_length(*work, 0, n);
            for (int i = 0; i <= n; ++i) {
                ASSERT_EQ(work->sort_items[i], uint32_t(work->sort_keys[i]) << 16 | work->sort_symbols[i])
                    << "trial " << trial << " at " << i << (scalar ? ", plain" : "");
            }
        }
    }
}

// The builder sorts its own way (past the zero lengths it stops early): its
// codes must still be those of the format's sort followed step by step, on
// sets of lengths such as blocks send: a few to all symbols used, with
// zeros between them, filling the code space or leaving part of it.
TEST(HuffmanSort, BuilderGivesEverySymbolTheCodeOfTheFormatsSort)
{
    std::mt19937 rng(11);
    auto work = std::make_unique<CodeTableWork>();
    for (int trial = 0; trial < 3000; ++trial) {
        const int n = 1 + int(rng() % MAIN_SYMBOL_LIMIT);
        const uint32_t zero_share = rng() % 100;
        const int longest = 1 + int(rng() % TABLE_BITS);
        std::vector<uint8_t> lengths(MAIN_SYMBOL_LIMIT + 2, 0);
        uint32_t taken = 0;  // of the 2048 entries
        for (int s = 0; s <= n; ++s) {
            const int length = 1 + int(rng() % uint32_t(longest));
            if (rng() % 100 >= zero_share && taken + (TABLE_SIZE >> length) <= TABLE_SIZE) {
                lengths[size_t(s)] = uint8_t(length);
                taken += TABLE_SIZE >> length;
            }
        }
        // The format's order, and the table it gives, shortest codes first.
        for (int i = 0; i <= n; ++i) {
            work->sort_keys[i] = lengths[size_t(i)];
            work->sort_symbols[i] = uint16_t(i);
        }
        sort_by_length(*work, 0, n);
        std::vector<uint16_t> expected(TABLE_SIZE, 0);
        uint32_t pos = 0;
        for (int k = n; k >= 0; --k) {
            if (work->sort_keys[k] == 0)
                continue;
            const uint32_t span = TABLE_SIZE >> work->sort_keys[k];
            std::fill_n(expected.begin() + pos, span, work->sort_symbols[k]);
            pos += span;
        }
        if (std::count_if(lengths.begin(), lengths.end(), [](uint8_t l) { return l != 0; }) < 2)
            continue;  // a lone symbol has its own rule, tested above
        std::vector<uint16_t> lookup(TABLE_SIZE, 0);
        work->scalar_sort = trial % 2 != 0;
        ASSERT_EQ(build_lookup_table(*work, TABLE_BITS, n, lengths.data(), lookup.data()), 1);
        ASSERT_TRUE(std::equal(expected.begin(), expected.begin() + pos, lookup.begin())) << "trial " << trial;
    }
}

namespace {

// A context whose bit reader reads the given bytes from memory.
std::unique_ptr<JobContext> reading(const std::vector<uint8_t>& bytes, std::vector<uint32_t>& words)
{
    auto cx = std::make_unique<JobContext>();
    words.assign(INPUT_WORDS, 0);
    cx->job.input_words = words.data();
    start_bits_from_memory(*cx, bytes.data(), uint32_t(bytes.size()));
    return cx;
}

uint32_t bits_consumed(const JobContext& cx) { return uint32_t(cx.bits.word_index) * 32 + uint32_t(cx.bits.bit_offset); }

}  // namespace

TEST(HuffmanRead, RunningSumBaseAndRunsGiveTheSentLengths)
{
    // P = 5, B = 2; pre-code symbols 0..5 all of length 3 (an incomplete code).
    // Values 3, 4, 0, run of 4 zeros, 1 over symbols 0..7:
    // running sum mod 5: 3, 2, 2, 2, 2, 2, 2, 3; plus B: 5, 4, 4, 4, 4, 4, 4, 5.
    BitWriter bw;
    put_code_table_raw(bw, 7, 2, 5, {3, 3, 3, 3, 3, 3}, {{3}, {4}, {0}, {0, 4}, {1}});
    bw.put_bits(0x5A5A, 16);
    const size_t table_bits = bw.bit_count() - 16;
    std::vector<uint32_t> words;
    auto cx = reading(bw.bytes(2), words);
    HuffmanTable& t = cx->lz.main_code;
    std::fill(std::begin(t.code_lengths), std::end(t.code_lengths), 9);
    // Six codes of 4 bits and two of 5 bits: an incomplete code.
    ASSERT_EQ(read_code_table(*cx, TABLE_BITS, t.lookup, t.code_lengths, MAIN_SYMBOL_LIMIT), 1);
    const uint8_t expected[] = {5, 4, 4, 4, 4, 4, 4, 5};
    for (int s = 0; s < 8; ++s)
        EXPECT_EQ(t.code_lengths[s], expected[s]) << "symbol " << s;
    EXPECT_EQ(t.code_lengths[8], 0);
    EXPECT_EQ(t.code_lengths[MAIN_SYMBOL_LIMIT], 9) << "the entry at the limit is not cleared";
    EXPECT_EQ(bits_consumed(*cx), table_bits);
    EXPECT_EQ(read_bits(*cx, 16), 0x5A5Au);
}

TEST(HuffmanRead, WrittenTablesDecodeTheirSymbols)
{
    std::mt19937 rng(11);
    for (int trial = 0; trial < 200; ++trial) {
        // Random complete-or-incomplete codes: Kraft sum at most 1.
        const int n = 1 + int(rng() % MAIN_SYMBOL_LIMIT);
        std::vector<uint8_t> lengths(size_t(n) + 1, 0);
        uint32_t room = TABLE_SIZE;
        for (int s = 0; s <= n; ++s) {
            const int length = int(rng() % 12);
            if (length == 0 || uint32_t(TABLE_SIZE >> length) > room)
                continue;
            lengths[s] = uint8_t(length);
            room -= TABLE_SIZE >> length;
        }
        if (std::count_if(lengths.begin(), lengths.end(), [](uint8_t l) { return l != 0; }) < 2)
            continue;
        BitWriter bw;
        const SentCode code = put_code_table(bw, lengths);
        std::vector<int> sent;
        for (int k = 0; k < 300; ++k) {
            const int s = int(rng() % (n + 1));
            if (lengths[s] == 0)
                continue;
            code.put(bw, s);
            sent.push_back(s);
        }
        std::vector<uint32_t> words;
        auto cx = reading(bw.bytes(2), words);
        HuffmanTable& t = cx->lz.length_code;
        ASSERT_EQ(read_code_table(*cx, TABLE_BITS, t.lookup, t.code_lengths, MAIN_SYMBOL_LIMIT), 1);
        for (int s = 0; s <= n; ++s)
            ASSERT_EQ(t.code_lengths[s], lengths[s]);
        for (int s : sent)
            ASSERT_EQ(decode_symbol(*cx, t), s);
        EXPECT_EQ(bits_consumed(*cx), bw.bit_count());
    }
}

// Tables that start anywhere in the last 3,300 bits before the reader's
// buffer is refilled (or just after): their values stop short of that
// point, or reach and cross it.
TEST(HuffmanRead, TablesNearTheRefillPointReadTheSentLengths)
{
    std::mt19937 rng(12);
    std::vector<uint8_t> lengths(MAIN_SYMBOL_LIMIT + 1);
    const int refill = int(REFILL_BIT_POSITION);
    for (int start = refill - 3300; start <= refill + 40; start += 1 + int(rng() % 29)) {
        uint32_t room = TABLE_SIZE;  // lengths whose codes fit
        for (auto& length : lengths) {
            length = uint8_t(rng() % 12);
            if (length != 0 && uint32_t(TABLE_SIZE >> length) > room)
                length = 0;
            room -= length != 0 ? TABLE_SIZE >> length : 0;
        }
        BitWriter bw;
        for (int k = 0; k < start; k += 16)
            bw.put_bits(rng() & 0xFFFF, std::min(16, start - k));
        put_code_table(bw, lengths);
        bw.put_bits(0x5A5A, 16);
        // Read as packed data, so that the buffer is refilled from it.
        const Bytes packed = bw.bytes(8);
        TestJob job;
        JobContext& cx = job.cx;
        job.use_memory(packed);
        cx.job.archive_handle = stream_open(cx.stream, "t", STREAM_MODE_BINARY, 0);
        cx.reader.packed_remaining = uint32_t(packed.size());
        start_bits(cx);
        for (int k = 0; k < start; k += 16)
            skip_bits(cx, std::min(16, start - k));
        HuffmanTable& t = cx.lz.main_code;
        ASSERT_EQ(read_code_table(cx, TABLE_BITS, t.lookup, t.code_lengths, MAIN_SYMBOL_LIMIT), 1) << start;
        ASSERT_TRUE(std::equal(lengths.begin(), lengths.end(), t.code_lengths)) << start;
        ASSERT_EQ(read_bits(cx, 16), 0x5A5Au) << start;
    }
}

TEST(HuffmanRead, OneSymbolTableKeepsEarlierEntriesBehindItsSpan)
{
    // Symbol 3 of length 5: entries 0..63 are its own, 64..127 keep the
    // pre-code written there while the lengths were read, the rest keep 0.
    // P = 4 with pre-code lengths 1, 2, 3, 3 (codes 0, 10, 110, 111).
    // Values 0, 0, 0, 1 sum to the lengths 0, 0, 0, 1; B = 4 makes the last 5.
    BitWriter bw;
    put_code_table_raw(bw, 3, 4, 4, {1, 2, 3, 3, 0}, {{0}, {0}, {0}, {1}});
    std::vector<uint32_t> words;
    auto cx = reading(bw.bytes(2), words);
    HuffmanTable& t = cx->lz.main_code;
    std::fill(std::begin(t.lookup), std::end(t.lookup), uint16_t(0x1FF));  // an earlier table's entries
    ASSERT_EQ(read_code_table(*cx, TABLE_BITS, t.lookup, t.code_lengths, MAIN_SYMBOL_LIMIT), 1);
    EXPECT_EQ(t.code_lengths[3], 1);
    for (int v = 0; v < 64; ++v)
        ASSERT_EQ(t.lookup[v], 3) << v;
    // Pre-code of lengths 1, 2, 3, 3 over 7 bits: 0 -> 0..63, 1 -> 64..95,
    // 2 -> 96..111, 3 -> 112..127.
    for (int v = 64; v < 96; ++v)
        ASSERT_EQ(t.lookup[v], 1) << v;
    for (int v = 96; v < 112; ++v)
        ASSERT_EQ(t.lookup[v], 2) << v;
    for (int v = 112; v < 128; ++v)
        ASSERT_EQ(t.lookup[v], 3) << v;
    for (int v = 128; v < TABLE_SIZE; ++v)
        ASSERT_EQ(t.lookup[v], 0) << v;
}

TEST(HuffmanRead, PreCodeOfOnlyTheRunCode)
{
    // P = 0: the pre-code is the run code alone (length forced to 1), every
    // value is a run of zeros and the table is the all-zero case.
    BitWriter bw;
    bw.put_bits(4, 9);  // n = 4
    bw.put_bits(3, 4);  // B
    bw.put_bits(0, 4);  // P
    bw.put_bits(0, 3);  // pre_lengths[0]
    bw.put_bits(0, 1);  // run code
    bw.put_bits(0, 4);  // 4 zeros
    bw.put_bits(0, 1);  // run code
    bw.put_bits(15, 4); // 19 zeros, cut at symbol 4
    bw.put_bits(0x3C, 8);
    std::vector<uint32_t> words;
    auto cx = reading(bw.bytes(2), words);
    HuffmanTable& t = cx->lz.main_code;
    ASSERT_EQ(read_code_table(*cx, TABLE_BITS, t.lookup, t.code_lengths, MAIN_SYMBOL_LIMIT), 1);
    EXPECT_EQ(std::count(std::begin(t.lookup), std::end(t.lookup), 2), TABLE_SIZE);
    EXPECT_EQ(t.code_lengths[2], 1);
    EXPECT_EQ(read_bits(*cx, 8), 0x3Cu) << "the cut run must not read past symbol n";
}

TEST(HuffmanRead, MaxSymbolIsCutToTheLimit)
{
    // max_symbol 511 with limit 255: exactly 256 values are read.
    BitWriter bw;
    std::vector<PreValue> values;
    for (int s = 0; s < 255; ++s)
        values.push_back({s % 2});  // lengths 0, 1, 1, 0, 0, 1, 1, ... (sum mod 2)
    values.push_back({0});          // symbol 255 repeats the 1 of symbol 254
    put_code_table_raw(bw, 511, 0, 2, {1, 1, 0}, values);
    bw.put_bits(0x2AA, 10);
    std::vector<uint32_t> words;
    auto cx = reading(bw.bytes(2), words);
    HuffmanTable& t = cx->lz.length_code;
    // Over-subscribed (many codes of length 1): the first two fill the
    // table and the rest get no entries.
    EXPECT_EQ(read_code_table(*cx, TABLE_BITS, t.lookup, t.code_lengths, LENGTH_SYMBOL_LIMIT), 1);
    const uint16_t first = t.lookup[0];
    const uint16_t second = t.lookup[TABLE_SIZE - 1];
    EXPECT_NE(first, second);
    EXPECT_EQ(std::count(std::begin(t.lookup), std::end(t.lookup), first), TABLE_SIZE / 2);
    EXPECT_EQ(std::count(std::begin(t.lookup), std::end(t.lookup), second), TABLE_SIZE / 2);
    EXPECT_EQ(t.code_lengths[first], 1);
    EXPECT_EQ(t.code_lengths[255], 1) << "the last of the 256 values";
    EXPECT_EQ(read_bits(*cx, 10), 0x2AAu) << "exactly 256 values are read";
}

TEST(HuffmanRead, RejectsLengthsLongerThanTheTable)
{
    // Values 1, 0 sum to 1, 1; the base 11 makes both 12 bits long.
    BitWriter bw;
    put_code_table_raw(bw, 1, 11, 2, {1, 1, 0}, {{1}, {0}});
    std::vector<uint32_t> words;
    auto cx = reading(bw.bytes(2), words);
    cx->lz.call_limit = 1000;
    HuffmanTable& t = cx->lz.main_code;
    std::fill(std::begin(t.lookup), std::end(t.lookup), uint16_t(0x1FF));
    EXPECT_EQ(read_code_table(*cx, TABLE_BITS, t.lookup, t.code_lengths, MAIN_SYMBOL_LIMIT), 0);
    EXPECT_EQ(cx->lz.call_produced, 0) << "the reader leaves the decoder's counters alone";
    // Behind the pre-code (P = 2, lengths 1 and 1: symbol 1 takes code 0) the table is cleared.
    for (int v = 0; v < TABLE_SIZE; ++v)
        ASSERT_EQ(t.lookup[v], v < 64 ? 1 : 0) << v;
    // As a block header, the same table ends the decoder's call at its limit.
    std::vector<uint32_t> again;
    auto block = reading(bw.bytes(2), again);
    block->lz.call_limit = 1000;
    EXPECT_EQ(read_block_header(*block), 0);
    EXPECT_EQ(block->lz.call_produced, 1000);
}

TEST(HuffmanRead, HostileBitsStayInBounds)
{
    // Random streams through the reader: any result is fine, but every
    // decoded symbol must be a symbol of the table and every code length
    // one that the bit reader can skip.
    std::mt19937 rng(3);
    std::vector<uint8_t> bytes(INPUT_BYTES);
    for (int trial = 0; trial < 3000; ++trial) {
        for (auto& b : bytes)
            b = uint8_t(rng());
        std::vector<uint32_t> words;
        auto cx = reading(bytes, words);
        HuffmanTable& t = cx->lz.main_code;
        const int limit = trial % 2 ? MAIN_SYMBOL_LIMIT : LENGTH_SYMBOL_LIMIT;
        if (read_code_table(*cx, TABLE_BITS, t.lookup, t.code_lengths, limit) != 1)
            continue;
        for (int v = 0; v < TABLE_SIZE; ++v) {
            ASSERT_LE(t.lookup[v], std::max(limit, PRE_SYMBOL_COUNT - 1));
            ASSERT_LE(t.code_lengths[t.lookup[v]], MAX_SENT_CODE_LENGTH);
        }
    }
}

TEST(HuffmanPack, FastTableMatchesLookupAndLengths)
{
    std::mt19937 rng(5);
    auto t = std::make_unique<HuffmanTable>();
    std::vector<uint16_t> fast(TABLE_SIZE);
    for (int v = 0; v < TABLE_SIZE; ++v)
        t->lookup[v] = uint16_t(rng() % (MAIN_SYMBOL_LIMIT + 1));
    for (auto& l : t->code_lengths)
        l = uint8_t(rng() % (MAX_SENT_CODE_LENGTH + 1));
    pack_lookup_table(*t, fast.data());
    for (int v = 0; v < TABLE_SIZE; ++v) {
        ASSERT_EQ(fast[v] >> FAST_LENGTH_BITS, t->lookup[v]);
        ASSERT_EQ(fast[v] & FAST_LENGTH_MASK, t->code_lengths[t->lookup[v]]);
    }
}

// The builder's own decode entries against the plain packing of what it
// built: complete, incomplete (entries left with pre-code symbols) and
// lone-symbol sets. A build that leaves the lookup unfilled, over one
// that holds an earlier table's entries past the pre-code's, gives the
// same decode entries.
TEST(HuffmanPack, BuilderWritesThePackedEntries)
{
    std::mt19937 rng(9);
    auto work = std::make_unique<CodeTableWork>();
    auto t = std::make_unique<HuffmanTable>();
    auto bare = std::make_unique<HuffmanTable>();
    std::vector<uint32_t> bare_match(TABLE_SIZE);
    std::vector<uint16_t> plain(TABLE_SIZE);
    std::vector<uint32_t> match(TABLE_SIZE);
    std::vector<uint32_t> plain_match(TABLE_SIZE);
    int built = 0;
    for (int trial = 0; trial < 600; ++trial) {
        const int n = 1 + int(rng() % MAIN_SYMBOL_LIMIT);
        const int shortest = 1 + int(rng() % TABLE_BITS);
        const int used_in = 1 + int(rng() % 8);
        for (int s = 0; s <= MAIN_SYMBOL_LIMIT; ++s)
            t->code_lengths[s] = s <= n && rng() % used_in == 0
                                     ? uint8_t(shortest + int(rng() % (TABLE_BITS + 1 - shortest)))
                                     : 0;
        for (int v = 0; v < TABLE_SIZE; ++v)
            t->lookup[v] = v < (1 << PRE_TABLE_BITS) ? uint16_t(rng() % PRE_SYMBOL_COUNT) : 0;
        // Each form once over the same start (a build may give a lone
        // symbol a length).
        bool bare_built = true;
        for (const bool main : {true, false}) {
            *bare = *t;
            for (int v = 1 << PRE_TABLE_BITS; v < TABLE_SIZE; ++v)
                bare->lookup[v] = uint16_t(rng() % (MAIN_SYMBOL_LIMIT + 1));
            bare_built &= build_lookup_table(*work, TABLE_BITS, n, bare->code_lengths, bare->lookup,
                                             main ? nullptr : bare->fast, 1 << PRE_TABLE_BITS,
                                             main ? bare_match.data() : nullptr, false) != 0;
        }
        if (!build_lookup_table(*work, TABLE_BITS, n, t->code_lengths, t->lookup, t->fast, TABLE_SIZE, match.data())) {
            EXPECT_FALSE(bare_built) << "trial " << trial;
            continue;
        }
        ASSERT_TRUE(bare_built) << "trial " << trial;
        EXPECT_EQ(match, bare_match) << "trial " << trial;
        EXPECT_EQ(0, std::memcmp(bare->fast, t->fast, sizeof t->fast)) << "trial " << trial;
        ++built;
        pack_lookup_table(*t, plain.data());
        ASSERT_EQ(0, std::memcmp(plain.data(), t->fast, sizeof t->fast)) << "trial " << trial;
        pack_main_entries(*t, plain_match.data());
        ASSERT_EQ(match, plain_match) << "trial " << trial;
    }
    EXPECT_GT(built, 100);
}
