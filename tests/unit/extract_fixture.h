// What the extraction tests share: a host that counts allocations, records
// what the engine reports and injects faults; a fresh working folder per
// test (with its parent watched for anything written outside); and a way
// to run one command line over archive bytes.
#pragma once

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "compress/archive_writer.h"
#include "extract/job.h"
#include "support/test_host.h"

namespace extract_test {

namespace fs = std::filesystem;

class ExtractHost : public TestHost {
public:
    // Memory.
    int allocations = 0;          // successful allocations
    int outstanding = 0;          // allocated and not yet released
    int fail_allocation_from = -1;  // attempts from this index on fail (-1: none)
    int allocation_attempts = 0;
    uint8_t fill_byte = 0xA5;     // what fresh blocks hold, to spot missing zeroing

    // Observation.
    std::vector<std::string> entries;  // on_entry names ("<null>" for null)
    std::vector<std::string> refused;  // names of REFUSED entries
    std::vector<std::string> refusal_reasons;
    std::vector<EntryEvent> ended;     // every on_entry_end (name and reason not kept)
    std::vector<WalkEvent> walks;      // every on_walk_end
    int archives_opened = 0;
    uint64_t data_bytes = 0;
    int data_calls = 0;
    std::function<void(JobContext&)> on_data_hook;  // run after every portion

    // Faults.
    int64_t write_budget = -1;  // bytes the output accepts in all (-1: no limit)

    void* allocate(size_t size) override
    {
        if (fail_allocation_from >= 0 && allocation_attempts++ >= fail_allocation_from)
            return nullptr;
        void* block = JobHost::allocate(size);
        if (block) {
            std::memset(block, fill_byte, size);
            allocations++;
            outstanding++;
        }
        return block;
    }
    void release(void* block) override
    {
        outstanding--;
        JobHost::release(block);
    }
    void on_entry(JobContext&, const char* name) override { entries.push_back(name ? name : "<null>"); }
    void on_data(JobContext& cx, uint32_t count) override
    {
        data_bytes += count;
        data_calls++;
        if (on_data_hook)
            on_data_hook(cx);
    }
    void on_archive_opened(JobContext&) override { archives_opened++; }
    void on_entry_end(JobContext&, const EntryEvent& event) override
    {
        if (event.result == EntryResult::REFUSED) {
            refused.push_back(event.name);
            refusal_reasons.push_back(event.reason);
        }
        ended.push_back(event);
        ended.back().name = ended.back().reason = nullptr;
    }
    void on_walk_end(JobContext&, const WalkEvent& event) override { walks.push_back(event); }
    int32_t write_output(int32_t fd, const void* data, uint32_t count) override
    {
        if (write_budget >= 0 && int64_t(count) > write_budget) {
            uint32_t part = uint32_t(write_budget);
            write_budget = 0;
            return part ? JobHost::write_output(fd, data, part) : 0;
        }
        if (write_budget >= 0)
            write_budget -= count;
        return JobHost::write_output(fd, data, count);
    }
};

// A fresh folder <tmp>/kelvo-test-N/work made current for the test's
// lifetime; <tmp>/kelvo-test-N is the parent that must stay untouched.
class WorkDir {
public:
    WorkDir() : saved_(fs::current_path())
    {
        work_ = fs::path(root_.path()) / "work";
        fs::create_directory(work_);
        fs::current_path(work_);
    }
    ~WorkDir()
    {
        std::error_code ec;
        fs::current_path(saved_, ec);
        // Read-only files left by a test must not keep the folder alive.
        for (auto it = fs::recursive_directory_iterator(root_.path(), ec); !ec && it != fs::end(it);
             it.increment(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;

    const fs::path& work() const { return work_; }
    fs::path parent() const { return root_.path(); }

private:
    TempDir root_;
    fs::path saved_;
    fs::path work_;
};

// Every path below dir, relative to it, with '/' separators; directories
// end in '/'.
inline std::set<std::string> tree(const fs::path& dir)
{
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        std::string rel = fs::relative(e.path(), dir).generic_string();
        if (fs::is_directory(fs::symlink_status(e.path())))
            rel += '/';
        out.insert(rel);
    }
    return out;
}

inline Bytes read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const fs::path& path, const Bytes& bytes) { ASSERT_TRUE(write_bytes_file(path.string(), bytes)); }

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Deterministic contents that do not repeat for a long while.
inline Bytes noise(size_t size, uint32_t seed)
{
    Bytes b(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = uint8_t(x >> 24);
    }
    return b;
}

// An archive entry path written with backslashes, as a host path below dir.
inline fs::path host_path(const fs::path& dir, const std::string& archive_path)
{
    fs::path p = dir;
    size_t start = 0;
    for (size_t i = 0; i <= archive_path.size(); i++) {
        if (i == archive_path.size() || archive_path[i] == '\\') {
            p /= archive_path.substr(start, i - start);
            start = i + 1;
        }
    }
    return p;
}

// Runs one command line. The archive comes from memory (every open serves
// it) or, with files = true, from the files named on the command line.
struct JobRun {
    ExtractHost host;
    JobContext cx;
    Bytes memory;

    JobRun() { cx.host = &host; }

    int32_t run(const std::vector<std::string>& args)
    {
        std::vector<const char*> argv;
        for (const auto& a : args)
            argv.push_back(a.c_str());
        extract_job_run(cx, int32_t(argv.size()), argv.data());
        return current_status(cx);
    }
    int32_t run_memory(const Bytes& archive, const std::vector<std::string>& args)
    {
        memory = archive;
        stream_bind_memory(cx.stream, memory.data(), uint32_t(memory.size()));
        return run(args);
    }
    int32_t run_files(const std::vector<std::string>& args)
    {
        stream_bind_files(cx.stream);
        return run(args);
    }
};

}  // namespace extract_test
