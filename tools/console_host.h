// The console tool's view of a job: hosts that follow the engine's events
// and print what a console user expects, and print the engine's messages as
// "Fatal: <text>" lines. ConsoleHost serves x, e and t (a line per entry
// with its verdict, a progress bar on a terminal, a summary); ListingHost
// (tools/listing_host.h) serves l and v. Nothing here changes what the job
// does or how it ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "extract/host.h"
#include "extract/output.h"
#include "tools/cli_options.h"

struct ArchiveInfo;

// The folders a host knows to be there as real folders (it made them, or
// found them so), with the folders on their way: the engine asks for each
// folder on an entry's path before it writes the entry, and an archive's
// entries come back to the same few folders again and again. The host
// answers those questions without asking the file system until it removes
// anything (forget).
class KnownFolders {
public:
    // path[0 .. n) and every folder on its way.
    void add(const char* path, size_t n);
    void add(const char* path) { add(path, std::strlen(path)); }
    // path alone, not the folders on its way.
    void add_only(const char* path) { folders_.emplace(path); }
    void forget() { folders_.clear(); }
    // Whether path[0 .. n) is one of them, in the same spelling.
    bool holds(const char* path, size_t n) const { return n > 0 && folders_.find(std::string_view(path, n)) != folders_.end(); }
    bool holds(const char* path) const { return holds(path, std::strlen(path)); }

private:
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_set<std::string, Hash, std::equal_to<>> folders_;
};

enum class ConsoleCommand { EXTRACT, EXTRACT_FLAT, TEST, LIST, LIST_VERBOSE, OTHER };

ConsoleCommand console_command_of(const char* letter);
// A word for a non-zero status, for verdicts and the exit line.
const char* status_text(int32_t status);

struct ConsoleReport {
    uint32_t files = 0;        // file entries handled without fault
    uint32_t folders = 0;      // directory entries
    uint64_t bytes = 0;        // contents delivered by the decoder
    uint32_t failed = 0;       // entries with any verdict but OK (refused included)
    uint32_t refused = 0;
    uint32_t not_written = 0;  // entries nothing could be written for
    uint32_t kept = 0;         // entries not written because a file there was kept
    uint32_t messages = 0;     // engine messages shown
};

// What every console host shares: the engine's messages, the volume
// prompt, how the walk ended, and the lines after the run.
class ConsoleJobHost : public JobHost {
public:
    ConsoleJobHost(ConsoleCommand command, FILE* out, FILE* err);

    void set_quiet(bool quiet) { quiet_ = quiet; }
    void set_progress(bool progress) { progress_ = progress; }
    // Facts about the archive found before the run (printed by v).
    void set_archive_info(const ArchiveInfo* info, const std::string& name);
    // The archive name as the user gave it: the job opens it as it is when
    // only that exists, not its completed name (see resolved_archive_name).
    void set_given_archive_name(const std::string& name) { given_name_ = name; }
    // Only the entries these select (see name_matches); none: every entry.
    void set_patterns(const std::vector<std::string>& patterns);

    void show_message(const char* text) override;
    void match_name_case(char* archive_name) override;
    void volume_prompt(const char* volume_name) override;
    void on_walk_end(JobContext& cx, const WalkEvent& event) override;

    // A walk that ended before the end of the archive's data.
    bool walk_ended_early() const
    {
        return walk_seen_ && walk_.reason != WalkEnd::END_OF_DATA && walk_.reason != WalkEnd::STOPPED;
    }

    // After the run: the command's closing lines (summary, listing total),
    // what was left unread and, for a failed run, the exit line on standard
    // error. Returns the tool's exit code: the job's status, except that a
    // run the job calls a success fails when the walk stopped before the
    // end of the archive's data (8) or an entry was not written (7).
    int32_t finish(JobContext& cx);

    const ConsoleReport& report() const { return report_; }

protected:
    // Ends a line the host left open, before anything else is printed.
    virtual void break_line() {}
    virtual void finish_command(JobContext&, bool /*unread*/) {}
    // Whether the current header's entry is selected (and the pattern
    // that selects it is marked as used).
    bool selected(JobContext& cx);

    ConsoleCommand command_;
    FILE* out_;
    FILE* err_;
    bool quiet_ = false;
    bool progress_ = false;
    ConsoleReport report_;
    bool walk_seen_ = false;
    WalkEvent walk_{};
    const ArchiveInfo* info_ = nullptr;
    std::string archive_name_;
    std::string given_name_;
    std::vector<std::string> patterns_;
    std::vector<bool> pattern_used_;
};

// x, e and t.
class ConsoleHost : public ConsoleJobHost {
public:
    using ConsoleJobHost::ConsoleJobHost;

    void on_entry(JobContext& cx, const char* output_name) override;
    void on_data(JobContext& cx, uint32_t count) override;
    void on_entry_end(JobContext& cx, const EntryEvent& event) override;
    bool select_entry(JobContext& cx, const char* output_name) override;
    bool may_replace(JobContext& cx, const char* path) override;
    // Nothing is made through a link to a folder that stands in the
    // destination on an entry's path (as bsdtar refuses by default).
    int32_t open_output(const char* path) override;
    bool make_directory(const char* path) override;
    // The folders of the files written and the folders made are known to
    // be real folders until anything is removed (KnownFolders): their
    // checks cost no system call for the next entries in them. Nor does
    // asking for a name in a folder this run made that the run never used
    // (MadePaths): only the run puts anything there.
    bool path_exists(const char* path) override;
    // A file's time and attributes are set through its descriptor just
    // before it closes.
    void close_output(int32_t fd) override;
    bool remove_directory(const char* path) override;
    bool delete_file(const char* path) override;
    bool remove_output(const char* path) override;

    // interactive: a person can answer the question ASK asks.
    void set_overwrite(OverwritePolicy policy, bool interactive)
    {
        overwrite_ = policy;
        interactive_ = interactive;
    }

private:
    struct Current {
        std::string name;
        uint32_t expected_size = 0;
        uint32_t file_time = 0;
        uint32_t file_attributes = 0;
        bool finished = false;  // time and attributes set through the open file
        uint64_t bytes = 0;
        bool line_open = false;  // "Extracting name" printed, verdict not yet
        bool bar_drawn = false;
        int last_percent = -1;
        std::chrono::steady_clock::time_point started, drawn;
    };

    void break_line() override;
    bool refuse_link(const char* path);
    void finish_command(JobContext& cx, bool unread) override;
    const char* verb() const;
    void print_verdict(const char* verdict);
    void draw_progress();
    int64_t unix_time_of(uint32_t file_time);

    Current current_;
    size_t drawn_width_ = 0;
    OverwritePolicy overwrite_ = OverwritePolicy::ASK;
    bool interactive_ = false;
    int answer_all_ = 0;  // 1: replace all from now on, -1: keep all
    bool link_in_path_ = false;  // the current entry's path went through a link
    KnownFolders known_;
    KnownFolders made_folders_;  // made by this run, each alone
    MadePaths made_paths_;
    std::vector<std::pair<std::string, uint32_t>> folders_;  // made by x, with their times
    // The last stamp converted: the entries of an archive mostly share a
    // few, and each conversion asks the system for its time zone again.
    uint32_t converted_stamp_ = 0;
    int64_t converted_time_ = -1;
};

// The host for a command: a ListingHost for l and v, a ConsoleHost for x,
// e and t, and for anything else one that only prints messages and the
// exit line.
std::unique_ptr<ConsoleJobHost> make_console_host(ConsoleCommand command, FILE* out, FILE* err);
