#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "extract/job.h"
#include "support/bit_writer.h"
#include "support/test_host.h"

namespace {

constexpr uint32_t REQUEST = OUTPUT_BLOCK_SIZE;  // what the entry loops ask for

// ---- What a stream says, and what it must decode to ----------------------

struct Op {
    enum Kind { LITERAL, REUSE, NEW_DISTANCE } kind;
    uint32_t value;  // the byte, the history entry r, or the coded distance v
    uint32_t m = 0;  // length symbol
};
Op lit(int c) { return {Op::LITERAL, uint32_t(c)}; }
Op reuse(int r, int m) { return {Op::REUSE, uint32_t(r), uint32_t(m)}; }
Op dist(uint32_t v, int m) { return {Op::NEW_DISTANCE, v, uint32_t(m)}; }

std::vector<Op> literals(const std::string& text)
{
    std::vector<Op> ops;
    for (char c : text)
        ops.push_back(lit(uint8_t(c)));
    return ops;
}

// An independent model of the method: output as a plain vector, bytes
// before its start read as 0 (a fresh ring), the history as a newest-first
// list. history_out receives the final history. Distances count modulo the
// ring of 2^20 bytes the tests decode with.
constexpr int64_t MODEL_RING = int64_t(1) << DICT_MAX_BITS;
Bytes model(const std::vector<Op>& ops, const Bytes& earlier = {}, std::deque<uint32_t>* history_out = nullptr)
{
    Bytes out = earlier;
    std::deque<uint32_t> history = {0, 0, 0, 0};
    for (const Op& op : ops) {
        if (op.kind == Op::LITERAL) {
            out.push_back(uint8_t(op.value));
            continue;
        }
        uint32_t v;
        uint32_t base;
        if (op.kind == Op::REUSE) {
            v = history[op.value];
            history.erase(history.begin() + op.value);
            history.push_front(v);
            base = op.value <= 1 ? 2 : 3;
        } else {
            v = op.value;
            history.push_front(v);
            history.pop_back();
            base = v <= 255 ? 2 : v <= 8191 ? 3 : 4;
        }
        for (uint32_t i = 0; i < op.m + base; ++i) {
            const int64_t from = int64_t(out.size()) - (int64_t(v) % MODEL_RING) - 1;
            out.push_back(from >= 0 ? out[size_t(from)] : 0);
        }
    }
    if (history_out)
        *history_out = history;
    return Bytes(out.begin() + std::ptrdiff_t(earlier.size()), out.end());
}

// Writes LZ77 blocks symbol by symbol.
class LzStream {
public:
    static std::vector<uint8_t> every_main_symbol() { return std::vector<uint8_t>(MAIN_SYMBOL_LIMIT + 1, 9); }
    static std::vector<uint8_t> every_length_symbol() { return std::vector<uint8_t>(LENGTH_SYMBOL_LIMIT + 1, 8); }

    // A block header: both tables and the 15-bit symbol count.
    LzStream& block(uint32_t count, const std::vector<uint8_t>& main_lengths = every_main_symbol(),
                    const std::vector<uint8_t>& length_lengths = every_length_symbol())
    {
        main_ = put_code_table(bw, main_lengths);
        length_ = put_code_table(bw, length_lengths);
        bw.put_bits(count, BLOCK_COUNT_BITS);
        return *this;
    }

    LzStream& op(const Op& o)
    {
        switch (o.kind) {
        case Op::LITERAL:
            main_.put(bw, int(o.value));
            return *this;
        case Op::REUSE:
            main_.put(bw, 256 + int(o.value));
            break;
        case Op::NEW_DISTANCE:
            if (o.value <= 1) {
                main_.put(bw, 260 + int(o.value));
            } else {
                const int n = std::bit_width(o.value) - 1;
                main_.put(bw, 261 + n);
                bw.put_bits(o.value - (1u << n), n);
            }
            break;
        }
        length_.put(bw, int(o.m));
        return *this;
    }

    LzStream& ops(const std::vector<Op>& list)
    {
        for (const Op& o : list)
            op(o);
        return *this;
    }

    // One block holding all of list.
    LzStream& block_of(const std::vector<Op>& list) { return block(uint32_t(list.size())).ops(list); }

    Bytes bytes() const { return bw.bytes(); }

    BitWriter bw;

private:
    SentCode main_;
    SentCode length_;
};

// ---- A decoder with its job around it -------------------------------------

// Memory whose fresh contents are not zero, as an allocator may hand out.
class DirtyMemoryHost : public TestHost {
public:
    size_t refuse_above = SIZE_MAX;
    std::vector<size_t> asked;
    void* allocate(size_t size) override
    {
        asked.push_back(size);
        if (size > refuse_above)
            return nullptr;
        void* block = std::malloc(size);
        std::memset(block, 0xCC, size);
        return block;
    }
    void release(void* block) override { std::free(block); }
};

struct Lz {
    TestJob t;
    JobContext& cx = t.cx;
    DirtyMemoryHost dirty;

    explicit Lz(bool solid = false, size_t refuse_above = SIZE_MAX)
    {
        dirty.refuse_above = refuse_above;
        cx.host = &dirty;
        cx.reader.archive_solid = solid;
        allocate_dictionary(cx);
    }
    ~Lz()
    {
        if (cx.dict.dict_bytes)
            cx.host->release(cx.dict.dict_bytes);
    }

    // Reads the header fields the decoder looks at and begins the entry.
    void start(const Bytes& packed, uint32_t unpacked_size, uint8_t method = METHOD_LZ77, uint16_t parameter = 10,
               uint16_t flags = FLAG_DATA_SIZE)
    {
        t.use_memory(packed);
        cx.job.archive_handle = stream_open(cx.stream, "t", STREAM_MODE_BINARY, 0);
        cx.reader.packed_remaining = uint32_t(packed.size());
        AceHeader& h = cx.reader.header;
        h.header_type = HEADER_TYPE_FILE;
        h.header_flags = flags;
        h.file.packed_size = uint32_t(packed.size());
        h.file.unpacked_size = unpacked_size;
        h.file.method = method;
        h.file.parameter = parameter;
        begin_entry(cx);
    }

