#include "launcher/installer_worker.h"

#include <cstring>
#include <cstdlib>
#include <new>

#include "archive/stream.h"
#include "extract/job.h"
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
bool WorkerHost::make_scratch_directory(const char* path)
{
    return platform_make_scratch_directory(path);
}
bool WorkerHost::set_current_directory(const char* path)
{
    return platform_set_current_directory(path);
}
void WorkerHost::show_fatal(const char* text) { platform_show_fatal(text); }

int32_t WorkerHost::run_extraction(int32_t argc, const char* const* argv)
{
    // A context of its own, on the heap: its tables are too large for a
    // thread's stack to carry comfortably.
    // (malloc and placement new: the nothrow operator new would bring the
    // C++ exception machinery into the stub.)
    void* memory = std::malloc(sizeof(JobContext));
    if (memory == nullptr)
        return STATUS_NO_MEMORY;
    JobContext* cx = new (memory) JobContext;
    stream_bind_resource(cx->stream);
    extract_job_run(*cx, argc, argv);
    const int32_t status = current_status(*cx);
    cx->~JobContext();
    std::free(memory);
    return status;
}

bool WorkerHost::file_exists(const char* path) { return platform_path_exists(path); }
bool WorkerHost::run_and_wait(const char* program, char* command_line)
{
    return platform_run_and_wait(program, command_line);
}
bool WorkerHost::list_current_directory(PlatformVisitEntry visit, void* context)
{
    return platform_list_current_directory(visit, context);
}
RemoveOutcome WorkerHost::delete_file(const char* name) { return platform_delete_scratch_file(name); }
RemoveOutcome WorkerHost::remove_directory(const char* path)
{
    return platform_remove_scratch_directory(path);
}
uint64_t WorkerHost::now_ms() { return platform_now_ms(); }
void WorkerHost::sleep_ms(uint32_t milliseconds) { platform_sleep_ms(milliseconds); }
void WorkerHost::hide_splash() { platform_hide_window(window); }
void WorkerHost::end_splash() { platform_end_window(window); }

// ---- The sequence ---------------------------------------------------------

namespace {

// The ending of every set-up failure: the splash window ends the program.
int fatal_end(WorkerHost& host)
{
    host.end_splash();
    return 0;
}

// The scratch folder's name must name a folder inside the temporary folder:
// with an empty name the clean-up would empty the temporary folder itself,
// and with ".." or a separator it would reach further still.
bool plain_folder_name(const char* name)
{
    if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return false;
    return std::strpbrk(name, "\\/:") == nullptr;
}

// Steps 1 and 2: temporary path + string 2, refused rather than cut short.
bool build_scratch_path(InstallerWorker& w, WorkerHost& host)
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
    size_t name_size = std::strlen(w.scratch_name);

    if (temp_length + name_size >= SCRATCH_PATH_CAPACITY)
        return false;
    std::memcpy(w.scratch_path, w.temp_path, temp_length);
    std::memcpy(w.scratch_path + temp_length, w.scratch_name, name_size + 1);
    return true;
}

void run_installer(InstallerWorker& w, WorkerHost& host)
{
    // Relative to the scratch folder, never searched for along a path.
    char program[sizeof INSTALLER_PROGRAM + 2] = {'.', platform_path_separator()};
    std::memcpy(program + 2, INSTALLER_PROGRAM, sizeof INSTALLER_PROGRAM);
    if (!host.file_exists(program))
        return;
    // CreateProcess may write into the command line: hand it a copy.
    char command_line[sizeof INSTALLER_COMMAND_LINE];
    std::memcpy(command_line, INSTALLER_COMMAND_LINE, sizeof command_line);
    if (host.run_and_wait(program, command_line))
        w.installer_started = 1;
}

struct CleanRound {
    WorkerHost* host;
    int32_t held;
    int32_t failed;
};

bool delete_top_level_file(void* context, const char* name, bool is_directory)
{
    auto* round = static_cast<CleanRound*>(context);
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 || is_directory)
        return true;  // folders stay, and with them the scratch folder
    switch (round->host->delete_file(name)) {
    case RemoveOutcome::REMOVED:
        break;
    case RemoveOutcome::HELD:
        round->held++;
        break;
    case RemoveOutcome::FAILED:
        round->failed++;
        break;
    }
    return true;
}

// Step 9, repeated while something is still held, within CLEANUP_RETRY_MS.
void delete_scratch_files(InstallerWorker& w, WorkerHost& host)
{
    uint64_t deadline = host.now_ms() + CLEANUP_RETRY_MS;
    for (;;) {
        CleanRound round{&host, 0, 0};
        host.list_current_directory(delete_top_level_file, &round);
        w.files_left = round.held + round.failed;
        if (round.held == 0 || host.now_ms() >= deadline)
            return;
        host.sleep_ms(CLEANUP_PAUSE_MS);
    }
}

void remove_scratch_directory(InstallerWorker& w, WorkerHost& host)
{
    uint64_t deadline = host.now_ms() + CLEANUP_RETRY_MS;
    while (host.remove_directory(w.scratch_path) == RemoveOutcome::HELD && host.now_ms() < deadline)
        host.sleep_ms(CLEANUP_PAUSE_MS);
}

}  // namespace

int installer_worker_run(InstallerWorker& w, WorkerHost& host)
{
    w.extract_status = STATUS_OK;
    w.installer_started = 0;
    w.files_left = 0;

    if (!build_scratch_path(w, host)) {
        host.show_fatal(MESSAGE_NO_TEMP_PATH);
        return fatal_end(host);
    }
    if (!host.make_scratch_directory(w.scratch_path) || !host.set_current_directory(w.scratch_path)) {
        host.show_fatal(MESSAGE_NO_TEMP_DIRECTORY);
        return fatal_end(host);
    }

    w.extract_status = host.run_extraction(EXTRACT_ARGC, EXTRACT_ARGV);
    host.hide_splash();
    // After a failed extraction setup.exe may be half written, or stale from
    // an earlier run: starting it would install something nobody checked.
    if (w.extract_status == STATUS_OK)
        run_installer(w, host);

    // Should the installer have removed the scratch folder, the names below
    // would no longer be ours to delete: end without clean-up.
    if (!host.set_current_directory(w.scratch_path))
        return fatal_end(host);
    delete_scratch_files(w, host);

    host.set_current_directory("..");
    remove_scratch_directory(w, host);
    host.end_splash();
    return 1;
}
