// The worker's sequence against a scripted host: every platform call is
// recorded, the job is played by the events it sends, and each test
// changes the answers it is about.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "extract/job.h"
#include "launcher/installer_worker.h"
#include "launcher/resource.h"
#include "support/test_host.h"

namespace {

const char SEP = platform_path_separator();

struct Listed {
    std::string name;
    bool is_folder;
};

struct PlayedEntry {
    std::string name;
    EntryResult result;
};

class ScriptedHost : public WorkerHost {
public:
    std::vector<std::string> calls;
    std::vector<std::string> messages;

    // Set-up.
    std::string temp = "C:\\TEMP\\";
    uint32_t temp_result = 0;  // 0: the length of temp
    bool string_present = true;
    std::string scratch_name = TEXT_SCRATCH_NAME;
    bool random_ok = true;
    uint8_t next_random = 0;         // bytes count up from here
    std::set<std::string> taken;     // paths where something stands
    std::set<std::string> unmakeable;
    std::map<std::string, bool> chdir_ok;  // default true

    // The job: the entries it reports, how its walk ends, its status.
    std::vector<PlayedEntry> played = {{"readme.txt", EntryResult::WRITTEN}, {"setup.exe", EntryResult::WRITTEN}};
    bool walk_reported = true;
    WalkEnd walk = WalkEnd::END_OF_DATA;
    int32_t job_status = STATUS_OK;
    std::vector<const char*> job_argv;

    // The installer program.
    bool setup_starts = true;
    uint32_t setup_exit_code = 0;
    std::string command_line_seen;

