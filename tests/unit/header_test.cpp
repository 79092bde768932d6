#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "archive/header.h"
#include "compress/archive_writer.h"
#include "support/test_host.h"

namespace {

// The installer archive's main header, prefix and body.
const Bytes INSTALLER_MAIN = {0x85, 0x25, 0x1B, 0x00, 0x00, 0x00, 0x80, 0x2A, 0x2A, 0x41, 0x43,
                              0x45, 0x2A, 0x2A, 0x0A, 0x14, 0x02, 0x00, 0x20, 0xBE, 0x2D, 0x2B,
                              0xDF, 0x41, 0x04, 0xF3, 0x00, 0x01, 0x04, 0x0A, 0x00};

Bytes simple_archive(const MainHeaderFields& main = {})
{
    ArchiveWriter w;
    w.main_header(main);
    w.stored_file("one.txt", Bytes(10, 'a'));
    w.stored_file("dir\\two.bin", Bytes(300, 'b'));
    return w.take();
}

std::string name_of(const AceHeader& h)
{
    return std::string(reinterpret_cast<const char*>(h.file.variable), h.file.name_length);
}

TEST(MainHeader, InstallerBytesReadBack)
{
    TestJob j;
    Bytes archive = INSTALLER_MAIN;
    archive.push_back(0x55);  // something after it
    j.use_memory(archive);
    ASSERT_EQ(j.open(), 1);
    const AceHeader& h = j.cx.reader.header;
    EXPECT_EQ(h.header_crc, 0x2585);
    EXPECT_EQ(h.header_size, 27);
    EXPECT_EQ(h.header_type, HEADER_TYPE_MAIN);
    EXPECT_EQ(h.header_flags, 0x8000);
    EXPECT_EQ(std::memcmp(h.main.signature, "**ACE**", 7), 0);
    EXPECT_EQ(h.main.version_needed, 10);
    EXPECT_EQ(h.main.version_made, 20);
    EXPECT_EQ(h.main.host_system, 2);
    EXPECT_EQ(h.main.volume_number, 0);
    EXPECT_EQ(h.main.creation_time, 0x2B2DBE20u);
    EXPECT_EQ(h.main.reserved_a, 0x41DF);
    EXPECT_EQ(h.main.reserved_b, 0xF304);
    EXPECT_EQ(h.main.reserved_c, 0x0A040100u);
    EXPECT_EQ(h.main.info_length, 0);
    EXPECT_EQ(j.cx.reader.archive_solid, 1);
    EXPECT_EQ(j.cx.reader.archive_volume_number, 0);
    EXPECT_EQ(j.cx.reader.packed_remaining, 0u);
    EXPECT_EQ(j.cx.stream.stream_position, 31);
    EXPECT_TRUE(j.host.messages.empty());
}

TEST(MainHeader, WriterReproducesInstallerBytes)
{
    MainHeaderFields m;
    m.flags = FLAG_SOLID;
    m.creation_time = 0x2B2DBE20u;
    m.reserved_a = 0x41DF;
    m.reserved_b = 0xF304;
    m.reserved_c = 0x0A040100u;
    EXPECT_EQ(main_header_bytes(m), INSTALLER_MAIN);
}

TEST(MainHeader, VolumeNumberInfoTextAndComment)
{
    MainHeaderFields m;
    m.volume_number = 3;
    m.info_text = {'h', 'i'};
    m.comment = Bytes{1, 2, 3};
    TestJob j;
    j.use_memory(simple_archive(m));
    ASSERT_EQ(j.open(), 1);
    const AceHeader& h = j.cx.reader.header;
    EXPECT_EQ(j.cx.reader.archive_volume_number, 3);
    EXPECT_EQ(j.cx.reader.archive_solid, 0);
    EXPECT_EQ(h.header_flags, FLAG_COMMENT);
    EXPECT_EQ(h.main.info_length, 2);
    const Bytes variable(h.main.variable, h.main.variable + 7);
    EXPECT_EQ(variable, (Bytes{'h', 'i', 3, 0, 1, 2, 3}));
    ASSERT_EQ(read_header(j.cx, 1), 1);
    EXPECT_EQ(name_of(h), "one.txt");
}

TEST(HeaderWalk, ReadsEveryFileHeaderAndSkipsUnreadData)
{
    FileHeaderFields f = stored_fields("x\\y.dat", Bytes(5, 1));
    f.flags = FLAG_SOLID | FLAG_REFUSED;
    f.file_time = 0x12345678;
    f.file_attributes = 0x21;
    f.quality = 5;
    f.parameter = 0x000A;
    f.reserved = 0xBEEF;
    f.comment = Bytes{9, 8};
    ArchiveWriter w;
    w.main_header().stored_file("one.txt", Bytes(10, 'a')).file_entry(f, Bytes(5, 1));
    TestJob j;
    j.use_memory(w.bytes());
    ASSERT_EQ(j.open(), 1);
    const AceHeader& h = j.cx.reader.header;

    ASSERT_EQ(read_header(j.cx, 1), 1);
    EXPECT_EQ(name_of(h), "one.txt");
    EXPECT_EQ(h.file.packed_size, 10u);
    EXPECT_EQ(j.cx.reader.packed_remaining, 10u);

    ASSERT_EQ(read_header(j.cx, 1), 1);
    EXPECT_EQ(h.header_flags, FLAG_SOLID | FLAG_REFUSED | FLAG_COMMENT | FLAG_DATA_SIZE);
    EXPECT_EQ(h.header_size, 31 + 7 + 2 + 2);
    EXPECT_EQ(name_of(h), "x\\y.dat");
    EXPECT_EQ(h.file.packed_size, 5u);
    EXPECT_EQ(h.file.unpacked_size, 5u);
    EXPECT_EQ(h.file.file_time, 0x12345678u);
    EXPECT_EQ(h.file.file_attributes, 0x21u);
    EXPECT_EQ(h.file.file_crc, writer_crc32(Bytes(5, 1)));
    EXPECT_EQ(h.file.method, METHOD_STORED);
    EXPECT_EQ(h.file.quality, 5);
    EXPECT_EQ(h.file.parameter, 0x000A);
    EXPECT_EQ(h.file.reserved, 0xBEEF);
    EXPECT_EQ(Bytes(h.file.variable + 7, h.file.variable + 11), (Bytes{2, 0, 9, 8}));

    // The last data area ends at the end of the data.
    EXPECT_EQ(read_header(j.cx, 1), 0);
}

TEST(HeaderWalk, WrongCrcStopsWithDataSizeAlreadyTaken)
{
    ArchiveWriter w;
    w.main_header().stored_file("one.txt", Bytes(10, 'a'));
    size_t second = w.size();
    w.stored_file("two.txt", Bytes(77, 'b')).stored_file("three.txt", Bytes(3, 'c'));
    w.damage(second + 20);  // unpacked_size
    TestJob j;
    j.use_memory(w.bytes());
    ASSERT_EQ(j.open(), 1);
    const AceHeader& h = j.cx.reader.header;
    ASSERT_EQ(read_header(j.cx, 1), 1);
    EXPECT_EQ(read_header(j.cx, 1), 0);
    EXPECT_EQ(j.cx.reader.packed_remaining, 77u);
    EXPECT_EQ(h.header_size, 31 + 7);
    // The views keep the previous header's fields.
    EXPECT_EQ(h.file.unpacked_size, 10u);
    EXPECT_EQ(name_of(h), "one.txt");
}

TEST(HeaderWalk, SearchModeFillsARejectedHeader)
{
    ArchiveWriter w;
    w.main_header().stored_file("one.txt", Bytes(10, 'a'));
    size_t second = w.size();
    w.stored_file("two.txt", Bytes(77, 'b'));
    w.damage(second);  // header_crc itself
    TestJob j;
    j.use_memory(w.bytes());
    ASSERT_EQ(j.open(), 1);
    ASSERT_EQ(read_header(j.cx, 1), 1);
    EXPECT_EQ(read_header(j.cx, 0), 0);
    EXPECT_EQ(name_of(j.cx.reader.header), "two.txt");
    EXPECT_EQ(j.cx.reader.header.file.unpacked_size, 77u);
}

TEST(HeaderWalk, CutShortPrefixBodyOrChunk)
{
    Bytes full = simple_archive();
    for (size_t cut : {size_t(31 + 2), size_t(31 + 4 + 20)}) {
        TestJob j;
        j.use_memory(Bytes(full.begin(), full.begin() + ptrdiff_t(cut)));
        ASSERT_EQ(j.open(), 1);
        EXPECT_EQ(read_header(j.cx, 1), 0) << cut;
    }
    // A long body cut inside its CRC-only chunks.
    Bytes big = any_header_bytes(7, 0, Bytes(3000, 1));
    Bytes archive = main_header_bytes({});
    archive.insert(archive.end(), big.begin(), big.end() - 1);
    TestJob j;
    j.use_memory(archive);
    ASSERT_EQ(j.open(), 1);
    EXPECT_EQ(read_header(j.cx, 1), 0);
}

struct LongHeader : ::testing::TestWithParam<uint32_t> {};

// Bodies longer than the kept part: the first 2040 bytes are kept, the rest
// only enter the CRC.
TEST_P(LongHeader, KeepsTheFirstPartAndChecksTheWhole)
{
    const uint32_t size = GetParam();
    Bytes rest(size - 3);
    for (size_t i = 0; i < rest.size(); i++)
        rest[i] = uint8_t(i * 13 + 1);
    const Bytes header = any_header_bytes(HEADER_TYPE_FILE, 0, rest);
    Bytes archive = main_header_bytes({});
    archive.insert(archive.end(), header.begin(), header.end());
    archive.push_back(0x77);

    for (size_t damaged : {size_t(0), size_t(2000), size_t(size + 3)}) {
        Bytes a = archive;
        if (damaged)
            damage_byte(a, 31 + damaged, 0x01);
        TestJob j;
        j.use_memory(a);
        ASSERT_EQ(j.open(), 1);
        AceHeader& h = j.cx.reader.header;
        std::memset(h.file.variable, 0xEE, FILE_VARIABLE_SIZE);
        EXPECT_EQ(read_header(j.cx, 1), damaged ? 0 : 1) << damaged;
        if (damaged)
            continue;
        EXPECT_EQ(h.header_size, size);
        EXPECT_EQ(j.cx.stream.stream_position, int32_t(31 + 4 + size));
        // Body bytes 31..2039 reach the variable area, nothing after.
        EXPECT_EQ(h.file.variable[0], rest[28]);
        EXPECT_EQ(h.file.variable[2039 - 31], rest[2039 - 3]);
        EXPECT_EQ(h.file.variable[2040 - 31], 0xEE);
        EXPECT_EQ(std::memcmp(j.cx.job.header_buffer + 3, rest.data(), HEADER_KEEP_SIZE - 3), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Header, LongHeader, ::testing::Values(2040u, 2041u, 3064u, 65535u));

TEST(HeaderWalk, HeaderOfSize2041ReadsItsLastByteIntoTheScanBuffer)
{
    Bytes rest(2041 - 3, 0x11);
    rest.back() = 0x5A;
    Bytes archive = main_header_bytes({});
    Bytes header = any_header_bytes(9, 0, rest);
    archive.insert(archive.end(), header.begin(), header.end());
    TestJob j;
    j.use_memory(archive);
    ASSERT_EQ(j.open(), 1);
    ASSERT_EQ(read_header(j.cx, 1), 1);
    EXPECT_EQ(j.cx.job.scan_buffer[0], 0x5A);
    EXPECT_EQ(j.cx.reader.header.header_type, 9);
}

// A body shorter than its type's fixed part: what it does not hold reads
// as 0, never as the previous header's values.
TEST(HeaderWalk, ShortBodiesLeaveNoStaleFields)
{
    ArchiveWriter w;
    FileHeaderFields f = stored_fields("previous.name", Bytes(4, 9));
    f.file_time = 0xFFFFFFFF;
    f.parameter = 0xFFFF;
    f.file_attributes = 0xFFFFFFFF;
    w.main_header().file_entry(f, Bytes(4, 9));
    // Type 1, flags FLAG_DATA_SIZE, then only two bytes of the data size.
    w.raw(header_bytes({HEADER_TYPE_FILE, 0x01, 0x00, 0x05, 0x00}));
    w.raw(Bytes(5, 0xAB));
    w.raw(header_bytes({}));
    w.raw(header_bytes({HEADER_TYPE_FILE}));
    TestJob j;
    j.use_memory(w.bytes());
    ASSERT_EQ(j.open(), 1);
    AceHeader& h = j.cx.reader.header;
    ASSERT_EQ(read_header(j.cx, 1), 1);
    ASSERT_EQ(h.file.file_time, 0xFFFFFFFFu);

    ASSERT_EQ(read_header(j.cx, 1), 1);
    EXPECT_EQ(h.header_size, 5);
    EXPECT_EQ(h.file.packed_size, 5u);
    EXPECT_EQ(j.cx.reader.packed_remaining, 5u);
    EXPECT_EQ(h.file.file_time, 0u);
    EXPECT_EQ(h.file.file_attributes, 0u);
    EXPECT_EQ(h.file.parameter, 0);
    EXPECT_EQ(h.file.name_length, 0);
    EXPECT_EQ(name_of(h), "");
    // The variable area is not written.
    EXPECT_EQ(std::memcmp(h.file.variable, "previous.name", 13), 0);

    ASSERT_EQ(read_header(j.cx, 1), 1);  // empty body: CRC of nothing
    EXPECT_EQ(h.header_crc, 0xFFFF);
    EXPECT_EQ(h.header_type, 0);
    EXPECT_EQ(h.header_flags, 0);
    EXPECT_EQ(j.cx.reader.packed_remaining, 0u);

    ASSERT_EQ(read_header(j.cx, 1), 1);
    EXPECT_EQ(h.header_type, HEADER_TYPE_FILE);
    EXPECT_EQ(h.header_flags, 0);
    EXPECT_EQ(read_header(j.cx, 1), 0);
}

TEST(HeaderWalk, OtherTypesCarryOnlyCommonFieldsAndTheirData)
{
    ArchiveWriter w;
    w.main_header();
    Bytes rest = {10, 0, 0, 0, 'x', 'y'};  // data size 10
    w.raw(any_header_bytes(5, FLAG_DATA_SIZE, rest)).raw(Bytes(10, 0)).stored_file("a", {});
    TestJob j;
    j.use_memory(w.bytes());
    ASSERT_EQ(j.open(), 1);
    ASSERT_EQ(read_header(j.cx, 1), 1);
    EXPECT_EQ(j.cx.reader.header.header_type, 5);
    EXPECT_EQ(j.cx.reader.packed_remaining, 10u);
    ASSERT_EQ(read_header(j.cx, 1), 1);
    EXPECT_EQ(name_of(j.cx.reader.header), "a");
}

// Data sizes of 2^31 and more do not fit a signed seek: the skip must not
// run backwards into headers already read, and later reads deliver nothing.
TEST(HeaderWalk, HugeDataSizesEndTheWalk)
{
    for (uint32_t size : {0x80000000u, 0xFFFFFFF0u, 0x7FFFFFF0u, 0xFFFFFFFFu}) {
        ArchiveWriter w;
        FileHeaderFields f = stored_fields("big", {});
        w.main_header().raw(file_header_bytes(f, size)).stored_file("after", Bytes(3, 1));
        TestJob j;
        j.use_memory(w.bytes());
        ASSERT_EQ(j.open(), 1);
        ASSERT_EQ(read_header(j.cx, 1), 1);
        EXPECT_EQ(j.cx.reader.packed_remaining, size);
        EXPECT_EQ(read_header(j.cx, 1), 0) << size;
        EXPECT_EQ(read_header(j.cx, 1), 0) << size;
        EXPECT_GE(j.cx.stream.stream_position, 0);
    }
}

// ---- The main-header search ----

TEST(FindMainHeader, JunkBeforeTheArchive)
{
    Bytes archive(100, 0x42);
    Bytes rest = simple_archive();
    archive.insert(archive.end(), rest.begin(), rest.end());
    TestJob j;
    j.use_memory(archive);
    ASSERT_EQ(j.open(), 1);
    EXPECT_EQ(j.cx.stream.stream_position, 100 + 31);
    ASSERT_EQ(read_header(j.cx, 1), 1);
    EXPECT_EQ(name_of(j.cx.reader.header), "one.txt");
}

Bytes archive_at(size_t offset)
{
    Bytes archive(offset, 0);
    for (size_t i = 0; i < offset; i++)
        archive[i] = uint8_t(i % 251);
    Bytes rest = simple_archive();
    archive.insert(archive.end(), rest.begin(), rest.end());
    return archive;
}

TEST(FindMainHeader, FoundWhenItsSignatureEndsWithinTheFirst64KiB)
{
    TestJob j;
    j.use_memory(archive_at(65522));
    ASSERT_EQ(j.open(), 1);
    EXPECT_EQ(j.cx.stream.stream_position, 65522 + 31);
    EXPECT_TRUE(j.host.messages.empty());

    TestJob late;
    late.use_memory(archive_at(65523));
    EXPECT_EQ(late.open(), 0);
    EXPECT_EQ(late.host.messages, std::vector<std::string>{"Archive data is damaged"});
}

TEST(FindMainHeader, EveryOffsetAcrossAWindowBoundary)
{
    // The windows overlap by 512 bytes; signatures on either side of each
    // boundary are found.
    for (size_t offset : {0u, 1u, 505u, 506u, 510u, 511u, 512u, 1010u, 1011u, 1017u, 1018u,
                          1024u, 1529u, 1530u, 2047u, 30000u}) {
        TestJob j;
        j.use_memory(archive_at(offset));
        ASSERT_EQ(j.open(), 1) << offset;
        EXPECT_EQ(j.cx.stream.stream_position, int32_t(offset + 31)) << offset;
    }
}

TEST(FindMainHeader, EmptyAndShortStreams)
{
    TestJob empty;
    empty.use_memory({});
    EXPECT_EQ(empty.open(), 0);
    EXPECT_EQ(empty.host.messages, std::vector<std::string>{"Archive data is damaged"});
    EXPECT_EQ(empty.cx.stream.stream_position, 0);

    TestJob junk;
    junk.use_memory(Bytes(700, '*'));
    EXPECT_EQ(junk.open(), 0);
    EXPECT_EQ(junk.host.messages, std::vector<std::string>{"Archive data is damaged"});

    Bytes small = simple_archive();
    small.resize(31 + 4 + 38 + 10);  // the main header and the first entry
    TestJob j;
    j.use_memory(small);
    ASSERT_EQ(j.open(), 1);
    ASSERT_EQ(read_header(j.cx, 1), 1);
    EXPECT_EQ(read_header(j.cx, 1), 0);
}

TEST(FindMainHeader, SignatureTooEarlyAndBrokenCandidatesAreSkipped)
{
    // "**ACE**" at offset 3: the candidate would start at -4.
    Bytes archive = {0, 1, 2, '*', '*', 'A', 'C', 'E', '*', '*', 9, 9};
    // A candidate with the signature but a wrong CRC and a data size flag.
    MainHeaderFields bad;
    bad.header_crc = 0x1234;
    Bytes b = main_header_bytes(bad);
    archive.insert(archive.end(), b.begin(), b.end());
    Bytes rest = simple_archive();
    archive.insert(archive.end(), rest.begin(), rest.end());
    TestJob j;
    j.use_memory(archive);
    ASSERT_EQ(j.open(), 1);
    EXPECT_EQ(j.cx.stream.stream_position, int32_t(12 + 31 + 31));
    EXPECT_EQ(j.cx.reader.packed_remaining, 0u);
    ASSERT_EQ(read_header(j.cx, 1), 1);
    EXPECT_EQ(name_of(j.cx.reader.header), "one.txt");
}

TEST(FindMainHeader, RejectedCandidateDoesNotLeaveItsDataSize)
{
    // A broken main header with FLAG_DATA_SIZE: its "data size" is the
    // first four signature bytes, about 1.1 GB. The next candidate must
    // not skip that far.
    MainHeaderFields bad;
    bad.flags = FLAG_DATA_SIZE;
    bad.header_crc = 0;
    Bytes archive = main_header_bytes(bad);
    Bytes rest = simple_archive();
    archive.insert(archive.end(), rest.begin(), rest.end());
    TestJob j;
    j.use_memory(archive);
    ASSERT_EQ(j.open(), 1);
    EXPECT_EQ(j.cx.stream.stream_position, 31 + 31);
    EXPECT_EQ(j.cx.reader.packed_remaining, 0u);
}

TEST(FindMainHeader, SignatureInsideAnotherHeaderIsNoCandidate)
{
    // The signature sits 11 bytes in, so its candidate starts inside the
    // header and reads a nonsense prefix.
    Bytes rest = {0x20, 0, 0, 0, '*', '*', 'A', 'C', 'E', '*', '*'};
    Bytes archive = any_header_bytes(HEADER_TYPE_FILE, FLAG_DATA_SIZE, rest);
    TestJob j;
    j.use_memory(archive);
    EXPECT_EQ(j.open(), 0);
    EXPECT_EQ(j.host.messages, std::vector<std::string>{"Archive data is damaged"});
}

TEST(OpenArchive, StreamThatCannotOpen)
{
    TestJob j;
    TempDir dir;
    j.use_files(dir.file("absent.ACE"));
    EXPECT_EQ(j.open(), 0);
    EXPECT_EQ(j.host.messages, std::vector<std::string>{"Damaged archive"});
    EXPECT_EQ(j.cx.job.archive_handle, STREAM_OPEN_FAILED);
}

TEST(OpenArchive, FromAFileAfterJunk)
{
    TestJob j;
    TempDir dir;
    ASSERT_TRUE(write_bytes_file(dir.file("a.ACE"), archive_at(4000)));
    j.use_files(dir.file("a.ACE"));
    ASSERT_EQ(j.open(), 1);
    ASSERT_EQ(read_header(j.cx, 1), 1);
    ASSERT_EQ(read_header(j.cx, 1), 1);
    EXPECT_EQ(name_of(j.cx.reader.header), "dir\\two.bin");
}

}  // namespace
