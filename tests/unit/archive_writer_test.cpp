#include <gtest/gtest.h>

#include <map>
#include <string>

#include "archive/header.h"
#include "archive/packed.h"
#include "compress/archive_writer.h"
#include "support/test_host.h"

namespace {

Bytes pattern(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = uint8_t((i * 17) ^ seed ^ (i >> 5));
    return b;
}

uint16_t le16(const Bytes& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }

// Walks a volume set with the engine, reading each entry's data across
// volumes; returns name -> contents.
std::map<std::string, Bytes> read_back(const std::string& first, TestJob& j)
{
    std::map<std::string, Bytes> out;
    j.use_files(first);
    j.cx.packed.volume_prompt_mode = PROMPT_NEVER;
    if (!j.open())
        return out;
    while (current_status(j.cx) == STATUS_OK && read_header(j.cx, 1)) {
        const AceHeader& h = j.cx.reader.header;
        std::string name(reinterpret_cast<const char*>(h.file.variable), h.file.name_length);
        Bytes data;
        uint8_t buf[333];
        for (uint32_t n; (n = read_packed(j.cx, buf, sizeof buf)) > 0;)
            data.insert(data.end(), buf, buf + n);
        EXPECT_EQ(writer_crc32(data), j.cx.reader.header.file.file_crc) << name;
        out[name] = data;
    }
    return out;
}

TEST(ArchiveWriter, HeadersCarryCrcAndSize)
{
    Bytes body = pattern(65535, 3);
    Bytes h = header_bytes(body);
    ASSERT_EQ(h.size(), 65539u);
    EXPECT_EQ(le16(h, 0), uint16_t(writer_crc32(body)));
    EXPECT_EQ(le16(h, 2), 65535);
    EXPECT_EQ(le16(header_bytes(body, 0x1234), 0), 0x1234);

    Bytes any = any_header_bytes(7, 0xA001, {1, 2});
    EXPECT_EQ(any, header_bytes({7, 0x01, 0xA0, 1, 2}));
}

TEST(ArchiveWriter, FileHeaderLayout)
{
    FileHeaderFields f = stored_fields("ab", Bytes{'x'});
    f.flags = FLAG_SOLID;
    f.comment = Bytes{5};
    Bytes h = file_header_bytes(f, 0x01020304);
    ASSERT_EQ(h.size(), 4u + 31 + 2 + 2 + 1);
    EXPECT_EQ(h[4], HEADER_TYPE_FILE);
    EXPECT_EQ(le16(h, 5), FLAG_SOLID | FLAG_COMMENT | FLAG_DATA_SIZE);
    EXPECT_EQ(Bytes(h.begin() + 7, h.begin() + 11), (Bytes{4, 3, 2, 1}));
    EXPECT_EQ(h[11], 1);  // unpacked_size
    EXPECT_EQ(le16(h, 33), 2);  // name_length
    EXPECT_EQ(Bytes(h.begin() + 35, h.end()), (Bytes{'a', 'b', 1, 0, 5}));

    f.name_length = 9;
    EXPECT_EQ(le16(file_header_bytes(f, 0), 33), 9);
}

TEST(ArchiveWriter, VolumesSplitWithinTheLimitAndReadBack)
{
    MainHeaderFields m;
    m.flags = FLAG_SOLID;
    const uint32_t limit = 400;
    VolumeSetWriter v(m, limit);
    std::map<std::string, Bytes> files = {
        {"small", pattern(20, 1)},   {"exact", pattern(250, 2)}, {"large", pattern(1500, 3)},
        {"empty", {}},               {"tail", pattern(90, 4)},
    };
    for (const char* name : {"small", "exact", "large", "empty", "tail"})
        v.stored_file(name, files[name]);
    std::vector<Bytes> vols = v.finish();
    ASSERT_GE(vols.size(), 5u);
    // Over the limit by at most a header and one byte: "empty" and "tail"
    // must start where "large" ended.
    const size_t header_and_byte = file_header_bytes(stored_fields("empty", {}), 0).size() + 1;
    for (size_t i = 0; i < vols.size(); i++) {
        EXPECT_LE(vols[i].size(), limit + header_and_byte) << i;
        ASSERT_GE(vols[i].size(), 31u);
        EXPECT_EQ(vols[i][4 + 13], i) << "volume_number";
        EXPECT_EQ(le16(vols[i], 5), FLAG_SOLID);
    }

    TempDir dir;
    ASSERT_TRUE(write_volume_files(dir.file("v.ACE"), vols));
    TestJob j;
    EXPECT_EQ(read_back(dir.file("v.ACE"), j), files);
    EXPECT_EQ(current_status(j.cx), STATUS_OK);
    EXPECT_EQ(j.cx.reader.archive_volume_number, int32_t(vols.size() - 1));
}

TEST(ArchiveWriter, LimitSmallerThanAHeaderStillEnds)
{
    VolumeSetWriter v(MainHeaderFields{}, 10);
    Bytes data = pattern(5, 9);
    v.stored_file("x", data).stored_file("y", pattern(2, 1));
    std::vector<Bytes> vols = v.finish();
    // One byte per volume: x takes five; y starts in x's last volume.
    EXPECT_EQ(vols.size(), 6u);

    TempDir dir;
    ASSERT_TRUE(write_volume_files(dir.file("t.ACE"), vols));
    TestJob j;
    std::map<std::string, Bytes> got = read_back(dir.file("t.ACE"), j);
    EXPECT_EQ(got["x"], data);
    EXPECT_EQ(got["y"], pattern(2, 1));
}

TEST(ArchiveWriter, DirectoriesRawBytesAndDamage)
{
    ArchiveWriter w;
    w.raw(Bytes(3, 0xEE)).main_header().directory("sub");
    size_t at = w.size();
    w.stored_file("f", Bytes{1});
    w.damage(at + 1, 0x01);
    Bytes b = w.bytes();
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 3), Bytes(3, 0xEE));
    EXPECT_EQ(b[at + 1], uint8_t(file_header_bytes(stored_fields("f", {1}), 1)[1] ^ 0x01));

    TestJob j;
    j.use_memory(b);
    ASSERT_EQ(j.open(), 1);
    ASSERT_EQ(read_header(j.cx, 1), 1);
    EXPECT_EQ(j.cx.reader.header.file.file_attributes, ATTR_DIRECTORY);
    EXPECT_EQ(j.cx.reader.header.file.packed_size, 0u);
    EXPECT_EQ(read_header(j.cx, 1), 0);
}

}  // namespace
