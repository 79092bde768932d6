// The worker's whole sequence on the native platform, with the real engine
// unpacking an archive from memory: a private scratch folder, the installer
// program run as a child, clean-up. POSIX only (the Windows side is proven
// under Wine by the integration tests).
#include <gtest/gtest.h>

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

// A setup.exe that reports what it was given and where it ran.
Bytes report_script(const std::string& report)
{
    return text("#!/bin/sh\n"
                "{ printf 'args=%s|\\n' \"$*\"; printf 'argc=%s\\n' \"$#\"; "
                "printf 'pwd=%s\\n' \"$(pwd)\"; printf 'mode=%s\\n' \"$(stat -c %a .)\"; "
                "printf 'token=%s\\n' \"$KELVO_TEST_TOKEN\"; ls -1; } > '" +
                report + "'\n");
}

// The real platform underneath; the archive comes from memory and the
// temporary folder is the test's own.
class NativeHost : public WorkerHost {
public:
    std::string temp;
    Bytes archive;
    TestHost job_host;  // the job's messages
    std::vector<std::string> messages;

    uint32_t temp_path(char* buffer, uint32_t capacity) override
    {
        if (temp.size() >= capacity)
            return static_cast<uint32_t>(temp.size() + 1);
        std::memcpy(buffer, temp.c_str(), temp.size() + 1);
        return static_cast<uint32_t>(temp.size());
    }
    void show_fatal(const char* text) override { messages.push_back(text); }
    int32_t run_extraction(int32_t argc, const char* const* argv) override
    {
        auto cx = std::make_unique<JobContext>();
        cx->host = &job_host;
        stream_bind_memory(cx->stream, archive.data(), static_cast<uint32_t>(archive.size()));
        extract_job_run(*cx, argc, argv);
        return current_status(*cx);
    }
};

class LauncherNative : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_cwd = fs::current_path();
        host.temp = dir.path() + "/";
        scratch = fs::path(dir.path()) / "kelvo08.tmp";
        report = fs::path(dir.path()) / "report.txt";
    }
    void TearDown() override
    {
        fs::current_path(saved_cwd);
    }
    int run()
    {
        InstallerWorker worker;
        int result = installer_worker_run(worker, host);
        status = worker.extract_status;
        return result;
    }

    TempDir dir;
    fs::path saved_cwd;
    fs::path scratch, report;
    NativeHost host;
    int32_t status = -1;
};

}  // namespace

TEST_F(LauncherNative, UnpacksRunsSetupInAPrivateFolderAndCleansUp)
{
    ArchiveWriter w;
    MainHeaderFields solid;
    solid.flags = FLAG_SOLID;
    w.main_header(solid);
    w.stored_file("setup.exe", report_script(report.string()));
    w.stored_file("readme.txt", text("hello\n"));
    w.stored_file("data.bin", Bytes(5000, 0x5A));
    host.archive = w.take();
    setenv("KELVO_TEST_TOKEN", "inherited-42", 1);

    EXPECT_EQ(run(), 1);
    unsetenv("KELVO_TEST_TOKEN");
    EXPECT_EQ(status, STATUS_OK);
    std::string r = read_file(report);
    EXPECT_NE(r.find("args=-install -up|\n"), std::string::npos) << r;
    EXPECT_NE(r.find("argc=2\n"), std::string::npos) << r;
    EXPECT_NE(r.find("pwd=" + fs::canonical(dir.path()).string() + "/kelvo08.tmp\n"), std::string::npos) << r;
    EXPECT_NE(r.find("mode=700\n"), std::string::npos) << r;
    EXPECT_NE(r.find("token=inherited-42\n"), std::string::npos) << r;
    EXPECT_NE(r.find("data.bin\nreadme.txt\nsetup.exe\n"), std::string::npos) << r;
    EXPECT_FALSE(fs::exists(scratch));
    EXPECT_TRUE(host.messages.empty());
    EXPECT_TRUE(host.job_host.messages.empty());
}

