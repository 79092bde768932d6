// Faults from outside the archive, injected through the host: a disk that
// fills in the middle of a file, a destination that takes nothing, an
// interrupt at every point where the engine meets the world, and a volume
// that vanishes between its existence test and its open. Whatever fails,
// the files finished before stay whole and no partial file stays.
#include <gtest/gtest.h>

#include <algorithm>

#include "archive/header.h"
#include "compress/packer.h"
#include "extract_fixture.h"

using namespace extract_test;

namespace {

struct SourceFile {
    std::string name;  // archive name, backslashes
    Bytes data;
};

// Files of a few portions each (2048-byte portions; the decoder delivers
// 1789 to 2047 bytes per call), compressible but not trivially.
std::vector<SourceFile> source_files()
{
    std::vector<SourceFile> files;
    auto make = [](size_t size, uint32_t seed) {
        Bytes base = noise(size / 8 + 1, seed);
        Bytes b;
        while (b.size() < size)
            b.insert(b.end(), base.begin(), base.begin() + std::ptrdiff_t(std::min(base.size(), size - b.size())));
        for (size_t i = 0; i < b.size(); i += 97)
            b[i] ^= uint8_t(i);
        return b;
    };
    files.push_back({"one.txt", make(9000, 1)});
    files.push_back({"dir\\two.bin", make(12000, 2)});
    files.push_back({"three.dat", make(15000, 3)});
    files.push_back({"dir\\sub\\four.txt", make(7000, 4)});
    return files;
}

Bytes packed_archive(const std::vector<SourceFile>& files, bool solid, bool with_directory_entry = false)
{
    std::vector<PackItem> items;
    for (const auto& f : files) {
        PackItem item;
        item.name = f.name;
        item.data = f.data;
        items.push_back(item);
    }
    if (with_directory_entry) {
        PackItem d;
        d.name = "empty_dir";
        d.directory = true;
        items.insert(items.begin() + 1, d);
        items[0].comment = "a comment that is decoded and then forgotten";
    }
    PackOptions options;
    options.solid = solid;
    options.dict_bits = 16;
    options.level = 2;
    PackResult r = pack_archive(items, options);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.volumes.size(), 1u);
    return r.volumes.empty() ? Bytes{} : r.volumes[0];
}

std::string on_disk(const std::string& archive_name, bool strip_paths)
{
    std::string name = archive_name;
    if (strip_paths && name.rfind('\\') != std::string::npos)
        name = name.substr(name.rfind('\\') + 1);
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

// Files present below dir that are not directories.
std::set<std::string> files_in(const fs::path& dir)
{
    std::set<std::string> out;
    for (const auto& p : tree(dir)) {
        if (p.back() != '/')
            out.insert(p);
    }
    return out;
}

}  // namespace

TEST(FaultDiskFull, FileBeingWrittenIsRemovedAndEarlierOnesStayWhole)
{
    const auto files = source_files();
    for (bool solid : {true, false}) {
        const Bytes archive = packed_archive(files, solid);
        for (bool strip_paths : {false, true}) {
            // The disk fills: in the middle of the third file, exactly at
            // its start, and with an error instead of a short count.
            const int64_t before_third = int64_t(files[0].data.size() + files[1].data.size());
            struct Case {
                int64_t budget;
                bool error;
            };
            for (const Case& c : {Case{before_third + 5000, false}, Case{before_third, false}, Case{before_third + 100, true}}) {
                SCOPED_TRACE(testing::Message() << "solid " << solid << ", strip " << strip_paths << ", budget "
                                                << c.budget << ", error " << c.error);
                WorkDir dir;
                class FillingHost : public ExtractHost {
                public:
                    bool error = false;
                    int removals = 0;
                    int32_t write_output(int32_t fd, const void* data, uint32_t count) override
                    {
                        if (error && write_budget >= 0 && int64_t(count) > write_budget)
                            return -1;
                        return ExtractHost::write_output(fd, data, count);
                    }
                    bool remove_output(const char* path) override
                    {
                        removals++;
                        return ExtractHost::remove_output(path);
                    }
                };
                JobRun job;
                FillingHost host;
                host.write_budget = c.budget;
                host.error = c.error;
                job.cx.host = &host;
                job.memory = archive;
                stream_bind_memory(job.cx.stream, job.memory.data(), uint32_t(job.memory.size()));
                const char* argv[] = {"p", strip_paths ? "e" : "x", "arc"};
                extract_job_run(job.cx, 3, argv);

                EXPECT_EQ(current_status(job.cx), STATUS_WRITE_FAILED);
                EXPECT_TRUE(host.messages.empty());  // no "CRC error" on top
                EXPECT_EQ(host.removals, 1);
                EXPECT_EQ(files_in(dir.work()),
                          (std::set<std::string>{on_disk(files[0].name, strip_paths), on_disk(files[1].name, strip_paths)}));
                for (int i = 0; i < 2; i++)
                    EXPECT_EQ(read_file(on_disk(files[size_t(i)].name, strip_paths)), files[size_t(i)].data) << files[size_t(i)].name;
                // The job stopped at the failing file.
                EXPECT_EQ(host.entries.size(), 3u);
            }
        }
    }
}

