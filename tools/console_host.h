// The console tool's view of a job: it follows the engine's events and
// prints what a console user expects (a line per entry with its verdict, a
// progress bar on a terminal, the listing of l and v, a summary), and prints
// the engine's messages as "Fatal: <text>" lines. Nothing here changes what
// the job does or how it ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "extract/host.h"
#include "tools/listing.h"

struct ArchiveInfo;

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
    uint32_t messages = 0;     // engine messages shown
};

class ConsoleHost : public JobHost {
public:
    ConsoleHost(ConsoleCommand command, FILE* out, FILE* err);

    void set_quiet(bool quiet) { quiet_ = quiet; }
    void set_progress(bool progress) { progress_ = progress; }
    // Facts about the archive found before the run (printed by v).
    void set_archive_info(const ArchiveInfo* info, const std::string& name);

    void show_message(const char* text) override;
    void volume_prompt(const char* volume_name) override;
    void on_entry(JobContext& cx, const char* output_name) override;
    void on_data(JobContext& cx, uint32_t count) override;
    void on_entry_end(JobContext& cx, const EntryEvent& event) override;
    void on_walk_end(JobContext& cx, const WalkEvent& event) override;

    // How the walk ended; END_OF_DATA until told otherwise.
    bool walk_ended_early() const { return walk_seen_ && walk_.reason != WalkEnd::END_OF_DATA && walk_.reason != WalkEnd::STOPPED; }

    // After the run: the last entry's verdict, the listing's total, the
    // summary and, for a failed run, the exit line on standard error.
    void finish(JobContext& cx);

    const ConsoleReport& report() const { return report_; }

private:
    struct Current {
        std::string name;
        uint32_t expected_size = 0;
        uint64_t bytes = 0;
        bool line_open = false;  // "Extracting name" printed, verdict not yet
        bool bar_drawn = false;
        int last_percent = -1;
        std::chrono::steady_clock::time_point started, drawn;
    };

    const char* verb() const;
    void print_verdict(const char* verdict);
    void break_line();
    void draw_progress();
    void list_header(JobContext& cx, bool continuation);
    void flush_listed();
    void print_listing_heading();

    ConsoleCommand command_;
    FILE* out_;
    FILE* err_;
    bool quiet_ = false;
    bool progress_ = false;
    ConsoleReport report_;
    Current current_;
    size_t drawn_width_ = 0;
    bool walk_seen_ = false;
    WalkEvent walk_{};

    // Listing
    bool heading_printed_ = false;
    bool have_listed_ = false;
    bool continuation_expected_ = false;
    ListedEntry listed_;
    ListingTotals totals_;
    const ArchiveInfo* info_ = nullptr;
    std::string archive_name_;
};
