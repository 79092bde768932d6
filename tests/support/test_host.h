// A scripted JobHost for tests, and a fixture that gives a JobContext the
// work buffers the archive readers need without running the job.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "compress/archive_writer.h"
#include "extract/host.h"
#include "extract/job.h"

// Records messages, prompts and characters written to standard output;
// plays keys from a queue (-1, the end of input, once it is empty). File
// operations and memory use the platform defaults.
class TestHost : public JobHost {
public:
    std::vector<std::string> messages;
    std::vector<std::string> prompts;  // volume names the prompt asked for
    std::deque<int> keys;
    std::string stdout_chars;
    int keys_read = 0;

    void show_message(const char* text) override;
    int read_key() override;
    void write_stdout_char(int c) override;
    void flush_stdout() override {}
    void volume_prompt(const char* volume_name) override;

    int bells() const;
};

// A JobContext with the CRC table built, the four work buffers allocated
// (given back on destruction, with any file the stream has open) and
// the TestHost installed.
struct TestJob {
    TestHost host;
    JobContext cx;

    TestJob();
    ~TestJob();
    TestJob(const TestJob&) = delete;
    TestJob& operator=(const TestJob&) = delete;

    // archive_name = name; the stream serves bytes (kept alive here)
    // whatever name is opened.
    void use_memory(const Bytes& bytes, const char* name = "test.ACE");
    // archive_name = path; the stream opens files by name.
    void use_files(const std::string& path);
    // open_archive() under the names above.
    int open();

private:
    Bytes memory_;
};

// A fresh directory under the system's temporary directory, removed with
// everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + separator + name
    std::string file(const std::string& name) const;

private:
    std::string path_;
};