    uint32_t read(Bytes& out, uint32_t request = REQUEST)
    {
        std::vector<uint8_t> buffer(request + 64, 0xEE);
        const uint32_t n = read_entry_data(cx, buffer.data(), request);
        EXPECT_LE(n, request);
        for (uint32_t i = request; i < buffer.size(); ++i)
            EXPECT_EQ(buffer[i], 0xEE) << "written past the request";
        out.insert(out.end(), buffer.begin(), buffer.begin() + n);
        return n;
    }

    // Reads the entry to its end as the entry loops do.
    Bytes read_all(std::vector<uint32_t>* portions = nullptr, uint32_t request = REQUEST)
    {
        Bytes out;
        for (int calls = 0; calls < 100000 && current_status(cx) == STATUS_OK; ++calls) {
            const uint32_t n = read(out, request);
            if (n == 0)
                break;
            if (portions)
                portions->push_back(n);
        }
        return out;
    }

    std::deque<uint32_t> history() const
    {
        std::deque<uint32_t> h;
        for (int k = 0; k < HISTORY_SIZE; ++k)
            h.push_back(cx.lz.distance_history[(cx.lz.history_index - k) & 3]);
        return h;
    }
};

Bytes decode(const Bytes& packed, uint32_t unpacked_size)
{
    Lz lz;
    lz.start(packed, unpacked_size);
    return lz.read_all();
}

Bytes random_bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out)
        b = uint8_t(rng());
    return out;
}

// A random but well-formed sequence: literals, reuses and new distances
// (coded values of every width up to 2^20), lengths of every size.
std::vector<Op> random_ops(std::mt19937& rng, size_t count)
{
    std::vector<Op> ops;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t pick = rng() % 10;
        if (pick < 5)
            ops.push_back(lit(int(rng() % 256)));
        else if (pick < 7)
            ops.push_back(reuse(int(rng() % 4), int(rng() % 256)));
        else
            ops.push_back(dist(rng() >> (12 + rng() % 20), int(rng() % 256)));
        if (rng() % 8 == 0)
            ops.back().m = rng() % 4;  // short matches are the common ones
    }
    return ops;
}

}  // namespace

// ---- The method's symbols --------------------------------------------------

TEST(Lz77Symbols, WorkedExampleWithItsHistory)
{
    const std::vector<Op> steps = {lit(97), lit(98), dist(1, 2), reuse(0, 0), dist(6, 1), reuse(1, 0)};
    const char* outputs[] = {"a", "ab", "ababab", "abababab", "ababababbab", "ababababbabab"};
    const uint32_t slots[][4] = {{0, 0, 0, 0}, {0, 0, 0, 0}, {0, 1, 0, 0}, {0, 1, 0, 0}, {0, 1, 6, 0}, {0, 6, 1, 0}};
    const int16_t index[] = {0, 0, 1, 1, 2, 2};
    for (size_t k = 1; k <= steps.size(); ++k) {
        const std::vector<Op> prefix(steps.begin(), steps.begin() + std::ptrdiff_t(k));
        LzStream s;
        s.block_of(prefix);
        Lz lz;
        const std::string expected = outputs[k - 1];
        lz.start(s.bytes(), uint32_t(expected.size()));
        const Bytes out = lz.read_all();
        EXPECT_EQ(std::string(out.begin(), out.end()), expected) << "after step " << k;
        for (int slot = 0; slot < 4; ++slot)
            EXPECT_EQ(lz.cx.lz.distance_history[slot], slots[k - 1][slot]) << "step " << k << " slot " << slot;
        EXPECT_EQ(lz.cx.lz.history_index, index[k - 1]) << "step " << k;
    }
}

TEST(Lz77Symbols, HistoryReuseMovesToFront)
{
    struct Case {
        int r;
        uint32_t value;
        std::deque<uint32_t> after;
    };
    // Newest first: 10, 20, 30, 40.
    const Case cases[] = {{2, 30, {30, 10, 20, 40}}, {3, 40, {40, 10, 20, 30}}, {0, 10, {10, 20, 30, 40}},
                          {1, 20, {20, 10, 30, 40}}};
    for (const Case& c : cases) {
        const std::vector<Op> ops = {dist(40, 0), dist(30, 0), dist(20, 0), dist(10, 0), reuse(c.r, 0)};
        LzStream s;
        s.block_of(ops);
        Lz lz;
        const uint32_t size = 4 * 2 + (c.r <= 1 ? 2 : 3);
        lz.start(s.bytes(), size);
        EXPECT_EQ(lz.read_all(), model(ops)) << "r = " << c.r;
        EXPECT_EQ(lz.history(), c.after) << "r = " << c.r;
    }
    // After reusing 30, a new value 50 pushes the oldest out.
    const std::vector<Op> ops = {dist(40, 0), dist(30, 0), dist(20, 0), dist(10, 0), reuse(2, 0), dist(50, 0)};
    LzStream s;
    s.block_of(ops);
    Lz lz;
    lz.start(s.bytes(), 4 * 2 + 3 + 2);
    lz.read_all();
    EXPECT_EQ(lz.history(), (std::deque<uint32_t>{50, 30, 10, 20}));
}

TEST(Lz77Symbols, LengthBasesAndExtraBits)
{
    // Reuses in a fresh entry copy from distance 1; base 2 for r = 0, 1 and
    // 3 for r = 2, 3; a new distance's base follows its coded value.
    struct Case {
        Op op;
        size_t copied;
    };
    const Case cases[] = {
        {reuse(0, 0), 2},     {reuse(1, 0), 2},  {reuse(2, 0), 3},    {reuse(3, 1), 4},
        {dist(0, 0), 2},      {dist(255, 0), 2}, {dist(256, 0), 3},   {dist(8191, 0), 3},
        {dist(8192, 0), 4},   {dist(3, 5), 7},   {dist(1u << 20, 0), 4}, {dist((1u << 20) + 12345, 255), 259},
    };
    for (const Case& c : cases) {
        const std::vector<Op> ops = {lit('x'), lit('y'), c.op, lit('z')};
        LzStream s;
        s.block_of(ops);
        const Bytes expected = model(ops);
        ASSERT_EQ(expected.size(), 3 + c.copied);
        EXPECT_EQ(decode(s.bytes(), uint32_t(expected.size())), expected) << "value " << c.op.value;
    }
    // Symbol 262 with the bit 1 is v = 3; symbol 281 with twenty 0 bits is
    // v = 2^20. Written by hand to pin the symbol numbers.
    for (const auto& [symbol, extra, bits, v] : {std::tuple{262, 1u, 1, 3u}, std::tuple{281, 0u, 20, 1u << 20}}) {
        std::vector<uint8_t> main_lengths(MAIN_SYMBOL_LIMIT + 1, 0);
        main_lengths['q'] = 1;
        main_lengths[size_t(symbol)] = 1;
        BitWriter bw;
        const SentCode main = put_code_table(bw, main_lengths);
        const SentCode length = put_code_table(bw, {1, 1});
        bw.put_bits(2, BLOCK_COUNT_BITS);
        main.put(bw, 'q');
        main.put(bw, symbol);
        bw.put_bits(extra, bits);
        length.put(bw, 1);
        Lz lz;
        lz.start(bw.bytes(), 1 + 1 + (v <= 255 ? 2 : 4));
        const Bytes out = lz.read_all();
        EXPECT_EQ(lz.history()[0], v) << "symbol " << symbol;
        EXPECT_EQ(out, model({lit('q'), dist(v, 1)}));
    }
}

