#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "extract/job.h"
#include "support/test_host.h"

namespace {

// Makes bytes the current entry's packed data, read from a memory stream.
void feed(TestJob& t, const Bytes& packed)
{
    t.use_memory(packed);
    t.cx.job.archive_handle = stream_open(t.cx.stream, "t", STREAM_MODE_BINARY, 0);
    ASSERT_NE(t.cx.job.archive_handle, STREAM_OPEN_FAILED);
    t.cx.reader.packed_remaining = uint32_t(packed.size());
}

// The bit at stream position p, straight from the bytes: word p / 32,
// stored little-endian, read from its bit 31 down.
int stream_bit(const Bytes& bytes, uint64_t p)
{
    const size_t word = size_t(p / 32);
    const int bit = 31 - int(p % 32);
    return (bytes[word * 4 + size_t(bit / 8)] >> (bit % 8)) & 1;
}

uint32_t stream_bits(const Bytes& bytes, uint64_t p, int n)
{
    uint32_t v = 0;
    for (int i = 0; i < n; ++i)
        v = v << 1 | uint32_t(stream_bit(bytes, p + uint64_t(i)));
    return v;
}

Bytes random_bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out)
        b = uint8_t(rng());
    return out;
}

}  // namespace

TEST(BitReader, ReadsWordsFromTheTopBitDown)
{
    TestJob t;
    feed(t, {0x78, 0x56, 0x34, 0x12, 0xF0, 0xDE, 0xBC, 0x9A});
    start_bits(t.cx);
    EXPECT_EQ(t.cx.bits.bit_window, 0x12345678u);
    EXPECT_EQ(read_bits(t.cx, 4), 0x1u);
    EXPECT_EQ(read_bits(t.cx, 8), 0x23u);
    EXPECT_EQ(t.cx.bits.bit_window, 0x456789ABu);
    EXPECT_EQ(peek_bits(t.cx, 31), 0x456789ABu >> 1);
    skip_bits(t.cx, 0);
    EXPECT_EQ(t.cx.bits.word_index, 0);
    EXPECT_EQ(t.cx.bits.bit_offset, 12);
    EXPECT_EQ(t.cx.bits.bit_window, 0x456789ABu);
    skip_bits(t.cx, 20);
    EXPECT_EQ(t.cx.bits.word_index, 1);
    EXPECT_EQ(t.cx.bits.bit_offset, 0);
    EXPECT_EQ(t.cx.bits.bit_window, 0x9ABCDEF0u);
}

TEST(BitReader, WindowAtAWordBoundaryIsThatWordAlone)
{
    TestJob t;
    uint32_t* words = t.cx.job.input_words;
    for (int k = 0; k < INPUT_WORDS; ++k)
        words[k] = 0x01010101u * uint32_t(k & 0xFF) + 0x80000001u;
    t.cx.bits.word_index = 1020;
    t.cx.bits.bit_offset = 0;
    skip_bits(t.cx, 32);
    EXPECT_EQ(t.cx.bits.word_index, 1021);
    EXPECT_EQ(t.cx.bits.bit_window, words[1021]) << "word 1022 must contribute nothing";
    skip_bits(t.cx, 1);
    EXPECT_EQ(t.cx.bits.bit_window, words[1021] << 1 | words[1022] >> 31);
}

TEST(BitReader, RefillsWhenASkipReachesWord1022)
{
    // Stream words 1022 and 1023 are carried to the front, the next 1022
    // words arrive behind them; a skip that ends exactly on word 1022 sees
    // the carried word in full.
    TestJob t;
    const Bytes packed = random_bytes(INPUT_BYTES + REFILL_BYTES, 1);
    feed(t, packed);
    start_bits(t.cx);
    t.cx.bits.word_index = 1021;
    t.cx.bits.bit_offset = 0;
    skip_bits(t.cx, 32);
    EXPECT_EQ(t.cx.bits.word_index, 0);
    EXPECT_EQ(t.cx.bits.bit_offset, 0);
    EXPECT_EQ(t.cx.bits.bit_window, stream_bits(packed, 1022 * 32, 32));
    EXPECT_EQ(t.cx.job.input_words[1], stream_bits(packed, 1023 * 32, 32));
    EXPECT_EQ(t.cx.job.input_words[2], stream_bits(packed, 1024 * 32, 32));
    EXPECT_EQ(t.cx.reader.packed_remaining, 0u);
}

