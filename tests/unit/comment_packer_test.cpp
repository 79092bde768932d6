// Packed comments read back by the engine's comment decoder, in place in
// the file header, through the header walk.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "compress/comment_packer.h"
#include "compress/packer.h"
#include "support/decode_support.h"

namespace {

// The text as the engine decodes it from a one-entry archive whose entry
// has the given name.
std::string through_engine(const std::string& text, const std::string& name = "readme.txt")
{
    PackItem it;
    it.name = name;
    it.data = {'x'};
    it.comment = text;
    PackResult r = pack_archive({it}, PackOptions{});
    EXPECT_TRUE(r.ok) << r.error;
    if (!r.ok)
        return "<not packed>";
    DecodedArchive d = decode_archive(r.volumes[0]);
    EXPECT_TRUE(d.all_ok());
    EXPECT_EQ(d.entries.size(), 1u);
    if (d.entries.size() != 1)
        return "<no entry>";
    EXPECT_TRUE(d.entries[0].has_comment);
    return d.entries[0].comment;
}

std::string random_text(size_t n, uint32_t seed, int alphabet)
{
    std::mt19937 rng(seed);
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += static_cast<char>('!' + rng() % alphabet);
    return s;
}

}  // namespace

TEST(CommentPacker, RoundTripsThroughTheDecoder)
{
    const std::string texts[] = {
        "a",
        "ab",
        "xyzxyzxyzxyz",
        "xyxyyxyxxyyx",  // pairs with equal sums share one table entry
        std::string(300, 'z'),
        "Setup installs the program into the folder you choose.\r\nRun setup.exe to begin.",
        random_text(500, 1, 4),
        random_text(1500, 2, 90),
    };
    for (const std::string& text : texts)
        EXPECT_EQ(through_engine(text), text);
}

TEST(CommentPacker, CopiesPayOnRepetitiveText)
{
    std::string text;
    for (int i = 0; i < 40; ++i)
        text += "line " + std::to_string(i % 4) + " of the notice\n";
    std::vector<uint8_t> packed;
    ASSERT_TRUE(pack_comment(text, 2000, 2000, packed));
    EXPECT_LT(packed.size(), text.size() / 3);
    EXPECT_EQ(through_engine(text), text);
}

TEST(CommentPacker, RoomLimit)
{
    // Name of 9 bytes: the decoder has 2013 bytes for the text and its zero.
    const std::string name = "setup.exe";
    ASSERT_EQ(file_comment_room(name.size()), 2013);
    std::string longest(2012, 'k');
    EXPECT_EQ(through_engine(longest, name), longest);

    std::vector<uint8_t> packed;
    EXPECT_FALSE(pack_comment(std::string(2013, 'k'), 2013, 1998, packed));
    EXPECT_TRUE(packed.empty());
    PackItem it;
    it.name = name;
    it.comment = std::string(2013, 'k');
    PackResult r = pack_archive({it}, PackOptions{});
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.error.empty());

    // Short enough as text, too long once packed: bytes of every value
    // without repeats need more than a byte per byte.
    std::string noise;
    std::mt19937 rng(3);
    for (int i = 0; i < 2012; ++i)
        noise += static_cast<char>(1 + rng() % 255);
    EXPECT_FALSE(pack_comment(noise, 2013, 1998, packed));
    // A long name leaves little room.
    EXPECT_EQ(file_comment_packed_room(2000), 7);
    EXPECT_EQ(file_comment_packed_room(9), file_comment_room(9) - 15);
    EXPECT_FALSE(pack_comment("a fine comment", file_comment_room(2000), file_comment_packed_room(2000), packed));
}

TEST(CommentPacker, WhateverIsAcceptedDecodesExactly)
{
    // Near the limits: the packed bytes must lie within the part of the
    // header the reader keeps (first 2040 body bytes), the text within the
    // decoder's room. Every comment the packer accepts must come back whole.
    int accepted = 0, refused = 0;
    int in_the_gap = 0;  // packed size between the two rooms: must be refused
    for (size_t length : {1800u, 1850u, 1900u, 1960u, 1990u, 2012u}) {
        for (int alphabet : {120, 180, 200, 215, 235, 255}) {
            std::string text;
            std::mt19937 rng(static_cast<uint32_t>(length * 1000 + alphabet));
            for (size_t i = 0; i < length; ++i)
                text += static_cast<char>(1 + rng() % alphabet);
            Bytes loose;
            if (pack_comment(text, file_comment_room(9), file_comment_room(9), loose) &&
                loose.size() > static_cast<size_t>(file_comment_packed_room(9)))
                ++in_the_gap;
            PackItem it;
            it.name = "setup.exe";
            it.comment = text;
            PackResult r = pack_archive({it}, PackOptions{});
            if (!r.ok) {
                ++refused;
                continue;
            }
            ++accepted;
            DecodedArchive d = decode_archive(r.volumes[0]);
            ASSERT_EQ(d.entries.size(), 1u);
            EXPECT_TRUE(d.entries[0].comment == text) << "length " << length << ", alphabet " << alphabet;
        }
    }
    EXPECT_GT(accepted, 3);
    EXPECT_GT(refused, 3);
    EXPECT_GT(in_the_gap, 0);
    EXPECT_GE(refused, in_the_gap);
}

TEST(CommentPacker, EmptyTextDecodesEmpty)
{
    // The decoder still decodes one symbol for a length of 0; the terminator
    // lands on it.
    std::vector<uint8_t> packed;
    ASSERT_TRUE(pack_comment("", 100, 100, packed));
    FileHeaderFields f = stored_fields("a", {});
    f.comment = packed;
    ArchiveWriter w;
    w.main_header().file_entry(f, {});
    DecodedArchive direct = decode_archive(w.bytes());
    ASSERT_EQ(direct.entries.size(), 1u);
    EXPECT_TRUE(direct.entries[0].has_comment);
    EXPECT_EQ(direct.entries[0].comment, "");
    // Through the archive API an empty comment means no comment at all.
    PackItem it;
    it.name = "a";
    PackResult r = pack_archive({it}, PackOptions{});
    DecodedArchive d = decode_archive(r.volumes[0]);
    ASSERT_EQ(d.entries.size(), 1u);
    EXPECT_FALSE(d.entries[0].has_comment);
}
