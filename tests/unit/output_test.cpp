// Output files and directories: the leading parts made for a path, what
// stands at a path removed or kept, and the file opened in its place.
#include <gtest/gtest.h>

#include <memory>

#include "archive/header.h"
#include "extract/output.h"
#include "extract/write_behind.h"
#include "extract_fixture.h"

using namespace extract_test;

namespace {

// Plays the file system from a set of existing paths and records the
// operations asked for, so the exact order can be checked.
class ScriptedFiles : public TestHost {
public:
    std::set<std::string> existing;
    std::set<std::string> unmakeable;
    std::vector<std::string> calls;

    bool path_exists(const char* path) override
    {
        calls.push_back(std::string("exists ") + path);
        return existing.count(path) != 0;
    }
    bool make_directory(const char* path) override
    {
        calls.push_back(std::string("mkdir ") + path);
        if (unmakeable.count(path) || existing.count(path))
            return false;
        existing.insert(path);
        return true;
    }
    bool remove_directory(const char*) override { return false; }
    bool delete_file(const char*) override { return false; }
    int32_t open_output(const char* path) override
    {
        calls.push_back(std::string("open ") + path);
        return 3;
    }
};

struct Scripted {
    ScriptedFiles host;
    JobContext cx;
    Scripted() { cx.host = &host; }
};

}  // namespace

TEST(MakeParentDirs, EachLeadingPartInOrder)
{
    {
        Scripted s;
        make_parent_dirs(s.cx, "a\\b\\c.txt");
        EXPECT_EQ(s.host.calls, (std::vector<std::string>{"exists a", "mkdir a", "exists a\\b", "mkdir a\\b"}));
        EXPECT_EQ(current_status(s.cx), STATUS_OK);
    }
    {
        Scripted s;
        s.host.existing = {"a"};
        make_parent_dirs(s.cx, "a\\\\b");  // the second leading part is "a\"
        EXPECT_EQ(s.host.calls, (std::vector<std::string>{"exists a", "exists a\\", "mkdir a\\"}));
    }
    {
        // A leading backslash is never a separator.
        Scripted s;
        make_parent_dirs(s.cx, "\\x\\y");
        EXPECT_EQ(s.host.calls, (std::vector<std::string>{"exists \\x", "mkdir \\x"}));
    }
    for (const char* nothing : {"", "file.txt", "\\"}) {
        Scripted s;
        make_parent_dirs(s.cx, nothing);
        EXPECT_TRUE(s.host.calls.empty()) << nothing;
    }
}

TEST(MakeParentDirs, FailureIsRecordedAndTheRestStillTried)
{
    Scripted s;
    s.host.unmakeable = {"a"};
    make_parent_dirs(s.cx, "a\\b\\c");
    EXPECT_EQ(current_status(s.cx), STATUS_WRITE_FAILED);
    EXPECT_EQ(s.host.calls, (std::vector<std::string>{"exists a", "mkdir a", "exists a\\b", "mkdir a\\b"}));
    EXPECT_TRUE(s.host.messages.empty());
}

TEST(CreateOutput, ExistenceIsTestedBeforeAnythingIsMade)
{
    Scripted s;
    EXPECT_EQ(create_output(s.cx, "x\\y\\f", 0x20), 3);
    EXPECT_EQ(s.host.calls, (std::vector<std::string>{"exists x\\y\\f", "exists x", "mkdir x", "exists x\\y",
                                                      "mkdir x\\y", "open x\\y\\f"}));
}

TEST(CreateOutput, NothingInTheWay)
{
    WorkDir dir;
    JobRun job;
    int32_t fd = create_output(job.cx, "plain.txt", 0x20);
    ASSERT_GE(fd, 0);
    job.host.close_output(fd);
    EXPECT_TRUE(fs::is_regular_file("plain.txt"));

    fd = create_output(job.cx, "x\\y\\f", 0x20);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(job.host.write_output(fd, "abc", 3), 3);
    job.host.close_output(fd);
    EXPECT_EQ(read_file(host_path(dir.work(), "x\\y\\f")), text("abc"));
    EXPECT_EQ(current_status(job.cx), STATUS_OK);
}

TEST(CreateOutput, OpeningNeverReusesWhatExists)
{
    // Whatever stood at the path was removed before the open; something
    // that appeared in between is not written through.
    WorkDir dir;
    write_file("planted.txt", text("planted"));
    JobRun job;
    EXPECT_LT(job.host.open_output("planted.txt"), 0);
    EXPECT_EQ(read_file("planted.txt"), text("planted"));
}