TEST(BitReader, LongStreamReadsAsOneBuffer)
{
    // Random widths over more than six buffers' worth of bits, compared bit
    // for bit with the stream itself.
    TestJob t;
    const Bytes packed = random_bytes(25000, 2);
    feed(t, packed);
    start_bits(t.cx);
    std::mt19937 rng(9);
    uint64_t p = 0;
    const uint64_t end = uint64_t(packed.size()) * 8 - 64;
    constexpr uint64_t REFILL_BIT_COUNT = uint64_t(REFILL_WORD_INDEX) * 32;
    int refills = 0;
    while (p < end) {
        const int n = 1 + int(rng() % 31);
        const int before = t.cx.bits.word_index;
        if (rng() % 5 == 0) {
            ASSERT_EQ(peek_bits(t.cx, n), stream_bits(packed, p, n)) << "at bit " << p;
            const int skip = int(rng() % 33);
            skip_bits(t.cx, skip);
            p += uint64_t(skip);
        } else {
            ASSERT_EQ(read_bits(t.cx, n), stream_bits(packed, p, n)) << "at bit " << p;
            p += uint64_t(n);
        }
        refills += t.cx.bits.word_index < before;
        ASSERT_GE(t.cx.bits.word_index, 0);
        ASSERT_LE(t.cx.bits.word_index, 1021);
        ASSERT_EQ(t.cx.bits.bit_window, stream_bits(packed, p, 32));
        // The byte copy the LZ77 loop reads follows every fill.
        ASSERT_EQ(uint32_t(bit_stream_at(t.cx.bits).bits >> 32), stream_bits(packed, p, 32)) << "at bit " << p;
    }
    EXPECT_EQ(refills, int(end / REFILL_BIT_COUNT));
}

TEST(BitReader, ShortReadsLeaveEarlierWordsInPlace)
{
    TestJob t;
    uint32_t* words = t.cx.job.input_words;
    for (int k = 0; k < INPUT_WORDS; ++k)
        words[k] = 0xDEAD0000u + uint32_t(k);
    // 12 bytes of data: words 0..2 arrive, the rest of the buffer is stale.
    feed(t, {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0});
    start_bits(t.cx);
    EXPECT_EQ(read_bits(t.cx, 16), 0u);
    EXPECT_EQ(words[2], 3u);
    EXPECT_EQ(words[3], 0xDEAD0003u);
    // At the refill only words 1022 and 1023 move; nothing more arrives.
    t.cx.bits.word_index = 1021;
    t.cx.bits.bit_offset = 16;
    skip_bits(t.cx, 16);
    EXPECT_EQ(words[0], 0xDEAD0000u + 1022);
    EXPECT_EQ(words[1], 0xDEAD0000u + 1023);
    EXPECT_EQ(words[2], 3u);
    EXPECT_EQ(t.cx.bits.bit_window, 0xDEAD0000u + 1022);
    t.cx.bits.word_index = 3;
    EXPECT_EQ(uint32_t(bit_stream_at(t.cx.bits).bits >> 32), 0xDEAD0003u);
}

TEST(BitReader, StartFromMemoryCopiesOnlyWhileTheJobIsSound)
{
    TestJob t;
    uint32_t* words = t.cx.job.input_words;
    const Bytes first = {0x11, 0x22, 0x33, 0x44, 0x55};
    start_bits_from_memory(t.cx, first.data(), uint32_t(first.size()));
    EXPECT_EQ(t.cx.bits.bit_window, 0x44332211u);
    EXPECT_EQ(words[1] & 0xFF, 0x55u);
    EXPECT_EQ(words[1] >> 8, 0u) << "bytes past len keep their contents";

    skip_bits(t.cx, 40);
    set_status(t.cx, STATUS_INTERRUPTED);
    const Bytes second = {0xAA, 0xBB, 0xCC, 0xDD};
    start_bits_from_memory(t.cx, second.data(), uint32_t(second.size()));
    EXPECT_EQ(t.cx.bits.word_index, 0);
    EXPECT_EQ(t.cx.bits.bit_offset, 0);
    EXPECT_EQ(t.cx.bits.bit_window, 0x44332211u) << "nothing copied under a failed status";

    // A length above the buffer, even one that is negative as a signed
    // number, is cut to the buffer.
    set_status(t.cx, STATUS_OK);
    const Bytes big = random_bytes(INPUT_BYTES + 100, 4);
    start_bits_from_memory(t.cx, big.data(), 0xFFFFFFFFu);
    EXPECT_EQ(words[INPUT_WORDS - 1], stream_bits(big, (INPUT_WORDS - 1) * 32, 32));
}
