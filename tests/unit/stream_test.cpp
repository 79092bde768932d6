#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <numeric>
#include <vector>

#include "archive/stream.h"
#include "compress/archive_writer.h"
#include "support/test_host.h"

namespace {

constexpr uint32_t LENGTH = 5000;

Bytes pattern(uint32_t n, uint8_t seed)
{
    Bytes b(n);
    for (uint32_t i = 0; i < n; i++)
        b[i] = uint8_t(i * 7 + seed + (i >> 8));
    return b;
}

// The same edge cases must hold whether the bytes live in memory or in a
// mapped file.
class StreamBackings : public ::testing::TestWithParam<StreamBacking> {
protected:
    TempDir dir;
    Bytes data = pattern(LENGTH, 1);
    Bytes other = pattern(300, 99);
    ArchiveStream s{};
    std::string first = dir.file("s.ACE");
    std::string second = dir.file("s.C00");
    intptr_t h = STREAM_OPEN_FAILED;

    void SetUp() override
    {
        ASSERT_TRUE(write_bytes_file(first, data));
        ASSERT_TRUE(write_bytes_file(second, other));
        if (GetParam() == StreamBacking::MEMORY)
            stream_bind_memory(s, data.data(), LENGTH);
        else
            stream_bind_files(s);
        h = stream_open(s, first.c_str(), STREAM_MODE_BINARY, 0);
        ASSERT_NE(h, STREAM_OPEN_FAILED);
    }
    void TearDown() override { stream_release(s); }
};

TEST_P(StreamBackings, ReadNearTheEndIsShortThenEmpty)
{
    uint8_t buf[8] = {};
    EXPECT_EQ(stream_seek(s, h, LENGTH - 2, 0), int32_t(LENGTH - 2));
    EXPECT_EQ(stream_read(s, h, buf, 4), 2);
    EXPECT_EQ(buf[0], data[LENGTH - 2]);
    EXPECT_EQ(buf[1], data[LENGTH - 1]);
    EXPECT_EQ(s.stream_position, int32_t(LENGTH));
    EXPECT_EQ(stream_read(s, h, buf, 4), 0);
    EXPECT_EQ(s.stream_position, int32_t(LENGTH));
}

TEST_P(StreamBackings, ReadsCopyInOrderAndReportSize)
{
    Bytes got(LENGTH + 100);
    EXPECT_EQ(stream_read(s, h, got.data(), 1000), 1000);
    EXPECT_EQ(stream_read(s, h, got.data() + 1000, 0), 0);
    EXPECT_EQ(stream_read(s, h, got.data() + 1000, LENGTH + 100), int32_t(LENGTH - 1000));
    got.resize(LENGTH);
    EXPECT_EQ(got, data);
    StreamStat st{12345};
    EXPECT_EQ(stream_size(s, h, &st), 0);
    EXPECT_EQ(st.size, LENGTH);
}

TEST_P(StreamBackings, SeekOrigins)
{
    EXPECT_EQ(stream_seek(s, h, 10, 2), int32_t(LENGTH - 10));
    EXPECT_EQ(stream_seek(s, h, 0, 2), int32_t(LENGTH));
    EXPECT_EQ(stream_seek(s, h, 100, 0), 100);
    EXPECT_EQ(stream_seek(s, h, 5, 7), 100);
    EXPECT_EQ(stream_seek(s, h, 5, -1), 100);
    EXPECT_EQ(stream_seek(s, h, 0, 1), 100);
    EXPECT_EQ(stream_seek(s, h, -40, 1), 60);
    uint8_t b = 0;
    EXPECT_EQ(stream_read(s, h, &b, 1), 1);
    EXPECT_EQ(b, data[60]);
    // Counting back past the start gives a negative position.
    EXPECT_EQ(stream_seek(s, h, int32_t(LENGTH + 5), 2), -5);
}

TEST_P(StreamBackings, NegativePositionReadsNothingAndStays)
{
    stream_seek(s, h, 2, 0);
    EXPECT_EQ(stream_seek(s, h, -3, 1), -1);
    uint8_t buf[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(stream_read(s, h, buf, 4), 0);
    EXPECT_EQ(s.stream_position, -1);
    EXPECT_EQ(buf[0], 0xAA);
}

TEST_P(StreamBackings, PositionArithmeticWrapsWithoutOverflow)
{
    EXPECT_EQ(stream_seek(s, h, INT32_MAX, 0), INT32_MAX);
    EXPECT_EQ(stream_seek(s, h, 1, 1), INT32_MIN);
    EXPECT_EQ(stream_seek(s, h, -1, 1), INT32_MAX);
    uint8_t b;
    EXPECT_EQ(stream_read(s, h, &b, 1), 0);
    EXPECT_EQ(stream_seek(s, h, INT32_MIN, 2), int32_t(LENGTH + 0x80000000u));
}

TEST_P(StreamBackings, CloseReleasesNothing)
{
    stream_seek(s, h, 40, 0);
    EXPECT_EQ(stream_close(s, h), 0);
    EXPECT_EQ(stream_close(s, h), 0);
    uint8_t b = 0;
    EXPECT_EQ(stream_read(s, h, &b, 1), 1);
    EXPECT_EQ(b, data[40]);
}

TEST_P(StreamBackings, SecondOpenStartsAgainAtZero)
{
    uint8_t buf[16];
    stream_read(s, h, buf, 16);
    intptr_t h2 = stream_open(s, second.c_str(), 0, 0);
    ASSERT_NE(h2, STREAM_OPEN_FAILED);
    EXPECT_EQ(s.stream_position, 0);
    uint8_t b = 0;
    ASSERT_EQ(stream_read(s, h2, &b, 1), 1);
    // Memory serves its block whatever the name; files open by name.
    const Bytes& expect = GetParam() == StreamBacking::MEMORY ? data : other;
    EXPECT_EQ(b, expect[0]);
    StreamStat st{};
    stream_size(s, h2, &st);
    EXPECT_EQ(st.size, uint32_t(expect.size()));
}

INSTANTIATE_TEST_SUITE_P(Stream, StreamBackings,
                         ::testing::Values(StreamBacking::MEMORY, StreamBacking::FILE),
                         [](const auto& info) {
                             return info.param == StreamBacking::MEMORY ? "Memory" : "File";
                         });

TEST(StreamFiles, MissingFileFailsAndLeavesNothingToRead)
{
    TempDir dir;
    Bytes data = pattern(100, 3);
    ASSERT_TRUE(write_bytes_file(dir.file("a.ACE"), data));
    ArchiveStream s{};
    stream_bind_files(s);
    intptr_t h = stream_open(s, dir.file("a.ACE").c_str(), 0, 0);
    ASSERT_NE(h, STREAM_OPEN_FAILED);
    EXPECT_EQ(stream_open(s, dir.file("missing.C00").c_str(), 0, 0), STREAM_OPEN_FAILED);
    // The previous file is let go; nothing dangles.
    uint8_t b;
    EXPECT_EQ(stream_read(s, h, &b, 1), 0);
    StreamStat st{7};
    stream_size(s, h, &st);
    EXPECT_EQ(st.size, 0u);
    stream_release(s);
}

TEST(StreamFiles, EmptyFileOpensWithLengthZeroAndReleaseEndsReads)
{
    TempDir dir;
    ASSERT_TRUE(write_bytes_file(dir.file("e.ACE"), {}));
    ASSERT_TRUE(write_bytes_file(dir.file("f.ACE"), pattern(10, 0)));
    ArchiveStream s{};
    stream_bind_files(s);
    intptr_t h = stream_open(s, dir.file("e.ACE").c_str(), 0, 0);
    ASSERT_NE(h, STREAM_OPEN_FAILED);
    uint8_t b;
    EXPECT_EQ(stream_read(s, h, &b, 1), 0);
    h = stream_open(s, dir.file("f.ACE").c_str(), 0, 0);
    ASSERT_NE(h, STREAM_OPEN_FAILED);
    stream_release(s);
    EXPECT_EQ(stream_read(s, h, &b, 1), 0);
}

TEST(StreamBindings, UnboundAndResourceWithoutPayloadFail)
{
    ArchiveStream s{};
    EXPECT_EQ(stream_open(s, "x.ACE", 0, 0), STREAM_OPEN_FAILED);
    // The test program carries no embedded archive.
    stream_bind_resource(s);
    EXPECT_EQ(stream_open(s, "x.ACE", 0, 0), STREAM_OPEN_FAILED);
}

TEST(StreamBindings, EmptyMemoryBlockOpens)
{
    ArchiveStream s{};
    stream_bind_memory(s, nullptr, 0);
    intptr_t h = stream_open(s, "kelvo.ACE", 0, 0);
    EXPECT_NE(h, STREAM_OPEN_FAILED);
    uint8_t b;
    EXPECT_EQ(stream_read(s, h, &b, 1), 0);
}

}  // namespace