TEST(Lz77Symbols, OverlappingCopyRepeatsItsOwnOutput)
{
    const std::vector<Op> ops = {lit(120), dist(0, 4)};
    LzStream s;
    s.block_of(ops);
    EXPECT_EQ(decode(s.bytes(), 7), Bytes(7, 120));
    const std::vector<Op> pattern = {lit('a'), lit('b'), lit('c'), dist(2, 255)};
    LzStream p;
    p.block_of(pattern);
    const Bytes out = decode(p.bytes(), 3 + 257);
    ASSERT_EQ(out.size(), 260u);
    for (size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i], "abc"[i % 3]) << i;
}

TEST(Lz77Symbols, RandomStreamsDecodeAsTheModelSays)
{
    std::mt19937 rng(17);
    for (int trial = 0; trial < 40; ++trial) {
        const std::vector<Op> ops = random_ops(rng, 200 + rng() % 3000);
        LzStream s;
        // Blocks of random sizes with random table shapes.
        for (size_t at = 0; at < ops.size();) {
            const size_t count = std::min<size_t>(ops.size() - at, 1 + rng() % 700);
            std::vector<uint8_t> main_lengths(MAIN_SYMBOL_LIMIT + 1);
            for (auto& l : main_lengths)
                l = uint8_t(9 + rng() % 3);
            std::vector<uint8_t> length_lengths(LENGTH_SYMBOL_LIMIT + 1);
            for (auto& l : length_lengths)
                l = uint8_t(8 + rng() % 4);
            s.block(uint32_t(count), main_lengths, length_lengths);
            for (size_t k = 0; k < count; ++k)
                s.op(ops[at + k]);
            at += count;
        }
        const Bytes expected = model(ops);
        Lz lz;
        lz.start(s.bytes(), uint32_t(expected.size()));
        ASSERT_EQ(lz.read_all(), expected) << "trial " << trial;
        EXPECT_EQ(lz.cx.lz.entry_crc, writer_crc32(expected));
    }
}

// ---- Blocks and portions ---------------------------------------------------

TEST(Lz77Blocks, ZeroCountMeansAFullSixteenBitBlock)
{
    // The count 0 is not re-read: the block serves 65,536 symbols, then the
    // next block header follows.
    std::vector<uint8_t> two_literals(MAIN_SYMBOL_LIMIT + 1, 0);
    two_literals['a'] = 1;
    two_literals['b'] = 1;
    LzStream s;
    s.block(0, two_literals, {1, 1});
    for (int i = 0; i < 65536; ++i)
        s.op(lit(i % 7 == 0 ? 'b' : 'a'));
    s.block(1).op(lit('Z'));
    Lz lz;
    lz.start(s.bytes(), 65537);
    const Bytes out = lz.read_all();
    ASSERT_EQ(out.size(), 65537u);
    for (int i = 0; i < 65536; ++i)
        ASSERT_EQ(out[size_t(i)], i % 7 == 0 ? 'b' : 'a') << i;
    EXPECT_EQ(out[65536], 'Z');
}

TEST(Lz77Blocks, PortionsFollowTheCallLimit)
{
    // Matches of 259 bytes after 1789 - 1 literals: the call stops at the
    // first symbol that reaches the limit, so portions run 1789..2047.
    std::mt19937 rng(4);
    std::vector<Op> ops;
    for (int i = 0; i < 1788; ++i)
        ops.push_back(lit(int(rng() % 256)));
    for (int i = 0; i < 60; ++i)
        ops.push_back(dist(8192 + rng() % 1000, 255));
    for (int i = 0; i < 3000; ++i)
        ops.push_back(i % 3 ? lit(int(rng() % 256)) : dist(rng() % 500, int(rng() % 256)));
    LzStream s;
    s.block_of(ops);
    const Bytes expected = model(ops);
    Lz lz;
    lz.start(s.bytes(), uint32_t(expected.size()));
    std::vector<uint32_t> portions;
    EXPECT_EQ(lz.read_all(&portions), expected);
    ASSERT_GE(portions.size(), 3u);
    EXPECT_EQ(portions[0], 1788u + 259u) << "1788 literals, then one match of 259 crosses 1789";
    for (size_t i = 0; i + 1 < portions.size(); ++i) {
        EXPECT_GE(portions[i], 1789u);
        EXPECT_LE(portions[i], 2047u);
    }
    EXPECT_EQ(int32_t(lz.cx.lz.remaining_size), 0);
}

TEST(Lz77Blocks, ABlockMayEndExactlyAtACallsEnd)
{
    const Bytes first = random_bytes(1789, 8);
    LzStream s;
    s.block(1789);
    for (uint8_t b : first)
        s.op(lit(b));
    s.block(3).ops({lit('x'), dist(0, 0), lit('y')});
    Lz lz;
    lz.start(s.bytes(), 1789 + 4);
    Bytes out;
    EXPECT_EQ(lz.read(out), 1789u);
    EXPECT_EQ(lz.cx.lz.block_symbols_left, 0);
    EXPECT_EQ(lz.read(out), 4u);
    EXPECT_EQ(Bytes(out.begin() + 1789, out.end()), Bytes({'x', 'x', 'x', 'y'}));
    EXPECT_EQ(lz.read(out), 0u);
}

