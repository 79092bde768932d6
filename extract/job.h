// The extraction job: its status codes, its state, and the context object
// that owns every subsystem's record, so that one process can run many
// jobs (one at a time per context).
#pragma once

#include <atomic>
#include <cstdint>

#include "archive/crc.h"
#include "archive/header.h"
#include "archive/packed.h"
#include "archive/stream.h"
#include "decompress/bit_reader.h"
#include "decompress/huffman.h"
#include "decompress/lz77.h"
#include "extract/host.h"

enum ExtractStatus : int32_t {
    STATUS_OK = 0,
    STATUS_NO_MEMORY = 1,
    STATUS_CANCELLED = 3,
    STATUS_VOLUME_OPEN_FAILED = 5,
    STATUS_READ_FAILED = 6,
    STATUS_WRITE_FAILED = 7,
    STATUS_USAGE = 8,
    STATUS_CRC_ERROR = 9,
    STATUS_DECOMPRESSION_FAILED = 10,
    STATUS_INTERRUPTED = 255,
};

constexpr int SCAN_BUFFER_SIZE = 1024;
constexpr int OUTPUT_BLOCK_SIZE = 2048;

// The interrupt handler stores into the status from any thread at any time.
static_assert(std::atomic<int32_t>::is_always_lock_free);

struct ExtractJob {
    std::atomic<int32_t> status;
    int32_t crc_failed;
    char archive_name[NAME_CAPACITY];
    intptr_t archive_handle;
    int32_t output_handle;
    uint32_t* input_words;   // INPUT_BYTES
    uint8_t* scan_buffer;    // SCAN_BUFFER_SIZE
    uint8_t* output_block;   // OUTPUT_BLOCK_SIZE
    uint8_t* header_buffer;  // HEADER_KEEP_SIZE
};

// One job's whole state. Zero-initialised by construction; run one job per
// context (the job sets what it needs and resets nothing).
struct JobContext {
    ExtractJob job{};
    AceCrc crc{};
    ArchiveStream stream{};
    HeaderReader reader{};
    PackedReader packed{};
    BitReader bits{};
    CodeTableWork tables{};
    Dictionary dict{};
    LzDecoder lz{};
    JobHost* host = &default_job_host();
};

// Runs one command line: element 0 is not looked at, element 1 is the
// command letter, then "-y" switches and the archive name.
void extract_job_run(JobContext& cx, int32_t argc, const char* const* argv);

inline int32_t current_status(const JobContext& cx)
{
    return cx.job.status.load(std::memory_order_relaxed);
}
inline void set_status(JobContext& cx, int32_t value)
{
    cx.job.status.store(value, std::memory_order_relaxed);
}
inline void fail_usage(JobContext& cx) { set_status(cx, STATUS_USAGE); }

// The commands, by the letter that names them.
enum JobCommand : char {
    COMMAND_NONE = 0,
    COMMAND_EXTRACT = 'x',       // with paths
    COMMAND_EXTRACT_FLAT = 'e',  // without paths
    COMMAND_TEST = 't',
    COMMAND_LIST = 'l',
    COMMAND_LIST_VERBOSE = 'v',
};
// The command an argument names: one letter, in either case; COMMAND_NONE
// for anything else, the empty argument included.
JobCommand job_command_of(const char* argument);

// The archive name with ".ACE" appended when its last component ('\' and
// '/' both end one) has no dot. False when the result would not fit.
bool complete_archive_name(const char* name, char (&out)[NAME_CAPACITY]);

// The four work buffers, zeroed, through the host's allocator: what the job
// obtains at its start. False when one could not be had; whatever was
// obtained stays until job_release_buffers, which gives back any of them.
bool job_obtain_buffers(JobContext& cx);
void job_release_buffers(JobContext& cx);

void job_setup(JobContext& cx);
void job_teardown(JobContext& cx);
// Points the process's interrupt signal at this job's status.
void install_interrupt_handler(JobContext& cx);
void on_interrupt(int signal_number);
