// The worker's sequence against a scripted host: every platform call is
// recorded, and each test changes the one answer it is about.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "extract/job.h"
#include "launcher/installer_worker.h"
#include "launcher/resource.h"

namespace {

struct Listed {
    std::string name;
    bool is_directory;
};

class ScriptedHost : public WorkerHost {
public:
    std::vector<std::string> calls;
    std::vector<std::string> messages;

    std::string temp = "C:\\TEMP\\";
    uint32_t temp_result = 0;  // 0: the length of temp
    bool string_present = true;
    std::string scratch_name = TEXT_SCRATCH_NAME;
    bool scratch_ok = true;
    std::map<std::string, bool> chdir_ok;  // default true
    int32_t job_status = STATUS_OK;
    bool setup_present = true;
    std::vector<Listed> listing = {{".", true}, {"..", true}, {"setup.exe", false},
                                   {"readme.txt", false}, {"data", true}};
    std::map<std::string, int> held_rounds;  // name -> rounds it stays held
    std::map<std::string, bool> refuses;     // name -> FAILED
    int directory_held_rounds = 0;
    uint64_t clock_ms = 1000;
    std::vector<const char*> job_argv;
    std::string command_line_seen;

    uint32_t temp_path(char* buffer, uint32_t capacity) override
    {
        calls.push_back("temp_path");
        if (temp_result)
            return temp_result;
        if (temp.size() >= capacity)
            return static_cast<uint32_t>(temp.size() + 1);
        std::memcpy(buffer, temp.c_str(), temp.size() + 1);
        return static_cast<uint32_t>(temp.size());
    }
    int load_string(uint32_t id, char* buffer, int capacity) override
    {
        calls.push_back("load_string " + std::to_string(id));
        if (!string_present || id != STRING_SCRATCH_NAME) {
            buffer[0] = '\0';
            return 0;
        }
        std::string s = scratch_name.substr(0, static_cast<size_t>(capacity) - 1);
        std::memcpy(buffer, s.c_str(), s.size() + 1);
        return static_cast<int>(s.size());
    }
    bool make_scratch_directory(const char* path) override
    {
        calls.push_back(std::string("mkdir ") + path);
        return scratch_ok;
    }
    bool set_current_directory(const char* path) override
    {
        calls.push_back(std::string("chdir ") + path);
        auto it = chdir_ok.find(path);
        return it == chdir_ok.end() || it->second;
    }
    void show_fatal(const char* text) override
    {
        calls.push_back(std::string("fatal ") + text);
        messages.push_back(text);
    }
    int32_t run_extraction(int32_t argc, const char* const* argv) override
    {
        calls.push_back("extract");
        job_argv.assign(argv, argv + argc);
        return job_status;
    }
    bool file_exists(const char* path) override
    {
        calls.push_back(std::string("exists ") + path);
        return setup_present;
    }
    bool run_and_wait(const char* program, char* command_line) override
    {
        calls.push_back(std::string("run ") + program);
        command_line_seen = command_line;
        return true;
    }
    bool list_current_directory(PlatformVisitEntry visit, void* context) override
    {
        calls.push_back("list");
        for (const Listed& e : listing)
            if (!visit(context, e.name.c_str(), e.is_directory))
                break;
        return true;
    }
    RemoveOutcome delete_file(const char* name) override
    {
        calls.push_back(std::string("delete ") + name);
        if (refuses.count(name))
            return RemoveOutcome::FAILED;
        if (held_rounds[name] > 0) {
            held_rounds[name]--;
            return RemoveOutcome::HELD;
        }
        return RemoveOutcome::REMOVED;
    }
    RemoveOutcome remove_directory(const char* path) override
    {
        calls.push_back(std::string("rmdir ") + path);
        if (directory_held_rounds > 0) {
            directory_held_rounds--;
            return RemoveOutcome::HELD;
        }
        return RemoveOutcome::REMOVED;
    }
    uint64_t now_ms() override { return clock_ms; }
    void sleep_ms(uint32_t milliseconds) override { clock_ms += milliseconds; }
    void hide_splash() override { calls.push_back("hide"); }
    void end_splash() override { calls.push_back("end"); }

    int count(const std::string& call) const
    {
        int n = 0;
        for (const std::string& c : calls)
            n += c == call;
        return n;
    }
    bool called(const std::string& prefix) const
    {
        for (const std::string& c : calls)
            if (c.compare(0, prefix.size(), prefix) == 0)
                return true;
        return false;
    }
};

int run(ScriptedHost& host, InstallerWorker& worker)
{
    return installer_worker_run(worker, host);
}

}  // namespace

