#include "support/test_host.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <new>
#include <random>
#include <stdexcept>

#include "archive/header.h"
#include "archive/stream.h"
#include "decompress/bit_reader.h"

void TestHost::show_message(const char* text) { messages.emplace_back(text); }

int TestHost::read_key()
{
    keys_read++;
    if (keys.empty())
        return -1;
    int k = keys.front();
    keys.pop_front();
    return k;
}

void TestHost::write_stdout_char(int c) { stdout_chars.push_back(char(c)); }

void TestHost::volume_prompt(const char* volume_name) { prompts.emplace_back(volume_name); }

int TestHost::bells() const
{
    int n = 0;
    for (char c : stdout_chars)
        n += c == 7;
    return n;
}

TestJob::TestJob()
{
    cx.host = &host;
    crc_build_table(cx.crc);
    if (!job_obtain_buffers(cx))
        throw std::bad_alloc();
}

TestJob::~TestJob()
{
    stream_release(cx.stream);
    // Tests swap in hosts of their own that may be gone by now; the
    // buffers came from this one.
    cx.host = &host;
    job_release_buffers(cx);
}

static void set_name(JobContext& cx, const std::string& name)
{
    if (name.size() >= sizeof cx.job.archive_name)
        throw std::length_error("archive name too long for the job");
    std::memcpy(cx.job.archive_name, name.c_str(), name.size() + 1);
}

void TestJob::use_memory(const Bytes& bytes, const char* name)
{
    memory_ = bytes;
    stream_bind_memory(cx.stream, memory_.data(), uint32_t(memory_.size()));
    set_name(cx, name);
}

void TestJob::use_files(const std::string& path)
{
    stream_bind_files(cx.stream);
    set_name(cx, path);
}

int TestJob::open() { return open_archive(cx); }

TempDir::TempDir()
{
    namespace fs = std::filesystem;
    std::random_device seed;
    std::mt19937 rng(seed() ^ unsigned(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 100; attempt++) {
        fs::path p = fs::temp_directory_path() / ("kelvo-test-" + std::to_string(rng()));
        std::error_code ec;
        if (fs::create_directory(p, ec)) {
            path_ = p.string();
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const
{
    return (std::filesystem::path(path_) / name).string();
}
