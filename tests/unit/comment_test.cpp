#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "decompress/comment.h"
#include "extract/job.h"
#include "support/bit_writer.h"
#include "support/test_host.h"

namespace {

constexpr int COMMENT_SYMBOL_COUNT = MAIN_SYMBOL_LIMIT + 1;

// A file header in the record whose variable area holds a name of
// name_length bytes, the 16-bit comment size and the packed comment. The
// rest of the area is filled with '#', so stray writes show.
struct CommentRecord {
    TestJob t;
    AceFileHeader& file = t.cx.reader.header.file;

    void set(int name_length, const Bytes& packed, int comment_size = -1, uint16_t flags = FLAG_COMMENT)
    {
        t.cx.reader.header.header_type = HEADER_TYPE_FILE;
        t.cx.reader.header.header_flags = uint16_t(FLAG_DATA_SIZE | flags);
        file.name_length = uint16_t(name_length);
        std::memset(file.variable, '#', sizeof file.variable);
        std::memset(file.variable, 'N', size_t(std::min(name_length, FILE_VARIABLE_SIZE)));
        if (name_length + 2 > FILE_VARIABLE_SIZE)
            return;
        const int size = comment_size < 0 ? int(packed.size()) : comment_size;
        file.variable[name_length] = uint8_t(size);
        file.variable[name_length + 1] = uint8_t(size >> 8);
        const size_t room = size_t(FILE_VARIABLE_SIZE - name_length - 2);
        std::memcpy(file.variable + name_length + 2, packed.data(), std::min(packed.size(), room));
    }

    uint8_t* out() { return file.variable + file.name_length + 2; }
    std::string text() { return reinterpret_cast<const char*>(out()); }
};

// A packed comment of decoded length D with the given symbols, by default
// all 283 symbols coded with 9 bits.
Bytes packed_comment(int decoded_length, const std::vector<int>& symbols, BitWriter* writer = nullptr,
                     const std::vector<uint8_t>& lengths = std::vector<uint8_t>(COMMENT_SYMBOL_COUNT, 9))
{
    BitWriter local;
    BitWriter& bw = writer ? *writer : local;
    bw.put_bits(uint32_t(decoded_length), 15);
    const SentCode code = put_code_table(bw, lengths);
    for (int s : symbols)
        code.put(bw, s);
    return bw.bytes();
}

std::vector<int> literal_symbols(const std::string& text)
{
    std::vector<int> out;
    for (char c : text)
        out.push_back(uint8_t(c));
    return out;
}

std::vector<int> operator+(std::vector<int> a, const std::vector<int>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(Comment, CopiesFromWhereTheSamePairSumWasLastSeen)
{
    struct Case {
        std::string literals;
        int copy_symbol;
        std::string expected;
    };
    const Case cases[] = {
        {"xyzxy", 256, "xyzxyzx"},  // at 5 the key x + y was recorded at 2
        {"xyxy", 256, "xyxyyy"},    // (y, x) shares the sum: recorded at 3
        {"aaa", 258, "aaaaaaa"},    // source i - 1 repeats the last byte
        {"hello, hello", 256, "hello, hello, "},  // l + o last seen at 5
    };
    for (const Case& c : cases) {
        CommentRecord r;
        const int d = int(c.expected.size());
        const Bytes packed = packed_comment(d, literal_symbols(c.literals) + std::vector<int>{c.copy_symbol});
        r.set(5, packed);
        decode_file_comment(r.t.cx);
        EXPECT_EQ(r.text(), c.expected);
        EXPECT_EQ(r.out()[d + 1], packed[size_t(d) + 1]) << "nothing written past the terminator";
    }
}

TEST(Comment, CopySymbolsSpanTwoToTwentyEightBytes)
{
    for (int symbol : {256, 257, 270, 282}) {
        CommentRecord r;
        const int copied = symbol - 254;
        // At 5 the key x + y was recorded at 2: the copy repeats "zxy" on.
        const std::string literals = "xyzxy";
        r.set(9, packed_comment(int(literals.size()) + copied, literal_symbols(literals) + std::vector<int>{symbol}));
        decode_file_comment(r.t.cx);
        std::string expected = literals;
        for (int k = 0; k < copied; ++k)
            expected += "zxy"[k % 3];
        EXPECT_EQ(r.text(), expected) << "symbol " << symbol;
    }
    // A copy stops at D.
    CommentRecord r;
    const Bytes packed = packed_comment(7, literal_symbols("xyzxy") + std::vector<int>{282});
    r.set(0, packed);
    decode_file_comment(r.t.cx);
    EXPECT_EQ(r.text(), "xyzxyzx");
    EXPECT_EQ(r.out()[8], packed[8]);
}

TEST(Comment, EmptyTextStillDecodesOneSymbol)
{
    CommentRecord r;
    BitWriter bw;
    const Bytes packed = packed_comment(0, {'Q', 'R'}, &bw);
    r.set(3, packed);
    decode_file_comment(r.t.cx);
    EXPECT_EQ(r.out()[0], 0);
    EXPECT_EQ(r.out()[1], packed[1]) << "only the terminator lands in the record";
    const uint32_t consumed = uint32_t(r.t.cx.bits.word_index) * 32 + uint32_t(r.t.cx.bits.bit_offset);
    EXPECT_EQ(consumed, bw.bit_count() - 9) << "exactly one 9-bit symbol was read";
}

TEST(Comment, LengthIsCutToTheRoom)
{
    // name_length 9: room 2013, so D = 30000 becomes 2012 and the terminator
    // is the variable area's last byte.
    CommentRecord r;
    std::vector<int> symbols;
    for (int i = 0; i < 2100; ++i)
        symbols.push_back('a' + (i * 7) % 26);
    std::vector<uint8_t> letters(COMMENT_SYMBOL_COUNT, 0);
    std::fill(letters.begin() + 'a', letters.begin() + 'z' + 1, 5);
    const Bytes packed = packed_comment(30000, symbols, nullptr, letters);
    ASSERT_LE(packed.size(), 2013u) << "the whole stream fits the room";
    r.set(9, packed, 3000);
    decode_file_comment(r.t.cx);
    const std::string text = r.text();
    ASSERT_EQ(text.size(), 2012u);
    for (size_t i = 0; i < text.size(); ++i)
        ASSERT_EQ(text[i], 'a' + int(i * 7) % 26) << i;
    EXPECT_EQ(r.file.variable[FILE_VARIABLE_SIZE - 1], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.file.variable), 9), "NNNNNNNNN");
}

