// The installer worker: a private folder of its own, extraction of the
// embedded archive into the scratch folder inside it, the installer
// program, clean-up, and the end of the program with its exit code. It
// reaches the world only through a WorkerHost, whose defaults go to
// launcher/os.h and to the extraction engine; tests override single
// operations (a scripted job, a failing temporary path, a held file).
#pragma once

#include <cstdint>

#include "extract/host.h"
#include "launcher/os.h"

constexpr uint32_t TEMP_PATH_CAPACITY = 1000;
constexpr int SCRATCH_NAME_CAPACITY = 100;
constexpr uint32_t SCRATCH_PATH_CAPACITY = 1000;

// Every run makes a folder of its own under the temporary folder, named
// "kelvo-" and 16 hexadecimal digits from the system's random source, and
// the scratch folder inside it: nobody can have prepared either. A name
// that is taken is given up for another, so many times.
constexpr char PRIVATE_NAME_PREFIX[] = "kelvo-";
constexpr int PRIVATE_RANDOM_BYTES = 8;
constexpr int PRIVATE_NAME_ATTEMPTS = 16;

// A file or folder still held right after the installer program ends (its
// image is unmapped a moment later) is retried for this long, then left.
constexpr uint32_t CLEANUP_RETRY_MS = 2000;
constexpr uint32_t CLEANUP_PAUSE_MS = 50;

constexpr char INSTALLER_PROGRAM[] = "setup.exe";
constexpr char INSTALLER_COMMAND_LINE[] = "-install -up";

constexpr char MESSAGE_NO_TEMP_PATH[] = "Unable to get temporary path";
constexpr char MESSAGE_NO_TEMP_DIRECTORY[] = "Unable to set temporary directory";
constexpr char MESSAGE_DAMAGED[] = "Archive data is damaged";

// Exit codes besides the installer program's own and the job's status.
constexpr int32_t EXIT_SET_UP_FAILED = 1;  // also: the payload has no setup.exe
constexpr int32_t EXIT_DAMAGED = 8;        // the walk ended early with status 0
constexpr int32_t EXIT_CLOSED = 3;         // the window was closed while unpacking

// The job's command line: element 0 stands for a program name, then the
// command (extract with paths) and the archive name (".ACE" is appended;
// the embedded stream serves whatever name it is asked for).
constexpr int32_t EXTRACT_ARGC = 3;
extern const char* const EXTRACT_ARGV[EXTRACT_ARGC];

struct InstallerWorker {
    char temp_path[TEMP_PATH_CAPACITY];
    char scratch_name[SCRATCH_NAME_CAPACITY];
    char private_path[SCRATCH_PATH_CAPACITY];  // temp path + kelvo-<random>
    char scratch_path[SCRATCH_PATH_CAPACITY];  // private path + separator + string 2
    int32_t extract_status;     // the job's final status
    int32_t walk_ended;         // 1 once the job reported the end of its walk
    WalkEnd walk_end;           // how it ended
    int32_t setup_written;      // 1: this run wrote setup.exe at the top level
    char setup_name[SCRATCH_NAME_CAPACITY];  // as the archive spells it
    int32_t installer_started;  // 1 once the installer program ran and ended
    uint32_t installer_exit_code;
    int32_t left_behind;        // files and folders of the run that would not go
    int32_t exit_code;
};

class WorkerHost {
public:
    virtual ~WorkerHost() = default;

    virtual uint32_t temp_path(char* buffer, uint32_t capacity);
    virtual int load_string(uint32_t id, char* buffer, int capacity);
    virtual bool random_bytes(void* buffer, uint32_t count);
    virtual MakeOutcome make_private_directory(const char* path);
    virtual bool set_current_directory(const char* path);
    virtual void show_fatal(const char* text);

    // Where the job's messages and files go.
    virtual JobHost& job_host();
    // Binds the job's archive (the embedded one) and runs the command line
    // in the current folder. cx.host is the worker's, which passes
    // everything on to job_host().
    virtual void run_job(JobContext& cx, int32_t argc, const char* const* argv);

    virtual bool run_and_wait(const char* program, char* command_line, uint32_t* exit_code);
    virtual bool list_directory(const char* path, PlatformVisitEntry visit, void* context);
    virtual RemoveOutcome delete_file(const char* path);
    virtual RemoveOutcome remove_directory(const char* path);
    virtual uint32_t now_ms();  // wraps: see platform_now_ms
    virtual void sleep_ms(uint32_t milliseconds);

    virtual void hide_splash();
    virtual void end_splash(int32_t exit_code);

    void* window = nullptr;  // the splash window; null without one
};

// The whole sequence. Returns the exit code for the process (also in
// worker.exit_code), after end_splash was given it; with the Windows
// splash window the process ends there, and this does not return.
int32_t installer_worker_run(InstallerWorker& worker, WorkerHost& host);