TEST(Lz77Blocks, RemainingSizeBelowTheLimit)
{
    const Bytes text = random_bytes(1000, 9);
    LzStream s;
    s.block(1000);
    for (uint8_t b : text)
        s.op(lit(b));
    Lz lz;
    lz.start(s.bytes(), 1000);
    Bytes out;
    EXPECT_EQ(lz.read(out), 1000u);
    EXPECT_EQ(lz.cx.lz.call_limit, 1000);
    EXPECT_EQ(lz.read(out), 0u);
    EXPECT_EQ(out, text);
    EXPECT_EQ(lz.cx.lz.entry_crc, writer_crc32(text));
}

TEST(Lz77Blocks, EmptyAndNegativeSizes)
{
    for (uint8_t method : {METHOD_STORED, METHOD_LZ77}) {
        Lz lz;
        lz.start(Bytes{1, 2, 3, 4}, 0, method);
        Bytes out;
        EXPECT_EQ(lz.read(out), 0u);
        EXPECT_EQ(lz.cx.lz.entry_crc, CRC_INIT);
    }
    // 2^31 and more is a negative remaining size: nothing is delivered.
    LzStream s;
    s.block_of(literals("never"));
    Lz lz;
    lz.start(s.bytes(), 0x80000000u);
    Bytes out;
    EXPECT_EQ(lz.read(out), 0u);
    EXPECT_EQ(lz.cx.lz.remaining_size, 0x80000000u);
    EXPECT_EQ(current_status(lz.cx), STATUS_OK);
}

TEST(Lz77Blocks, LargeAndSmallRequestsStayInBounds)
{
    std::mt19937 rng(21);
    const std::vector<Op> ops = random_ops(rng, 30000);
    LzStream s;
    s.block_of(ops);
    const Bytes expected = model(ops);
    for (uint32_t request : {260u, 4096u, 32768u, 40000u, 1u << 20}) {
        Lz lz;
        lz.start(s.bytes(), uint32_t(expected.size()));
        std::vector<uint32_t> portions;
        EXPECT_EQ(lz.read_all(&portions, request), expected) << "request " << request;
        for (uint32_t n : portions)
            EXPECT_LT(n, std::min(request, LZ_MAX_REQUEST)) << "request " << request;
    }
    // Requests too small to hold a symbol's output deliver nothing.
    Lz lz;
    lz.start(s.bytes(), uint32_t(expected.size()));
    Bytes out;
    EXPECT_EQ(lz.read(out, MATCH_MARGIN), 0u);
    EXPECT_EQ(lz.read(out, 100), 0u);
}

// ---- The ring --------------------------------------------------------------

TEST(Lz77Ring, CopiesOutAcrossTheRingsEnd)
{
    Lz lz(true);
    lz.start(Bytes{}, 0, METHOD_STORED);  // the job's first entry
    const uint32_t size = lz.cx.dict.dict_size;
    lz.cx.dict.dict_pos = size - 10;
    const Bytes text = random_bytes(100, 10);
    LzStream s;
    s.block(100);
    for (uint8_t b : text)
        s.op(lit(b));
    lz.start(s.bytes(), 100);
    Bytes out;
    EXPECT_EQ(lz.read(out), 100u);
    EXPECT_EQ(out, text);
    EXPECT_EQ(lz.cx.dict.dict_pos, 90u);
    EXPECT_TRUE(std::equal(text.begin(), text.begin() + 10, lz.cx.dict.dict_bytes + size - 10));
    EXPECT_TRUE(std::equal(text.begin() + 10, text.end(), lz.cx.dict.dict_bytes));
}

TEST(Lz77Ring, MatchesNearTheEndWrap)
{
    // Entries that start a little before the ring's end in a solid set:
    // matches straddle the end from both sides.
    for (uint32_t back : {1u, 5u, 200u, 258u, 259u, 260u, 300u, 600u}) {
        Lz lz(true);
        lz.start(Bytes{}, 0, METHOD_STORED);
        const uint32_t size = lz.cx.dict.dict_size;
        lz.cx.dict.dict_pos = size - back;
        std::mt19937 rng(back);
        std::vector<Op> ops = literals("wrap");
        for (int i = 0; i < 40; ++i)
            ops.push_back(dist(rng() % 40, int(rng() % 256)));
        LzStream s;
        s.block_of(ops);
        const Bytes expected = model(ops);
        lz.start(s.bytes(), uint32_t(expected.size()));
        EXPECT_EQ(lz.read_all(), expected) << back;
    }
}

TEST(Lz77Ring, CopyMatchEqualsTheByteLoop)
{
    // Every distance 1..300 and length 2..259, at the start, in the middle
    // and near the end of the ring, against the plain byte loop.
    Lz fast;
    Lz plain;
    const uint32_t size = fast.cx.dict.dict_size;
    const uint32_t mask = size - 1;
    const Bytes fill = random_bytes(size, 12);
    for (Lz* lz : {&fast, &plain})
        std::memcpy(lz->cx.dict.dict_bytes, fill.data(), size);
    // Every byte a copy from up to 300 back of up to 259 bytes can touch.
    const uint32_t before = 320;
    const uint32_t after = 280;
    const uint32_t starts[] = {0,        7,    5000, size / 2 + 3, size - MATCH_MARGIN - 2, size - MATCH_MARGIN,
                               size - 100, size - 1};
    for (uint32_t start : starts) {
        for (uint32_t distance = 1; distance <= 300; ++distance) {
            for (uint32_t length = 2; length <= MATCH_MARGIN; ++length) {
                for (Lz* lz : {&fast, &plain}) {
                    for (uint32_t k = 0; k < before + after; ++k) {
                        const uint32_t at = (start - before + k) & mask;
                        lz->cx.dict.dict_bytes[at] = fill[at];
                    }
                    lz->cx.dict.dict_pos = start;
                    lz->cx.lz.call_produced = 0;
                }
                copy_match(fast.cx, distance, length);
                copy_match_bytewise(plain.cx, distance, length);
                ASSERT_EQ(fast.cx.dict.dict_pos, plain.cx.dict.dict_pos);
                ASSERT_EQ(fast.cx.lz.call_produced, int16_t(length));
                for (uint32_t k = 0; k < before + after; ++k) {
                    const uint32_t at = (start - before + k) & mask;
                    ASSERT_EQ(fast.cx.dict.dict_bytes[at], plain.cx.dict.dict_bytes[at])
                        << "start " << start << " distance " << distance << " length " << length;
                }
            }
        }
    }
    // Distances that are whole multiples of the ring, or reach just short
    // of it, copy a region onto itself or from just ahead.
    for (uint32_t distance : {size, 2 * size, size - 1, size - 3, size - 7, size - 8, size + 1, 4u << 20}) {
        for (Lz* lz : {&fast, &plain}) {
            std::memcpy(lz->cx.dict.dict_bytes, fill.data(), size);
            lz->cx.dict.dict_pos = 1000;
        }
        copy_match(fast.cx, distance, 259);
        copy_match_bytewise(plain.cx, distance, 259);
        ASSERT_EQ(0, std::memcmp(fast.cx.dict.dict_bytes, plain.cx.dict.dict_bytes, size)) << distance;
    }
}

