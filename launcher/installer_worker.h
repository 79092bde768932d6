// The installer worker: scratch folder, extraction of the embedded archive,
// the installer program, clean-up, and the end of the program. It reaches
// the world only through a WorkerHost, whose defaults go to
// launcher/os.h and to the extraction engine; tests override single
// operations (a scripted job, a failing temporary path, a held file).
#pragma once

#include <cstdint>

#include "launcher/os.h"

constexpr uint32_t TEMP_PATH_CAPACITY = 1000;
constexpr int SCRATCH_NAME_CAPACITY = 100;
constexpr uint32_t SCRATCH_PATH_CAPACITY = 1000;

// A file or folder still held right after the installer program ends (its
// image is unmapped a moment later) is retried for this long, then left.
constexpr uint32_t CLEANUP_RETRY_MS = 2000;
constexpr uint32_t CLEANUP_PAUSE_MS = 50;

constexpr char INSTALLER_PROGRAM[] = "setup.exe";
constexpr char INSTALLER_COMMAND_LINE[] = "-install -up";

constexpr char MESSAGE_NO_TEMP_PATH[] = "Unable to get temporary path";
constexpr char MESSAGE_NO_TEMP_DIRECTORY[] = "Unable to set temporary directory";

// The job's command line: element 0 stands for a program name, then the
// command (extract with paths) and the archive name (".ACE" is appended;
// the embedded stream serves whatever name it is asked for).
constexpr int32_t EXTRACT_ARGC = 3;
extern const char* const EXTRACT_ARGV[EXTRACT_ARGC];

struct InstallerWorker {
    char temp_path[TEMP_PATH_CAPACITY];
    char scratch_name[SCRATCH_NAME_CAPACITY];
    char scratch_path[SCRATCH_PATH_CAPACITY];
    int32_t extract_status;    // the job's final status
    int32_t installer_started; // 1 once the installer program ran and ended
    int32_t files_left;        // top-level files that would not go
};

class WorkerHost {
public:
    virtual ~WorkerHost() = default;

    virtual uint32_t temp_path(char* buffer, uint32_t capacity);
    virtual int load_string(uint32_t id, char* buffer, int capacity);
    virtual bool make_scratch_directory(const char* path);
    virtual bool set_current_directory(const char* path);
    virtual void show_fatal(const char* text);

    // Runs the extraction job on the embedded archive in the current
    // folder; returns the job's final status.
    virtual int32_t run_extraction(int32_t argc, const char* const* argv);

    virtual bool file_exists(const char* path);
    virtual bool run_and_wait(const char* program, char* command_line);
    virtual bool list_current_directory(PlatformVisitEntry visit, void* context);
    virtual RemoveOutcome delete_file(const char* name);
    virtual RemoveOutcome remove_directory(const char* path);
    virtual uint64_t now_ms();
    virtual void sleep_ms(uint32_t milliseconds);

    virtual void hide_splash();
    virtual void end_splash();

    void* window = nullptr;  // the splash window; null without one
};

// The whole sequence. Returns 1 after a complete run, 0 after a fatal
// set-up failure; either way the splash window has been told to end.
int installer_worker_run(InstallerWorker& worker, WorkerHost& host);