TEST(FaultReadOnlyDestination, NothingIsWrittenAndNothingBreaks)
{
    // A destination that takes nothing (a read-only file system): no
    // directory can be made, no file opened or removed.
    class ReadOnlyHost : public ExtractHost {
    public:
        int writes = 0;
        bool make_directory(const char*) override { return false; }
        bool remove_directory(const char*) override { return false; }
        bool delete_file(const char*) override { return false; }
        int32_t open_output(const char*) override { return -1; }
        int32_t write_output(int32_t, const void*, uint32_t) override
        {
            writes++;
            return -1;
        }
    };
    const auto files = source_files();
    for (bool solid : {true, false}) {
        SCOPED_TRACE(solid ? "solid" : "plain");
        WorkDir dir;
        JobRun job;
        ReadOnlyHost host;
        job.cx.host = &host;
        job.memory = packed_archive(files, solid, true);
        stream_bind_memory(job.cx.stream, job.memory.data(), uint32_t(job.memory.size()));
        const char* argv[] = {"p", "x", "arc"};
        extract_job_run(job.cx, 3, argv);
        // "dir\two.bin" needs a directory that cannot be made: the run
        // stops there with the write failure.
        EXPECT_EQ(current_status(job.cx), STATUS_WRITE_FAILED);
        EXPECT_EQ(host.writes, 0);
        EXPECT_TRUE(tree(dir.work()).empty());
        EXPECT_EQ(host.outstanding, 0);
    }
}

TEST(FaultReadOnlyDestination, RealReadOnlyFolder)
{
    WorkDir dir;
    fs::create_directory("ro");
    fs::permissions("ro", fs::perms::owner_read | fs::perms::owner_exec, fs::perm_options::replace);
    {
        // Privileged users write anyway; then there is nothing to test.
        std::ofstream probe("ro/probe");
        if (probe) {
            probe.close();
            fs::remove("ro/probe");
            fs::permissions("ro", fs::perms::owner_all, fs::perm_options::replace);
            GTEST_SKIP() << "permissions are not enforced for this user";
        }
    }
    const auto files = source_files();
    Bytes archive = ArchiveWriter()
                        .main_header()
                        .stored_file("ro\\top.txt", files[0].data)
                        .stored_file("ro\\sub\\inner.txt", files[1].data)
                        .take();
    JobRun job;
    EXPECT_EQ(job.run_memory(archive, {"p", "x", "arc"}), STATUS_WRITE_FAILED);
    fs::permissions("ro", fs::perms::owner_all, fs::perm_options::replace);
    EXPECT_EQ(tree(dir.work()), std::set<std::string>{"ro/"});
}

namespace {

// Calls the interrupt handler at the fire_at-th point where the engine
// meets the world (each host call counts twice: on the way in and on the
// way out), and records whether the store landed in a registered job.
class InterruptingHost : public ExtractHost {
public:
    JobContext* cx = nullptr;
    int points = 0;
    int fire_at = -1;
    bool fired = false;
    bool landed = false;

    void tick()
    {
        if (points++ == fire_at) {
            fired = true;
            on_interrupt(2);
            landed = current_status(*cx) == STATUS_INTERRUPTED;
        }
    }
    struct Around {
        InterruptingHost& h;
        explicit Around(InterruptingHost& host) : h(host) { h.tick(); }
        ~Around() { h.tick(); }
    };