// The symbol loop's forms in turn: 32- and 64-bit words, and with BMI2
// where the processor has it.
static uint8_t loop_form(int k)
{
    return uint8_t(k % (lz_bmi2_available() ? 4 : 2));
}

TEST(Lz77Ring, MatchesFromJustAheadReadTheOldestBytes)
{
    // Distances of nearly the ring's size read the bytes just ahead of the
    // output, which the copies before them may have written past their
    // ends: each form of the loop must still find the ring's oldest bytes.
    const Bytes fill = random_bytes(size_t(MODEL_RING), 14);
    std::vector<Op> ops;
    for (uint32_t ahead = 0; ahead <= 2 * COPY_OVERSHOOT; ++ahead) {
        for (uint32_t m : {0u, 1u, 9u, 30u, 255u}) {
            ops.push_back(dist(ahead % 5, int(ahead % 3)));  // a short copy just before
            ops.push_back(lit(int(ahead)));
            ops.push_back(dist(uint32_t(MODEL_RING) - 1 - ahead, int(m)));
        }
    }
    LzStream s;
    s.block_of(ops);
    const Bytes expected = model(ops, fill);
    for (int form = 0; form < 4; ++form) {
        Lz lz(true);
        lz.cx.lz.loop = loop_form(form);
        lz.start(fill, uint32_t(fill.size()), METHOD_STORED);
        ASSERT_EQ(lz.read_all(), fill);
        lz.start(s.bytes(), uint32_t(expected.size()));
        EXPECT_EQ(lz.read_all(), expected) << "form " << int(lz.cx.lz.loop);
    }
}

TEST(Lz77Ring, FreshRingReadsAsZeros)
{
    // The allocator's memory is dirty (0xCC); a match reaching before the
    // first byte ever written must find zeros.
    Lz lz;
    ASSERT_NE(lz.cx.dict.dict_bytes, nullptr);
    const std::vector<Op> ops = {lit('k'), dist(5000, 10)};
    LzStream s;
    s.block_of(ops);
    lz.start(s.bytes(), 1 + 3 + 10);
    const Bytes out = lz.read_all();
    EXPECT_EQ(out, model(ops));
    EXPECT_EQ(std::count(out.begin() + 1, out.end(), 0), 13);
}

TEST(Lz77Ring, HalvesTheRingDownToAFloor)
{
    Lz small(false, size_t(1) << 14);
    EXPECT_EQ(small.cx.dict.dict_bits, 14);
    EXPECT_EQ(small.cx.dict.dict_size, 1u << 14);
    EXPECT_EQ(small.cx.dict.dict_mask, (1u << 14) - 1);
    EXPECT_EQ(small.dirty.asked, (std::vector<size_t>{1 << 20, 1 << 19, 1 << 18, 1 << 17, 1 << 16, 1 << 15, 1 << 14}));
    EXPECT_EQ(current_status(small.cx), STATUS_OK);
    // It still decodes what fits.
    const std::vector<Op> ops = {lit('a'), lit('b'), dist(1, 100)};
    LzStream s;
    s.block_of(ops);
    small.start(s.bytes(), 104, METHOD_LZ77, 4);
    EXPECT_EQ(small.read_all(), model(ops));

    Lz none(false, (size_t(1) << DICT_MIN_BITS) - 1);
    EXPECT_EQ(none.dirty.asked.back(), size_t(1) << DICT_MIN_BITS) << "no halving below the floor";
    EXPECT_EQ(none.cx.dict.dict_bytes, nullptr);
    EXPECT_EQ(current_status(none.cx), STATUS_NO_MEMORY);
    // Should anything still try an entry: LZ77 is refused, stored passes
    // without a ring.
    none.start(s.bytes(), 104);
    EXPECT_EQ(none.dirty.messages, std::vector<std::string>{"Decompression failed (low on memory)"});
    set_status(none.cx, STATUS_OK);
    const Bytes stored = random_bytes(50, 1);
    none.start(stored, 50, METHOD_STORED);
    EXPECT_EQ(none.read_all(), stored);
    set_status(none.cx, STATUS_OK);
    none.cx.reader.header.file.method = METHOD_LZ77;
    Bytes out;
    EXPECT_EQ(none.read(out), 0u);
}

// ---- Entries in a job --------------------------------------------------------

TEST(Lz77Entries, SolidEntriesContinueTheRing)
{
    const std::vector<Op> first = literals("solid archives share one ring");
    const std::vector<Op> second = {dist(29 - 1, 10), lit('!')};  // back to the first byte of entry 1
    LzStream a;
    a.block_of(first);
    LzStream b;
    b.block_of(second);
    const Bytes first_out = model(first);
    const Bytes second_out = model(second, first_out);
    ASSERT_EQ(std::string(second_out.begin(), second_out.end()), std::string("solid archiv!"));

    Lz solid(true);
    solid.start(a.bytes(), uint32_t(first_out.size()));
    EXPECT_EQ(solid.read_all(), first_out);
    solid.start(b.bytes(), uint32_t(second_out.size()));
    EXPECT_EQ(solid.cx.dict.dict_pos, first_out.size());
    EXPECT_EQ(solid.history(), (std::deque<uint32_t>{0, 0, 0, 0})) << "the history restarts per entry";
    EXPECT_EQ(solid.read_all(), second_out);

    // Not solid: the second entry starts at 0 and finds zeros behind it.
    Lz plain(false);
    plain.start(a.bytes(), uint32_t(first_out.size()));
    plain.read_all();
    plain.start(b.bytes(), uint32_t(second_out.size()));
    EXPECT_EQ(plain.cx.dict.dict_pos, 0u);
    EXPECT_EQ(plain.read_all(), model(second));
}

