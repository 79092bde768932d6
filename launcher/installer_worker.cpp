#include "launcher/installer_worker.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "archive/stream.h"
#include "extract/job.h"
#include "extract/output.h"
#include "launcher/resource.h"
#include "platform/platform.h"

const char* const EXTRACT_ARGV[EXTRACT_ARGC] = {"kelvo", "x", "kelvo"};

// ---- Default host: the platform and the engine ---------------------------

uint32_t WorkerHost::temp_path(char* buffer, uint32_t capacity)
{
    return platform_temp_path(buffer, capacity);
}
int WorkerHost::load_string(uint32_t id, char* buffer, int capacity)
{
    return platform_load_string(id, buffer, capacity);
}
bool WorkerHost::random_bytes(void* buffer, uint32_t count) { return platform_random_bytes(buffer, count); }
MakeOutcome WorkerHost::make_private_directory(const char* path)
{
    return platform_make_private_directory(path);
}
bool WorkerHost::set_current_directory(const char* path)
{
    return platform_set_current_directory(path);
}
void WorkerHost::show_fatal(const char* text) { platform_show_fatal(text); }
JobHost& WorkerHost::job_host() { return default_job_host(); }
void WorkerHost::run_job(JobContext& cx, int32_t argc, const char* const* argv)
{
    stream_bind_resource(cx.stream);
    extract_job_run(cx, argc, argv);
}
bool WorkerHost::run_and_wait(const char* program, char* command_line, uint32_t* exit_code)
{
    return platform_run_and_wait(program, command_line, exit_code);
}
bool WorkerHost::list_directory(const char* path, PlatformVisitEntry visit, void* context)
{
    return platform_list_directory(path, visit, context);
}
RemoveOutcome WorkerHost::delete_file(const char* path) { return platform_delete_scratch_file(path); }
RemoveOutcome WorkerHost::remove_directory(const char* path)
{
    return platform_remove_scratch_directory(path);
}
uint32_t WorkerHost::now_ms() { return platform_now_ms(); }
void WorkerHost::sleep_ms(uint32_t milliseconds) { platform_sleep_ms(milliseconds); }
void WorkerHost::hide_splash() { platform_hide_window(window); }
void WorkerHost::end_splash(int32_t exit_code) { platform_end_window(window, exit_code); }

// ---- The sequence ---------------------------------------------------------

namespace {

int32_t finish(InstallerWorker& w, WorkerHost& host, int32_t exit_code)
{
    w.exit_code = exit_code;
    host.end_splash(exit_code);
    return exit_code;
}

// The scratch folder's name must name a folder inside the private folder:
// with an empty name the job would unpack into the private folder itself,
// and with ".." or a separator it would reach further.
bool plain_folder_name(const char* name)
{
    if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return false;
    return std::strpbrk(name, "\\/:") == nullptr;
}

// The longest private path: temporary path, prefix, two digits a byte.
constexpr size_t PRIVATE_NAME_LENGTH = sizeof PRIVATE_NAME_PREFIX - 1 + 2 * PRIVATE_RANDOM_BYTES;

// Temporary path and string 2, refused rather than cut short; there must
// be room for the private folder and the scratch folder inside it.
bool read_names(InstallerWorker& w, WorkerHost& host)
{
    std::memset(w.temp_path, 0, sizeof w.temp_path);
    uint32_t reported = host.temp_path(w.temp_path, TEMP_PATH_CAPACITY);
    if (reported == 0 || reported >= TEMP_PATH_CAPACITY)
        return false;
    const void* end = std::memchr(w.temp_path, '\0', TEMP_PATH_CAPACITY);
    if (!end)
        return false;
    size_t temp_length = static_cast<const char*>(end) - w.temp_path;

    std::memset(w.scratch_name, 0, sizeof w.scratch_name);
    int name_length = host.load_string(STRING_SCRATCH_NAME, w.scratch_name, SCRATCH_NAME_CAPACITY);
    if (name_length <= 0 || !std::memchr(w.scratch_name, '\0', SCRATCH_NAME_CAPACITY) ||
        !plain_folder_name(w.scratch_name))
        return false;
    return temp_length + PRIVATE_NAME_LENGTH + 1 + std::strlen(w.scratch_name) < SCRATCH_PATH_CAPACITY;
}

// A new private folder under an unpredictable name. A name that is taken
// (by chance, or by someone who guessed) is never used: another is drawn.
bool make_private_folder(InstallerWorker& w, WorkerHost& host)
{
    static const char HEX[] = "0123456789abcdef";
    size_t temp_length = std::strlen(w.temp_path);
    for (int attempt = 0; attempt < PRIVATE_NAME_ATTEMPTS; attempt++) {
        uint8_t random[PRIVATE_RANDOM_BYTES];
        if (!host.random_bytes(random, sizeof random))
            return false;
        char* p = w.private_path;
        std::memcpy(p, w.temp_path, temp_length);
        p += temp_length;
        std::memcpy(p, PRIVATE_NAME_PREFIX, sizeof PRIVATE_NAME_PREFIX - 1);
        p += sizeof PRIVATE_NAME_PREFIX - 1;
        for (uint8_t byte : random) {
            *p++ = HEX[byte >> 4];
            *p++ = HEX[byte & 15];
        }
        *p = '\0';
        switch (host.make_private_directory(w.private_path)) {
        case MakeOutcome::MADE:
            return true;
        case MakeOutcome::EXISTS:
            continue;
        case MakeOutcome::FAILED:
            break;
        }
        break;
    }
    w.private_path[0] = '\0';
    return false;
}

bool make_scratch_folder(InstallerWorker& w, WorkerHost& host)
{
    size_t n = std::strlen(w.private_path);
    std::memcpy(w.scratch_path, w.private_path, n);
    w.scratch_path[n] = platform_path_separator();
    std::memcpy(w.scratch_path + n + 1, w.scratch_name, std::strlen(w.scratch_name) + 1);
    return host.make_private_directory(w.scratch_path) == MakeOutcome::MADE &&
           host.set_current_directory(w.scratch_path);
}

uint8_t ascii_lower(uint8_t c) { return c >= 'A' && c <= 'Z' ? uint8_t(c - 'A' + 'a') : c; }

bool ascii_equal_ignoring_case(const char* a, const char* b)
{
    for (; *a && *b; a++, b++)
        if (ascii_lower(uint8_t(*a)) != ascii_lower(uint8_t(*b)))
            return false;
    return *a == *b;
}

// The job's host while the worker runs it: the output in blocks, the
// paths made (see MadePaths and KnownFolder), and the two events the worker
// decides on.
class WorkerJobHost : public BatchedOutputHost {
public:
    WorkerJobHost(JobHost& target, JobContext& cx, InstallerWorker& w) : BatchedOutputHost(target, cx), w_(w) {}

