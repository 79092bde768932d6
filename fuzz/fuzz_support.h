// What the fuzz targets share: a context with the job's work buffers for
// targets that drive one subsystem, a host that records everything the
// engine does to the world and checks it as it happens, and the volume
// format of the multi-volume target. A broken promise aborts, which both
// libFuzzer and the replay driver report as a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/stream.h"
#include "extract/host.h"
#include "extract/job.h"

[[noreturn]] void fuzz_fail(const char* what, const char* file, int line);
#define FUZZ_CHECK(condition)                                \
    do {                                                     \
        if (!(condition))                                    \
            fuzz_fail(#condition, __FILE__, __LINE__);       \
    } while (0)

// Whatever the archive says, one job obtains at most its four work
// buffers and one ring, and the ring is at most 1 MiB.
constexpr int FUZZ_MAX_BLOCKS = 5;
constexpr size_t FUZZ_MAX_BLOCK_BYTES = size_t(1) << DICT_MAX_BITS;
constexpr size_t FUZZ_MAX_TOTAL_BYTES =
    INPUT_BYTES + SCAN_BUFFER_SIZE + OUTPUT_BLOCK_SIZE + HEADER_KEEP_SIZE + FUZZ_MAX_BLOCK_BYTES;

// Decoded bytes one job may deliver before the host stops it the way a
// Ctrl+C would. Decoding time is linear in the output (the bounds tests
// pin that), so a larger budget would only slow the fuzzer down: an entry
// may claim 2 GiB of contents in a few bytes, and a correct archive can
// expand a thousandfold.
constexpr uint64_t FUZZ_OUTPUT_BUDGET = uint64_t(8) << 20;

// A JobContext with the work buffers job_setup would obtain, zeroed, for
// targets that call one subsystem directly.
class FuzzContext {
public:
    FuzzContext();
    ~FuzzContext();
    FuzzContext(const FuzzContext&) = delete;
    FuzzContext& operator=(const FuzzContext&) = delete;

    JobContext& cx() { return *cx_; }
    // Zeroes the buffers and the records again, so that one input's run
    // cannot depend on the previous one's.
    void reset();

private:
    std::unique_ptr<JobContext> cx_;
    std::vector<uint32_t> input_words_;
    std::vector<uint8_t> scan_buffer_, output_block_, header_buffer_;
};

// True when an archive path (backslashes, maybe slashes) names something
// at or below the folder it is taken relative to: not absolute, not
// drive-qualified, and no ".." that climbs above the start. Written
// independently of the engine's own name checks, which it watches.
bool path_stays_inside(const char* path);

// A host that records and checks what one job does.
//   - Memory: at most FUZZ_MAX_BLOCKS blocks of at most 1 MiB, all given
//     back by the end.
//   - Output: every path stays inside the folder; with no folder (t, l)
//     no file operation happens at all. Writes go only to the open file;
//     a file closed while the status is not 0 is removed before anything
//     else is opened.
//   - Prompts: keys come from a short script and then the end of input,
//     so no prompt can wait for ever.
//   - The delivered output is capped at FUZZ_OUTPUT_BUDGET through the
//     job's interrupt.
class FuzzHost : public JobHost {
public:
    // folder: where x writes (an absolute host path), or empty when the
    // job may not touch files.
    explicit FuzzHost(std::string folder = {});

    JobContext* cx = nullptr;  // the job being watched (for the status)
    std::vector<int> keys;     // played at the volume prompt, then -1
    // Names that exist for the existence test (volumes of a set); files
    // below the folder are asked of the disk instead.
    std::vector<std::string> present;

    int messages = 0;
    int prompts = 0;
    uint64_t delivered = 0;
    uint64_t written = 0;
    bool budget_hit = false;
    int files_opened = 0;

    // Checks what must hold after the job: nothing left open or allocated,
    // no partial file left to remove.
    void check_after_job() const;

    void show_message(const char*) override { messages++; }
    int read_key() override;
    void write_stdout_char(int) override {}
    void flush_stdout() override {}
    void volume_prompt(const char*) override { prompts++; }

    bool path_exists(const char* path) override;
    bool make_directory(const char* path) override;
    bool remove_directory(const char* path) override;
    bool delete_file(const char* path) override;
    int32_t open_output(const char* path) override;
    int32_t write_output(int32_t fd, const void* data, uint32_t count) override;
    void close_output(int32_t fd) override;
    bool remove_output(const char* path) override;

    void* allocate(size_t size) override;
    void release(void* block) override;

    void on_data(JobContext& cx, uint32_t count) override;

private:
    std::string host_path(const char* path) const;  // folder + path, checked

    std::string folder_;
    size_t key_index_ = 0;
    int blocks_ = 0;
    size_t bytes_out_ = 0;
    std::map<void*, size_t> sizes_;  // blocks obtained and not yet released
    int32_t open_fd_ = -1;
    std::string open_path_;
    std::string must_remove_;  // a file closed after a failure
};

// Runs one command line over an archive the stream already serves.
int32_t fuzz_run_job(JobContext& cx, const std::vector<std::string>& args);
// With KELVO_FUZZ_VERBOSE set in the environment, one line per job: for
// looking at what a replayed input does.
void fuzz_report(const std::vector<std::string>& args, int32_t status, const FuzzHost& host);

// A fresh, empty folder for x, the same one for the whole process.
const std::string& fuzz_scratch_folder();
// Empties it again after a run.
void fuzz_clear_scratch_folder();

// The multi-volume target's input: the volumes of one set, first to last,
// separated by VOLUME_SEPARATOR. Named like the volume switch names them.
constexpr char VOLUME_SEPARATOR[] = "\nVOLUME\n";
constexpr size_t VOLUME_SEPARATOR_LENGTH = sizeof VOLUME_SEPARATOR - 1;
constexpr size_t FUZZ_MAX_VOLUMES = 64;

struct FuzzVolumeSet {
    std::vector<std::string> names;
    std::vector<MemoryVolume> volumes;  // point into the input and names
};
// Splits data into at most FUZZ_MAX_VOLUMES volumes named first_name and
// the names that follow it.
void split_volumes(const uint8_t* data, size_t size, const char* first_name, FuzzVolumeSet& set);
// The inverse, for the seed generator.
std::vector<uint8_t> join_volumes(const std::vector<std::vector<uint8_t>>& volumes);