TEST(Lz77Entries, StoredEntriesFeedTheRing)
{
    Lz solid(true);
    const Bytes stored = random_bytes(5000, 13);
    solid.start(stored, uint32_t(stored.size()), METHOD_STORED);
    std::vector<uint32_t> portions;
    EXPECT_EQ(solid.read_all(&portions), stored);
    EXPECT_EQ(portions, (std::vector<uint32_t>{2048, 2048, 904}));
    EXPECT_EQ(solid.cx.lz.entry_crc, writer_crc32(stored));
    const std::vector<Op> ops = {dist(4999, 200), dist(99, 30)};
    LzStream s;
    s.block_of(ops);
    const Bytes expected = model(ops, stored);
    solid.start(s.bytes(), uint32_t(expected.size()));
    EXPECT_EQ(solid.read_all(), expected);
    EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + 202, stored.begin() + 0));
}

// An entry passed over (its bytes dropped) leaves what reading it leaves:
// the portions, the running CRC, the ring and the counters, across the
// ring's end too.
TEST(Lz77Entries, PassingOverAnEntryLeavesWhatReadingItLeaves)
{
    std::mt19937 rng(21);
    const std::vector<Op> ops = random_ops(rng, 4000);
    LzStream s;
    s.block_of(ops);
    const Bytes stored = random_bytes(7000, 22);
    const struct {
        uint8_t method;
        Bytes packed;
        uint32_t size;
    } entries[] = {{METHOD_LZ77, s.bytes(), uint32_t(model(ops).size())},
                   {METHOD_STORED, stored, uint32_t(stored.size())}};
    for (const auto& e : entries) {
        for (const uint32_t back : {0u, 3000u}) {
            SCOPED_TRACE("method " + std::to_string(e.method) + ", " + std::to_string(back) + " before the end");
            Lz read(true), passed(true);
            for (Lz* lz : {&read, &passed}) {
                lz->start(Bytes{}, 0, METHOD_STORED);  // the job's first entry
                lz->cx.dict.dict_pos = back == 0 ? 0 : lz->cx.dict.dict_size - back;
                lz->start(e.packed, e.size, e.method);
            }
            std::vector<uint32_t> read_portions, passed_portions;
            const Bytes out = read.read_all(&read_portions);
            ASSERT_EQ(out.size(), e.size);
            for (uint32_t n; (n = pass_entry_data(passed.cx, REQUEST)) != 0;)
                passed_portions.push_back(n);
            EXPECT_EQ(passed_portions, read_portions);
            EXPECT_EQ(passed.cx.lz.entry_crc, writer_crc32(out));
            EXPECT_EQ(passed.cx.lz.entry_crc, read.cx.lz.entry_crc);
            EXPECT_EQ(passed.cx.lz.remaining_size, 0u);
            EXPECT_EQ(passed.cx.dict.dict_pos, read.cx.dict.dict_pos);
            EXPECT_EQ(std::memcmp(passed.cx.dict.dict_bytes, read.cx.dict.dict_bytes, read.cx.dict.dict_size), 0);
            EXPECT_EQ(current_status(passed.cx), STATUS_OK);
        }
    }
}

TEST(Lz77Entries, StoredEntryCutShortEndsEarly)
{
    Lz lz;
    const Bytes stored = random_bytes(3000, 14);
    lz.start(stored, 5000, METHOD_STORED);
    EXPECT_EQ(lz.read_all(), stored);
    EXPECT_NE(lz.cx.lz.entry_crc, CRC_INIT);
    EXPECT_EQ(lz.cx.lz.remaining_size, 2000u);
}

TEST(Lz77Entries, RefusalsAndUnknownMethods)
{
    {
        Lz lz;
        lz.cx.lz.entry_crc = 0x1234;
        lz.cx.dict.dict_pos = 77;
        lz.start(Bytes{}, 10, METHOD_LZ77, 0, FLAG_DATA_SIZE | FLAG_REFUSED);
        EXPECT_EQ(current_status(lz.cx), STATUS_DECOMPRESSION_FAILED);
        EXPECT_EQ(lz.dirty.messages, std::vector<std::string>{"Decompression failed"});
        EXPECT_EQ(lz.cx.lz.entry_crc, 0x1234u);
        EXPECT_EQ(lz.cx.dict.dict_fresh, 1);
    }
    {
        // 2^21 needed, 2^20 held.
        Lz lz(true);
        lz.start(Bytes{}, 0, METHOD_STORED);
        lz.cx.dict.dict_pos = 77;
        lz.cx.lz.distance_history[1] = 9;
        lz.start(Bytes(64, 0xFF), 10, METHOD_LZ77, 11);
        EXPECT_EQ(current_status(lz.cx), STATUS_NO_MEMORY);
        EXPECT_EQ(lz.dirty.messages, std::vector<std::string>{"Decompression failed (low on memory)"});
        EXPECT_EQ(lz.cx.lz.entry_crc, CRC_INIT);
        EXPECT_EQ(lz.cx.lz.remaining_size, 10u);
        EXPECT_EQ(lz.cx.dict.dict_pos, 77u);
        EXPECT_EQ(lz.cx.lz.distance_history[1], 9u);
        EXPECT_EQ(lz.cx.reader.packed_remaining, 64u) << "the bit reader was not started";
    }
    {
        // 2^20 needed, 2^20 held: accepted.
        LzStream s;
        s.block_of(literals("ok"));
        Lz lz;
        lz.start(s.bytes(), 2, METHOD_LZ77, 10);
        EXPECT_EQ(lz.read_all(), Bytes({'o', 'k'}));
        EXPECT_TRUE(lz.dirty.messages.empty());
    }
    {
        Lz lz;
        lz.start(Bytes(10, 1), 10, 2);
        EXPECT_EQ(current_status(lz.cx), STATUS_OK) << "an unknown method fails at its first read";
        Bytes out;
        EXPECT_EQ(lz.read(out), 0u);
        EXPECT_EQ(current_status(lz.cx), STATUS_DECOMPRESSION_FAILED);
        EXPECT_EQ(lz.dirty.messages, std::vector<std::string>{"Decompression failed"});
        EXPECT_EQ(lz.cx.lz.entry_crc, CRC_INIT);
    }
}

