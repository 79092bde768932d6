// The worker's whole sequence on the native platform, with the real engine
// unpacking an archive from memory: a private scratch folder, the installer
// program run as a child, clean-up. POSIX only (the Windows side is proven
// under Wine by the integration tests).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "archive/stream.h"
#include "compress/archive_writer.h"
#include "extract/job.h"
#include "launcher/installer_worker.h"
#include "support/test_host.h"

// setenv and the shell-script installer exist on POSIX only.
#ifndef _WIN32

namespace fs = std::filesystem;

namespace {

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string read_file(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A setup.exe that reports what it was given and where it ran, then runs
// the extra shell text and ends with the exit code.
Bytes report_script(const std::string& report, const std::string& extra = "", int exit_code = 0)
{
    return text("#!/bin/sh\n"
                "{ printf 'args=%s|\\n' \"$*\"; printf 'argc=%s\\n' \"$#\"; "
                "printf 'pwd=%s\\n' \"$(pwd)\"; printf 'mode=%s\\n' \"$(stat -c %a ..)\"; "
                "printf 'token=%s\\n' \"$KELVO_TEST_TOKEN\"; ls -1; } > '" +
                report + "'\n" + extra + "\nexit " + std::to_string(exit_code) + "\n");
}

// The real platform underneath; the archive comes from memory and the
// temporary folder is the test's own.
class NativeHost : public WorkerHost {
public:
    std::string temp;
    Bytes archive;
    TestHost messages_host;  // the job's messages
    std::vector<std::string> messages;

    uint32_t temp_path(char* buffer, uint32_t capacity) override
    {
        if (temp.size() >= capacity)
            return static_cast<uint32_t>(temp.size() + 1);
        std::memcpy(buffer, temp.c_str(), temp.size() + 1);
        return static_cast<uint32_t>(temp.size());
    }
    void show_fatal(const char* text) override { messages.push_back(text); }
    JobHost& job_host() override { return messages_host; }
    void run_job(JobContext& cx, int32_t argc, const char* const* argv) override
    {
        stream_bind_memory(cx.stream, archive.data(), static_cast<uint32_t>(archive.size()));
        extract_job_run(cx, argc, argv);
    }
};

class LauncherNative : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_cwd = fs::current_path();
        host.temp = dir.path() + "/";
        report = fs::path(dir.path()) / "report.txt";
    }
    void TearDown() override { fs::current_path(saved_cwd); }
    int run()
    {
        exit_code = installer_worker_run(worker, host);
        return exit_code;
    }
    // What is in the temporary folder besides the report.
    std::vector<std::string> left_in_temp() const
    {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir.path()))
            if (e.path() != report)
                names.push_back(e.path().filename().string());
        return names;
    }
    std::string setup_folder() const
    {
        std::string r = read_file(report);
        size_t at = r.find("pwd=");
        return at == std::string::npos ? "" : r.substr(at + 4, r.find('\n', at) - at - 4);
    }

    TempDir dir;
    fs::path saved_cwd;
    fs::path report;
    NativeHost host;
    InstallerWorker worker;
    int exit_code = -1;
};

}  // namespace

