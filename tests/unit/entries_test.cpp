// The entry loops: x, e, t and l over whole archives, each failure row of
// the extract loop, and names that would land outside the folder.
#include <gtest/gtest.h>

#include "archive/header.h"
#include "compress/packer.h"
#include "extract/entries.h"
#include "extract_fixture.h"

using namespace extract_test;

namespace {

struct Entry {
    std::string name;  // archive path, backslashes
    Bytes contents;
    bool directory = false;
};

std::vector<Entry> sample_entries()
{
    return {
        {"readme.txt", text("Read me first.\r\n")},
        {"dir", {}, true},
        {"dir\\sub\\data.bin", noise(7000, 11)},
        {"dir\\empty.txt", {}},
        {"other\\deep\\er\\x.y", noise(2048, 12)},  // exactly one portion
        {"last.bin", noise(4097, 13)},
    };
}

Bytes stored_archive(const std::vector<Entry>& entries, uint16_t main_flags = 0, const Bytes& junk = {})
{
    ArchiveWriter w;
    w.raw(junk);
    MainHeaderFields main;
    main.flags = main_flags;
    w.main_header(main);
    for (const auto& e : entries) {
        if (e.directory) {
            w.directory(e.name);
        } else {
            FileHeaderFields f = stored_fields(e.name, e.contents);
            f.flags |= main_flags & FLAG_SOLID;
            if (e.name == "readme.txt")
                f.comment = noise(40, 5);  // a packed comment: decoded in place, never written
            w.file_entry(f, e.contents);
        }
    }
    return w.take();
}

MainHeaderFields main_with(uint16_t flags)
{
    MainHeaderFields main;
    main.flags = flags;
    return main;
}

std::string last_part(const std::string& name)
{
    size_t slash = name.rfind('\\');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

void expect_extracted_with_paths(const fs::path& dir, const std::vector<Entry>& entries)
{
    for (const auto& e : entries) {
        fs::path p = host_path(dir, e.name);
        if (e.directory)
            EXPECT_TRUE(fs::is_directory(p)) << e.name;
        else
            EXPECT_EQ(read_file(p), e.contents) << e.name;
    }
}

}  // namespace

TEST(ExtractEntries, WithPathsOnPlainAndSolidArchivesAndAfterJunk)
{
    const auto entries = sample_entries();
    for (uint16_t flags : {uint16_t(0), FLAG_SOLID}) {
        for (size_t junk : {size_t(0), size_t(1000)}) {
            WorkDir dir;
            JobRun job;
            EXPECT_EQ(job.run_memory(stored_archive(entries, flags, noise(junk, 9)), {"p", "x", "arc"}), STATUS_OK);
            expect_extracted_with_paths(dir.work(), entries);
            EXPECT_EQ(tree(dir.work()),
                      (std::set<std::string>{"dir/", "dir/empty.txt", "dir/sub/", "dir/sub/data.bin", "last.bin",
                                             "other/", "other/deep/", "other/deep/er/", "other/deep/er/x.y",
                                             "readme.txt"}));
            EXPECT_TRUE(job.host.messages.empty());
            // Every file entry was announced, directories included.
            EXPECT_EQ(job.host.entries.size(), entries.size());
            EXPECT_EQ(job.host.data_bytes, 16 + 7000 + 2048 + 4097u);
        }
    }
}

TEST(ExtractEntries, WithoutPathsEveryFileLandsInTheFolder)
{
    WorkDir dir;
    std::vector<Entry> entries = sample_entries();
    entries.push_back({"again\\readme.txt", text("second readme")});  // replaces the first
    JobRun job;
    EXPECT_EQ(job.run_memory(stored_archive(entries), {"p", "e", "arc"}), STATUS_OK);
    EXPECT_EQ(tree(dir.work()), (std::set<std::string>{"data.bin", "dir/", "empty.txt", "last.bin", "readme.txt", "x.y"}));
    for (const auto& e : entries) {
        if (!e.directory && e.name != "readme.txt") {
            EXPECT_EQ(read_file(last_part(e.name)), e.contents) << e.name;
        }
    }
    EXPECT_EQ(read_file("readme.txt"), text("second readme"));
    EXPECT_EQ(job.host.entries[2], "data.bin");
}

TEST(ExtractEntries, TestWritesNothingAndChecksEverything)
{
    WorkDir dir;
    auto entries = sample_entries();
    JobRun job;
    EXPECT_EQ(job.run_memory(stored_archive(entries, FLAG_SOLID), {"p", "t", "arc"}), STATUS_OK);
    EXPECT_TRUE(tree(dir.work()).empty());
    EXPECT_EQ(job.host.data_bytes, 16 + 7000 + 2048 + 4097u);

    entries[2].contents[100] ^= 0x40;  // stored bytes no longer match the CRC below
    FileHeaderFields f = stored_fields("dir\\sub\\data.bin", sample_entries()[2].contents);
    Bytes archive = ArchiveWriter().main_header().file_entry(f, entries[2].contents).take();
    JobRun damaged;
    EXPECT_EQ(damaged.run_memory(archive, {"p", "t", "arc"}), STATUS_CRC_ERROR);
    EXPECT_EQ(damaged.host.messages, std::vector<std::string>{"CRC error"});
    EXPECT_TRUE(tree(dir.work()).empty());
}

TEST(ExtractEntries, VolumesAreFollowedWithTheYesSwitch)
{
    WorkDir dir;
    const auto entries = sample_entries();
    VolumeSetWriter set(MainHeaderFields{}, 3000);
    for (const auto& e : entries) {
        if (!e.directory)
            set.stored_file(e.name, e.contents);
    }
    std::vector<Bytes> volumes = set.finish();
    ASSERT_GE(volumes.size(), 4u);
    ASSERT_TRUE(write_volume_files("set.ACE", volumes));
    {
        JobRun job;
        EXPECT_EQ(job.run_files({"p", "x", "-y", "set"}), STATUS_OK);
        EXPECT_TRUE(job.host.messages.empty());
        EXPECT_TRUE(job.host.prompts.empty());
        for (const auto& e : entries) {
            if (!e.directory) {
                EXPECT_EQ(read_file(host_path(dir.work(), e.name)), e.contents) << e.name;
            }
        }
    }
    {
        // The listing walks every piece: one call per file header seen.
        JobRun job;
        EXPECT_EQ(job.run_files({"p", "l", "-y", "set"}), STATUS_OK);
        EXPECT_GT(job.host.entries.size(), 5u);
        EXPECT_EQ(job.host.data_calls, 0);
        EXPECT_EQ(std::string(job.cx.job.archive_name), volume_names("set.ACE", volumes.size()).back());
    }
    {
        // Without -y the prompt asks; no console answers, so the job gives up.
        JobRun job;
        EXPECT_EQ(job.run_files({"p", "t", "set"}), STATUS_CANCELLED);
        EXPECT_EQ(job.host.prompts.size(), 1u);
    }
}

#ifndef _WIN32
TEST(ExtractEntries, VolumeNamesInAnotherCaseAreFoundOnCaseSensitiveSystems)
{
    // A set copied from a system that ignores case: "set.ace", "set.c00",
    // ... while the job asks for "set.ACE", "set.C00", ...
    WorkDir dir;
    VolumeSetWriter set(MainHeaderFields{}, 0);
    set.split_entry(stored_fields("big.bin", noise(300, 1)), noise(300, 1), {100, 120, 80});
    std::vector<Bytes> volumes = set.finish();
    ASSERT_EQ(volumes.size(), 3u);
    const std::vector<std::string> lower = {"set.ace", "set.c00", "set.c01"};
    for (size_t i = 0; i < lower.size(); i++)
        write_file(lower[i], volumes[i]);
    {
        JobRun job;
        EXPECT_EQ(job.run_files({"p", "x", "-y", "SET"}), STATUS_OK);
        EXPECT_EQ(read_file("big.bin"), noise(300, 1));
        EXPECT_EQ(std::string(job.cx.job.archive_name), "set.c01");
    }
    // An exact name wins; two names that differ only in case are both
    // wrong guesses, so the volume counts as missing.
    write_file("Set.C00", Bytes{});
    write_file("set.C00", volumes[1]);
    ASSERT_EQ(std::remove("big.bin"), 0);
    {
        JobRun job;
        EXPECT_EQ(job.run_files({"p", "x", "-y", "set.ace"}), STATUS_OK);
        EXPECT_EQ(read_file("big.bin"), noise(300, 1));
    }
    ASSERT_EQ(std::remove("set.C00"), 0);
    ASSERT_EQ(std::remove("big.bin"), 0);
    {
        JobRun job;
        EXPECT_EQ(job.run_files({"p", "x", "-y", "set.ace"}), STATUS_VOLUME_OPEN_FAILED);
        EXPECT_EQ(std::string(job.cx.job.archive_name), "set.C00");
    }
}
#endif

TEST(ExtractEntries, ListStopsWhenTheNextVolumeIsMissing)
{
    WorkDir dir;
    VolumeSetWriter set(MainHeaderFields{}, 0);
    set.split_entry(stored_fields("big.bin", noise(300, 1)), noise(300, 1), {100, 200});
    std::vector<Bytes> volumes = set.finish();
    ASSERT_EQ(volumes.size(), 2u);
    write_file("set.ACE", volumes[0]);
    JobRun job;
    EXPECT_EQ(job.run_files({"p", "v", "-y", "set"}), STATUS_VOLUME_OPEN_FAILED);
    EXPECT_EQ(job.host.entries.size(), 1u);
    ASSERT_EQ(job.host.messages.size(), 2u);
    EXPECT_EQ(job.host.messages[1], "Error while reading data. Archive seems to be damaged.");
}

TEST(ExtractEntries, SkippedSplitEntryStillLeadsToTheEntriesAfterIt)
{
    // An entry that is not written (something in the way, or a refused
    // name) is not decoded in a plain archive. When it is split, the
    // entries after it begin in a later volume: the walk must still get
    // there instead of ending quietly at the end of the first one.
    for (uint16_t main_flags : {uint16_t(0), FLAG_SOLID}) {
        for (const std::string split_name : {"big.bin", "..\\big.bin"}) {
            SCOPED_TRACE(split_name + (main_flags ? " solid" : " plain"));
            WorkDir dir;
            VolumeSetWriter set(main_with(main_flags), 0);
            set.stored_file("first.txt", text("first"));
            FileHeaderFields big = stored_fields(split_name, noise(300, 1));
            big.flags |= main_flags & FLAG_SOLID;
            set.split_entry(big, noise(300, 1), {100, 120, 80});
            set.stored_file("after.txt", text("after the split entry"));
            std::vector<Bytes> volumes = set.finish();
            ASSERT_EQ(volumes.size(), 3u);
            ASSERT_TRUE(write_volume_files("set.ACE", volumes));
            fs::create_directory("out");
            fs::current_path("out");
            const bool refused = split_name != "big.bin";
            if (!refused) {
                write_file("big.bin", text("old"));
                fs::permissions("big.bin", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                                fs::perm_options::remove);
            }
            JobRun job;
            EXPECT_EQ(job.run_files({"p", "x", "-y", "../set"}), refused ? STATUS_WRITE_FAILED : STATUS_OK);
            EXPECT_EQ(read_file("first.txt"), text("first"));
            EXPECT_EQ(read_file("after.txt"), text("after the split entry"));
            if (!refused) {
                EXPECT_EQ(read_file("big.bin"), text("old"));
            }
            EXPECT_EQ(std::string(job.cx.job.archive_name), "../set.C01");
            EXPECT_EQ(job.cx.job.crc_failed, 0);
            EXPECT_EQ(job.host.messages.size(), 1u);
            fs::current_path("..");
        }
    }
}

TEST(ExtractEntries, SplitEntryWhoseDataEndsBeforeItsLastPieceStillLeadsToTheNextEntry)
{
    // The entry's contents are whole before its last piece has been read
    // (padding after them): the walk goes on through its remaining pieces
    // to the volume where the next entry begins.
    for (const char* command : {"x", "t"}) {
        SCOPED_TRACE(command);
        WorkDir dir;
        const Bytes contents = noise(300, 3);
        Bytes packed = contents;
        packed.resize(390, 0);
        VolumeSetWriter set(MainHeaderFields{}, 0);
        set.split_entry(stored_fields("big.bin", contents), packed, {150, 200, 40});
        set.stored_file("after.txt", text("after the split entry"));
        ASSERT_TRUE(write_volume_files("set.ACE", set.finish()));
        JobRun job;
        EXPECT_EQ(job.run_files({"p", command, "-y", "set"}), STATUS_OK);
        ASSERT_EQ(job.host.entries, (std::vector<std::string>{"big.bin", "after.txt"}));
        EXPECT_EQ(job.host.walks.at(0).reason, WalkEnd::END_OF_DATA);
        if (command[0] == 'x') {
            EXPECT_EQ(read_file("big.bin"), contents);
            EXPECT_EQ(read_file("after.txt"), text("after the split entry"));
        }
    }
}

TEST(ExtractFailures, DamagedHeaderInTheMiddleEndsTheWalkQuietly)
{
    WorkDir dir;
    ArchiveWriter w;
    w.main_header().stored_file("a.txt", text("alpha"));
    size_t damaged_at = w.size() + 10;
    w.stored_file("b.txt", text("beta")).stored_file("c.txt", text("gamma")).damage(damaged_at, 0x01);
    JobRun job;
    EXPECT_EQ(job.run_memory(w.take(), {"p", "x", "arc"}), STATUS_OK);
    EXPECT_EQ(tree(dir.work()), std::set<std::string>{"a.txt"});
    EXPECT_EQ(read_file("a.txt"), text("alpha"));
    EXPECT_TRUE(job.host.messages.empty());
}

TEST(ExtractFailures, DecoderRefusalsStopTheLoopBeforeAnyOutput)
{
    struct Case {
        const char* what;
        FileHeaderFields fields;
        int32_t status;
        const char* message;
    };
    FileHeaderFields refused = stored_fields("refused.txt", text("r"));
    refused.flags |= FLAG_REFUSED;
    FileHeaderFields method = stored_fields("method.txt", text("m"));
    method.method = 2;
    FileHeaderFields dictionary = stored_fields("dict.txt", text("d"));
    dictionary.method = METHOD_LZ77;
    dictionary.parameter = 11;  // 2^21 bytes: more than the job ever has
    const std::vector<Case> cases = {
        {"refused", refused, STATUS_DECOMPRESSION_FAILED, "Decompression failed"},
        {"method", method, STATUS_DECOMPRESSION_FAILED, "Decompression failed"},
        {"dictionary", dictionary, STATUS_NO_MEMORY, "Decompression failed (low on memory)"},
    };
    for (const auto& c : cases) {
        WorkDir dir;
        Bytes archive = ArchiveWriter()
                            .main_header()
                            .stored_file("before.txt", text("b"))
                            .file_entry(c.fields, text("x"))
                            .stored_file("after.txt", text("a"))
                            .take();
        JobRun job;
        EXPECT_EQ(job.run_memory(archive, {"p", "x", "arc"}), c.status) << c.what;
        EXPECT_EQ(job.host.messages, std::vector<std::string>{c.message}) << c.what;
        EXPECT_EQ(tree(dir.work()), std::set<std::string>{"before.txt"}) << c.what;
    }
}

TEST(ExtractFailures, ShortWriteRemovesTheFileAndStops)
{
    WorkDir dir;
    Bytes archive = ArchiveWriter()
                        .main_header()
                        .stored_file("a.txt", text("alpha"))
                        .stored_file("big.bin", noise(10000, 7))
                        .stored_file("c.txt", text("gamma"))
                        .take();
    JobRun job;
    job.host.write_budget = 5 + 4096 + 10;
    EXPECT_EQ(job.run_memory(archive, {"p", "x", "arc"}), STATUS_WRITE_FAILED);
    EXPECT_EQ(tree(dir.work()), std::set<std::string>{"a.txt"});
    EXPECT_TRUE(job.host.messages.empty());
    EXPECT_EQ(job.host.entries, (std::vector<std::string>{"a.txt", "big.bin"}));
}

TEST(ExtractFailures, InterruptWhileWritingRemovesTheFile)
{
    WorkDir dir;
    Bytes archive = ArchiveWriter()
                        .main_header()
                        .stored_file("a.txt", text("alpha"))
                        .stored_file("big.bin", noise(10000, 7))
                        .stored_file("c.txt", text("gamma"))
                        .take();
    JobRun job;
    job.host.on_data_hook = [&](JobContext&) {
        if (job.host.data_calls == 3)
            on_interrupt(2);
    };
    EXPECT_EQ(job.run_memory(archive, {"p", "x", "arc"}), STATUS_INTERRUPTED);
    EXPECT_EQ(tree(dir.work()), std::set<std::string>{"a.txt"});
}

TEST(ExtractFailures, ThingsInTheWay)
{
    WorkDir dir;
    const Bytes fresh = text("fresh contents");
    Bytes archive = ArchiveWriter()
                        .main_header(main_with(FLAG_SOLID))
                        .stored_file("locked.txt", fresh)
                        .stored_file("emptydir", fresh)
                        .stored_file("fulldir", fresh)
                        .stored_file("plain.txt", fresh)
                        .take();
    write_file("locked.txt", text("old"));
    fs::permissions("locked.txt", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    fs::create_directory("emptydir");
    fs::create_directories("fulldir/inner");
    write_file("plain.txt", text("older and longer contents"));
    JobRun job;
    EXPECT_EQ(job.run_memory(archive, {"p", "x", "arc"}), STATUS_OK);
    EXPECT_EQ(job.host.messages, (std::vector<std::string>{"Could not delete file or directory. Access denied.",
                                                           "Could not delete file or directory. Access denied."}));
    EXPECT_EQ(read_file("locked.txt"), text("old"));
    EXPECT_EQ(read_file("emptydir"), fresh);
    EXPECT_TRUE(fs::is_directory("fulldir/inner"));
    EXPECT_EQ(read_file("plain.txt"), fresh);
}

TEST(ExtractFailures, OutputThatCannotBeOpenedOrMadeIsSkippedQuietly)
{
    // A file that cannot be opened, and a directory entry whose own
    // directory cannot be made: both skipped, nothing said, the job goes on.
    class Refusing : public ExtractHost {
    public:
        int32_t open_output(const char* path) override
        {
            return std::string(path) == "unopenable.txt" ? -1 : ExtractHost::open_output(path);
        }
        bool make_directory(const char* path) override
        {
            return std::string(path) != "unmakeable" && ExtractHost::make_directory(path);
        }
    };
    WorkDir dir;
    Bytes archive = ArchiveWriter()
                        .main_header(main_with(FLAG_SOLID))
                        .stored_file("unopenable.txt", noise(3000, 1))
                        .directory("unmakeable")
                        .stored_file("after.txt", noise(3000, 2))
                        .take();
    Refusing host;
    JobContext cx;
    cx.host = &host;
    stream_bind_memory(cx.stream, archive.data(), uint32_t(archive.size()));
    const char* argv[] = {"p", "x", "arc"};
    extract_job_run(cx, 3, argv);
    EXPECT_EQ(current_status(cx), STATUS_OK);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(tree(dir.work()), std::set<std::string>{"after.txt"});
    EXPECT_EQ(read_file("after.txt"), noise(3000, 2));
    EXPECT_EQ(host.data_bytes, 6000u);  // the skipped file was still decoded
}

TEST(ExtractFailures, FileWhereAFolderShouldBeStopsTheRun)
{
    WorkDir dir;
    write_file("x", text("a file"));
    Bytes archive = ArchiveWriter()
                        .main_header()
                        .stored_file("x\\y\\f.txt", text("f"))
                        .stored_file("next.txt", text("n"))
                        .take();
    JobRun job;
    EXPECT_EQ(job.run_memory(archive, {"p", "x", "arc"}), STATUS_WRITE_FAILED);
    EXPECT_EQ(tree(dir.work()), std::set<std::string>{"x"});
    EXPECT_EQ(read_file("x"), text("a file"));
    EXPECT_TRUE(job.host.messages.empty());
}

// ---- Names ------------------------------------------------------------------

namespace {

// Loads a file header with the given stored name bytes into cx.
void set_header_name(JobContext& cx, const std::string& name, int header_size = -1)
{
    AceHeader& h = cx.reader.header;
    h.header_type = HEADER_TYPE_FILE;
    h.file.name_length = uint16_t(name.size());
    size_t copied = std::min(name.size(), sizeof h.file.variable);
    std::memcpy(h.file.variable, name.data(), copied);
    h.header_size = uint16_t(header_size >= 0 ? header_size : FILE_FIXED_SIZE + int(std::min<size_t>(name.size(), 60000)));
}

const char* refusal(const std::string& name, int strip_paths = 0)
{
    static JobContext cx;
    static char buffer[NAME_CAPACITY];
    set_header_name(cx, name);
    entry_output_name(cx, buffer, strip_paths);
    return entry_name_refusal(cx, buffer);
}

}  // namespace

TEST(EntryNames, OutputNameIsCopiedBoundedAndStripped)
{
    JobContext cx;
    char buffer[NAME_CAPACITY];
    std::memset(buffer, 'Z', sizeof buffer);
    set_header_name(cx, "dir\\sub\\file.txt");
    EXPECT_STREQ(entry_output_name(cx, buffer, 0), "dir\\sub\\file.txt");
    EXPECT_STREQ(entry_output_name(cx, buffer, 1), "file.txt");
    set_header_name(cx, "plain");
    EXPECT_STREQ(entry_output_name(cx, buffer, 1), "plain");
    set_header_name(cx, std::string("ab\0cd", 5));
    EXPECT_STREQ(entry_output_name(cx, buffer, 0), "ab");
    set_header_name(cx, "a/b\\c");  // '/' is no separator here
    EXPECT_STREQ(entry_output_name(cx, buffer, 1), "c");
    set_header_name(cx, "a\\b/c");
    EXPECT_STREQ(entry_output_name(cx, buffer, 1), "b/c");

    // A name past the buffer or the body is cut, never overrun.
    set_header_name(cx, std::string(1500, 'n'));
    EXPECT_EQ(std::strlen(entry_output_name(cx, buffer, 0)), size_t(NAME_CAPACITY - 1));
    set_header_name(cx, "abcdef", FILE_FIXED_SIZE + 3);
    EXPECT_STREQ(entry_output_name(cx, buffer, 0), "abc");
    set_header_name(cx, "abcdef", 20);
    EXPECT_STREQ(entry_output_name(cx, buffer, 0), "");
}

TEST(EntryNames, SafeNamesPass)
{
    for (const char* name : {"a", "a\\b\\c.txt", "..a", "a..", "a\\.b", "...x", "a\\\\b", ".\\a", "x\\..y\\z"})
        EXPECT_EQ(refusal(name), nullptr) << name;
    // Stripping keeps only the last part, which lands inside.
    EXPECT_EQ(refusal("..\\..\\evil.txt", 1), nullptr);
    EXPECT_EQ(refusal(std::string(NAME_CAPACITY - 1, 'n')), nullptr);
}

TEST(EntryNames, NamesThatLeaveTheFolderAreRefused)
{
    for (const char* name : {"..", "..\\evil", "a\\..\\..\\evil", "a\\..", "\\abs", "/abs", "C:evil", "c:\\evil",
                             "a/../../evil", "..//evil", ""})
        EXPECT_NE(refusal(name), nullptr) << name;
    EXPECT_NE(refusal("dir\\", 1), nullptr);  // empty once stripped
    EXPECT_NE(refusal("x\\..", 1), nullptr);
    EXPECT_NE(refusal(std::string(NAME_CAPACITY, 'n')), nullptr);
    EXPECT_NE(refusal(std::string(60000, 'n'), 1), nullptr);
    {
        JobContext cx;
        char buffer[NAME_CAPACITY];
        set_header_name(cx, "abcdef", FILE_FIXED_SIZE + 3);  // name runs past the body
        EXPECT_NE(entry_name_refusal(cx, entry_output_name(cx, buffer, 0)), nullptr);
    }
    // Device names are ordinary names except on Windows.
    const char* devices[] = {"CON", "nul", "aux.txt", "dir\\Com1", "lpt9.log", "prn .x", "dir\\con\\f"};
    for (const char* name : {"CONFIG", "com", "com0", "lpt10", "nul_", "xcon"})
        EXPECT_EQ(refusal(name), nullptr) << name;
#ifdef _WIN32
    for (const char* name : {"ab:c", "dir\\file.txt:stream", "...", ". .", "a\\...\\b", ".. "})
        EXPECT_NE(refusal(name), nullptr) << name;
    for (const char* name : devices)
        EXPECT_NE(refusal(name), nullptr) << name;
#else
    for (const char* name : devices)
        EXPECT_EQ(refusal(name), nullptr) << name;
    for (const char* name : {"a/b", "dir\\x/y"})
        EXPECT_NE(refusal(name), nullptr) << name;
    for (const char* name : {"ab:c", "...", "a\\...\\b"})
        EXPECT_EQ(refusal(name), nullptr) << name;
#endif
}

namespace {

std::vector<std::string> hostile_names()
{
    std::vector<std::string> names = {"..\\escaped.txt", "a\\..\\..\\escaped2.txt", "\\absolute.txt",
                                      "/absolute2.txt", "C:escaped3.txt", "C:\\escaped4.txt",
                                      "..",              std::string(600, 'L')};
#ifndef _WIN32
    names.push_back("../slash.txt");
    names.push_back("sub/slash2.txt");
#endif
    return names;
}

}  // namespace

TEST(HostileNames, NothingIsWrittenOutsideAndTheRestIsIntact)
{
    const auto names = hostile_names();
    for (uint16_t flags : {uint16_t(0), FLAG_SOLID}) {
        WorkDir dir;
        auto parent_before = tree(dir.parent());
        ArchiveWriter w;
        w.main_header(main_with(flags));
        std::vector<Entry> good;
        for (size_t i = 0; i < names.size(); i++) {
            w.stored_file(names[i], noise(3000 + i, uint32_t(i)));
            good.push_back({"ok" + std::to_string(i) + "\\f.bin", noise(100 + i, uint32_t(100 + i))});
            w.stored_file(good.back().name, good.back().contents);
        }
        // A directory entry that climbs out, and one whose name is empty.
        w.directory("..\\escaped_dir");
        w.directory("");
        w.stored_file("final.txt", text("the end"));
        JobRun job;
        EXPECT_EQ(job.run_memory(w.take(), {"p", "x", "arc"}), STATUS_WRITE_FAILED);

        expect_extracted_with_paths(dir.work(), good);
        EXPECT_EQ(read_file("final.txt"), text("the end"));
        EXPECT_EQ(job.host.refused.size(), names.size() + 2);
        EXPECT_EQ(job.host.messages.size(), names.size() + 2);
        for (const auto& m : job.host.messages)
            EXPECT_EQ(m.rfind("Unsafe name refused", 0), 0u) << m;
        // The parent folder holds nothing new, and the work folder only
        // what the safe entries made.
        auto parent_after = tree(dir.parent());
        std::set<std::string> new_in_parent;
        for (const auto& p : parent_after) {
            if (!parent_before.count(p) && p.rfind("work/", 0) != 0)
                new_in_parent.insert(p);
        }
        EXPECT_TRUE(new_in_parent.empty()) << ::testing::PrintToString(new_in_parent);
        EXPECT_EQ(tree(dir.work()).size(), 2 * good.size() + 1);
    }
}

TEST(HostileNames, RefusedEntriesStillFeedASolidArchive)
{
    // In a solid archive every entry passes through the decoder; a refused
    // one is decoded and discarded, so the checksums after it still match.
    WorkDir dir;
    Bytes archive = ArchiveWriter()
                        .main_header(main_with(FLAG_SOLID))
                        .stored_file("..\\evil.bin", noise(5000, 1))
                        .stored_file("good.bin", noise(5000, 2))
                        .take();
    JobRun job;
    EXPECT_EQ(job.run_memory(archive, {"p", "x", "arc"}), STATUS_WRITE_FAILED);
    EXPECT_EQ(read_file("good.bin"), noise(5000, 2));
    EXPECT_EQ(job.host.data_bytes, 10000u);  // the refused entry was decoded too
    EXPECT_EQ(job.cx.job.crc_failed, 0);
    EXPECT_EQ(job.host.messages, std::vector<std::string>{"Unsafe name refused ('..' in path): ..\\evil.bin"});
}

TEST(HostileNames, MessageCarriesTheWholeLongestName)
{
    // 511 bytes is the longest name a header can give; the message must
    // neither cut it nor overrun its buffer.
    WorkDir dir;
    const std::string name = "..\\" + std::string(508, 'n');
    ASSERT_EQ(name.size(), 511u);
    JobRun job;
    EXPECT_EQ(job.run_memory(ArchiveWriter().main_header().stored_file(name, text("x")).take(),
                             {"p", "x", "arc"}),
              STATUS_WRITE_FAILED);
    EXPECT_EQ(job.host.messages, std::vector<std::string>{"Unsafe name refused ('..' in path): " + name});
}

TEST(HostileNames, WithoutPathsOnlyTheLastPartCounts)
{
    WorkDir dir;
    Bytes archive = ArchiveWriter()
                        .main_header()
                        .stored_file("..\\..\\stripped.txt", text("s"))
                        .stored_file("dir\\..", text("d"))
                        .take();
    JobRun job;
    EXPECT_EQ(job.run_memory(archive, {"p", "e", "arc"}), STATUS_WRITE_FAILED);
    EXPECT_EQ(tree(dir.work()), std::set<std::string>{"stripped.txt"});
    EXPECT_EQ(job.host.refused, std::vector<std::string>{".."});
}

TEST(HostileNames, TestingDoesNotLookAtNames)
{
    WorkDir dir;
    Bytes archive = ArchiveWriter()
                        .main_header()
                        .stored_file("..\\evil.txt", text("e"))
                        .stored_file(std::string(700, 'L'), text("long"))
                        .take();
    JobRun job;
    EXPECT_EQ(job.run_memory(archive, {"p", "t", "arc"}), STATUS_OK);
    EXPECT_TRUE(job.host.refused.empty());
    EXPECT_TRUE(job.host.messages.empty());
    EXPECT_EQ(job.host.entries.size(), 2u);
    EXPECT_EQ(job.host.entries[1].size(), size_t(NAME_CAPACITY - 1));
}

// ---- Packed archives ------------------------------------------------------

namespace {

// Text that packs well and whose later parts copy from earlier ones.
Bytes prose(size_t size, uint32_t seed)
{
    static const char* words[] = {"archive ", "volume ", "entry ", "header ", "dictionary ", "solid ",
                                  "stream ",  "block ",  "match ", "literal ", "\r\n",         "setup "};
    Bytes out;
    uint32_t x = seed + 1;
    while (out.size() < size) {
        x = x * 1103515245u + 12345u;
        const char* w = words[(x >> 16) % 12];
        out.insert(out.end(), w, w + std::strlen(w));
    }
    out.resize(size);
    return out;
}

struct PackedSet {
    std::vector<PackItem> items;
    std::vector<Entry> expected;

    void file(const std::string& name, const Bytes& contents, const std::string& comment = "")
    {
        PackItem item;
        item.name = name;
        item.data = contents;
        item.comment = comment;
        items.push_back(item);
        expected.push_back({name, contents});
    }
    void folder(const std::string& name)
    {
        PackItem item;
        item.name = name;
        item.directory = true;
        items.push_back(item);
        expected.push_back({name, {}, true});
    }
    std::vector<Bytes> pack(bool solid, uint32_t volume_size = 0, int dict_bits = 20)
    {
        PackOptions options;
        options.solid = solid;
        options.volume_size = volume_size;
        options.dict_bits = dict_bits;
        PackResult result = pack_archive(items, options);
        EXPECT_TRUE(result.ok) << result.error;
        return result.volumes;
    }
};

PackedSet installer_like_set()
{
    PackedSet set;
    set.file("setup.exe", prose(30000, 1), "the installer program");
    set.folder("data");
    set.file("data\\readme.txt", prose(5000, 2));
    set.file("data\\lib\\core.bin", prose(40000, 3));
    set.file("data\\random.bin", noise(3000, 4));  // stored: packing would grow it
    set.file("data\\empty.txt", {});
    set.file("copy.txt", prose(30000, 1));  // a solid archive finds it all in the window
    return set;
}

}  // namespace

TEST(PackedArchives, ExtractTestAndStripOnSolidAndPlainArchives)
{
    for (bool solid : {true, false}) {
        PackedSet set = installer_like_set();
        std::vector<Bytes> volumes = set.pack(solid);
        ASSERT_EQ(volumes.size(), 1u);
        {
            WorkDir dir;
            JobRun job;
            EXPECT_EQ(job.run_memory(volumes[0], {"kelvo", "x", "kelvo"}), STATUS_OK) << solid;
            expect_extracted_with_paths(dir.work(), set.expected);
            EXPECT_TRUE(job.host.messages.empty());
            EXPECT_EQ(job.cx.reader.archive_solid, solid ? 1 : 0);
        }
        {
            WorkDir dir;
            JobRun job;
            EXPECT_EQ(job.run_memory(volumes[0], {"kelvo", "e", "kelvo"}), STATUS_OK);
            for (const auto& e : set.expected) {
                if (!e.directory) {
                    EXPECT_EQ(read_file(last_part(e.name)), e.contents) << e.name;
                }
            }
        }
        {
            WorkDir dir;
            JobRun job;
            EXPECT_EQ(job.run_memory(volumes[0], {"kelvo", "t", "kelvo"}), STATUS_OK);
            EXPECT_TRUE(tree(dir.work()).empty());
            EXPECT_EQ(job.host.data_bytes, 30000 + 5000 + 40000 + 3000 + 30000u);
        }
    }
}

TEST(PackedArchives, VolumesOfASolidArchive)
{
    WorkDir dir;
    PackedSet set = installer_like_set();
    std::vector<Bytes> volumes = set.pack(true, 2500);
    ASSERT_GE(volumes.size(), 3u);
    ASSERT_TRUE(write_volume_files("inst.ACE", volumes));
    fs::create_directory("out");
    fs::current_path("out");
    JobRun job;
    EXPECT_EQ(job.run_files({"p", "x", "-y", "..\\inst"}), STATUS_OK);
    fs::current_path("..");
    expect_extracted_with_paths(dir.work() / "out", set.expected);
    EXPECT_TRUE(job.host.messages.empty());
}

TEST(PackedArchives, SkippedEntriesOfASolidArchiveStillFeedTheWindow)
{
    // The entries after a skipped one copy from it: they come out right
    // only if it was decoded all the same.
    WorkDir dir;
    PackedSet set;
    set.file("..\\evil.txt", prose(20000, 7));
    set.file("locked.txt", prose(20000, 8));
    set.file("after.txt", prose(20000, 7));
    set.file("last.txt", prose(20000, 8));
    std::vector<Bytes> volumes = set.pack(true);
    write_file("locked.txt", text("old"));
    fs::permissions("locked.txt", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    JobRun job;
    EXPECT_EQ(job.run_memory(volumes[0], {"p", "x", "arc"}), STATUS_WRITE_FAILED);
    EXPECT_EQ(read_file("after.txt"), prose(20000, 7));
    EXPECT_EQ(read_file("last.txt"), prose(20000, 8));
    EXPECT_EQ(read_file("locked.txt"), text("old"));
    EXPECT_EQ(job.cx.job.crc_failed, 0);
    EXPECT_EQ(job.host.refused, std::vector<std::string>{"..\\evil.txt"});
    EXPECT_EQ(job.host.messages.size(), 2u);  // the refusal and the locked file
}

TEST(PackedArchives, InterruptInTheMiddleOfAPackedEntry)
{
    WorkDir dir;
    PackedSet set;
    set.file("first.txt", prose(3000, 1));
    set.file("big.txt", prose(60000, 2));
    set.file("after.txt", prose(3000, 3));
    std::vector<Bytes> volumes = set.pack(true);
    JobRun job;
    job.host.on_data_hook = [&](JobContext&) {
        if (job.host.data_bytes > 3000 + 20000)
            on_interrupt(2);
    };
    EXPECT_EQ(job.run_memory(volumes[0], {"p", "x", "arc"}), STATUS_INTERRUPTED);
    EXPECT_EQ(tree(dir.work()), std::set<std::string>{"first.txt"});
    EXPECT_EQ(read_file("first.txt"), prose(3000, 1));
    EXPECT_EQ(job.host.outstanding, 0);
}