    void show_message(const char* t) override { Around a(*this); ExtractHost::show_message(t); }
    int read_key() override { Around a(*this); return ExtractHost::read_key(); }
    void write_stdout_char(int c) override { Around a(*this); ExtractHost::write_stdout_char(c); }
    void flush_stdout() override { Around a(*this); ExtractHost::flush_stdout(); }
    void volume_prompt(const char* n) override { Around a(*this); ExtractHost::volume_prompt(n); }
    bool path_exists(const char* p) override { Around a(*this); return ExtractHost::path_exists(p); }
    bool make_directory(const char* p) override { Around a(*this); return ExtractHost::make_directory(p); }
    bool remove_directory(const char* p) override { Around a(*this); return ExtractHost::remove_directory(p); }
    bool delete_file(const char* p) override { Around a(*this); return ExtractHost::delete_file(p); }
    int32_t open_output(const char* p) override { Around a(*this); return ExtractHost::open_output(p); }
    int32_t write_output(int32_t fd, const void* d, uint32_t n) override
    {
        Around a(*this);
        return ExtractHost::write_output(fd, d, n);
    }
    void close_output(int32_t fd) override { Around a(*this); ExtractHost::close_output(fd); }
    bool remove_output(const char* p) override { Around a(*this); return ExtractHost::remove_output(p); }
    void* allocate(size_t size) override { Around a(*this); return ExtractHost::allocate(size); }
    void release(void* block) override { Around a(*this); ExtractHost::release(block); }
    void on_entry(JobContext& c, const char* n) override { Around a(*this); ExtractHost::on_entry(c, n); }
    void on_data(JobContext& c, uint32_t n) override { Around a(*this); ExtractHost::on_data(c, n); }
    void on_entry_end(JobContext& c, const EntryEvent& e) override { Around a(*this); ExtractHost::on_entry_end(c, e); }
    void on_walk_end(JobContext& c, const WalkEvent& e) override { Around a(*this); ExtractHost::on_walk_end(c, e); }
};

struct InterruptRun {
    int32_t status;
    bool fired, landed;
    int points;
};

InterruptRun run_interrupted(const Bytes& archive, const char* command, int fire_at)
{
    JobRun job;
    InterruptingHost host;
    host.cx = &job.cx;
    host.fire_at = fire_at;
    job.cx.host = &host;
    job.memory = archive;
    stream_bind_memory(job.cx.stream, job.memory.data(), uint32_t(job.memory.size()));
    const char* argv[] = {"p", command, "arc"};
    extract_job_run(job.cx, 3, argv);
    EXPECT_EQ(host.outstanding, 0);
    return {current_status(job.cx), host.fired, host.landed, host.points};
}

}  // namespace

TEST(FaultInterrupt, AtEveryPointFinishedFilesStayAndThePartialOneGoes)
{
    const auto files = source_files();
    for (bool solid : {true, false}) {
        SCOPED_TRACE(solid ? "solid" : "plain");
        const Bytes archive = packed_archive(files, solid, true);
        int points;
        {
            WorkDir dir;
            InterruptRun dry = run_interrupted(archive, "x", -1);
            ASSERT_EQ(dry.status, STATUS_OK);
            points = dry.points;
        }
        ASSERT_GT(points, 40);
        int stopped = 0;
        for (int k = 0; k < points; k++) {
            SCOPED_TRACE(testing::Message() << "interrupt at point " << k << " of " << points);
            WorkDir dir;
            InterruptRun r = run_interrupted(archive, "x", k);
            ASSERT_TRUE(r.fired);
            if (r.landed) {
                // Once stored, nothing takes the interrupt back.
                EXPECT_EQ(r.status, STATUS_INTERRUPTED);
                stopped++;
            } else {
                // Before the handler is registered the signal finds no job.
                EXPECT_EQ(r.status, STATUS_OK);
            }
            // The files on disk are whole, and they are the first ones.
            const auto present = files_in(dir.work());
            size_t whole = 0;
            while (whole < files.size() && present.count(on_disk(files[whole].name, false)))
                whole++;
            EXPECT_EQ(present.size(), whole) << "a file is missing before another that exists";
            for (size_t i = 0; i < whole; i++)
                EXPECT_EQ(read_file(on_disk(files[i].name, false)), files[i].data) << files[i].name;
            if (r.status == STATUS_OK) {
                EXPECT_EQ(whole, files.size());
            }
        }
        // Nearly every point is inside the registered job.
        EXPECT_GT(stopped, points - 12);
    }
}

TEST(FaultInterrupt, TestAndListWriteNothingWhereverTheyStop)
{
    const Bytes archive = packed_archive(source_files(), true, true);
    for (const char* command : {"t", "l"}) {
        int points;
        {
            WorkDir dir;
            points = run_interrupted(archive, command, -1).points;
        }
        for (int k = 0; k < points; k++) {
            SCOPED_TRACE(testing::Message() << command << " interrupted at point " << k);
            WorkDir dir;
            InterruptRun r = run_interrupted(archive, command, k);
            EXPECT_EQ(r.status, r.landed ? STATUS_INTERRUPTED : STATUS_OK);
            EXPECT_TRUE(tree(dir.work()).empty());
        }
    }
}