    bool path_exists(const char* path) override
    {
        return last_folder_.holds(path) || (made_.maybe(path) && BatchedOutputHost::path_exists(path));
    }
    bool make_directory(const char* path) override
    {
        made_.add(path);
        bool made = BatchedOutputHost::make_directory(path);
        if (made)
            last_folder_.set(path);
        return made;
    }
    int32_t open_output(const char* path) override
    {
        made_.add(path);
        return BatchedOutputHost::open_output(path);
    }
    bool remove_directory(const char* path) override
    {
        last_folder_.forget();
        return BatchedOutputHost::remove_directory(path);
    }
    bool delete_file(const char* path) override
    {
        last_folder_.forget();
        return BatchedOutputHost::delete_file(path);
    }
    bool remove_output(const char* path) override
    {
        last_folder_.forget();
        return BatchedOutputHost::remove_output(path);
    }

    void on_entry_end(JobContext& cx, const EntryEvent& event) override
    {
        // The program to run is the one this run wrote, at the top level;
        // the last word on that name counts (a later entry of the same
        // name that failed or was a folder leaves nothing to run).
        if (event.name && !std::strchr(event.name, '\\') && ascii_equal_ignoring_case(event.name, INSTALLER_PROGRAM)) {
            w_.setup_written = event.result == EntryResult::WRITTEN;
            std::memcpy(w_.setup_name, event.name, sizeof INSTALLER_PROGRAM);
        }
        BatchedOutputHost::on_entry_end(cx, event);
    }
    void on_walk_end(JobContext& cx, const WalkEvent& event) override
    {
        w_.walk_ended = 1;
        w_.walk_end = event.reason;
        BatchedOutputHost::on_walk_end(cx, event);
    }

private:
    InstallerWorker& w_;
    MadePaths made_;
    KnownFolder last_folder_;
};

struct ExtractionRun {
    JobContext cx;
    WorkerJobHost host;
    ExtractionRun(JobHost& target, InstallerWorker& w) : host(target, cx, w) { cx.host = &host; }
};

void run_extraction(InstallerWorker& w, WorkerHost& host)
{
    // On the heap: the context's tables and the output blocks are too
    // large for a thread's stack to carry comfortably. (malloc and
    // placement new: the nothrow operator new would bring the C++
    // exception machinery into the stub.)
    void* memory = std::malloc(sizeof(ExtractionRun));
    if (memory == nullptr) {
        w.extract_status = STATUS_NO_MEMORY;
        return;
    }
    auto* run = new (memory) ExtractionRun(host.job_host(), w);
    host.run_job(run->cx, EXTRACT_ARGC, EXTRACT_ARGV);
    w.extract_status = current_status(run->cx);
    run->~ExtractionRun();
    std::free(memory);
}

void run_installer(InstallerWorker& w, WorkerHost& host)
{
    // Relative to the scratch folder, never searched for along a path.
    char program[sizeof INSTALLER_PROGRAM + 2] = {'.', platform_path_separator()};
    std::memcpy(program + 2, w.setup_name, sizeof INSTALLER_PROGRAM);
    // CreateProcess may write into the command line: hand it a copy.
    char command_line[sizeof INSTALLER_COMMAND_LINE];
    std::memcpy(command_line, INSTALLER_COMMAND_LINE, sizeof command_line);
    uint32_t code = 0;
    if (host.run_and_wait(program, command_line, &code)) {
        w.installer_started = 1;
        w.installer_exit_code = code;
    }
}

// ---- Clean-up: the private folder and all that is in it --------------------

constexpr size_t TREE_PATH_CAPACITY = 2048;

struct TreeRound {
    WorkerHost* host;
    char path[TREE_PATH_CAPACITY];
    size_t length;
    int32_t held;
    int32_t failed;
};

void count(TreeRound& round, RemoveOutcome outcome)
{
    if (outcome == RemoveOutcome::HELD)
        round.held++;
    else if (outcome == RemoveOutcome::FAILED)
        round.failed++;
}

void remove_tree(TreeRound& round);

bool remove_entry(void* context, const char* name, bool is_folder)
{
    auto* round = static_cast<TreeRound*>(context);
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return true;
    size_t saved = round->length;
    size_t n = std::strlen(name);
    if (saved + 1 + n >= TREE_PATH_CAPACITY) {
        round->failed++;
        return true;
    }
    round->path[saved] = platform_path_separator();
    std::memcpy(round->path + saved + 1, name, n + 1);
    round->length = saved + 1 + n;
    // Links and junctions come as files: they go themselves, unfollowed.
    if (is_folder)
        remove_tree(*round);
    else
        count(*round, round->host->delete_file(round->path));
    round->length = saved;
    round->path[saved] = '\0';
    return true;
}

// Depth first: a folder's contents, then the folder.
void remove_tree(TreeRound& round)
{
    round.host->list_directory(round.path, remove_entry, &round);
    count(round, round.host->remove_directory(round.path));
}

// Repeated while something is still held, within CLEANUP_RETRY_MS.
void remove_private_folder(InstallerWorker& w, WorkerHost& host)
{
    // Out of the tree first: a current folder inside it would hold it.
    host.set_current_directory(w.temp_path);
    // The round's path buffer is large: not on the worker thread's stack.
    void* memory = std::malloc(sizeof(TreeRound));
    if (memory == nullptr) {
        w.left_behind = 1;
        return;
    }
    auto* round = static_cast<TreeRound*>(memory);
    const uint32_t started = host.now_ms();
    for (;;) {
        round->host = &host;
        round->length = std::strlen(w.private_path);
        std::memcpy(round->path, w.private_path, round->length + 1);
        round->held = round->failed = 0;
        remove_tree(*round);
        w.left_behind = round->held + round->failed;
        if (round->held == 0 || uint32_t(host.now_ms() - started) >= CLEANUP_RETRY_MS)
            break;
        host.sleep_ms(CLEANUP_PAUSE_MS);
    }
    std::free(memory);
}

int32_t exit_code_of_run(const InstallerWorker& w)
{
    if (w.installer_started)
        return static_cast<int32_t>(w.installer_exit_code);
    if (w.extract_status != STATUS_OK)
        return w.extract_status;
    if (!w.walk_ended || w.walk_end != WalkEnd::END_OF_DATA)
        return EXIT_DAMAGED;
    return EXIT_SET_UP_FAILED;
}

}  // namespace