TEST_F(LauncherNative, UnpacksRunsSetupInANewPrivateFolderAndLeavesNothing)
{
    // setup.exe leaves more behind: a read-only file, a folder closed to
    // its owner, and links out of the folder that must not be followed.
    fs::path outside = fs::path(dir.path()) / "outside";
    fs::create_directory(outside);
    std::ofstream(outside / "precious.txt") << "must survive";
    const std::string extra = "touch ro.txt; chmod 444 ro.txt; mkdir -p shut/in; touch shut/in/x; chmod 500 shut; "
                              "ln -s '" + outside.string() + "' link; ln -s '" + (outside / "precious.txt").string() +
                              "' filelink";
    ArchiveWriter w;
    MainHeaderFields solid;
    solid.flags = FLAG_SOLID;
    w.main_header(solid);
    w.stored_file("setup.exe", report_script(report.string(), extra, 7));
    w.stored_file("readme.txt", text("hello\n"));
    w.stored_file("lib\\deep\\part.dat", Bytes(5000, 0x5A));
    host.archive = w.take();
    setenv("KELVO_TEST_TOKEN", "inherited-42", 1);

    EXPECT_EQ(run(), 7);  // setup.exe's own exit code
    unsetenv("KELVO_TEST_TOKEN");
    EXPECT_EQ(worker.extract_status, STATUS_OK);
    std::string r = read_file(report);
    EXPECT_NE(r.find("args=-install -up|\n"), std::string::npos) << r;
    EXPECT_NE(r.find("argc=2\n"), std::string::npos) << r;
    const std::string base = fs::canonical(dir.path()).string() + "/kelvo-";
    const std::string folder = setup_folder();
    EXPECT_EQ(folder.substr(0, base.size()), base);
    EXPECT_EQ(folder.size(), base.size() + 16 + std::strlen("/kelvo08.tmp"));
    EXPECT_EQ(folder.substr(folder.size() - 12), "/kelvo08.tmp");
    EXPECT_NE(r.find("mode=700\n"), std::string::npos) << r;
    EXPECT_NE(r.find("token=inherited-42\n"), std::string::npos) << r;
    EXPECT_NE(r.find("lib\nreadme.txt\nsetup.exe\n"), std::string::npos) << r;
    EXPECT_EQ(left_in_temp(), std::vector<std::string>{"outside"});
    EXPECT_EQ(read_file(outside / "precious.txt"), "must survive");
    EXPECT_EQ(worker.left_behind, 0);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_TRUE(host.messages_host.messages.empty());
}

TEST_F(LauncherNative, LaterEntryOfTheSameNameReplacesTheEarlierOne)
{
    // The worker answers "is it there?" from the paths the run has made:
    // a name made once must still be found, in any ASCII case on Windows;
    // and a folder whose name only begins the last one made is not there
    // yet ("dat" beside "data\sub").
    ArchiveWriter w;
    w.main_header();
    w.stored_file("data\\a.txt", text("first\n"));
    w.stored_file("data\\sub\\b.txt", text("b\n"));
    w.stored_file("dat\\c.txt", text("c\n"));
    w.stored_file("data\\a.txt", text("second\n"));
    w.stored_file("setup.exe", report_script(report.string(), "cat data/a.txt dat/c.txt >> '" + report.string() + "'"));
    host.archive = w.take();
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(worker.extract_status, STATUS_OK);
    const std::string r = read_file(report);
    EXPECT_NE(r.find("second\nc\n"), std::string::npos) << r;
    EXPECT_EQ(r.find("first\n"), std::string::npos) << r;
    EXPECT_TRUE(host.messages_host.messages.empty());
}

