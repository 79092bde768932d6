// The listing's formatting: DOS stamps, attributes, ratios, names and
// comments taken from the header record within its bounds.
#include <gtest/gtest.h>

#include <cstring>

#include "archive/header.h"
#include "extract/name_text.h"
#include "tools/listing.h"

TEST(CliListing, DosStampWorkedExample)
{
    // 2024-05-17 13:45:22: year 44, month 5, day 17, hour 13, minute 45, 11 two-second units.
    uint32_t stamp = 44u << 25 | 5u << 21 | 17u << 16 | 13u << 11 | 45u << 5 | 11u;
    EXPECT_EQ(format_dos_time(stamp), "2024-05-17 13:45:22");
    EXPECT_EQ(encode_dos_time({2024, 5, 17, 13, 45, 22}), stamp);
    EXPECT_EQ(encode_dos_time({2024, 5, 17, 13, 45, 23}), stamp);  // odd seconds round down
    EXPECT_EQ(format_dos_time(0xFFFFFFFFu), "2107-15-31 31:63:62");  // every field at its widest
    EXPECT_EQ(format_dos_time(0), "1980-00-00 00:00:00");
    // Outside the stamp's years: clamped, never wrapped.
    EXPECT_EQ(format_dos_time(encode_dos_time({1970, 1, 1, 0, 0, 0})), "1980-01-01 00:00:00");
    EXPECT_EQ(format_dos_time(encode_dos_time({2200, 6, 1, 0, 0, 0})), "2107-12-31 23:59:58");
}

TEST(CliListing, AttributesRatiosSizes)
{
    EXPECT_EQ(format_attributes(0x20), "....A");
    EXPECT_EQ(format_attributes(0x10), "D....");
    EXPECT_EQ(format_attributes(0x01 | 0x02 | 0x04 | 0x20), ".RHSA");
    EXPECT_EQ(format_attributes(0xFFFFFF00u), ".....");

    EXPECT_EQ(format_ratio(50, 100), "50%");
    EXPECT_EQ(format_ratio(1, 3), "33%");
    EXPECT_EQ(format_ratio(2, 3), "67%");
    EXPECT_EQ(format_ratio(0, 0), "0%");
    EXPECT_EQ(format_ratio(4000000000u, 1), "400000000000%");

    EXPECT_EQ(dictionary_size(0x000A), 1u << 20);
    EXPECT_EQ(dictionary_size(0x0000), 1u << 10);
    EXPECT_EQ(dictionary_size(0xFFF6), 1u << 16);  // only the low four bits count
    EXPECT_EQ(dictionary_size(0x000F), 1u << 25);
    EXPECT_EQ(format_binary_size(1u << 20), "1M");
    EXPECT_EQ(format_binary_size(1u << 16), "64K");
    EXPECT_EQ(format_binary_size(1500), "1500");
    EXPECT_EQ(format_binary_size(0), "0");

    EXPECT_EQ(method_name(0), "stored");
    EXPECT_EQ(method_name(1), "lz77");
    EXPECT_EQ(method_name(9), "unknown(9)");
    EXPECT_EQ(flag_names(0x8003), "data comment solid");
    EXPECT_EQ(flag_names(0x2001), "data continued");
    EXPECT_EQ(flag_names(0x0101), "data+0x0100");
    EXPECT_EQ(flag_names(0), "none");
}

TEST(CliListing, ControlCharactersNeverReachTheTerminal)
{
    const uint8_t name[] = {'a', 0x1B, '[', '2', 'J', 0x07, 0x7F, 0xC3, 0xA9, '\n'};
    EXPECT_EQ(printable_text(name, sizeof name), "a?[2J??\xC3\xA9?");
}

// Stored text: well-formed UTF-8 as it is, anything else read as code page
// 437 as a whole; the engine's cut never splits a character.
TEST(CliListing, StoredTextIsUtf8OrCodePage437)
{
    const struct {
        std::string stored, text;
    } cases[] = {
        {"plain.txt", "plain.txt"},
        {"caf\xC3\xA9 \xE6\xBC\xA2.txt", "caf\xC3\xA9 \xE6\xBC\xA2.txt"},  // UTF-8 stays
        {"caf\x82.txt", "caf\xC3\xA9.txt"},                                    // 0x82: e acute
        {"\xE1\xB0\xFF", "\xC3\x9F\xE2\x96\x91\xC2\xA0"},                    // sharp s, shade, nbsp
        {"\xC3\xA9\x82", "\xE2\x94\x9C\xE2\x8C\x90\xC3\xA9"},                    // one bad byte: all 437
        {"\xC0\xAF", "\xE2\x94\x94\xC2\xBB"},                                // overlong '/' is no UTF-8
        {"\xED\xA0\x80", "\xCF\x86\xC3\xA1\xC3\x87"},                        // nor is a surrogate
    };
    for (const auto& c : cases) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(c.stored.data());
        EXPECT_EQ(stored_text(bytes, c.stored.size()), c.text) << c.stored;
        EXPECT_EQ(stored_text_to_utf8(bytes, c.stored.size(), nullptr, 0), c.text.size()) << c.stored;
    }
    char cut[4];
    const uint8_t e_acute[] = {'a', 'b', 0x82};
    EXPECT_EQ(stored_text_to_utf8(e_acute, 3, cut, sizeof cut), 4u);
    EXPECT_STREQ(cut, "ab");
    const uint8_t ascii[] = {'a', 'b', 'c', 'd', 'e'};
    EXPECT_EQ(stored_text_to_utf8(ascii, 5, cut, sizeof cut), 5u);
    EXPECT_STREQ(cut, "abc");
}