TEST(LauncherWorker, CompleteRunInOrder)
{
    ScriptedHost host;
    InstallerWorker worker;
    ASSERT_EQ(run(host, worker), 1);
    std::string setup = std::string(".") + platform_path_separator() + "setup.exe";
    std::vector<std::string> expected = {
        "temp_path", "load_string 2", "mkdir C:\\TEMP\\kelvo08.tmp", "chdir C:\\TEMP\\kelvo08.tmp",
        "extract", "hide", "exists " + setup, "run " + setup, "chdir C:\\TEMP\\kelvo08.tmp", "list",
        "delete setup.exe", "delete readme.txt", "chdir ..", "rmdir C:\\TEMP\\kelvo08.tmp", "end"};
    EXPECT_EQ(host.calls, expected);
    EXPECT_EQ(host.command_line_seen, "-install -up");
    ASSERT_EQ(host.job_argv.size(), 3u);
    EXPECT_STREQ(host.job_argv[0], "kelvo");
    EXPECT_STREQ(host.job_argv[1], "x");
    EXPECT_STREQ(host.job_argv[2], "kelvo");
    EXPECT_STREQ(worker.scratch_path, "C:\\TEMP\\kelvo08.tmp");
    EXPECT_EQ(worker.installer_started, 1);
    EXPECT_EQ(worker.files_left, 0);
    EXPECT_TRUE(host.messages.empty());
}