TEST_F(LauncherNative, SetupIsNotRunAfterAFailedOrDamagedExtraction)
{
    struct Case {
        const char* what;
        bool damage_header;  // else: damaged data (a CRC mismatch)
        int exit_code;
        std::vector<std::string> job_messages, worker_messages;
    } cases[] = {
        {"checksum wrong", false, STATUS_CRC_ERROR, {"CRC error"}, {}},
        {"damaged header after setup.exe", true, 8, {}, {"Archive data is damaged"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NativeHost fresh;
        fresh.temp = host.temp;
        ArchiveWriter w;
        w.main_header();
        w.stored_file("setup.exe", report_script(report.string()));
        const size_t second = w.size();
        w.stored_file("middle.dat", Bytes(3000, 0x11));
        w.stored_file("tail.dat", Bytes(3000, 0x22));
        w.damage(c.damage_header ? second + 5 : w.size() - 10);
        fresh.archive = w.take();
        InstallerWorker run_worker;
        EXPECT_EQ(installer_worker_run(run_worker, fresh), c.exit_code);
        EXPECT_EQ(fresh.messages_host.messages, c.job_messages);
        EXPECT_EQ(fresh.messages, c.worker_messages);
        EXPECT_FALSE(fs::exists(report)) << "setup.exe ran";
        EXPECT_TRUE(left_in_temp().empty());
    }
}

TEST_F(LauncherNative, MissingSetupEndsWithOneAndCleansUp)
{
    ArchiveWriter w;
    w.main_header();
    w.stored_file("readme.txt", text("no installer here\n"));
    w.stored_file("sub\\setup.exe", report_script(report.string()));
    host.archive = w.take();
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(worker.extract_status, STATUS_OK);
    EXPECT_FALSE(fs::exists(report));
    EXPECT_TRUE(left_in_temp().empty());
}

TEST_F(LauncherNative, PlantedScratchFolderIsNeitherUsedNorChanged)
{
    // Someone prepared the old fixed path: a folder with a program of the
    // same name, read-only, and a library beside it; and a link.
    fs::path planted = fs::path(dir.path()) / "kelvo08.tmp";
    fs::create_directory(planted);
    std::ofstream(planted / "setup.exe") << "#!/bin/sh\necho planted > '" << report.string() << "'\n";
    std::ofstream(planted / "libplanted.so") << "planted";
    fs::permissions(planted / "setup.exe", fs::perms::owner_read | fs::perms::owner_exec);
    fs::create_directory_symlink(planted, fs::path(dir.path()) / "kelvo-link");
    ArchiveWriter w;
    w.main_header();
    w.stored_file("setup.exe", report_script(report.string()));
    host.archive = w.take();

    EXPECT_EQ(run(), 0);
    EXPECT_NE(read_file(report).find("args=-install -up|"), std::string::npos) << "the planted program ran";
    EXPECT_NE(setup_folder(), fs::canonical(planted).string());
    EXPECT_EQ(read_file(planted / "libplanted.so"), "planted");
    EXPECT_NE(read_file(planted / "setup.exe").find("echo planted"), std::string::npos);
    std::vector<std::string> left = left_in_temp();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"kelvo-link", "kelvo08.tmp"}));
    fs::permissions(planted / "setup.exe", fs::perms::owner_all);
}

TEST_F(LauncherNative, EveryRunHasAFolderOfItsOwn)
{
    ArchiveWriter w;
    w.main_header();
    w.stored_file("setup.exe", report_script(report.string()));
    host.archive = w.take();
    std::string folders[2];
    for (std::string& f : folders) {
        EXPECT_EQ(run(), 0);
        f = setup_folder();
    }
    EXPECT_NE(folders[0], folders[1]);
    EXPECT_FALSE(folders[0].empty());
}
TEST_F(LauncherNative, TemporaryFolderFromTheEnvironment)
{
    // The default host's temporary path: $TMPDIR with a separator added,
    // /tmp without it or when it is not absolute.
    WorkerHost plain;
    char buffer[TEMP_PATH_CAPACITY];
    std::string saved = getenv("TMPDIR") ? getenv("TMPDIR") : "";
    setenv("TMPDIR", "/var/tmp/x", 1);
    EXPECT_EQ(plain.temp_path(buffer, TEMP_PATH_CAPACITY), 11u);
    EXPECT_STREQ(buffer, "/var/tmp/x/");
    setenv("TMPDIR", ("/" + std::string(1200, 'a')).c_str(), 1);
    EXPECT_GE(plain.temp_path(buffer, TEMP_PATH_CAPACITY), TEMP_PATH_CAPACITY);
    setenv("TMPDIR", "relative/tmp", 1);
    EXPECT_EQ(plain.temp_path(buffer, TEMP_PATH_CAPACITY), 5u);
    EXPECT_STREQ(buffer, "/tmp/");
    unsetenv("TMPDIR");
    EXPECT_EQ(plain.temp_path(buffer, TEMP_PATH_CAPACITY), 5u);
    EXPECT_STREQ(buffer, "/tmp/");
    if (!saved.empty())
        setenv("TMPDIR", saved.c_str(), 1);

    char name[SCRATCH_NAME_CAPACITY];
    EXPECT_EQ(plain.load_string(2, name, SCRATCH_NAME_CAPACITY), 11);
    EXPECT_STREQ(name, "kelvo08.tmp");
    EXPECT_EQ(plain.load_string(1, name, SCRATCH_NAME_CAPACITY), 15);
    EXPECT_STREQ(name, "Initializing...");
    EXPECT_EQ(plain.load_string(3, name, SCRATCH_NAME_CAPACITY), 0);
}

#endif  // _WIN32