TEST(CliListing, JsonStringsAreAlwaysValid)
{
    const struct {
        std::string text, json;
    } cases[] = {
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"esc\x1B[31m\x07\n\t\x7F", "\"esc\\u001b[31m\\u0007\\n\\t\\u007f\""},
        {"caf\xC3\xA9 \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xF0\x9F\x98\x80\""},
        {"bad\xFF\xC3", "\"bad\\ufffd\\ufffd\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(json_string(c.text), c.json) << c.text;
    EXPECT_EQ(format_iso_time(44u << 25 | 5u << 21 | 17u << 16 | 13u << 11 | 45u << 5 | 11u), "2024-05-17T13:45:22");
}

namespace {

AceHeader file_header(const char* name, uint16_t name_length, uint16_t header_size)
{
    AceHeader h;
    std::memset(&h, 0, sizeof h);
    h.header_type = HEADER_TYPE_FILE;
    h.header_flags = FLAG_DATA_SIZE;
    h.header_size = header_size;
    h.file.name_length = name_length;
    std::memcpy(h.file.variable, name, std::strlen(name));
    h.file.unpacked_size = 1000;
    h.file.packed_size = 250;
    h.file.file_crc = 0x1A2B3C4D;
    h.file.file_attributes = 0x21;
    return h;
}

}  // namespace

TEST(CliListing, NamesStayWithinTheHeaderBody)
{
    AceHeader h = file_header("dir\\file.txt", 12, uint16_t(FILE_FIXED_SIZE + 12));
    ListedEntry e = listed_entry_from(h);
    EXPECT_EQ(e.name, "dir\\file.txt");
    EXPECT_EQ(e.size, 1000u);
    EXPECT_EQ(e.packed, 250u);

    // name_length says 200, the body holds 5 name bytes: stale bytes of the
    // record past the body are not shown.
    h = file_header("abcdefghij", 200, uint16_t(FILE_FIXED_SIZE + 5));
    EXPECT_EQ(listed_entry_from(h).name, "abcde");
    // A body shorter than the fixed part holds no name at all.
    h = file_header("abc", 3, 10);
    EXPECT_EQ(listed_entry_from(h).name, "");
    // A zero byte ends the name as the extractor ends it.
    h = file_header("ab\0cd", 5, uint16_t(FILE_FIXED_SIZE + 5));
    EXPECT_EQ(listed_entry_from(h).name, "ab");

    std::string row = listing_row(listed_entry_from(file_header("x.txt", 5, FILE_FIXED_SIZE + 5)));
    EXPECT_NE(row.find("       1000        250   25% 1A2B3C4D  x.txt\n"), std::string::npos) << row;
    EXPECT_NE(row.find(".R..A"), std::string::npos) << row;
}

TEST(CliListing, DecodedCommentOnlyWhereTheDecoderWroteOne)
{
    AceHeader h = file_header("n.txt", 5, 60);
    std::string text;
    EXPECT_FALSE(decoded_comment_of(h, &text));  // no FLAG_COMMENT

    h.header_flags |= FLAG_COMMENT;
    h.file.variable[5] = 0;  // comment_size 0: the decoder writes nothing
    h.file.variable[6] = 0;
    std::memcpy(h.file.variable + 7, "stale\0", 6);
    EXPECT_FALSE(decoded_comment_of(h, &text));

    h.file.variable[5] = 20;
    std::memcpy(h.file.variable + 7, "hi\tthere\0", 9);
    ASSERT_TRUE(decoded_comment_of(h, &text));
    EXPECT_EQ(text, "hi?there");

    // No terminator anywhere up to the end of the variable area: nothing.
    std::memset(h.file.variable + 7, 'x', FILE_VARIABLE_SIZE - 7);
    EXPECT_FALSE(decoded_comment_of(h, &text));

    // A name so long that the comment would start past the area.
    h.file.name_length = uint16_t(FILE_VARIABLE_SIZE - 1);
    EXPECT_FALSE(decoded_comment_of(h, &text));
}

TEST(CliListing, TotalsCountFilesAndFolders)
{
    ListingTotals t;
    ListedEntry file;
    file.size = 300;
    file.packed = 100;
    ListedEntry folder;
    folder.attributes = 0x10;
    add_to_totals(&t, file);
    add_to_totals(&t, file);
    add_to_totals(&t, folder);
    EXPECT_EQ(t.files, 2u);
    EXPECT_EQ(t.folders, 1u);
    EXPECT_EQ(t.size, 600u);
    EXPECT_EQ(t.packed, 200u);
    std::string total = listing_total(t);
    EXPECT_NE(total.find("600        200   33%"), std::string::npos) << total;
    EXPECT_NE(total.find("2 files, 1 folder\n"), std::string::npos) << total;
    EXPECT_EQ(count_text(1, 0), "1 file");
}
