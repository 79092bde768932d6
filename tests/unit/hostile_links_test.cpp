// Symbolic (and hard) links at output paths. A link standing where a file
// is to be written is removed like any file and never written through; a
// link planted between that removal and the open makes the open fail
// rather than follow it; and the clean-up after a failure removes a link,
// never what it points to.
#include <gtest/gtest.h>

#include "extract_fixture.h"

using namespace extract_test;

#ifndef _WIN32  // links need privileges there, and the open has no O_NOFOLLOW to prove

namespace {

const Bytes PRECIOUS = text("precious contents outside the folder");
const Bytes ENTRY = text("what the archive holds");

// Everything below dir with its contents (directories as "/"), for
// comparing a folder before and after.
std::map<std::string, Bytes> snapshot(const fs::path& dir)
{
    std::map<std::string, Bytes> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const std::string rel = fs::relative(e.path(), dir).generic_string();
        const fs::file_status st = fs::symlink_status(e.path());
        if (fs::is_symlink(st))
            out[rel] = text("-> " + fs::read_symlink(e.path()).string());
        else if (fs::is_directory(st))
            out[rel] = text("/");
        else
            out[rel] = read_file(e.path());
    }
    return out;
}

// The outside world the links point into: a file, a read-only file and a
// folder with a file, all beside the work folder.
struct Outside {
    fs::path file, locked, folder;

    explicit Outside(const fs::path& parent)
        : file(parent / "outside.txt"), locked(parent / "locked.txt"), folder(parent / "outside_dir")
    {
        write_file(file, PRECIOUS);
        write_file(locked, PRECIOUS);
        fs::permissions(locked, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
        fs::create_directory(folder);
        write_file(folder / "inside.txt", PRECIOUS);
    }
};

Bytes archive_of(const std::vector<std::string>& names)
{
    ArchiveWriter w;
    w.main_header();
    for (const auto& n : names)
        w.stored_file(n, ENTRY);
    return w.take();
}

}  // namespace

TEST(HostileLinks, LinkAtTheOutputPathIsReplacedNotFollowed)
{
    WorkDir dir;
    Outside outside(dir.parent());
    fs::create_symlink("../outside.txt", "relative.txt");
    fs::create_symlink(outside.file, "absolute.txt");
    fs::create_symlink("../missing.txt", "dangling.txt");
    fs::create_symlink(outside.folder, "to_dir.txt");
    fs::create_symlink(outside.locked, "to_locked.txt");
    fs::create_symlink("loop.txt", "loop.txt");  // a link to itself
    const auto before = snapshot(dir.parent() / "outside_dir");

    const std::vector<std::string> names = {"relative.txt", "absolute.txt", "dangling.txt",
                                            "to_dir.txt",   "to_locked.txt", "loop.txt"};
    JobRun job;
    EXPECT_EQ(job.run_memory(archive_of(names), {"p", "x", "arc"}), STATUS_OK);
    EXPECT_TRUE(job.host.messages.empty());
    for (const auto& n : names) {
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(n))) << n << " is still a link";
        EXPECT_EQ(read_file(n), ENTRY) << n;
    }
    EXPECT_EQ(read_file(outside.file), PRECIOUS);
    EXPECT_EQ(read_file(outside.locked), PRECIOUS);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.parent() / "missing.txt")));
    EXPECT_EQ(snapshot(dir.parent() / "outside_dir"), before);
}

TEST(HostileLinks, LinkPlantedBeforeTheOpenIsNotFollowed)
{
    // The existence test, the removal and the open are separate steps: a
    // link planted just before the open (after the removal, or where
    // nothing stood) must make the open fail, not write through it.
    enum class Plant { SYMLINK_TO_FILE, DANGLING_SYMLINK, HARD_LINK };
    for (bool something_stood_there : {false, true}) {
        for (Plant plant : {Plant::SYMLINK_TO_FILE, Plant::DANGLING_SYMLINK, Plant::HARD_LINK}) {
            SCOPED_TRACE(testing::Message() << "removed first: " << something_stood_there << ", plant " << int(plant));
            WorkDir dir;
            Outside outside(dir.parent());
            if (something_stood_there)
                write_file("target.txt", text("old"));

            class Planter : public ExtractHost {
            public:
                Plant plant;
                fs::path outside_file, missing;
                int planted = 0;
                int deleted = 0;
                bool delete_file(const char* path) override
                {
                    bool ok = ExtractHost::delete_file(path);
                    deleted += ok;
                    return ok;
                }
                int32_t open_output(const char* path) override
                {
                    if (std::string(path) == "target.txt") {
                        planted++;
                        switch (plant) {
                        case Plant::SYMLINK_TO_FILE: fs::create_symlink(outside_file, path); break;
                        case Plant::DANGLING_SYMLINK: fs::create_symlink(missing, path); break;
                        case Plant::HARD_LINK: fs::create_hard_link(outside_file, path); break;
                        }
                    }
                    return ExtractHost::open_output(path);
                }
            };
            JobRun job;
            Planter host;
            host.plant = plant;
            host.outside_file = outside.file;
            host.missing = dir.parent() / "created_through_link.txt";
            job.cx.host = &host;
            job.memory = archive_of({"before.txt", "target.txt", "after.txt"});
            stream_bind_memory(job.cx.stream, job.memory.data(), uint32_t(job.memory.size()));
            const char* argv[] = {"p", "x", "arc"};
            extract_job_run(job.cx, 3, argv);

            EXPECT_EQ(host.planted, 1);
            EXPECT_EQ(host.deleted, something_stood_there ? 1 : 0);
            EXPECT_EQ(read_file(outside.file), PRECIOUS);
            EXPECT_FALSE(fs::exists(fs::symlink_status(host.missing)));
            // The entries around it are written as usual.
            EXPECT_EQ(read_file("before.txt"), ENTRY);
            EXPECT_EQ(read_file("after.txt"), ENTRY);
        }
    }
}

TEST(HostileLinks, CleanUpAfterAFailureRemovesALinkNotItsTarget)
{
    // While a file is written its name is swapped for a link to a file
    // outside, and then the disk fills: the partial file's removal unlinks
    // the name, and the file outside stays.
    WorkDir dir;
    Outside outside(dir.parent());
    class Swapper : public ExtractHost {
    public:
        fs::path outside_file;
        int32_t write_output(int32_t, const void*, uint32_t) override
        {
            fs::remove("victim.bin");
            fs::create_symlink(outside_file, "victim.bin");
            return 0;  // disk full
        }
    };
    JobRun job;
    Swapper host;
    host.outside_file = outside.file;
    job.cx.host = &host;
    job.memory = archive_of({"victim.bin"});
    stream_bind_memory(job.cx.stream, job.memory.data(), uint32_t(job.memory.size()));
    const char* argv[] = {"p", "x", "arc"};
    extract_job_run(job.cx, 3, argv);

    EXPECT_EQ(current_status(job.cx), STATUS_WRITE_FAILED);
    EXPECT_FALSE(fs::exists(fs::symlink_status("victim.bin")));
    EXPECT_EQ(read_file(outside.file), PRECIOUS);
}

#endif  // _WIN32