TEST_F(LauncherNative, SetupIsNotRunAfterAFailedExtraction)
{
    ArchiveWriter w;
    w.main_header();
    w.stored_file("setup.exe", report_script(report.string()));
    w.stored_file("tail.dat", Bytes(3000, 0x11));
    w.damage(w.size() - 10);  // inside the last entry: a CRC mismatch
    host.archive = w.take();

    EXPECT_EQ(run(), 1);
    EXPECT_EQ(status, STATUS_CRC_ERROR);
    EXPECT_EQ(host.job_host.messages, std::vector<std::string>{"CRC error"});
    EXPECT_FALSE(fs::exists(report)) << "setup.exe ran after a failed extraction";
    EXPECT_FALSE(fs::exists(scratch));
}

TEST_F(LauncherNative, MissingSetupStillCleansUp)
{
    ArchiveWriter w;
    w.main_header();
    w.stored_file("readme.txt", text("no installer here\n"));
    host.archive = w.take();
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(status, STATUS_OK);
    EXPECT_FALSE(fs::exists(scratch));
}

TEST_F(LauncherNative, SubfoldersStayAndWithThemTheScratchFolder)
{
    ArchiveWriter w;
    w.main_header();
    w.stored_file("setup.exe", report_script(report.string()));
    w.stored_file("lib\\part.dat", text("kept"));
    w.stored_file("top.txt", text("removed"));
    host.archive = w.take();
    EXPECT_EQ(run(), 1);
    EXPECT_TRUE(fs::exists(report));
    EXPECT_TRUE(fs::exists(scratch / "lib" / "part.dat"));
    EXPECT_FALSE(fs::exists(scratch / "top.txt"));
    EXPECT_FALSE(fs::exists(scratch / "setup.exe"));
}

TEST_F(LauncherNative, LeftoverFolderIsReusedMadePrivateAndEmptied)
{
    fs::create_directory(scratch);
    fs::permissions(scratch, fs::perms::owner_all | fs::perms::group_all | fs::perms::others_read |
                                 fs::perms::others_exec);
    std::ofstream(scratch / "old.txt") << "from an earlier run";
    ArchiveWriter w;
    w.main_header();
    w.stored_file("setup.exe", report_script(report.string()));
    host.archive = w.take();
    EXPECT_EQ(run(), 1);
    std::string r = read_file(report);
    EXPECT_NE(r.find("mode=700\n"), std::string::npos) << r;
    EXPECT_NE(r.find("old.txt\n"), std::string::npos) << r;
    EXPECT_FALSE(fs::exists(scratch));
}

TEST_F(LauncherNative, SymbolicLinkAtTheScratchPathIsRefused)
{
    fs::path elsewhere = fs::path(dir.path()) / "elsewhere";
    fs::create_directory(elsewhere);
    std::ofstream(elsewhere / "precious.txt") << "must survive";
    fs::create_directory_symlink(elsewhere, scratch);
    ArchiveWriter w;
    w.main_header();
    w.stored_file("setup.exe", report_script(report.string()));
    host.archive = w.take();

    EXPECT_EQ(run(), 0);
    EXPECT_EQ(host.messages, std::vector<std::string>{"Unable to set temporary directory"});
    EXPECT_TRUE(fs::exists(elsewhere / "precious.txt"));
    EXPECT_FALSE(fs::exists(elsewhere / "setup.exe"));
    EXPECT_FALSE(fs::exists(report));
    EXPECT_TRUE(fs::is_symlink(scratch));
}

TEST_F(LauncherNative, FileAtTheScratchPathIsRefused)
{
    std::ofstream(scratch) << "not a folder";
    ArchiveWriter w;
    w.main_header();
    w.stored_file("setup.exe", report_script(report.string()));
    host.archive = w.take();
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(host.messages, std::vector<std::string>{"Unable to set temporary directory"});
    EXPECT_EQ(read_file(scratch), "not a folder");
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
