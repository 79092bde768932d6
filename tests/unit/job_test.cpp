// The job: argument rules, the archive name, set-up and tear-down, the
// command letters, the interrupt and the final checksum verdict.
#include <gtest/gtest.h>

#include <csignal>

#include "archive/header.h"
#include "extract_fixture.h"
#include "platform/platform.h"

using namespace extract_test;

namespace {

Bytes small_archive(uint8_t volume_number = 0)
{
    MainHeaderFields main;
    main.volume_number = volume_number;
    return ArchiveWriter().main_header(main).stored_file("one.txt", text("first")).stored_file("two.txt", text("second")).take();
}

}  // namespace

TEST(JobArguments, BrokenRulesEndTheRunBeforeAnythingIsAllocated)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"p"},
        {"p", "x"},               // count 2
        {"p", "xy", "a"},         // two-letter command
        {"p", "x", "-y"},         // last element is a switch
        {"p", "x", "-z", "a"},    // unknown switch
        {"p", "x", "-", "a"},     // a lone '-'
        {"p", "x", "-y", "-n", "a"},
    };
    for (const auto& args : cases) {
        WorkDir dir;
        JobRun job;
        EXPECT_EQ(job.run_memory(small_archive(), args), STATUS_USAGE) << ::testing::PrintToString(args);
        EXPECT_EQ(job.host.allocation_attempts + job.host.allocations, 0);
        EXPECT_TRUE(job.host.messages.empty());
        EXPECT_TRUE(job.host.entries.empty());
        EXPECT_TRUE(tree(dir.work()).empty());
    }
}

TEST(JobArguments, SwitchesAndTheArchiveName)
{
    WorkDir dir;
    {
        JobRun job;
        EXPECT_EQ(job.run_memory(small_archive(), {"p", "x", "-Yes", "a"}), STATUS_OK);
        EXPECT_EQ(job.cx.packed.volume_prompt_mode, PROMPT_NEVER);
        EXPECT_STREQ(job.cx.job.archive_name, "a.ACE");
    }
    {
        JobRun job;
        EXPECT_EQ(job.run_memory(small_archive(), {"p", "t", "a", "b"}), STATUS_OK);
        EXPECT_STREQ(job.cx.job.archive_name, "a.ACE");  // b is not looked at
        EXPECT_EQ(job.cx.packed.volume_prompt_mode, PROMPT_ALWAYS);
    }
}

TEST(JobArguments, ExtensionIsAddedOnlyWhenTheLastComponentHasNone)
{
    WorkDir dir;
    struct Case {
        const char* given;
        const char* completed;
    };
    std::vector<Case> cases = {
        {"kelvo", "kelvo.ACE"},
        {"a.b\\kelvo", "a.b\\kelvo.ACE"},
        {"kelvo.C01", "kelvo.C01"},
        {"kelvo.", "kelvo."},
        {"dir\\x.y", "dir\\x.y"},
        {"", ".ACE"},
        // Folders typed with '/', on Linux and on Windows alike.
        {"dir.d/arc", "dir.d/arc.ACE"},
        {"../set", "../set.ACE"},
    };
    for (const auto& c : cases) {
        JobRun job;
        EXPECT_EQ(job.run_memory(small_archive(), {"p", "t", c.given}), STATUS_OK) << c.given;
        EXPECT_STREQ(job.cx.job.archive_name, c.completed);
    }
}