TEST(FaultVolumes, VolumeVanishesBetweenItsTestAndItsOpen)
{
    // Two files before the split one; the next volume is there when asked
    // about and gone (or replaced by junk) when opened.
    const auto files = source_files();
    VolumeSetWriter set(MainHeaderFields{}, 0);
    set.stored_file(files[0].name, files[0].data);
    set.stored_file(files[2].name, files[2].data);
    set.split_entry(stored_fields("split.bin", files[1].data), files[1].data, {5000, files[1].data.size() - 5000});
    const std::vector<Bytes> volumes = set.finish();
    ASSERT_EQ(volumes.size(), 2u);

    enum class Then { VANISHES, BECOMES_JUNK };
    struct Case {
        Then then;
        bool prompt;  // without -y: asked once, answered yes
    };
    for (const Case& c : {Case{Then::VANISHES, false}, Case{Then::VANISHES, true}, Case{Then::BECOMES_JUNK, false},
                          Case{Then::BECOMES_JUNK, true}}) {
        SCOPED_TRACE(testing::Message() << "junk " << (c.then == Then::BECOMES_JUNK) << ", prompt " << c.prompt);
        WorkDir dir;
        ASSERT_TRUE(write_volume_files("set.ACE", volumes));
        class VanishingHost : public ExtractHost {
        public:
            Then then;
            int vanish_on_test = 1;  // the existence test after which it goes
            int tests = 0;
            bool path_exists(const char* path) override
            {
                bool present = ExtractHost::path_exists(path);
                if (std::string(path) == "set.C00" && ++tests == vanish_on_test) {
                    if (then == Then::VANISHES)
                        fs::remove("set.C00");
                    else
                        write_file("set.C00", noise(3000, 5));
                }
                return present;
            }
        };
        JobRun job;
        VanishingHost host;
        host.then = c.then;
        if (c.prompt) {
            host.keys = {'y'};
            host.vanish_on_test = 2;  // asked (present), answered, tested again, then opened
        }
        job.cx.host = &host;
        stream_bind_files(job.cx.stream);
        std::vector<std::string> args = {"p", "x"};
        if (!c.prompt)
            args.push_back("-y");
        args.push_back("set");
        EXPECT_EQ(job.run(args), STATUS_VOLUME_OPEN_FAILED);
        ASSERT_EQ(host.messages.size(), 2u);
        EXPECT_EQ(host.messages[0], c.then == Then::VANISHES ? "Damaged archive" : "Archive data is damaged");
        EXPECT_EQ(host.messages[1], "Error while reading data. Archive seems to be damaged.");
        EXPECT_EQ(host.prompts.size(), c.prompt ? 1u : 0u);
        // The split file is gone; the two before it are whole.
        std::set<std::string> expected = {"one.txt", "three.dat", "set.ACE"};
        if (c.then == Then::BECOMES_JUNK)
            expected.insert("set.C00");
        EXPECT_EQ(files_in(dir.work()), expected);
        EXPECT_EQ(read_file("one.txt"), files[0].data);
        EXPECT_EQ(read_file("three.dat"), files[2].data);
    }
}

#ifndef _WIN32
// (Windows refuses to shorten a file that another handle reads.)
TEST(FaultArchiveCutShort, FileShortenedWhileReadEndsCleanly)
{
    // Another program cuts the archive short while the job reads it (a
    // mapped file would fault here). Stored entries read what is left and
    // fail their check; packed ones decode stale input and fail theirs;
    // the files finished before stay whole, and nothing crashes or hangs.
    // The second file is made far longer than the reader's read-ahead, so
    // that the cut lies past the bytes it already holds.
    auto files = source_files();
    files[1].data = noise(150000, 7);
    files[1].data.resize(300000);
    for (size_t i = 150000; i < files[1].data.size(); i++)
        files[1].data[i] = uint8_t(files[1].data[i - 150000] ^ (i % 251 == 0));
    for (bool packed : {false, true}) {
        SCOPED_TRACE(packed ? "packed" : "stored");
        WorkDir dir;
        Bytes archive;
        if (packed) {
            archive = packed_archive(files, false, true);
        } else {
            ArchiveWriter w;
            w.main_header();
            for (const auto& f : files)
                w.stored_file(f.name, f.data);
            archive = w.take();
        }
        write_file("cut.ACE", archive);
        class CuttingHost : public ExtractHost {
        public:
            void on_entry(JobContext& c, const char* name) override
            {
                // As the second file begins, its data is cut off 100 bytes
                // in: the archive ends there.
                if (name && std::string(name) == "dir\\two.bin")
                    fs::resize_file("cut.ACE", uint64_t(c.stream.stream_position) + 100);
                ExtractHost::on_entry(c, name);
            }
        };
        CuttingHost host;
        JobRun job;
        job.cx.host = &host;
        stream_bind_files(job.cx.stream);
        const int32_t status = job.run({"p", "x", "cut"});
        EXPECT_EQ(status, STATUS_CRC_ERROR);
        EXPECT_EQ(read_file("one.txt"), files[0].data);
        ASSERT_FALSE(host.entries.empty());
        EXPECT_EQ(host.entries.back(), "dir\\two.bin");  // the walk ends at the cut
        EXPECT_EQ(host.outstanding, 0);
    }
}
#endif