TEST(CreateOutput, FileWhereAFolderShouldBe)
{
    WorkDir dir;
    write_file("x", text("file"));
    JobRun job;
    EXPECT_EQ(create_output(job.cx, "x\\y\\f", 0x20), -1);
    EXPECT_EQ(current_status(job.cx), STATUS_WRITE_FAILED);
    EXPECT_EQ(tree(dir.work()), std::set<std::string>{"x"});
    EXPECT_TRUE(job.host.messages.empty());
}

TEST(CreateOutput, WhatStandsAtTheFilePathIsReplaced)
{
    WorkDir dir;
    write_file("old.txt", text("old and longer"));
    fs::create_directory("emptydir");
    JobRun job;
    for (const char* path : {"old.txt", "emptydir"}) {
        int32_t fd = create_output(job.cx, path, 0x20);
        ASSERT_GE(fd, 0) << path;
        job.host.close_output(fd);
        EXPECT_TRUE(fs::is_regular_file(path));
        EXPECT_EQ(fs::file_size(path), 0u) << path;
    }
    EXPECT_TRUE(job.host.messages.empty());
}

TEST(CreateOutput, WhatCannotBeRemovedIsLeftWithAMessage)
{
    WorkDir dir;
    fs::create_directories("full/inner");
    write_file("locked.txt", text("keep"));
    fs::permissions("locked.txt", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    JobRun job;
    for (const char* path : {"full", "locked.txt"}) {
        job.host.messages.clear();
        EXPECT_EQ(create_output(job.cx, path, 0x20), -1) << path;
        EXPECT_EQ(job.host.messages, std::vector<std::string>{"Could not delete file or directory. Access denied."});
        EXPECT_EQ(current_status(job.cx), STATUS_OK);
    }
    EXPECT_TRUE(fs::is_directory("full/inner"));
    EXPECT_EQ(read_file("locked.txt"), text("keep"));
    EXPECT_EQ(remove_existing(job.cx, "locked.txt"), 1);
    write_file("loose.txt", text("x"));
    EXPECT_EQ(remove_existing(job.cx, "loose.txt"), 0);
    EXPECT_FALSE(fs::exists("loose.txt"));
}

TEST(CreateOutput, DirectoryEntries)
{
    WorkDir dir;
    JobRun job;
    EXPECT_EQ(create_output(job.cx, "a\\b", ATTR_DIRECTORY), -1);
    EXPECT_TRUE(fs::is_directory("a/b"));
    // Already there, as a folder or as a file: left alone, quietly.
    write_file("f", text("file"));
    EXPECT_EQ(create_output(job.cx, "a\\b", ATTR_DIRECTORY | 0x20), -1);
    EXPECT_EQ(create_output(job.cx, "f", ATTR_DIRECTORY), -1);
    EXPECT_EQ(read_file("f"), text("file"));
    EXPECT_EQ(tree(dir.work()), (std::set<std::string>{"a/", "a/b/", "f"}));
    EXPECT_TRUE(job.host.messages.empty());
    EXPECT_EQ(current_status(job.cx), STATUS_OK);
}

TEST(CreateOutput, OrdinaryPermissionsAndNoLinkFollowed)
{
#ifdef _WIN32
    GTEST_SKIP() << "permission bits and symbolic links are POSIX matters";
#else
    WorkDir dir;
    JobRun job;
    int32_t fd = create_output(job.cx, "new.bin", 0x20);
    ASSERT_GE(fd, 0);
    job.host.close_output(fd);
    auto perms = fs::status("new.bin").permissions();
    EXPECT_EQ(perms & fs::perms::owner_exec, fs::perms::none);
    EXPECT_NE(perms & fs::perms::owner_write, fs::perms::none);

    // A link planted at the output path is removed, its target untouched.
    write_file(dir.parent() / "target.txt", text("precious"));
    fs::create_symlink(dir.parent() / "target.txt", "link.txt");
    fs::create_symlink(dir.parent() / "nowhere", "dangling.txt");
    for (const char* path : {"link.txt", "dangling.txt"}) {
        fd = create_output(job.cx, path, 0x20);
        ASSERT_GE(fd, 0) << path;
        EXPECT_EQ(job.host.write_output(fd, "new", 3), 3);
        job.host.close_output(fd);
        EXPECT_FALSE(fs::is_symlink(path));
        EXPECT_EQ(read_file(path), text("new"));
    }
    EXPECT_EQ(read_file(dir.parent() / "target.txt"), text("precious"));
    EXPECT_FALSE(fs::exists(dir.parent() / "nowhere"));
#endif
}

// The output held back and written in blocks, on the caller's thread or on
// a writer thread: what reaches the target, and where a failed block lands,
// mid-file or at the close.
TEST(BatchedOutput, BlocksOfSixtyFourKibAndFailuresOnTheirOwnEntry)
{
    for (bool behind : {false, true}) {
        SCOPED_TRACE(behind ? "write-behind" : "batched");
        // huge.bin takes more blocks than the writer thread holds at once.
        const Bytes first = noise(5000, 1), big = noise(150000, 2), last = noise(3000, 3),
                    huge = noise(20 * 65536 + 100, 4);
        ArchiveWriter w;
        w.main_header();
        w.stored_file("first.txt", first);
        w.stored_file("dir\\big.bin", big);
        w.stored_file("last.txt", last);
        w.stored_file("huge.bin", huge);
        const Bytes archive = w.take();

        class BlockHost : public ExtractHost {
        public:
            std::vector<uint32_t> blocks;
            int fail_block = -1;
            int32_t write_output(int32_t fd, const void* data, uint32_t count) override
            {
                blocks.push_back(count);
                if (int(blocks.size()) - 1 == fail_block)
                    return -1;
                return ExtractHost::write_output(fd, data, count);
            }
        };
        // Blocks: 0 first.txt (at its close), 1 and 2 big.bin, 3 big.bin's
        // rest at its close, 4 last.txt, 5 to 25 huge.bin.
        struct Case {
            int fail_block;
            int32_t status;
            std::set<std::string> files;
            std::vector<EntryResult> results;
        } cases[] = {
            {-1, STATUS_OK, {"first.txt", "dir/big.bin", "last.txt", "huge.bin"},
             {EntryResult::WRITTEN, EntryResult::WRITTEN, EntryResult::WRITTEN, EntryResult::WRITTEN}},
            {23, STATUS_WRITE_FAILED, {"first.txt", "dir/big.bin", "last.txt"},
             {EntryResult::WRITTEN, EntryResult::WRITTEN, EntryResult::WRITTEN, EntryResult::FAILED}},
            {2, STATUS_WRITE_FAILED, {"first.txt"}, {EntryResult::WRITTEN, EntryResult::FAILED}},
            {3, STATUS_WRITE_FAILED, {"first.txt"}, {EntryResult::WRITTEN, EntryResult::FAILED}},
            {0, STATUS_WRITE_FAILED, {}, {EntryResult::FAILED}},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.fail_block);
            WorkDir dir;
            BlockHost target;
            target.fail_block = c.fail_block;
            JobContext cx;
            std::unique_ptr<JobHost> host;
            if (behind)
                host = std::make_unique<WriteBehindHost>(target, cx);
            else
                host = std::make_unique<BatchedOutputHost>(target, cx);
            cx.host = host.get();
            Bytes memory = archive;
            stream_bind_memory(cx.stream, memory.data(), uint32_t(memory.size()));
            const char* argv[] = {"p", "x", "arc"};
            extract_job_run(cx, 3, argv);

            EXPECT_EQ(current_status(cx), c.status);
            std::set<std::string> files;
            for (const std::string& p : tree(dir.work()))
                if (p.back() != '/')
                    files.insert(p);
            EXPECT_EQ(files, c.files);
            std::vector<EntryResult> results;
            for (const EntryEvent& e : target.ended)
                results.push_back(e.result);
            EXPECT_EQ(results, c.results);
            EXPECT_TRUE(target.messages.empty());
            if (c.fail_block < 0) {
                std::vector<uint32_t> blocks{5000, 65536, 65536, 150000 - 2 * 65536, 3000};
                blocks.insert(blocks.end(), 20, 65536);
                blocks.push_back(100);
                EXPECT_EQ(target.blocks, blocks);
                EXPECT_EQ(read_file("first.txt"), first);
                EXPECT_EQ(read_file("dir/big.bin"), big);
                EXPECT_EQ(read_file("last.txt"), last);
                EXPECT_EQ(read_file("huge.bin"), huge);
            }
        }
    }
}