TEST(JobArguments, ArchiveNamesThatDoNotFitAreRefused)
{
    WorkDir dir;
    {
        // 507 characters and ".ACE" fill the 511 exactly.
        JobRun job;
        std::string name(507, 'n');
        EXPECT_EQ(job.run_memory(small_archive(), {"p", "t", name}), STATUS_OK);
        EXPECT_EQ(std::string(job.cx.job.archive_name), name + ".ACE");
    }
    {
        JobRun job;
        EXPECT_EQ(job.run_memory(small_archive(), {"p", "t", std::string(508, 'n')}), STATUS_USAGE);
        EXPECT_EQ(job.host.allocations, 0);
        EXPECT_TRUE(job.host.messages.empty());
    }
    {
        // With an extension nothing is appended, so 511 characters fit.
        JobRun job;
        std::string name = std::string(507, 'n') + ".C01";
        EXPECT_EQ(job.run_memory(small_archive(), {"p", "t", name}), STATUS_OK);
        EXPECT_EQ(std::string(job.cx.job.archive_name), name);
        JobRun longer;
        EXPECT_EQ(longer.run_memory(small_archive(), {"p", "t", "n" + name}), STATUS_USAGE);
    }
}

TEST(JobCommands, LettersFoldToLowerCaseAndUnknownOnesFailAfterTheOpen)
{
    WorkDir dir;
    {
        JobRun job;
        EXPECT_EQ(job.run_memory(small_archive(), {"p", "X", "kelvo"}), STATUS_OK);
        EXPECT_EQ(read_file("one.txt"), text("first"));
        EXPECT_EQ(read_file("two.txt"), text("second"));
    }
    for (const char* letter : {"q", "", "?"}) {
        JobRun job;
        EXPECT_EQ(job.run_memory(small_archive(), {"p", letter, "kelvo"}), STATUS_USAGE);
        EXPECT_GT(job.host.allocations, 0);  // the archive was opened first
        EXPECT_EQ(job.host.outstanding, 0);
        EXPECT_TRUE(job.host.entries.empty());
        EXPECT_TRUE(job.host.messages.empty());
    }
    {
        // An archive that cannot be opened shows its own message first.
        JobRun job;
        EXPECT_EQ(job.run_files({"p", "q", "missing"}), STATUS_USAGE);
        EXPECT_EQ(job.host.messages, std::vector<std::string>{"Damaged archive"});
    }
}

TEST(JobCommands, LaterVolumeRunsNothing)
{
    WorkDir dir;
    JobRun job;
    EXPECT_EQ(job.run_memory(small_archive(1), {"p", "x", "kelvo"}), STATUS_OK);
    EXPECT_TRUE(job.host.entries.empty());
    EXPECT_TRUE(job.host.messages.empty());
    EXPECT_TRUE(tree(dir.work()).empty());
    // Not even an unknown letter is looked at.
    JobRun other;
    EXPECT_EQ(other.run_memory(small_archive(1), {"p", "q", "kelvo"}), STATUS_OK);
}

TEST(JobCommands, ListWalksWithoutWriting)
{
    WorkDir dir;
    for (const char* letter : {"l", "v", "L"}) {
        JobRun job;
        EXPECT_EQ(job.run_memory(small_archive(), {"p", letter, "kelvo"}), STATUS_OK);
        EXPECT_EQ(job.host.entries, (std::vector<std::string>{"<null>", "<null>"}));
        EXPECT_EQ(job.host.data_calls, 0);
    }
    EXPECT_TRUE(tree(dir.work()).empty());
}

TEST(JobOpen, ArchiveThatCannotBeOpened)
{
    WorkDir dir;
    {
        JobRun job;
        EXPECT_EQ(job.run_files({"p", "x", "missing"}), STATUS_USAGE);
        EXPECT_EQ(job.host.messages, std::vector<std::string>{"Damaged archive"});
        EXPECT_EQ(job.host.outstanding, 0);
    }
    {
        JobRun job;
        EXPECT_EQ(job.run_memory(noise(3000, 1), {"p", "x", "junk"}), STATUS_USAGE);
        EXPECT_EQ(job.host.messages, std::vector<std::string>{"Archive data is damaged"});
        EXPECT_EQ(job.host.outstanding, 0);
    }
}

