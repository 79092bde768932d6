// The command interpreter: argument rules, the job's storage, the archive
// open, one command over the entries, and the final checksum verdict.
#include "extract/job.h"

#include <cstring>

#include "archive/packed.h"
#include "extract/entries.h"
#include "platform/platform.h"

namespace {

// The one process-wide value: where the interrupt handler stores its 255.
// A handler may run on another thread (Windows delivers the console's
// Ctrl+C there) or between any two instructions of the job's thread, so it
// touches nothing but this pointer and the status word it names.
std::atomic<std::atomic<int32_t>*> interrupt_target{nullptr};
static_assert(std::atomic<std::atomic<int32_t>*>::is_always_lock_free);

constexpr char ARCHIVE_EXTENSION[] = ".ACE";
constexpr size_t ARCHIVE_EXTENSION_LENGTH = sizeof ARCHIVE_EXTENSION - 1;

// Only the last component decides whether the name already has an
// extension. Users type dir.d/arc on Linux, and Windows takes '/' as a
// separator too, so both end a component everywhere (as in the volume
// names).
bool is_path_separator(char c) { return c == '\\' || c == '/'; }

char fold_letter(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

void* obtain(JobContext& cx, size_t size)
{
    void* block = cx.host->allocate(size);
    // Zeroed, so that a short read of packed data leaves zeros behind and
    // never bytes of an earlier job.
    if (block)
        std::memset(block, 0, size);
    return block;
}

template <typename T> void give_back(JobContext& cx, T*& block)
{
    if (block)
        cx.host->release(block);
    block = nullptr;
}

// The argument rules already allow only one letter (or none) here, so the
// letter alone picks the command (job_command_of is for the tools; the
// installer links only this).
void run_command(JobContext& cx, char letter)
{
    switch (fold_letter(letter)) {
    case COMMAND_EXTRACT_FLAT: extract_entries(cx, 1, 0); break;
    case COMMAND_EXTRACT: extract_entries(cx, 0, 0); break;
    case COMMAND_TEST: extract_entries(cx, 0, 1); break;
    case COMMAND_LIST:
    case COMMAND_LIST_VERBOSE: list_entries(cx); break;
    default: fail_usage(cx); break;
    }
}

}  // namespace

JobCommand job_command_of(const char* argument)
{
    if (!argument || argument[0] == '\0' || argument[1] != '\0')
        return COMMAND_NONE;
    const char letter = fold_letter(argument[0]);
    switch (letter) {
    case COMMAND_EXTRACT:
    case COMMAND_EXTRACT_FLAT:
    case COMMAND_TEST:
    case COMMAND_LIST:
    case COMMAND_LIST_VERBOSE: return JobCommand(letter);
    default: return COMMAND_NONE;
    }
}

bool complete_archive_name(const char* name, char (&out)[NAME_CAPACITY])
{
    size_t length = std::strlen(name);
    size_t component = 0;
    for (size_t i = 0; i < length; i++) {
        if (is_path_separator(name[i]))
            component = i + 1;
    }
    bool needs_extension = std::strchr(name + component, '.') == nullptr;
    size_t total = length + (needs_extension ? ARCHIVE_EXTENSION_LENGTH : 0);
    if (total > NAME_CAPACITY - 1)
        return false;
    std::memcpy(out, name, length);
    if (needs_extension)
        std::memcpy(out + length, ARCHIVE_EXTENSION, ARCHIVE_EXTENSION_LENGTH);
    out[total] = '\0';
    return true;
}

void on_interrupt(int)
{
    std::atomic<int32_t>* status = interrupt_target.load(std::memory_order_acquire);
    if (status)
        status->store(STATUS_INTERRUPTED, std::memory_order_relaxed);
}

void install_interrupt_handler(JobContext& cx)
{
    interrupt_target.store(&cx.job.status, std::memory_order_release);
    platform_install_interrupt(on_interrupt);
}

bool job_obtain_buffers(JobContext& cx)
{
    ExtractJob& job = cx.job;
    job.input_words = static_cast<uint32_t*>(obtain(cx, INPUT_BYTES));
    job.scan_buffer = static_cast<uint8_t*>(obtain(cx, SCAN_BUFFER_SIZE));
    job.output_block = static_cast<uint8_t*>(obtain(cx, OUTPUT_BLOCK_SIZE));
    job.header_buffer = static_cast<uint8_t*>(obtain(cx, HEADER_KEEP_SIZE));
    return job.input_words && job.scan_buffer && job.output_block && job.header_buffer;
}

void job_release_buffers(JobContext& cx)
{
    ExtractJob& job = cx.job;
    give_back(cx, job.input_words);
    give_back(cx, job.scan_buffer);
    give_back(cx, job.output_block);
    give_back(cx, job.header_buffer);
}

void job_setup(JobContext& cx)
{
    bool buffers_obtained = job_obtain_buffers(cx);
    if (!buffers_obtained)
        set_status(cx, STATUS_NO_MEMORY);
    crc_build_table(cx.crc);
    // Without the work buffers nothing will be decoded: no point asking for
    // a megabyte more.
    if (buffers_obtained)
        allocate_dictionary(cx);
    install_interrupt_handler(cx);
}

void job_teardown(JobContext& cx)
{
    job_release_buffers(cx);
    give_back(cx, cx.dict.dict_bytes);
}

void extract_job_run(JobContext& cx, int32_t argc, const char* const* argv)
{
    ExtractJob& job = cx.job;
    job.output_handle = -1;

    // Argument rules, in their order; a broken one ends the run before
    // anything is allocated or opened.
    bool usable = argc >= 3 && std::strlen(argv[1]) <= 1 && argv[argc - 1][0] != '-';
    int32_t name_index = 2;
    while (usable && argv[name_index][0] == '-') {
        // Only the second character counts: -y, -Y and -yes are one switch.
        if (fold_letter(argv[name_index][1]) != 'y') {
            usable = false;
            break;
        }
        cx.packed.volume_prompt_mode = PROMPT_NEVER;
        name_index++;
    }
    char completed[NAME_CAPACITY];
    if (usable && !complete_archive_name(argv[name_index], completed))
        usable = false;  // would not fit archive_name
    if (!usable) {
        fail_usage(cx);
    } else {
        job_setup(cx);
        std::memcpy(job.archive_name, completed, sizeof completed);
        match_archive_name_case(cx);
        // Without its buffers the header reader cannot run; any other
        // status already set (an interrupt) ends the run here too.
        if (current_status(cx) == STATUS_OK) {
            if (!open_archive(cx)) {
                set_status(cx, STATUS_USAGE);
            } else {
                cx.host->on_archive_opened(cx);
                // A later volume of a set is not a place to start from.
                if (cx.reader.archive_volume_number == 0)
                    run_command(cx, argv[1][0]);
                stream_close(cx.stream, job.archive_handle);
            }
        }
        job_teardown(cx);
    }
    stream_release(cx.stream);

    if (current_status(cx) == STATUS_OK && job.crc_failed) {
        cx.host->show_message("CRC error");
        set_status(cx, STATUS_CRC_ERROR);
    }
    // The context may not outlive this call; the handler must not store
    // into it afterwards.
    std::atomic<int32_t>* mine = &job.status;
    interrupt_target.compare_exchange_strong(mine, nullptr, std::memory_order_acq_rel);
}
