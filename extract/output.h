// Where one entry goes: the directories on its path, whatever stood there
// before, and the new output file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "archive/packed.h"
#include "extract/host.h"

struct JobContext;

// The descriptor of the new output file, or -1: for a folder entry, after a
// failure (in the status), or when nothing could be made (then *why, when
// given, says what stood in the way).
int32_t create_output(JobContext& cx, const char* path, uint32_t attributes, const char** why = nullptr);
// The reason create_output gives when the host chose to keep what stands
// at the path.
extern const char OUTPUT_KEPT[];
void make_parent_dirs(JobContext& cx, const char* path);
int remove_existing(JobContext& cx, const char* path);

// A folder a host knows to be there as a real folder (it made it, or
// found it so), with the folders on its way: the engine asks for each
// folder on an entry's path before it writes the entry, and entries come
// folder by folder, so most of those questions are about this one. The
// host answers them without asking the file system until it removes
// anything (forget).
class KnownFolder {
public:
    void set(const char* path, size_t n)
    {
        length_ = n < sizeof path_ ? n : 0;
        std::memcpy(path_, path, length_);
    }
    void set(const char* path) { set(path, std::strlen(path)); }
    void forget() { length_ = 0; }
    // Whether path names it or a folder on its way, in the same spelling.
    bool holds(const char* path) const { return holds(path, std::strlen(path)); }
    bool holds(const char* path, size_t n) const
    {
        return n > 0 && n <= length_ && std::memcmp(path_, path, n) == 0 && (n == length_ || path_[n] == '\\');
    }

private:
    char path_[NAME_CAPACITY];
    size_t length_ = 0;
};

// The paths a run may have made, as a filter that never misses one: in a
// folder the run has just created for itself, a path the filter has never
// seen does not exist, and the engine's checks for one need not ask the
// file system (under Wine a miss costs a search of the whole folder for a
// name of any case). A path it has seen, or one it cannot judge, is asked
// for as before. (Fixed in size: with very many paths it says "maybe" more
// often, never wrongly "no".)
class MadePaths {
public:
    void add(const char* path)
    {
        uint32_t a, b;
        if (hashes(path, &a, &b)) {
            bits_[a / 8 % sizeof bits_] |= uint8_t(1u << (a % 8));
            bits_[b / 8 % sizeof bits_] |= uint8_t(1u << (b % 8));
        }
    }
    // False only for a path that surely was never made.
    bool maybe(const char* path) const
    {
        uint32_t a, b;
        if (!hashes(path, &a, &b))
            return true;
        return (bits_[a / 8 % sizeof bits_] >> (a % 8) & 1) && (bits_[b / 8 % sizeof bits_] >> (b % 8) & 1);
    }

private:
    // Two hashes of the name with ASCII letters folded, as Windows finds
    // names; false for a name it cannot judge: one that leaves the folder
    // (a separator or drive first) or that has other letters, which the
    // file system may fold in ways not followed here.
    static bool hashes(const char* path, uint32_t* a, uint32_t* b)
    {
        if (path[0] == '\\' || path[0] == '/' || (path[0] != '\0' && path[1] == ':'))
            return false;
        uint32_t h = 2166136261u, g = 5381;
        for (const char* p = path; *p; p++) {
            uint8_t c = uint8_t(*p);
            if (c >= 0x80)
                return false;
            c = c >= 'A' && c <= 'Z' ? uint8_t(c - 'A' + 'a') : c;
            if (c == '/')
                c = '\\';
            h = (h ^ c) * 16777619u;
            g = g * 33 + c;
        }
        *a = h;
        *b = g ^ (h >> 16);
        return true;
    }

    uint8_t bits_[16384] = {};
};

// A host that passes every call to another: the base of hosts that change
// only a few of them.
class ForwardingHost : public JobHost {
public:
    explicit ForwardingHost(JobHost& target) : target_(target) {}

    int32_t write_output(int32_t fd, const void* data, uint32_t count) override;
    void close_output(int32_t fd) override;
    void show_message(const char* text) override;
    int read_key() override;
    void write_stdout_char(int c) override;
    void flush_stdout() override;
    void volume_prompt(const char* volume_name) override;
    void match_name_case(char* archive_name) override;
    bool path_exists(const char* path) override;
    bool make_directory(const char* path) override;
    bool remove_directory(const char* path) override;
    bool delete_file(const char* path) override;
    int32_t open_output(const char* path) override;
    bool remove_output(const char* path) override;
    void* allocate(size_t size) override;
    void release(void* block) override;
    bool select_entry(JobContext& cx, const char* output_name) override;
    bool may_replace(JobContext& cx, const char* path) override;
    bool reads_decoded_bytes() override;
    void on_archive_opened(JobContext& cx) override;
    void on_entry(JobContext& cx, const char* output_name) override;
    void on_data(JobContext& cx, uint32_t count) override;
    void on_entry_end(JobContext& cx, const EntryEvent& event) override;
    void on_walk_end(JobContext& cx, const WalkEvent& event) override;

protected:
    JobHost& target_;
};

// Output collected into blocks. The engine writes every 2048-byte portion
// with a call of its own; on Windows each call is a system call, and small
// writes to a freshly created file cost more than the decoding. This host
// passes everything to its target and holds the writes of the open output
// file until OUTPUT_BATCH_SIZE bytes are together (or the file closes), so
// the target sees blocks of that size. A failed block fails the portion
// being written (the engine then stops the entry); a failed last block at
// close fails the entry through the status, so its partial file is taken
// back like any other.
constexpr uint32_t OUTPUT_BATCH_SIZE = 65536;

class BatchedOutputHost : public ForwardingHost {
public:
    // cx: the job whose status a failure at close goes into.
    BatchedOutputHost(JobHost& target, JobContext& cx) : ForwardingHost(target), cx_(cx) {}

    int32_t write_output(int32_t fd, const void* data, uint32_t count) override;
    void close_output(int32_t fd) override;

private:
    bool flush();

    JobContext& cx_;
    int32_t fd_ = -1;   // the file whose bytes are held
    uint32_t held_ = 0;
    uint8_t batch_[OUTPUT_BATCH_SIZE];
};