    // The tree left behind: folder path -> its entries (unlisted: empty).
    std::map<std::string, std::vector<Listed>> tree;
    std::map<std::string, int> held_rounds;  // path -> rounds it stays held
    std::set<std::string> refuses;           // path -> FAILED
    uint32_t clock_ms = 1000;

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
    bool random_bytes(void* buffer, uint32_t count) override
    {
        auto* b = static_cast<uint8_t*>(buffer);
        for (uint32_t i = 0; i < count; i++)
            b[i] = next_random++;
        return random_ok;
    }
    MakeOutcome make_private_directory(const char* path) override
    {
        calls.push_back(std::string("mkdir ") + path);
        if (unmakeable.count(path))
            return MakeOutcome::FAILED;
        if (!taken.insert(path).second)
            return MakeOutcome::EXISTS;
        return MakeOutcome::MADE;
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
    void run_job(JobContext& cx, int32_t argc, const char* const* argv) override
    {
        calls.push_back("extract");
        job_argv.assign(argv, argv + argc);
        for (const PlayedEntry& e : played)
            cx.host->on_entry_end(cx, EntryEvent{e.name.c_str(), e.result, nullptr, 0, 0});
        set_status(cx, job_status);
        if (walk_reported)
            cx.host->on_walk_end(cx, WalkEvent{walk, 0, 0, job_status});
    }
    bool run_and_wait(const char* program, char* command_line, uint32_t* exit_code) override
    {
        calls.push_back(std::string("run ") + program);
        command_line_seen = command_line;
        *exit_code = setup_exit_code;
        return setup_starts;
    }
    bool list_directory(const char* path, PlatformVisitEntry visit, void* context) override
    {
        calls.push_back(std::string("list ") + path);
        for (const Listed& e : tree[path])
            if (!visit(context, e.name.c_str(), e.is_folder))
                break;
        return true;
    }
    RemoveOutcome outcome(const std::string& path)
    {
        if (refuses.count(path))
            return RemoveOutcome::FAILED;
        if (held_rounds[path] > 0) {
            held_rounds[path]--;
            return RemoveOutcome::HELD;
        }
        return RemoveOutcome::REMOVED;
    }
    RemoveOutcome delete_file(const char* path) override
    {
        calls.push_back(std::string("delete ") + path);
        return outcome(path);
    }
    RemoveOutcome remove_directory(const char* path) override
    {
        calls.push_back(std::string("rmdir ") + path);
        return outcome(path);
    }
    uint32_t now_ms() override { return clock_ms; }
    void sleep_ms(uint32_t milliseconds) override { clock_ms += milliseconds; }
    void hide_splash() override { calls.push_back("hide"); }
    void end_splash(int32_t exit_code) override { calls.push_back("end " + std::to_string(exit_code)); }

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

// The private folder the scripted random bytes give first.
const std::string PRIVATE = "C:\\TEMP\\kelvo-0001020304050607";
const std::string SCRATCH = PRIVATE + SEP + "kelvo08.tmp";

}  // namespace

TEST(LauncherWorker, CompleteRunInOrder)
{
    ScriptedHost host;
    host.setup_exit_code = 7;
    host.tree[PRIVATE] = {{".", true}, {"..", true}, {"kelvo08.tmp", true}};
    host.tree[SCRATCH] = {{".", true}, {"..", true}, {"setup.exe", false}, {"data", true}};
    host.tree[SCRATCH + SEP + "data"] = {{"a.bin", false}, {"link", false}};
    InstallerWorker worker;
    EXPECT_EQ(installer_worker_run(worker, host), 7);
    std::string setup = std::string(".") + SEP + "setup.exe";
    std::vector<std::string> expected = {
        "temp_path", "load_string 2", "mkdir " + PRIVATE, "mkdir " + SCRATCH, "chdir " + SCRATCH, "extract",
        "hide", "run " + setup, "chdir C:\\TEMP\\",
        // Depth first; a link comes as a file and is deleted, not entered.
        "list " + PRIVATE, "list " + SCRATCH, "delete " + SCRATCH + SEP + "setup.exe",
        "list " + SCRATCH + SEP + "data", "delete " + SCRATCH + SEP + "data" + SEP + "a.bin",
        "delete " + SCRATCH + SEP + "data" + SEP + "link", "rmdir " + SCRATCH + SEP + "data",
        "rmdir " + SCRATCH, "rmdir " + PRIVATE, "end 7"};
    EXPECT_EQ(host.calls, expected);
    EXPECT_EQ(host.command_line_seen, "-install -up");
    ASSERT_EQ(host.job_argv.size(), 3u);
    EXPECT_STREQ(host.job_argv[0], "kelvo");
    EXPECT_STREQ(host.job_argv[1], "x");
    EXPECT_STREQ(host.job_argv[2], "kelvo");
    EXPECT_EQ(worker.scratch_path, SCRATCH);
    EXPECT_EQ(worker.installer_started, 1);
    EXPECT_EQ(worker.left_behind, 0);
    EXPECT_TRUE(host.messages.empty());
}

TEST(LauncherWorker, SetupRunsOnlyWhenThisRunWroteItFromAWholeArchive)
{
    const PlayedEntry readme{"readme.txt", EntryResult::WRITTEN};
    const PlayedEntry setup{"setup.exe", EntryResult::WRITTEN};
    struct Case {
        const char* what;
        std::vector<PlayedEntry> played;
        WalkEnd walk;
        int32_t status;
        const char* runs;  // the program started, or null
        int32_t exit_code;
        std::vector<std::string> messages;
    } cases[] = {
        {"written, whole archive", {readme, setup}, WalkEnd::END_OF_DATA, STATUS_OK, "setup.exe", 42, {}},
        {"another case", {{"SetUp.EXE", EntryResult::WRITTEN}}, WalkEnd::END_OF_DATA, STATUS_OK, "SetUp.EXE", 42, {}},
        {"only in a subfolder", {readme, {"sub\\setup.exe", EntryResult::WRITTEN}}, WalkEnd::END_OF_DATA,
         STATUS_OK, nullptr, 1, {}},
        {"no setup.exe", {readme}, WalkEnd::END_OF_DATA, STATUS_OK, nullptr, 1, {}},
        {"a longer name", {{"setup.exe.txt", EntryResult::WRITTEN}}, WalkEnd::END_OF_DATA, STATUS_OK, nullptr, 1, {}},
        {"not written (something in the way)", {{"setup.exe", EntryResult::NOT_WRITTEN}}, WalkEnd::END_OF_DATA,
         STATUS_OK, nullptr, 1, {}},
        {"written, then a later one of the name not", {setup, {"SETUP.exe", EntryResult::FOLDER}},
         WalkEnd::END_OF_DATA, STATUS_OK, nullptr, 1, {}},
        {"damaged header after it", {setup}, WalkEnd::DAMAGED_HEADER, STATUS_OK, nullptr, 8,
         {"Archive data is damaged"}},
        {"data cut short after it", {setup}, WalkEnd::CUT_SHORT, STATUS_OK, nullptr, 8, {"Archive data is damaged"}},
        // The job has shown its own message.
        {"CRC error", {setup, readme}, WalkEnd::END_OF_DATA, STATUS_CRC_ERROR, nullptr, 9, {}},
        {"write failed", {setup, {"x", EntryResult::FAILED}}, WalkEnd::STOPPED, STATUS_WRITE_FAILED, nullptr, 7, {}},
        {"interrupted", {setup}, WalkEnd::STOPPED, STATUS_INTERRUPTED, nullptr, 255, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedHost host;
        host.setup_exit_code = 42;
        host.played = c.played;
        host.walk = c.walk;
        host.job_status = c.status;
        InstallerWorker worker;
        EXPECT_EQ(installer_worker_run(worker, host), c.exit_code);
        EXPECT_EQ(host.messages, c.messages);
        if (c.runs)
            EXPECT_EQ(host.count(std::string("run .") + SEP + c.runs), 1);
        else
            EXPECT_FALSE(host.called("run "));
        // Clean-up all the same, after the window was hidden.
        EXPECT_EQ(host.count("rmdir " + PRIVATE), 1);
        EXPECT_LT(std::find(host.calls.begin(), host.calls.end(), "hide"),
                  std::find(host.calls.begin(), host.calls.end(), "rmdir " + PRIVATE));
        EXPECT_EQ(host.calls.back(), "end " + std::to_string(c.exit_code));
    }
}

TEST(LauncherWorker, NoWalkReportedOrSetupThatWillNotStart)
{
    {
        ScriptedHost host;
        host.walk_reported = false;
        InstallerWorker worker;
        EXPECT_EQ(installer_worker_run(worker, host), 8);
        EXPECT_EQ(host.messages, std::vector<std::string>{"Archive data is damaged"});
        EXPECT_FALSE(host.called("run "));
    }
    {
        ScriptedHost host;
        host.setup_starts = false;
        InstallerWorker worker;
        EXPECT_EQ(installer_worker_run(worker, host), 1);
        EXPECT_EQ(worker.installer_started, 0);
        EXPECT_EQ(host.count("rmdir " + PRIVATE), 1);
    }
}

TEST(LauncherWorker, PrivateFolderNamesAreDrawnAgainWhenTaken)
{
    ScriptedHost host;
    host.taken = {PRIVATE, "C:\\TEMP\\kelvo-08090a0b0c0d0e0f"};
    InstallerWorker worker;
    EXPECT_EQ(installer_worker_run(worker, host), 0);
    EXPECT_STREQ(worker.private_path, "C:\\TEMP\\kelvo-1011121314151617");
    EXPECT_EQ(host.count("mkdir " + PRIVATE), 1);
    // What stood there is neither entered nor removed.
    EXPECT_FALSE(host.called("list " + PRIVATE));
    EXPECT_FALSE(host.called("rmdir " + PRIVATE));
    EXPECT_EQ(host.count("rmdir C:\\TEMP\\kelvo-1011121314151617"), 1);
}

TEST(LauncherWorker, PrivateFolderFailuresAreFatal)
{
    struct Case {
        const char* what;
        void (*arrange)(ScriptedHost&);
        bool private_removed;
    } cases[] = {
        {"no random bytes", [](ScriptedHost& h) { h.random_ok = false; }, false},
        {"every name taken",
         [](ScriptedHost& h) {
             for (int i = 0; i < PRIVATE_NAME_ATTEMPTS; i++) {
                 char name[40];
                 std::snprintf(name, sizeof name, "C:\\TEMP\\kelvo-%02x%02x%02x%02x%02x%02x%02x%02x", 8 * i,
                               8 * i + 1, 8 * i + 2, 8 * i + 3, 8 * i + 4, 8 * i + 5, 8 * i + 6, 8 * i + 7);
                 h.taken.insert(name);
             }
         },
         false},
        {"private folder cannot be made", [](ScriptedHost& h) { h.unmakeable = {PRIVATE}; }, false},
        {"scratch folder cannot be made", [](ScriptedHost& h) { h.unmakeable = {SCRATCH}; }, true},
        {"scratch folder cannot be entered", [](ScriptedHost& h) { h.chdir_ok[SCRATCH] = false; }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedHost host;
        c.arrange(host);
        InstallerWorker worker;
        EXPECT_EQ(installer_worker_run(worker, host), 1);
        EXPECT_EQ(host.messages, std::vector<std::string>{"Unable to set temporary directory"});
        EXPECT_FALSE(host.called("extract"));
        EXPECT_EQ(host.called("rmdir " + PRIVATE), c.private_removed);
        EXPECT_EQ(host.calls.back(), "end 1");
    }
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
        // 966 + 22 (kelvo-<16 digits>) + 1 + 11 = 1000
        {"scratch path one too long", [](ScriptedHost& h) { h.temp = std::string(966, 'a'); }},
        {"string 2 missing", [](ScriptedHost& h) { h.string_present = false; }},
        {"string 2 empty", [](ScriptedHost& h) { h.scratch_name = ""; }},
        {"string 2 is ..", [](ScriptedHost& h) { h.scratch_name = ".."; }},
        {"string 2 has a separator", [](ScriptedHost& h) { h.scratch_name = "a\\..\\b"; }},
        {"string 2 has a slash", [](ScriptedHost& h) { h.scratch_name = "a/b"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedHost host;
        c.arrange(host);
        InstallerWorker worker;
        EXPECT_EQ(installer_worker_run(worker, host), 1);
        EXPECT_EQ(host.messages, std::vector<std::string>{"Unable to get temporary path"});
        EXPECT_FALSE(host.called("mkdir"));
        EXPECT_FALSE(host.called("extract"));
        EXPECT_EQ(host.calls.back(), "end 1");
    }
    ScriptedHost host;
    host.temp = std::string(965, 'a');  // 999 characters: fits
    InstallerWorker worker;
    EXPECT_EQ(installer_worker_run(worker, host), 0);
    EXPECT_EQ(std::strlen(worker.scratch_path), 999u);
}

TEST(LauncherWorker, HeldFilesAreRetriedUntilTheyGo)
{
    ScriptedHost host;
    host.tree[PRIVATE] = {{"kelvo08.tmp", true}};
    host.tree[SCRATCH] = {{"setup.exe", false}, {"readme.txt", false}};
    host.held_rounds[SCRATCH + SEP + "setup.exe"] = 3;  // the image is unmapped a moment late
    InstallerWorker worker;
    EXPECT_EQ(installer_worker_run(worker, host), 0);
    EXPECT_EQ(host.count("delete " + SCRATCH + SEP + "setup.exe"), 4);
    EXPECT_EQ(host.count("list " + PRIVATE), 4);
    EXPECT_EQ(worker.left_behind, 0);
}

TEST(LauncherWorker, RetriesStopAfterAboutTwoSecondsAndRefusalsAreNotRetried)
{
    // The clock wraps every 2^32 ms (Windows' 32-bit tick count): a run
    // across the wrap waits as long as any other.
    for (auto [held, clock] : {std::pair{true, 1000u}, {false, 1000u}, {true, 0xFFFFF000u}}) {
        SCOPED_TRACE(held);
        ScriptedHost host;
        host.clock_ms = clock;
        host.tree[PRIVATE] = {{"kelvo08.tmp", true}};
        host.tree[SCRATCH] = {{"setup.exe", false}};
        if (held)
            host.held_rounds[SCRATCH + SEP + "setup.exe"] = 1000000;
        else
            host.refuses = {SCRATCH + SEP + "setup.exe"};
        InstallerWorker worker;
        uint32_t start = host.clock_ms;
        EXPECT_EQ(installer_worker_run(worker, host), 0);
        uint32_t spent = host.clock_ms - start;
        if (held) {
            EXPECT_GE(spent, CLEANUP_RETRY_MS);
            EXPECT_LE(spent, CLEANUP_RETRY_MS + CLEANUP_PAUSE_MS);
        } else {
            EXPECT_EQ(spent, 0u);
            EXPECT_EQ(host.count("list " + PRIVATE), 1);
        }
        // The file (the scripted folders go regardless).
        EXPECT_EQ(worker.left_behind, 1);
        EXPECT_EQ(host.calls.back(), "end 0");
    }
}

// The real platform underneath the worker's clean-up and private folders
// (under Wine this is the Win32 side).
TEST(LauncherPlatform, PrivateFoldersAreNewAndTheirTreesGoWhole)
{
    namespace fs = std::filesystem;
    TempDir dir;
    const std::string root = dir.file("private"), sub = root + SEP + "sub", ro = sub + SEP + "ro.txt";
    EXPECT_EQ(platform_make_private_directory(root.c_str()), MakeOutcome::MADE);
    EXPECT_EQ(platform_make_private_directory(root.c_str()), MakeOutcome::EXISTS);
    std::ofstream(dir.file("file")) << "x";
    EXPECT_EQ(platform_make_private_directory(dir.file("file").c_str()), MakeOutcome::EXISTS);
    EXPECT_EQ(platform_make_private_directory(dir.file("none/deeper").c_str()), MakeOutcome::FAILED);
#ifndef _WIN32
    EXPECT_EQ(fs::status(root).permissions(), fs::perms::owner_all);
#endif
    ASSERT_EQ(platform_make_private_directory(sub.c_str()), MakeOutcome::MADE);
    std::ofstream(ro) << "read-only";
    std::ofstream(root + SEP + "top.txt") << "top";
    fs::permissions(ro, fs::perms::owner_read);

    std::set<std::pair<std::string, bool>> listed;
    auto collect = [](void* context, const char* name, bool is_folder) {
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
            static_cast<std::set<std::pair<std::string, bool>>*>(context)->insert({name, is_folder});
        return true;
    };
    EXPECT_TRUE(platform_list_directory(root.c_str(), collect, &listed));
    EXPECT_EQ(listed, (std::set<std::pair<std::string, bool>>{{"sub", true}, {"top.txt", false}}));
    EXPECT_FALSE(platform_list_directory(dir.file("missing").c_str(), collect, &listed));

    EXPECT_EQ(platform_remove_scratch_directory(sub.c_str()), RemoveOutcome::FAILED);  // not empty
    EXPECT_EQ(platform_delete_scratch_file(ro.c_str()), RemoveOutcome::REMOVED);
    EXPECT_EQ(platform_delete_scratch_file(sub.c_str()), RemoveOutcome::FAILED);  // a folder
    EXPECT_EQ(platform_remove_scratch_directory(sub.c_str()), RemoveOutcome::REMOVED);
    EXPECT_FALSE(fs::exists(sub));

    uint8_t a[16] = {}, b[16] = {};
    EXPECT_TRUE(platform_random_bytes(a, sizeof a));
    EXPECT_TRUE(platform_random_bytes(b, sizeof b));
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
}