TEST(Comment, OnlyTheRoomIsHandedToTheBitReader)
{
    CommentRecord r;
    uint8_t* buffer = reinterpret_cast<uint8_t*>(r.t.cx.job.input_words);
    std::memset(buffer, 0x5A, INPUT_BYTES);
    const int name_length = 1992;  // room 30
    const Bytes packed = packed_comment(3, literal_symbols("abc"));
    ASSERT_LE(packed.size(), 30u);
    r.set(name_length, packed, 500);
    const std::vector<uint8_t> handed(r.out(), r.out() + 30);
    decode_file_comment(r.t.cx);
    EXPECT_TRUE(std::equal(handed.begin(), handed.end(), buffer));
    EXPECT_EQ(buffer[30], 0x5A) << "bytes past the room are not copied";
    EXPECT_EQ(r.text(), "abc");
}

TEST(Comment, RecordsThatAreLeftAlone)
{
    const Bytes packed = packed_comment(3, literal_symbols("abc"));
    struct Case {
        const char* what;
        int name_length;
        int comment_size;
        uint16_t flags;
    };
    const Case cases[] = {
        {"no comment flag", 4, -1, 0},
        {"comment size 0", 4, 0, FLAG_COMMENT},
        {"name fills the room", 2022, -1, FLAG_COMMENT},
        {"name beyond the area", 3000, -1, FLAG_COMMENT},
    };
    for (const Case& c : cases) {
        CommentRecord r;
        r.set(c.name_length, packed, c.comment_size, c.flags);
        std::vector<uint8_t> before(r.file.variable, r.file.variable + FILE_VARIABLE_SIZE);
        decode_file_comment(r.t.cx);
        EXPECT_TRUE(std::equal(before.begin(), before.end(), r.file.variable)) << c.what;
    }
}

TEST(Comment, NameOfTwentyTwentyOneLeavesRoomForTheTerminatorOnly)
{
    CommentRecord r;
    r.set(2021, packed_comment(5, literal_symbols("abcde")), 1);
    decode_file_comment(r.t.cx);
    EXPECT_EQ(r.file.variable[2023], 0);
}

TEST(Comment, CopyBeforeTwoBytesCopiesFromTheFirst)
{
    CommentRecord r;
    r.set(2, packed_comment(4, {'m', 257}));
    decode_file_comment(r.t.cx);
    EXPECT_EQ(r.text(), "mmmm");

    // A copy as the very first symbol copies from position 0 onto itself.
    CommentRecord first;
    const Bytes packed = packed_comment(3, {256, 'z'});
    first.set(2, packed);
    decode_file_comment(first.t.cx);
    EXPECT_EQ(first.out()[0], packed[0]);
    EXPECT_EQ(first.out()[1], packed[1]);
    EXPECT_EQ(first.out()[2], 'z');
    EXPECT_EQ(first.out()[3], 0);
}

TEST(Comment, RejectedTableLeavesThePackedBytes)
{
    // Two 12-bit codes: the table is rejected, no symbol is decoded and the
    // first D packed bytes become the text.
    BitWriter bw;
    bw.put_bits(6, 15);
    put_code_table_raw(bw, 1, 11, 2, {1, 1, 0}, {{1}, {0}});
    bw.put_bits(0xFFFFFFFF, 32);
    const Bytes packed = bw.bytes();
    CommentRecord r;
    r.set(1, packed);
    decode_file_comment(r.t.cx);
    EXPECT_TRUE(std::equal(packed.begin(), packed.begin() + 6, r.out()));
    EXPECT_EQ(r.out()[6], 0);
}

TEST(Comment, HostileBytesStayInTheRecord)
{
    // Random packed bytes and sizes: whatever comes out must stay between
    // the comment's start and the end of the variable area, behind the name.
    std::mt19937 rng(31);
    for (int trial = 0; trial < 3000; ++trial) {
        CommentRecord r;
        const int name_length = int(rng() % 2030);
        Bytes packed(2100);
        for (auto& b : packed)
            b = uint8_t(rng());
        if (trial % 2) {
            // A valid table in front of random symbols.
            BitWriter bw;
            bw.put_bits(rng() % 32768, 15);
            put_code_table(bw, std::vector<uint8_t>(COMMENT_SYMBOL_COUNT, 9));
            const Bytes head = bw.bytes();
            std::copy(head.begin(), head.end(), packed.begin());
        }
        r.set(name_length, packed, int(rng() % 65536));
        decode_file_comment(r.t.cx);
        ASSERT_TRUE(std::all_of(r.file.variable, r.file.variable + std::min(name_length, FILE_VARIABLE_SIZE),
                                [](uint8_t b) { return b == 'N'; }));
        ASSERT_GE(r.t.cx.bits.word_index, 0);
        ASSERT_LT(r.t.cx.bits.word_index, REFILL_WORD_INDEX);
        ASSERT_EQ(r.t.cx.reader.packed_remaining, 0u);
    }
}
