// The console host around real jobs on archive files: per-entry verdicts
// (judged by what each entry delivered, not by the job's later status),
// the listing of split entries, quiet runs, warnings, the main header's
// comment.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "compress/archive_writer.h"
#include "compress/comment_packer.h"
#include "extract/job.h"
#include "support/test_host.h"
#include "tools/archive_info.h"
#include "tools/cli_options.h"
#include "tools/console_host.h"

namespace fs = std::filesystem;

namespace {

std::string slurp(FILE* f)
{
    std::string s;
    std::rewind(f);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        s.append(buffer, n);
    std::fclose(f);
    return s;
}

struct ConsoleRun {
    std::string out, err;
    int32_t status = -1;  // the job's
    int32_t exit_code = -1;  // the tool's
    ConsoleReport report;
};

// Runs "kelvo <args>" the way the tool does, in the current folder.
ConsoleRun run_console(std::vector<const char*> args, bool quiet = false)
{
    args.insert(args.begin(), "kelvo");
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    std::unique_ptr<ConsoleJobHost> console = make_console_host(console_command_of(args[1]), out, err);
    ConsoleJobHost& host = *console;
    host.set_quiet(quiet);
    ArchiveInfo info;
    std::string name = completed_archive_name(args.back());
    bool have_info = read_archive_info(name, &info);
    host.set_archive_info(have_info ? &info : nullptr, name);
    auto cx = std::make_unique<JobContext>();
    cx->host = &host;
    stream_bind_files(cx->stream);
    extract_job_run(*cx, int32_t(args.size()), args.data());
    ConsoleRun r;
    r.exit_code = host.finish(*cx);
    r.status = current_status(*cx);
    r.report = host.report();
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

Bytes text(size_t n, char c)
{
    return Bytes(n, uint8_t(c));
}

// Each test runs in a fresh folder of its own.
class CliConsole : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = fs::current_path();
        fs::current_path(dir_.path());
    }
    void TearDown() override { fs::current_path(saved_); }

    bool has(const std::string& haystack, const std::string& needle)
    {
        return haystack.find(needle) != std::string::npos;
    }

    TempDir dir_;
    fs::path saved_;
};

}  // namespace

TEST_F(CliConsole, VerdictsFollowEachEntryNotTheFinalStatus)
{
    ArchiveWriter w;
    w.main_header().stored_file("ok.txt", text(3000, 'a'));
    FileHeaderFields bad = stored_fields("bad.txt", text(2500, 'b'));
    bad.file_crc ^= 1;
    w.file_entry(bad, text(2500, 'b')).stored_file("dir\\last.txt", text(5000, 'c'));
    ASSERT_TRUE(write_bytes_file("crc.ace", w.bytes()));

    ConsoleRun r = run_console({"x", "crc.ace"});
    EXPECT_EQ(r.status, STATUS_CRC_ERROR);
    EXPECT_TRUE(has(r.out, "Extracting ok.txt ... OK\n")) << r.out;
    EXPECT_TRUE(has(r.out, "Extracting bad.txt ... CRC error\n")) << r.out;
    // The job's final "CRC error" comes after the last entry was complete:
    // that entry is still OK, and its line is not broken by the message.
    EXPECT_TRUE(has(r.out, "Extracting dir\\last.txt ... OK\n")) << r.out;
    EXPECT_TRUE(has(r.out, "Extracted 2 files (8000 bytes); 1 entry failed\n")) << r.out;
    EXPECT_TRUE(has(r.err, "Fatal: CRC error\n")) << r.err;
    EXPECT_TRUE(has(r.err, "exit code 9 (CRC error)")) << r.err;
    EXPECT_EQ(r.report.files, 2u);
    EXPECT_EQ(r.report.failed, 1u);
    EXPECT_EQ(r.report.messages, 1u);

    // Quiet: no lines for entries that went well, the failed one still named.
    r = run_console({"t", "crc.ace"}, true);
    EXPECT_EQ(r.status, STATUS_CRC_ERROR);
    EXPECT_FALSE(has(r.out, "ok.txt")) << r.out;
    EXPECT_TRUE(has(r.out, "Testing bad.txt ... CRC error\n")) << r.out;
    EXPECT_TRUE(has(r.out, "Tested 2 files (8000 bytes); 1 entry failed\n")) << r.out;
}