TEST(JobOpen, EmptyArchiveFileHoldsNoMainHeader)
{
    WorkDir dir;
    write_file("empty.ACE", {});
    JobRun job;
    EXPECT_EQ(job.run_files({"p", "x", "empty"}), STATUS_USAGE);
    EXPECT_EQ(job.host.messages, std::vector<std::string>{"Archive data is damaged"});
}

TEST(JobOpen, FileBackingOpensTheCompletedNameAndIsReleasedAtTheEnd)
{
    WorkDir dir;
    write_file("kelvo.ACE", small_archive());
    JobRun job;
    EXPECT_EQ(job.run_files({"kelvo", "x", "kelvo"}), STATUS_OK);
    EXPECT_EQ(read_file("one.txt"), text("first"));
    EXPECT_EQ(job.cx.stream.file.impl, -1);
    EXPECT_EQ(job.host.outstanding, 0);
}

TEST(JobSetup, BuffersAreZeroedAndAllGiveBack)
{
    JobContext cx;
    ExtractHost host;
    cx.host = &host;
    job_setup(cx);
    ASSERT_EQ(current_status(cx), STATUS_OK);
    ASSERT_NE(cx.dict.dict_bytes, nullptr);
    EXPECT_EQ(host.allocations, 5);
    const uint8_t* words = reinterpret_cast<const uint8_t*>(cx.job.input_words);
    for (int i = 0; i < INPUT_BYTES; i++)
        ASSERT_EQ(words[i], 0) << i;
    for (int i = 0; i < SCAN_BUFFER_SIZE; i++)
        ASSERT_EQ(cx.job.scan_buffer[i], 0) << i;
    for (int i = 0; i < OUTPUT_BLOCK_SIZE; i++)
        ASSERT_EQ(cx.job.output_block[i], 0) << i;
    for (int i = 0; i < HEADER_KEEP_SIZE; i++)
        ASSERT_EQ(cx.job.header_buffer[i], 0) << i;
    // The CRC table is ready: the archive's CRC of "a".
    EXPECT_EQ(crc_update(cx.crc, CRC_INIT, "a", 1), writer_crc32(text("a")));
    job_teardown(cx);
    EXPECT_EQ(host.outstanding, 0);
    EXPECT_EQ(cx.job.input_words, nullptr);
    EXPECT_EQ(cx.dict.dict_bytes, nullptr);
}

TEST(JobSetup, FailedWorkBufferEndsTheRunWithoutOpening)
{
    WorkDir dir;
    write_file("kelvo.ACE", small_archive());
    for (int failing = 0; failing < 4; failing++) {
        JobRun job;
        job.host.fail_allocation_from = failing;
        EXPECT_EQ(job.run_files({"p", "x", "kelvo"}), STATUS_NO_MEMORY) << failing;
        EXPECT_TRUE(job.host.messages.empty());
        EXPECT_TRUE(job.host.entries.empty());
        EXPECT_EQ(job.host.outstanding, 0);
        // No dictionary is asked for once a work buffer is missing.
        EXPECT_EQ(job.host.allocation_attempts, 4);
        EXPECT_FALSE(fs::exists("one.txt"));
    }
}

TEST(JobSetup, DictionaryThatCannotBeHadEndsTheRunWithoutOpening)
{
    WorkDir dir;
    JobRun job;
    job.host.fail_allocation_from = 4;  // the four buffers, then nothing
    EXPECT_EQ(job.run_memory(small_archive(), {"p", "x", "kelvo"}), STATUS_NO_MEMORY);
    EXPECT_TRUE(job.host.messages.empty());
    EXPECT_TRUE(job.host.entries.empty());
    EXPECT_EQ(job.host.outstanding, 0);
    EXPECT_TRUE(tree(dir.work()).empty());
}