int32_t installer_worker_run(InstallerWorker& w, WorkerHost& host)
{
    w.private_path[0] = w.scratch_path[0] = '\0';
    w.extract_status = STATUS_OK;
    w.walk_ended = 0;
    w.walk_end = WalkEnd::STOPPED;
    w.setup_written = 0;
    w.setup_name[0] = '\0';
    w.installer_started = 0;
    w.installer_exit_code = 0;
    w.left_behind = 0;

    if (!read_names(w, host)) {
        host.show_fatal(MESSAGE_NO_TEMP_PATH);
        return finish(w, host, EXIT_SET_UP_FAILED);
    }
    if (!make_private_folder(w, host)) {
        host.show_fatal(MESSAGE_NO_TEMP_DIRECTORY);
        return finish(w, host, EXIT_SET_UP_FAILED);
    }
    if (!make_scratch_folder(w, host)) {
        host.show_fatal(MESSAGE_NO_TEMP_DIRECTORY);
        remove_private_folder(w, host);
        return finish(w, host, EXIT_SET_UP_FAILED);
    }

    run_extraction(w, host);
    // With status 0 a walk that stopped before the end of the data is the
    // job's silence, not success: what follows the damage was never seen.
    const bool walked_whole = w.walk_ended && w.walk_end == WalkEnd::END_OF_DATA;
    if (w.extract_status == STATUS_OK && !walked_whole)
        host.show_fatal(MESSAGE_DAMAGED);
    host.hide_splash();
    // Only a program this run wrote, from an archive read whole and without
    // fault: anything else would install something nobody checked.
    if (w.extract_status == STATUS_OK && walked_whole && w.setup_written)
        run_installer(w, host);

    remove_private_folder(w, host);
    return finish(w, host, exit_code_of_run(w));
}