// ---- Damaged streams -------------------------------------------------------

TEST(Lz77Damage, RejectedTableEndsTheCallAtItsLimit)
{
    // A main table with a 12-bit code: the call delivers call_limit bytes,
    // the decoded ones first; dict_pos moves only over those.
    // Block 1: three literals. Then main tables whose two codes are 12 bits
    // long (lengths 1, 1 plus the base 11), one for each later call.
    LzStream first;
    first.block_of(literals("abc"));
    BitWriter bw = first.bw;
    for (int k = 0; k < 3; ++k)
        put_code_table_raw(bw, 1, 11, 2, {1, 1, 0}, {{1}, {0}});
    Lz lz;
    std::memset(lz.cx.dict.dict_bytes + 3, 'r', 4000);  // what the ring held
    lz.start(bw.bytes(), 5000);
    Bytes out;
    EXPECT_EQ(lz.read(out), 1789u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 3), Bytes({'a', 'b', 'c'}));
    EXPECT_EQ(std::count(out.begin() + 3, out.end(), 'r'), 1789 - 3);
    EXPECT_EQ(lz.cx.dict.dict_pos, 3u);
    EXPECT_EQ(lz.cx.lz.remaining_size, 5000u - 1789u);
    EXPECT_EQ(lz.cx.lz.block_symbols_left, 0);
    EXPECT_EQ(lz.cx.lz.entry_crc, writer_crc32(out));
    // Each later call tries a block header again from where the last one
    // stopped, and ends the same way.
    EXPECT_EQ(lz.read(out), 1789u);
    EXPECT_EQ(lz.read(out), 5000u - 2 * 1789u);
    EXPECT_EQ(lz.read(out), 0u);
    EXPECT_EQ(lz.cx.dict.dict_pos, 3u);
    EXPECT_EQ(std::count(out.begin() + 3, out.end(), 'r'), 5000 - 3);
}

TEST(Lz77Damage, OverSubscribedTableDecodesOnlyWhatFits)
{
    // Three literals of one bit each: two fill the table, the third never
    // decodes, so a stream meant as "abcabc" comes out wrong and its CRC
    // tells.
    std::vector<uint8_t> main_lengths(MAIN_SYMBOL_LIMIT + 1, 0);
    main_lengths['a'] = main_lengths['b'] = main_lengths['c'] = 1;
    BitWriter bw;
    const SentCode main = put_code_table(bw, main_lengths);
    put_code_table(bw, {1, 1});
    bw.put_bits(6, BLOCK_COUNT_BITS);
    bw.put_bits(0x1B, 6);
    EXPECT_EQ(std::count(main.codes.begin(), main.codes.end(), -1), MAIN_SYMBOL_LIMIT + 1 - 2);
    Lz lz;
    lz.start(bw.bytes(), 6);
    const Bytes out = lz.read_all();
    ASSERT_EQ(out.size(), 6u);
    EXPECT_EQ(std::count_if(out.begin(), out.end(), [&](uint8_t b) { return main.codes[b] >= 0; }), 6);
    EXPECT_NE(lz.cx.lz.entry_crc, writer_crc32(Bytes{'a', 'b', 'c', 'a', 'b', 'c'}));
}

TEST(Lz77Damage, TruncatedAndFlippedStreamsEndWithAWrongCrc)
{
    std::mt19937 rng(23);
    for (int trial = 0; trial < 60; ++trial) {
        const std::vector<Op> ops = random_ops(rng, 2000 + rng() % 4000);
        LzStream s;
        s.block_of(ops);
        const Bytes expected = model(ops);
        Bytes packed = s.bytes();
        if (trial % 3 == 0) {
            packed.resize(packed.size() * (rng() % 100) / 100);
        } else {
            for (int f = 0; f < 1 + trial % 5; ++f)
                packed[rng() % packed.size()] ^= uint8_t(1u << (rng() % 8));
        }
        Lz lz;
        lz.start(packed, uint32_t(expected.size()));
        const Bytes out = lz.read_all();
        EXPECT_LE(out.size(), expected.size() + MATCH_MARGIN);
        if (out != expected) {
            EXPECT_NE(lz.cx.lz.entry_crc, writer_crc32(expected)) << "trial " << trial;
        }
    }
}

// Decodes call by call with the fast loop and the reference loop, which
// must deliver the same bytes and leave the same state after every call
// and the same ring at the end; returns the bytes delivered.
static uint32_t expect_same_as_reference(Lz& fast, Lz& plain, const std::string& where)
{
    Bytes a(REQUEST);
    Bytes b(REQUEST);
    uint32_t delivered = 0;
    for (int call = 0; call < 1000; ++call) {
        const uint32_t na = read_entry_data(fast.cx, a.data(), REQUEST);
        const uint32_t nb = decode_lz77_reference(plain.cx, b.data(), REQUEST);
        EXPECT_EQ(na, nb) << where << " call " << call;
        EXPECT_TRUE(std::equal(a.begin(), a.begin() + std::min(na, nb), b.begin())) << where << " call " << call;
        EXPECT_EQ(fast.cx.bits.word_index, plain.cx.bits.word_index) << where;
        EXPECT_EQ(fast.cx.bits.bit_offset, plain.cx.bits.bit_offset) << where;
        EXPECT_EQ(fast.cx.bits.bit_window, plain.cx.bits.bit_window) << where;
        EXPECT_EQ(fast.cx.dict.dict_pos, plain.cx.dict.dict_pos) << where;
        EXPECT_EQ(fast.cx.lz.block_symbols_left, plain.cx.lz.block_symbols_left) << where;
        EXPECT_EQ(fast.history(), plain.history()) << where;
        EXPECT_EQ(fast.cx.lz.remaining_size, plain.cx.lz.remaining_size) << where;
        if (::testing::Test::HasFailure())
            return delivered;
        delivered += na;
        if (na == 0)
            break;
    }
    EXPECT_EQ(0, std::memcmp(fast.cx.dict.dict_bytes, plain.cx.dict.dict_bytes, fast.cx.dict.dict_size)) << where;
    return delivered;
}