TEST(JobVerdict, ChecksumFailureIsReportedOnceAtTheEnd)
{
    WorkDir dir;
    FileHeaderFields bad = stored_fields("bad.txt", text("damaged"));
    bad.file_crc ^= 1;
    Bytes archive = ArchiveWriter()
                        .main_header()
                        .stored_file("a.txt", text("alpha"))
                        .file_entry(bad, text("damaged"))
                        .stored_file("b.txt", text("beta"))
                        .take();
    JobRun job;
    EXPECT_EQ(job.run_memory(archive, {"p", "x", "arc"}), STATUS_CRC_ERROR);
    EXPECT_EQ(job.host.messages, std::vector<std::string>{"CRC error"});
    EXPECT_EQ(read_file("a.txt"), text("alpha"));
    EXPECT_EQ(read_file("bad.txt"), text("damaged"));  // kept
    EXPECT_EQ(read_file("b.txt"), text("beta"));
}

TEST(JobVerdict, AnyOtherFailureHidesTheChecksumFailure)
{
    WorkDir dir;
    FileHeaderFields bad = stored_fields("bad.txt", text("damaged"));
    bad.file_crc ^= 1;
    Bytes archive = ArchiveWriter()
                        .main_header()
                        .file_entry(bad, text("damaged"))
                        .stored_file("big.txt", noise(5000, 2))
                        .take();
    JobRun job;
    job.host.write_budget = 7 + 100;  // bad.txt whole, then a short write
    EXPECT_EQ(job.run_memory(archive, {"p", "x", "arc"}), STATUS_WRITE_FAILED);
    EXPECT_TRUE(job.host.messages.empty());
    EXPECT_EQ(job.cx.job.crc_failed, 1);
    EXPECT_FALSE(fs::exists("big.txt"));
}

TEST(JobInterrupt, SignalStopsTheJobAndTheHandlerForgetsItAfterwards)
{
    WorkDir dir;
    Bytes archive =
        ArchiveWriter().main_header().stored_file("big.bin", noise(20000, 3)).stored_file("after.txt", text("x")).take();
    JobRun job;
    int portions = 0;
    job.host.on_data_hook = [&](JobContext&) {
        // The real signal path: the platform's handler registration.
        if (++portions == 2)
            std::raise(SIGINT);
    };
    EXPECT_EQ(job.run_memory(archive, {"p", "x", "arc"}), STATUS_INTERRUPTED);
    EXPECT_EQ(portions, 2);
    EXPECT_FALSE(fs::exists("big.bin"));
    EXPECT_FALSE(fs::exists("after.txt"));
    EXPECT_TRUE(job.host.messages.empty());
    EXPECT_EQ(job.host.outstanding, 0);

    // The job is over: a late signal must not store into its state.
    JobRun done;
    EXPECT_EQ(done.run_memory(archive, {"p", "t", "arc"}), STATUS_OK);
    on_interrupt(SIGINT);
    EXPECT_EQ(current_status(done.cx), STATUS_OK);
}

TEST(JobInterrupt, InterruptOverridesTheChecksumVerdict)
{
    WorkDir dir;
    FileHeaderFields bad = stored_fields("bad.txt", text("damaged"));
    bad.file_crc ^= 1;
    Bytes archive =
        ArchiveWriter().main_header().file_entry(bad, text("damaged")).stored_file("b.bin", noise(9000, 4)).take();
    JobRun job;
    job.host.on_data_hook = [&](JobContext&) {
        if (job.host.data_calls == 2)
            on_interrupt(SIGINT);
    };
    EXPECT_EQ(job.run_memory(archive, {"p", "x", "arc"}), STATUS_INTERRUPTED);
    EXPECT_TRUE(job.host.messages.empty());
    EXPECT_EQ(read_file("bad.txt"), text("damaged"));
    EXPECT_FALSE(fs::exists("b.bin"));
}

TEST(JobMessages, ConsoleProgramsPrintFatalMessagesInsteadOfShowingABox)
{
    // This test program is a console program on every platform; a box
    // here would wait for a click that never comes.
    ::testing::internal::CaptureStderr();
    platform_show_fatal("CRC error");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Fatal: CRC error\n");
}