TEST(LauncherWorker, TemporaryPathFailuresEndBeforeAnythingIsMade)
{
    struct Case {
        const char* what;
        void (*arrange)(ScriptedHost&);
    } cases[] = {
        {"no temporary path", [](ScriptedHost& h) { h.temp_result = 0, h.temp = ""; }},
        {"path longer than the buffer", [](ScriptedHost& h) { h.temp = std::string(1200, 'a'); }},
        {"platform reports too small", [](ScriptedHost& h) { h.temp_result = 1400; }},
        {"scratch path one too long",
         [](ScriptedHost& h) { h.temp = std::string(989, 'a'); }},  // 989 + 11 = 1000
        {"string 2 missing", [](ScriptedHost& h) { h.string_present = false; }},
        {"string 2 empty", [](ScriptedHost& h) { h.scratch_name = ""; }},
        {"string 2 is ..", [](ScriptedHost& h) { h.scratch_name = ".."; }},
        {"string 2 has a separator", [](ScriptedHost& h) { h.scratch_name = "a\\..\\b"; }},
        {"string 2 has a slash", [](ScriptedHost& h) { h.scratch_name = "a/b"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedHost host;
        host.temp_result = 0;
        c.arrange(host);
        InstallerWorker worker;
        EXPECT_EQ(run(host, worker), 0);
        EXPECT_EQ(host.messages, std::vector<std::string>{"Unable to get temporary path"});
        EXPECT_FALSE(host.called("mkdir"));
        EXPECT_FALSE(host.called("extract"));
        EXPECT_FALSE(host.called("delete"));
        EXPECT_EQ(host.calls.back(), "end");
    }
}

TEST(LauncherWorker, LongestScratchPathThatFitsIsUsed)
{
    ScriptedHost host;
    host.temp = std::string(987, 'a') + "\\";  // 988 + 11 = 999 characters
    InstallerWorker worker;
    EXPECT_EQ(run(host, worker), 1);
    EXPECT_EQ(std::strlen(worker.scratch_path), 999u);
    EXPECT_TRUE(host.messages.empty());
}

TEST(LauncherWorker, ScratchFolderThatCannotBeUsedIsFatal)
{
    for (int refused_by_mkdir = 0; refused_by_mkdir < 2; refused_by_mkdir++) {
        ScriptedHost host;
        if (refused_by_mkdir)
            host.scratch_ok = false;
        else
            host.chdir_ok["C:\\TEMP\\kelvo08.tmp"] = false;
        InstallerWorker worker;
        EXPECT_EQ(run(host, worker), 0);
        EXPECT_EQ(host.messages, std::vector<std::string>{"Unable to set temporary directory"});
        EXPECT_FALSE(host.called("extract"));
        EXPECT_FALSE(host.called("list"));
        EXPECT_EQ(host.calls.back(), "end");
    }
}

TEST(LauncherWorker, FailedExtractionSkipsSetupButCleansUp)
{
    for (int32_t status : {STATUS_CRC_ERROR, STATUS_DECOMPRESSION_FAILED, STATUS_INTERRUPTED,
                           STATUS_WRITE_FAILED}) {
        SCOPED_TRACE(status);
        ScriptedHost host;
        host.job_status = status;
        InstallerWorker worker;
        EXPECT_EQ(run(host, worker), 1);
        EXPECT_EQ(worker.extract_status, status);
        EXPECT_FALSE(host.called("run "));
        EXPECT_FALSE(host.called("exists "));
        EXPECT_EQ(worker.installer_started, 0);
        EXPECT_EQ(host.count("delete setup.exe"), 1);
        EXPECT_EQ(host.count("rmdir C:\\TEMP\\kelvo08.tmp"), 1);
        EXPECT_EQ(host.calls.back(), "end");
        // The job shows its own message; the worker adds none.
        EXPECT_TRUE(host.messages.empty());
    }
}

TEST(LauncherWorker, MissingSetupGoesStraightToCleanUp)
{
    ScriptedHost host;
    host.setup_present = false;
    InstallerWorker worker;
    EXPECT_EQ(run(host, worker), 1);
    EXPECT_TRUE(host.called("exists "));
    EXPECT_FALSE(host.called("run "));
    EXPECT_EQ(host.count("rmdir C:\\TEMP\\kelvo08.tmp"), 1);
}

TEST(LauncherWorker, ScratchFolderGoneAfterSetupEndsWithoutCleanUp)
{
    InstallerWorker worker;
    // The first chdir succeeds, the one after the installer fails.
    struct SecondChdirFails : ScriptedHost {
        int chdirs = 0;
        bool set_current_directory(const char* path) override
        {
            calls.push_back(std::string("chdir ") + path);
            return ++chdirs == 1;
        }
    } failing;
    EXPECT_EQ(installer_worker_run(worker, failing), 0);
    EXPECT_TRUE(failing.called("run "));
    EXPECT_FALSE(failing.called("list"));
    EXPECT_FALSE(failing.called("delete"));
    EXPECT_FALSE(failing.called("rmdir"));
    EXPECT_EQ(failing.calls.back(), "end");
    EXPECT_TRUE(failing.messages.empty());
}

TEST(LauncherWorker, HeldFilesAreRetriedUntilTheyGo)
{
    ScriptedHost host;
    host.held_rounds["setup.exe"] = 3;  // the image is unmapped a moment late
    host.directory_held_rounds = 2;
    InstallerWorker worker;
    EXPECT_EQ(run(host, worker), 1);
    EXPECT_EQ(host.count("delete setup.exe"), 4);
    // Every round retries what is left; the rest went at the first try and
    // are not listed again by a real folder, but a retry is harmless.
    EXPECT_EQ(host.count("list"), 4);
    EXPECT_EQ(host.count("rmdir C:\\TEMP\\kelvo08.tmp"), 3);
    EXPECT_EQ(worker.files_left, 0);
    EXPECT_EQ(host.calls.back(), "end");
}

TEST(LauncherWorker, RetriesStopAfterAboutTwoSeconds)
{
    ScriptedHost host;
    host.held_rounds["setup.exe"] = 1000000;
    host.directory_held_rounds = 1000000;
    InstallerWorker worker;
    uint64_t start = host.clock_ms;
    EXPECT_EQ(run(host, worker), 1);
    uint64_t spent = host.clock_ms - start;
    EXPECT_GE(spent, 2 * CLEANUP_RETRY_MS);
    EXPECT_LE(spent, 2 * (CLEANUP_RETRY_MS + CLEANUP_PAUSE_MS));
    EXPECT_EQ(worker.files_left, 1);
    EXPECT_EQ(host.calls.back(), "end");
}

TEST(LauncherWorker, FilesThatRefuseAreNotRetried)
{
    ScriptedHost host;
    host.refuses["readme.txt"] = true;  // read-only: waiting changes nothing
    InstallerWorker worker;
    uint64_t start = host.clock_ms;
    EXPECT_EQ(run(host, worker), 1);
    EXPECT_EQ(host.count("delete readme.txt"), 1);
    EXPECT_EQ(host.count("list"), 1);
    EXPECT_EQ(host.clock_ms, start);
    EXPECT_EQ(worker.files_left, 1);
}

TEST(LauncherWorker, FoldersAreNeitherDeletedNorEntered)
{
    ScriptedHost host;
    host.listing = {{".", true}, {"..", true}, {"sub", true}, {"a.txt", false}};
    InstallerWorker worker;
    EXPECT_EQ(run(host, worker), 1);
    EXPECT_FALSE(host.called("delete sub"));
    EXPECT_FALSE(host.called("delete ."));
    EXPECT_EQ(host.count("delete a.txt"), 1);
    EXPECT_EQ(host.count("chdir C:\\TEMP\\kelvo08.tmp"), 2);
}