TEST_F(CliConsole, RefusedAndSkippedEntriesAreNamed)
{
    ArchiveWriter w;
    w.main_header().stored_file("keep.txt", text(100, 'k'));
    w.stored_file("..\\up.txt", text(100, 'u'));
    w.stored_file("after.txt", text(100, 'z'));
    ASSERT_TRUE(write_bytes_file("names.ace", w.bytes()));
    {
        std::FILE* f = std::fopen("keep.txt", "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("mine", f);
        std::fclose(f);
    }
    fs::permissions("keep.txt", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);

    ConsoleRun r = run_console({"x", "names.ace"});
    fs::permissions("keep.txt", fs::perms::owner_write, fs::perm_options::add);
    // Refused names end the job with 7, set once every entry was handled;
    // after.txt, the last entry, is not blamed for it.
    EXPECT_EQ(r.status, STATUS_WRITE_FAILED);
    EXPECT_TRUE(has(r.out, "Extracting keep.txt ... not written (what is in the way could not be removed)\n")) << r.out;
    EXPECT_TRUE(has(r.out, "Extracting ..\\up.txt ... refused: '..' in path\n")) << r.out;
    EXPECT_TRUE(has(r.out, "Extracting after.txt ... OK\n")) << r.out;
    EXPECT_TRUE(has(r.err, "Fatal: Could not delete file or directory. Access denied.")) << r.err;
    EXPECT_EQ(r.report.refused, 1u);
    EXPECT_EQ(r.report.failed, 2u);
    EXPECT_EQ(r.report.files, 1u);
    EXPECT_FALSE(fs::exists("../up.txt"));
}

TEST_F(CliConsole, UsageFailuresGetAHint)
{
    ConsoleRun r = run_console({"x", "-z", "a.ace"});
    EXPECT_EQ(r.status, STATUS_USAGE);
    EXPECT_TRUE(has(r.err, "kelvo --help shows the usage")) << r.err;
    EXPECT_EQ(r.out, "");

    // The archive's own failure carries the engine's message; no hint.
    r = run_console({"x", "missing.ace"});
    EXPECT_EQ(r.status, STATUS_USAGE);
    EXPECT_TRUE(has(r.err, "Fatal: Damaged archive")) << r.err;
    EXPECT_FALSE(has(r.err, "kelvo --help shows the usage")) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST_F(CliConsole, DamagedHeaderIsNotCalledAllOk)
{
    ArchiveWriter w;
    w.main_header().stored_file("one.txt", text(100, '1'));
    size_t at = w.size();
    w.stored_file("two.txt", text(100, '2'));
    Bytes cut = w.bytes();
    w.damage(at + 12, 0x04);
    ASSERT_TRUE(write_bytes_file("damaged.ace", w.bytes()));

    ConsoleRun r = run_console({"t", "damaged.ace"});
    EXPECT_EQ(r.status, STATUS_OK);  // the job's outcome is left as it is
    EXPECT_EQ(r.exit_code, STATUS_USAGE);  // but the tool's is not
    EXPECT_TRUE(has(r.out, "Tested 1 file (100 bytes); the rest of the archive is damaged\n")) << r.out;
    EXPECT_TRUE(has(r.err, "Archive data is damaged: the header at byte " + std::to_string(at) + " of " +
                               std::to_string(w.size()) + " fails its check; entries after it were not processed"))
        << r.err;

    // Cut short: the listing ends inside the last entry's data.
    cut.resize(cut.size() - 10);
    ASSERT_TRUE(write_bytes_file("cut.ace", cut));
    r = run_console({"l", "cut.ace"});
    EXPECT_EQ(r.exit_code, STATUS_USAGE);
    EXPECT_TRUE(has(r.err, "the archive ends early")) << r.err;

    // The intact archive gets no warning.
    ArchiveWriter good;
    good.main_header().stored_file("one.txt", text(100, '1'));
    ASSERT_TRUE(write_bytes_file("good.ace", good.bytes()));
    r = run_console({"t", "good.ace"});
    EXPECT_TRUE(has(r.out, "all OK")) << r.out;
    EXPECT_EQ(r.err, "");
}

TEST_F(CliConsole, ListingAddsUpThePiecesOfASplitEntry)
{
    MainHeaderFields m;
    m.flags = FLAG_SOLID;
    VolumeSetWriter v(m);
    v.stored_file("first.txt", text(10, 'f'));
    Bytes big = text(900, 'x');
    v.split_entry(stored_fields("big.bin", big), big, {300, 400, 200});
    v.stored_file("tail.txt", text(20, 't'));
    ASSERT_TRUE(write_volume_files("set.ace", v.finish()));

    ConsoleRun r = run_console({"l", "-y", "set.ace"});
    EXPECT_EQ(r.status, STATUS_OK);
    EXPECT_TRUE(has(r.out, "Archive set.ace (solid)\n")) << r.out;
    EXPECT_TRUE(has(r.out, "        900        900  100% ")) << r.out;
    EXPECT_TRUE(has(r.out, "  big.bin\n")) << r.out;
    EXPECT_TRUE(has(r.out, "  tail.txt\n")) << r.out;
    EXPECT_TRUE(has(r.out, "        930        930  100%           3 files\n")) << r.out;

    r = run_console({"v", "-y", "set.ace"});
    EXPECT_EQ(r.status, STATUS_OK);
    EXPECT_TRUE(has(r.out, "big.bin\n  size 900, packed 900 (100%), in 3 volumes,")) << r.out;
    // The merged entry no longer says "continued".
    EXPECT_FALSE(has(r.out, "continued")) << r.out;

    // Without -y and without input the walk gives up at the first switch.
    r = run_console({"l", "set.ace"});
    EXPECT_EQ(r.status, STATUS_CANCELLED);
    EXPECT_TRUE(has(r.err, "Insert the volume set.C00")) << r.err;
}

TEST_F(CliConsole, MainHeaderCommentIsDecodedForV)
{
    Bytes packed;
    ASSERT_TRUE(pack_comment("Welcome to the archive", 2000, packed));
    MainHeaderFields m;
    m.info_text = {'i', 'n', 'f', 'o'};
    m.comment = packed;
    m.creation_time = 44u << 25 | 5u << 21 | 17u << 16;
    ArchiveWriter w;
    w.main_header(m).stored_file("a.txt", text(5, 'a'));
    ASSERT_TRUE(write_bytes_file("c.ace", w.bytes()));

    ArchiveInfo info;
    ASSERT_TRUE(read_archive_info("c.ace", &info));
    EXPECT_TRUE(info.has_comment);
    EXPECT_EQ(info.comment, "Welcome to the archive");
    EXPECT_EQ(info.info_text, "info");

    ConsoleRun r = run_console({"v", "c.ace"});
    EXPECT_TRUE(has(r.out, "  created 2024-05-17 00:00:00")) << r.out;
    EXPECT_TRUE(has(r.out, "  comment: Welcome to the archive\n")) << r.out;

    EXPECT_FALSE(read_archive_info("nothing-here.ace", &info));
}

TEST_F(CliConsole, MainCommentCutShortStaysInBounds)
{
    // comment_size promises 600 bytes; the header's body ends after 10.
    Bytes packed;
    ASSERT_TRUE(pack_comment(std::string(400, 'q') + "tail", 2000, packed));
    packed.resize(10);
    MainHeaderFields m;
    m.comment = packed;
    Bytes header = main_header_bytes(m);
    // Rewrite comment_size (the two bytes before the packed bytes) and the CRC.
    size_t size_at = header.size() - packed.size() - 2;
    header[size_at] = uint8_t(600 & 0xFF);
    header[size_at + 1] = uint8_t(600 >> 8);
    Bytes body(header.begin() + 4, header.end());
    Bytes fixed = header_bytes(body);

    TestJob job;
    job.use_memory(fixed);
    ASSERT_EQ(job.open(), 1);
    // The missing packed bytes read as zeros; the text is never longer
    // than the 404 bytes its length field asks for.
    std::string text_out;
    EXPECT_TRUE(decode_main_comment(job.cx.reader.header, &text_out));
    EXPECT_LE(text_out.size(), 404u);
}

TEST_F(CliConsole, ANameUsedTwiceInAFolderMadeByTheRunIsSeenTheSecondTime)
{
    // The folders are made by the run, so the first name in them is not
    // looked for; the second time it is there and is replaced, as anywhere.
    ArchiveWriter w;
    w.main_header()
        .stored_file("d\\e\\f.txt", text(300, 'a'))
        .stored_file("d\\g.txt", text(200, 'g'))
        .stored_file("d\\e\\f.txt", text(100, 'b'));
    ASSERT_TRUE(write_bytes_file("twice.ace", w.bytes()));
    ConsoleRun r = run_console({"x", "twice.ace"});
    EXPECT_EQ(r.status, STATUS_OK) << r.out << r.err;
    EXPECT_EQ(r.report.files, 3u);
    EXPECT_EQ(fs::file_size("d/e/f.txt"), 100u);
    EXPECT_EQ(fs::file_size("d/g.txt"), 200u);
}

TEST(KnownFolders, AFolderBringsTheFoldersOnItsWay)
{
    KnownFolders known;
    known.add("a\\b\\c");
    known.add("a\\x", 1);  // "a" again: already there
    known.add("\\top\\in");
    struct Probe {
        const char* path;
        bool held;
    };
    for (const Probe& p : {Probe{"a", true}, Probe{"a\\b", true}, Probe{"a\\b\\c", true}, Probe{"a\\b\\c\\d", false},
                           Probe{"a\\bc", false}, Probe{"a\\", false}, Probe{"b", false}, Probe{"", false},
                           Probe{"\\top\\in", true}, Probe{"\\top", true}, Probe{"\\", false}}) {
        EXPECT_EQ(known.holds(p.path), p.held) << p.path;
    }
    EXPECT_TRUE(known.holds("a\\b\\c\\file", 5));  // a prefix of a longer path
    known.forget();
    EXPECT_FALSE(known.holds("a"));
    EXPECT_FALSE(known.holds("a\\b\\c"));
}
