// Volume sets held in memory (the VOLUMES backing): an open serves the
// block of exactly the name asked for and fails for any other, so a job
// walks a set in memory as it would walk files, and a missing volume
// fails the same way.
#include <gtest/gtest.h>

#include "archive/stream.h"
#include "extract_fixture.h"

using namespace extract_test;

TEST(MemoryVolumes, OpenServesTheNamedBlockOnly)
{
    const Bytes first = text("first volume"), second = text("second");
    const MemoryVolume set[] = {{"a.ACE", first.data(), uint32_t(first.size())},
                                {"a.C00", second.data(), uint32_t(second.size())}};
    ArchiveStream s;
    stream_bind_volumes(s, set, 2);
    uint8_t buf[32];
    ASSERT_NE(stream_open(s, "a.C00", STREAM_MODE_BINARY, 0), STREAM_OPEN_FAILED);
    EXPECT_EQ(stream_read(s, 0, buf, sizeof buf), int32_t(second.size()));
    EXPECT_EQ(Bytes(buf, buf + second.size()), second);
    ASSERT_NE(stream_open(s, "a.ACE", STREAM_MODE_BINARY, 0), STREAM_OPEN_FAILED);
    EXPECT_EQ(stream_read(s, 0, buf, 5), 5);
    // No such volume: the open fails and leaves nothing to read.
    for (const char* missing : {"a.C01", "a.ace", "", "a.C00 "}) {
        EXPECT_EQ(stream_open(s, missing, STREAM_MODE_BINARY, 0), STREAM_OPEN_FAILED) << missing;
        EXPECT_EQ(stream_read(s, 0, buf, sizeof buf), 0);
    }
    EXPECT_EQ(stream_open(s, nullptr, STREAM_MODE_BINARY, 0), STREAM_OPEN_FAILED);
}

TEST(MemoryVolumes, JobWalksASetAndStopsAtAMissingVolume)
{
    WorkDir dir;
    const Bytes data = noise(9000, 3);
    VolumeSetWriter writer(MainHeaderFields{}, 0);
    writer.stored_file("before.txt", text("before"));
    writer.split_entry(stored_fields("split.bin", data), data, {2000, 3000, 4000});
    writer.stored_file("after.txt", text("after"));
    const std::vector<Bytes> volumes = writer.finish();
    ASSERT_EQ(volumes.size(), 3u);
    const auto names = volume_names("set.ACE", volumes.size());
    std::vector<MemoryVolume> set;
    for (size_t i = 0; i < volumes.size(); i++)
        set.push_back({names[i].c_str(), volumes[i].data(), uint32_t(volumes[i].size())});

    {
        JobRun job;
        stream_bind_volumes(job.cx.stream, set.data(), uint32_t(set.size()));
        EXPECT_EQ(job.run({"p", "x", "-y", "set"}), STATUS_OK);
        EXPECT_EQ(read_file("split.bin"), data);
        EXPECT_EQ(read_file("after.txt"), text("after"));
        EXPECT_STREQ(job.cx.job.archive_name, "set.C01");
    }
    {
        // The last volume is missing: the split file is not left behind.
        fs::remove_all(dir.work() / "split.bin");
        fs::remove_all(dir.work() / "after.txt");
        JobRun job;
        stream_bind_volumes(job.cx.stream, set.data(), 2);
        EXPECT_EQ(job.run({"p", "x", "-y", "set"}), STATUS_VOLUME_OPEN_FAILED);
        EXPECT_EQ(job.host.messages,
                  (std::vector<std::string>{"Damaged archive", "Error while reading data. Archive seems to be damaged."}));
        EXPECT_EQ(tree(dir.work()), std::set<std::string>{"before.txt"});
    }
}