// The events a host is given: one verdict per file entry and how the walk
// ended, which the engine's status alone does not tell (a damaged header
// ends the walk with status 0, as the end of the archive does).
TEST(JobEvents, EveryEntryGetsItsVerdictAndTheWalkSaysWhyItEnded)
{
    FileHeaderFields bad = stored_fields("bad.txt", text("damaged"));
    bad.file_crc ^= 1;
    FileHeaderFields folder = stored_fields("dir", {});
    folder.file_attributes = ATTR_DIRECTORY;
    ArchiveWriter writer;
    writer.main_header().stored_file("a.txt", text("alpha")).file_entry(folder, {}).file_entry(bad, text("damaged"));
    const size_t last_header = writer.size();
    writer.stored_file("..\\up.txt", text("up"));
    const Bytes whole = writer.take();
    Bytes damaged = whole;
    damage_byte(damaged, last_header + 5);  // in the last header's body
    const Bytes cut_in_header(whole.begin(), whole.begin() + long(last_header) + 3);
    const Bytes cut_in_data(whole.begin(), whole.end() - 1);

    using R = EntryResult;
    struct Case {
        const char* name;
        const Bytes* archive;
        const char* command;
        std::vector<R> results;
        WalkEnd end;
        int32_t status;
    } cases[] = {
        {"extract", &whole, "x", {R::WRITTEN, R::FOLDER, R::CRC_MISMATCH, R::REFUSED}, WalkEnd::END_OF_DATA,
         STATUS_WRITE_FAILED},
        {"test", &whole, "t", {R::TESTED, R::FOLDER, R::CRC_MISMATCH, R::TESTED}, WalkEnd::END_OF_DATA,
         STATUS_CRC_ERROR},
        {"list", &whole, "l", {}, WalkEnd::END_OF_DATA, STATUS_OK},
        {"damaged header", &damaged, "t", {R::TESTED, R::FOLDER, R::CRC_MISMATCH}, WalkEnd::DAMAGED_HEADER,
         STATUS_CRC_ERROR},
        {"cut in a header", &cut_in_header, "l", {}, WalkEnd::CUT_SHORT, STATUS_OK},
        {"cut in a data area", &cut_in_data, "l", {}, WalkEnd::CUT_SHORT, STATUS_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WorkDir dir;
        JobRun job;
        EXPECT_EQ(job.run_memory(*c.archive, {"p", c.command, "arc"}), c.status);
        EXPECT_EQ(job.host.archives_opened, 1);
        std::vector<R> results;
        for (const EntryEvent& e : job.host.ended)
            results.push_back(e.result);
        EXPECT_EQ(results, c.results);
        ASSERT_EQ(job.host.walks.size(), 1u);
        EXPECT_EQ(job.host.walks[0].reason, c.end);
        if (c.end == WalkEnd::DAMAGED_HEADER) {
            EXPECT_EQ(job.host.walks[0].offset, int32_t(last_header));
        }
        if (!job.host.ended.empty()) {
            EXPECT_EQ(job.host.ended[0].bytes, 5u);
        }
    }
}

TEST(JobEvents, AWriteFailureEndsTheEntryAndStopsTheWalk)
{
    WorkDir dir;
    JobRun job;
    job.host.write_budget = 3;
    EXPECT_EQ(job.run_memory(small_archive(), {"p", "x", "arc"}), STATUS_WRITE_FAILED);
    ASSERT_EQ(job.host.ended.size(), 1u);
    EXPECT_EQ(job.host.ended[0].result, EntryResult::FAILED);
    ASSERT_EQ(job.host.walks.size(), 1u);
    EXPECT_EQ(job.host.walks[0].reason, WalkEnd::STOPPED);
    EXPECT_EQ(job.host.walks[0].status, STATUS_WRITE_FAILED);
}