TEST(Lz77Damage, FastLoopMatchesTheReferenceOnAnyInput)
{
    // Valid streams, damaged streams and pure noise, across refills: both
    // loops must read the same bits and leave the same state after every call.
    std::mt19937 rng(29);
    for (int trial = 0; trial < 150; ++trial) {
        Bytes packed;
        uint32_t size;
        if (trial % 3 == 2) {
            packed = random_bytes(1000 + rng() % 20000, uint32_t(trial));
            size = rng() % 200000;
        } else {
            const std::vector<Op> ops = random_ops(rng, 3000 + rng() % 20000);
            LzStream s;
            s.block_of(ops);
            packed = s.bytes();
            size = uint32_t(model(ops).size());
            if (trial % 3 == 1) {
                for (int f = 0; f < 3; ++f)
                    packed[rng() % packed.size()] ^= uint8_t(1u << (rng() % 8));
            }
        }
        Lz fast;
        Lz plain;
        fast.cx.lz.loop = loop_form(trial);
        fast.start(packed, size);
        plain.start(packed, size);
        expect_same_as_reference(fast, plain, "trial " + std::to_string(trial));
        if (HasFailure())
            return;
    }
}

TEST(Lz77Damage, FastLoopMatchesTheReferenceWhenStepsTakeTheMostBits)
{
    // Every code of the full 11 bits, and literals before matches with 21
    // extra bits or repeats: such steps consume as much as the loop allows
    // before a refill, and the length codes' last bits vary.
    const std::vector<uint8_t> main_lengths(MAIN_SYMBOL_LIMIT + 1, 11);
    const std::vector<uint8_t> length_lengths(LENGTH_SYMBOL_LIMIT + 1, 11);
    std::mt19937 rng(37);
    std::vector<Op> ops;
    for (int k = 0; k < 6000; ++k) {
        ops.push_back(lit(int(rng() % 256)));
        if (k % 3 == 2)
            ops.push_back(reuse(int(rng() % 4), int(rng() % 256)));
        else
            ops.push_back(dist((1u << 21) + rng() % (1u << 21), int(rng() % 256)));
    }
    LzStream s;
    s.block(uint32_t(ops.size()), main_lengths, length_lengths).ops(ops);
    const uint32_t size = uint32_t(model(ops).size());
    for (int form = 0; form < 4; ++form) {
        Lz fast;
        Lz plain;
        fast.cx.lz.loop = loop_form(form);
        fast.start(s.bytes(), size);
        plain.start(s.bytes(), size);
        EXPECT_EQ(expect_same_as_reference(fast, plain, "form " + std::to_string(form)), size);
    }
}

TEST(Lz77Damage, FastLoopMatchesTheReferenceOnEdgeTables)
{
    // Tables at the edges of what a block may send (no symbol, one symbol,
    // codes of the full 11 bits, symbols that consume no bits at all), a
    // small ring entered just before its end, and noise after the header:
    // both loops must read the same bits and write the same ring.
    // Lengths of symbols 0..n: each range [first, last] gets its length.
    struct Range {
        int first;
        int last;
        uint8_t length;
    };
    auto lengths_of = [](int n, std::initializer_list<Range> ranges) {
        std::vector<uint8_t> lengths(size_t(n) + 1, 0);
        for (const Range& r : ranges)
            std::fill(lengths.begin() + r.first, lengths.begin() + r.last + 1, r.length);
        return lengths;
    };
    const int M = MAIN_SYMBOL_LIMIT;
    const int L = LENGTH_SYMBOL_LIMIT;
    const std::vector<std::vector<uint8_t>> main_tables = {
        lengths_of(M, {}),                            // no symbol: one symbol takes the whole table
        lengths_of(M, {{'q', 'q', 11}}),              // one 11-bit code; every other entry consumes 0 bits
        lengths_of(M, {{0, 0, 1}, {1, M, 11}}),       // one short code, 282 codes of 11 bits
        lengths_of(M, {{0, 255, 11}, {256, M, 5}}),   // literals of 11 bits, matches of 5
    };
    const std::vector<std::vector<uint8_t>> length_tables = {
        lengths_of(L, {}),
        lengths_of(L, {{L, L, 3}}),
        lengths_of(L, {{0, L, 8}}),
        lengths_of(L, {{0, 0, 1}, {1, L, 11}}),
    };
    constexpr int RING_BITS = DICT_MIN_BITS;
    std::mt19937 rng(31);
    for (size_t mi = 0; mi < main_tables.size(); ++mi) {
        for (size_t li = 0; li < length_tables.size(); ++li) {
            for (uint32_t back : {1u, 300u, 1u << RING_BITS}) {
                BitWriter bw;
                put_code_table(bw, main_tables[mi]);
                put_code_table(bw, length_tables[li]);
                bw.put_bits(rng() % 3 == 0 ? 0 : rng() & 0x7FFF, BLOCK_COUNT_BITS);
                for (int w = 0; w < 3000; ++w)
                    bw.put_bits(uint32_t(rng()), 32);
                const Bytes packed = bw.bytes();
                const uint32_t size = 20000 + rng() % 20000;
                const std::string where = "main " + std::to_string(mi) + " length " + std::to_string(li) +
                                          " back " + std::to_string(back);

                Lz fast(true, size_t(1) << RING_BITS);
                Lz plain(true, size_t(1) << RING_BITS);
                fast.cx.lz.loop = loop_form(int(mi * length_tables.size() + li) + int(back));
                ASSERT_EQ(fast.cx.dict.dict_bits, RING_BITS);
                for (Lz* lz : {&fast, &plain}) {
                    lz->start(Bytes{}, 0, METHOD_STORED);  // the job's first entry
                    lz->cx.dict.dict_pos = (lz->cx.dict.dict_size - back) & lz->cx.dict.dict_mask;
                    lz->start(packed, size, METHOD_LZ77, RING_BITS - DICT_BITS_BASE);
                }
                EXPECT_GE(expect_same_as_reference(fast, plain, where), size) << where;
                if (HasFailure())
                    return;
            }
        }
    }
}
