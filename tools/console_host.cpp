#include "tools/console_host.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <ctime>

#include "archive/crc.h"
#include "extract/entries.h"
#include "extract/job.h"
#include "extract/output.h"
#include "platform/platform.h"
#include "tools/archive_info.h"
#include "tools/cli_options.h"
#include "tools/listing.h"
#include "tools/listing_host.h"
#include "tools/text_output.h"

namespace {

// Redrawing more often than this only costs time on a slow terminal.
constexpr auto PROGRESS_INTERVAL = std::chrono::milliseconds(100);
// Entries that finish sooner never show a bar: it would only flicker.
constexpr auto PROGRESS_DELAY = std::chrono::milliseconds(300);
constexpr int PROGRESS_BAR_WIDTH = 24;
// Long names are cut in the progress line so that it stays on one
// terminal line (a wrapped line cannot be redrawn with '\r').
constexpr size_t PROGRESS_NAME_WIDTH = 40;

// A DOS stamp (local time) as seconds since 1970; -1 when it is no date.
int64_t dos_time_to_unix(uint32_t file_time)
{
    DosDateTime d = decode_dos_time(file_time);
    std::tm t{};
    t.tm_year = d.year - 1900;
    t.tm_mon = d.month - 1;
    t.tm_mday = d.day;
    t.tm_hour = d.hour;
    t.tm_min = d.minute;
    t.tm_sec = d.second;
    t.tm_isdst = -1;
    if (d.month < 1 || d.month > 12 || d.day < 1)
        return -1;
    return int64_t(std::mktime(&t));
}

std::string stored_name(JobContext& cx)
{
    char name[NAME_CAPACITY];
    return entry_output_name(cx, name, 0);
}

}  // namespace

ConsoleCommand console_command_of(const char* letter)
{
    switch (job_command_of(letter)) {
    case COMMAND_EXTRACT: return ConsoleCommand::EXTRACT;
    case COMMAND_EXTRACT_FLAT: return ConsoleCommand::EXTRACT_FLAT;
    case COMMAND_TEST: return ConsoleCommand::TEST;
    case COMMAND_LIST: return ConsoleCommand::LIST;
    case COMMAND_LIST_VERBOSE: return ConsoleCommand::LIST_VERBOSE;
    default: return ConsoleCommand::OTHER;
    }
}

const char* status_text(int32_t status)
{
    switch (status) {
    case STATUS_OK: return "OK";
    case STATUS_NO_MEMORY: return "out of memory";
    case STATUS_CANCELLED: return "cancelled";
    case STATUS_VOLUME_OPEN_FAILED: return "next volume missing or damaged";
    case STATUS_READ_FAILED: return "read error";
    case STATUS_WRITE_FAILED: return "write error or unsafe names";
    case STATUS_USAGE: return "bad command line or damaged archive";
    case STATUS_CRC_ERROR: return "CRC error";
    case STATUS_DECOMPRESSION_FAILED: return "decompression failed";
    case STATUS_INTERRUPTED: return "interrupted";
    default: return "failed";
    }
}

ConsoleJobHost::ConsoleJobHost(ConsoleCommand command, FILE* out, FILE* err)
    : command_(command), out_(out), err_(err)
{
}

std::unique_ptr<ConsoleJobHost> make_console_host(ConsoleCommand command, FILE* out, FILE* err)
{
    switch (command) {
    case ConsoleCommand::LIST:
    case ConsoleCommand::LIST_VERBOSE: return std::make_unique<ListingHost>(command, out, err);
    case ConsoleCommand::OTHER: return std::make_unique<ConsoleJobHost>(command, out, err);
    default: return std::make_unique<ConsoleHost>(command, out, err);
    }
}

void ConsoleJobHost::set_archive_info(const ArchiveInfo* info, const std::string& name)
{
    info_ = info;
    archive_name_ = name;
}

const char* ConsoleHost::verb() const { return command_ == ConsoleCommand::TEST ? "Testing" : "Extracting"; }

// A line left open by "Extracting name" or a progress bar is ended before
// anything else is printed, so that messages never land in its middle.
void ConsoleHost::break_line()
{
    if (current_.line_open) {
        std::fputc('\n', out_);
        std::fflush(out_);
        current_.line_open = false;
    }
}

void ConsoleJobHost::show_message(const char* text)
{
    report_.messages++;
    break_line();
    std::fflush(out_);
    tool_fprintf(err_, "Fatal: %s\n", text);
    std::fflush(err_);
}

void ConsoleJobHost::set_patterns(const std::vector<std::string>& patterns)
{
    patterns_ = patterns;
    pattern_used_.assign(patterns.size(), false);
}

bool ConsoleJobHost::selected(JobContext& cx)
{
    if (patterns_.empty())
        return true;
    const std::string name = stored_name(cx);
    bool any = false;
    for (size_t i = 0; i < patterns_.size(); i++) {
        if (name_matches(patterns_[i], name)) {
            pattern_used_[i] = true;
            any = true;
        }
    }
    return any;
}

void ConsoleJobHost::match_name_case(char* archive_name)
{
    JobHost::match_name_case(archive_name);
    // Only the archive's own name, completed by the job, is given back.
    if (given_name_.empty() || completed_archive_name(given_name_) != archive_name)
        return;
    std::string resolved = resolved_archive_name(given_name_);
    if (resolved.size() < NAME_CAPACITY)
        std::memcpy(archive_name, resolved.c_str(), resolved.size() + 1);
}

void ConsoleJobHost::volume_prompt(const char* volume_name)
{
    break_line();
    std::fflush(out_);
    tool_fprintf(err_, "Insert the volume %s, then press Y to go on or N to give up.\n", volume_name);
    std::fflush(err_);
}

void ConsoleHost::on_entry(JobContext& cx, const char* output_name)
{
    link_in_path_ = false;
    current_ = Current{};
    current_.name = printable_text(reinterpret_cast<const uint8_t*>(output_name), std::strlen(output_name));
    current_.expected_size = cx.reader.header.file.unpacked_size;
    current_.file_time = cx.reader.header.file.file_time;
    current_.file_attributes = cx.reader.header.file.file_attributes;
    current_.started = std::chrono::steady_clock::now();
    if (!quiet_) {
        tool_fprintf(out_, "%s %s", verb(), current_.name.c_str());
        std::fflush(out_);
        current_.line_open = true;
    }
}

void ConsoleHost::on_data(JobContext&, uint32_t count)
{
    current_.bytes += count;
    if (progress_ && current_.line_open)
        draw_progress();
}

void ConsoleHost::draw_progress()
{
    auto now = std::chrono::steady_clock::now();
    if (now - current_.started < PROGRESS_DELAY || now - current_.drawn < PROGRESS_INTERVAL)
        return;
    uint64_t expected = current_.expected_size ? current_.expected_size : 1;
    int percent = int(std::min<uint64_t>(100, current_.bytes * 100 / expected));
    if (percent == current_.last_percent)
        return;
    current_.last_percent = percent;
    current_.drawn = now;
    std::string name = current_.name;
    if (name.size() > PROGRESS_NAME_WIDTH)
        name = "..." + name.substr(name.size() - (PROGRESS_NAME_WIDTH - 3));
    std::string bar(PROGRESS_BAR_WIDTH, '.');
    std::fill_n(bar.begin(), percent * PROGRESS_BAR_WIDTH / 100, '#');
    char line[160];
    int n = std::snprintf(line, sizeof line, "\r%s %s [%s] %3d%%", verb(), name.c_str(), bar.c_str(), percent);
    tool_fputs(line, out_);
    std::fflush(out_);
    drawn_width_ = size_t(std::max(n, 0));
    current_.bar_drawn = true;
}

void ConsoleHost::print_verdict(const char* verdict)
{
    if (current_.line_open && !current_.bar_drawn) {
        tool_fprintf(out_, " ... %s\n", verdict);
    } else {
        // The line was broken by a message or covered by a bar: say it whole.
        std::string line = std::string(verb()) + " " + current_.name + " ... " + verdict;
        if (current_.line_open && current_.bar_drawn) {
            std::fputc('\r', out_);
            if (line.size() + 1 < drawn_width_)
                line.append(drawn_width_ - line.size() - 1, ' ');
        }
        tool_fprintf(out_, "%s\n", line.c_str());
    }
    current_.line_open = false;
    std::fflush(out_);
}

bool ConsoleHost::select_entry(JobContext& cx, const char* output_name)
{
    (void)output_name;
    // e puts every file into one folder: folder entries have no place there.
    if (command_ == ConsoleCommand::EXTRACT_FLAT && (cx.reader.header.file.file_attributes & ATTR_DIRECTORY))
        return false;
    return selected(cx);
}

void KnownFolders::add(const char* path, size_t n)
{
    // A folder already known has its own folders known: the walk up stops.
    // (A backslash at index 0 is never a separator.) Most files go into a
    // folder known already: no string is made for them.
    if (holds(path, n))
        return;
    std::string folder(path, n);
    while (!folder.empty() && folders_.insert(folder).second) {
        const size_t k = folder.rfind('\\');
        if (k == std::string::npos || k == 0)
            break;
        folder.resize(k);
    }
}

bool ConsoleHost::refuse_link(const char* path)
{
    // The first folder part of path (archive separators) that is a link.
    // The folders on the way to the one known are real folders.
    std::string link;
    for (const char* p = path; *p; p++) {
        if (*p == '\\' && p != path && !known_.holds(path, size_t(p - path)) && platform_is_link(std::string(path, p).c_str())) {
            link.assign(path, p);
            break;
        }
    }
    if (link.empty())
        return false;
    link_in_path_ = true;
    break_line();
    std::fflush(out_);
    tool_fprintf(err_, "kelvo: %s is a link to a folder: nothing is made through it\n", link.c_str());
    std::fflush(err_);
    return true;
}

namespace {

// Whether the system may take name for another one: Windows (and FAT and
// NTFS mounted elsewhere) drops trailing dots and spaces, and a '~' may be
// a short name.
bool may_alias(const char* name)
{
    const size_t n = std::strlen(name);
    return n == 0 || name[n - 1] == '.' || name[n - 1] == ' ' || std::strchr(name, '~') != nullptr;
}

}  // namespace

bool ConsoleHost::path_exists(const char* path)
{
    if (known_.holds(path))
        return true;
    // (Another program may still put something there; the file's exclusive
    // creation then fails rather than replacing it.)
    const char* slash = std::strrchr(path, '\\');
    if (slash && slash != path && !may_alias(slash + 1) && made_folders_.holds(path, size_t(slash - path)) &&
        !made_paths_.maybe(path))
        return false;
    return JobHost::path_exists(path);
}

int32_t ConsoleHost::open_output(const char* path)
{
    if (refuse_link(path))
        return -1;
    made_paths_.add(path);
    int32_t fd = JobHost::open_output(path);
    // The file is there, so its folder is: no folder on the way is a link.
    const char* slash = std::strrchr(path, '\\');
    if (fd >= 0 && slash && slash != path)
        known_.add(path, size_t(slash - path));
    return fd;
}

void ConsoleHost::close_output(int32_t fd)
{
    // Every byte is written (the write-behind host has drained): the time
    // set now is the one the file keeps. Read-only waits until the entry
    // has ended well: a file that is taken back must still be deletable.
    const int64_t when = unix_time_of(current_.file_time);
    current_.finished = platform_finish_output(fd, when, current_.file_attributes & ~uint32_t(ATTR_READ_ONLY));
    JobHost::close_output(fd);
}

bool ConsoleHost::make_directory(const char* path)
{
    if (refuse_link(path))
        return false;
    made_paths_.add(path);
    if (!JobHost::make_directory(path))
        return false;
    known_.add(path);
    made_folders_.add_only(path);
    return true;
}

bool ConsoleHost::remove_directory(const char* path)
{
    known_.forget();
    made_folders_.forget();
    return JobHost::remove_directory(path);
}

bool ConsoleHost::delete_file(const char* path)
{
    known_.forget();
    made_folders_.forget();
    return JobHost::delete_file(path);
}

bool ConsoleHost::remove_output(const char* path)
{
    known_.forget();
    made_folders_.forget();
    return JobHost::remove_output(path);
}

int64_t ConsoleHost::unix_time_of(uint32_t file_time)
{
    if (file_time != converted_stamp_ || converted_time_ < 0) {
        converted_stamp_ = file_time;
        converted_time_ = dos_time_to_unix(file_time);
    }
    return converted_time_;
}

bool ConsoleHost::may_replace(JobContext& cx, const char* path)
{
    switch (overwrite_) {
    case OverwritePolicy::ALWAYS: return true;
    case OverwritePolicy::NEVER: return false;
    case OverwritePolicy::UPDATE: {
        int64_t existing = 0;
        int64_t entry = unix_time_of(cx.reader.header.file.file_time);
        return !platform_modified_time(path, &existing) || entry > existing;
    }
    case OverwritePolicy::ASK: break;
    }
    // Without a person to ask, whatever stands there is replaced.
    if (!interactive_ || answer_all_ > 0)
        return true;
    if (answer_all_ < 0)
        return false;
    break_line();
    std::fflush(out_);
    std::string shown = printable_text(reinterpret_cast<const uint8_t*>(path), std::strlen(path));
    for (;;) {
        tool_fprintf(err_, "%s exists. Replace it? [y]es, [n]o, [A]ll, [N]one: ", shown.c_str());
        std::fflush(err_);
        int key = read_key();
        tool_fprintf(err_, "%c\n", key > ' ' && key < 127 ? char(key) : ' ');
        std::fflush(err_);
        switch (key) {
        case 'y': case 'Y': return true;
        case 'n': return false;
        case 'A': case 'a': answer_all_ = 1; return true;
        case 'N': answer_all_ = -1; return false;
        case -1: return false;  // the end of input: keep what is there
        default: break;
        }
    }
}

void ConsoleHost::on_entry_end(JobContext& cx, const EntryEvent& event)
{
    if (event.result == EntryResult::SKIPPED && event.reason != OUTPUT_KEPT)
        return;  // not selected: nothing to say
    if (command_ != ConsoleCommand::TEST && (event.result == EntryResult::WRITTEN || event.result == EntryResult::CRC_MISMATCH)) {
        // The file is closed: its time and (on Windows) attributes.
        const AceFileHeader& f = cx.reader.header.file;
        int64_t when = unix_time_of(f.file_time);
        if (when >= 0 && !current_.finished)
            platform_set_modified_time(event.name, when);
        if (!current_.finished || (f.file_attributes & ATTR_READ_ONLY))
            platform_set_attributes(event.name, f.file_attributes);
    }
    if (command_ == ConsoleCommand::EXTRACT && event.result == EntryResult::FOLDER)
        folders_.emplace_back(event.name, cx.reader.header.file.file_time);
    std::string verdict = "OK";
    bool failed = true;
    switch (event.result) {
    case EntryResult::SKIPPED:
        verdict = std::string("skipped (") + event.reason + ")";
        failed = false;
        report_.kept++;
        break;
    case EntryResult::WRITTEN:
    case EntryResult::TESTED:
    case EntryResult::FOLDER: failed = false; break;
    case EntryResult::CRC_MISMATCH: verdict = "CRC error"; break;
    case EntryResult::FAILED: verdict = status_text(current_status(cx)); break;
    case EntryResult::REFUSED: verdict = std::string("refused: ") + event.reason; break;
    case EntryResult::NOT_WRITTEN:
        verdict = std::string("not written (") +
                  (link_in_path_ ? "a link to a folder is on its path"
                                 : event.reason ? event.reason : "something in the way") +
                  ")";
        report_.not_written++;
        break;
    }
    if (event.result == EntryResult::REFUSED) {
        // A refused entry never began: its line is printed whole.
        current_ = Current{};
        current_.name = printable_text(reinterpret_cast<const uint8_t*>(event.name), std::strlen(event.name));
        report_.refused++;
    }
    if (failed)
        report_.failed++;
    else if (event.result == EntryResult::FOLDER)
        report_.folders++;
    else if (event.result != EntryResult::SKIPPED)
        report_.files++;
    if (!failed)
        report_.bytes += event.bytes;
    if (!quiet_ || event.result == EntryResult::REFUSED) {
        print_verdict(verdict.c_str());
    } else if (failed) {
        // Quiet runs still name the entries that went wrong.
        tool_fprintf(out_, "%s %s ... %s\n", verb(), current_.name.c_str(), verdict.c_str());
        std::fflush(out_);
    }
}

void ConsoleJobHost::on_walk_end(JobContext&, const WalkEvent& event)
{
    walk_seen_ = true;
    walk_ = event;
}

void ConsoleHost::finish_command(JobContext& cx, bool unread)
{
    // Folders get their times last: every file made in them changed them.
    for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) {
        int64_t when = unix_time_of(it->second);
        if (when >= 0)
            platform_set_modified_time(it->first.c_str(), when);
    }
    int32_t status = current_status(cx);
    bool any = report_.files + report_.folders + report_.failed > 0;
    if (!any && status != STATUS_OK)
        return;
    std::string what = count_text(report_.files, report_.folders);
    const char* done = command_ == ConsoleCommand::TEST ? "Tested" : "Extracted";
    if (report_.failed == 0 && status == STATUS_OK && !unread)
        tool_fprintf(out_, "%s %s (%" PRIu64 " bytes): all OK\n", done, what.c_str(), report_.bytes);
    else if (report_.failed == 0 && unread)
        tool_fprintf(out_, "%s %s (%" PRIu64 " bytes); the rest of the archive is damaged\n", done, what.c_str(),
                     report_.bytes);
    else
        tool_fprintf(out_, "%s %s (%" PRIu64 " bytes); %" PRIu32 " %s failed\n", done, what.c_str(), report_.bytes,
                     report_.failed, report_.failed == 1 ? "entry" : "entries");
}

int32_t ConsoleJobHost::finish(JobContext& cx)
{
    const int32_t status = current_status(cx);
    // The engine ends a walk at a damaged header as quietly as at the end
    // of the archive; the tool says what was left unread and fails.
    const bool unread = walk_ended_early() && (status == STATUS_OK || status == STATUS_CRC_ERROR);
    finish_command(cx, unread);
    std::fflush(out_);
    int32_t code = status;
    if (unread) {
        if (walk_.reason == WalkEnd::DAMAGED_HEADER)
            tool_fprintf(err_,
                         "kelvo: Archive data is damaged: the header at byte %" PRId32 " of %" PRIu32
                         " fails its check; entries after it were not processed\n",
                         walk_.offset, walk_.length);
        else
            tool_fprintf(err_,
                         "kelvo: Archive data is damaged: the archive ends early (%" PRIu32
                         " bytes, cut inside a header or an entry's data); entries after it were not processed\n",
                         walk_.length);
        if (code == STATUS_OK)
            code = STATUS_USAGE;
    } else if (code == STATUS_OK && report_.not_written > 0) {
        code = STATUS_WRITE_FAILED;
    }
    bool unmatched = false;
    if (status == STATUS_OK || status == STATUS_CRC_ERROR) {
        for (size_t i = 0; i < patterns_.size(); i++) {
            if (!pattern_used_[i]) {
                tool_fprintf(err_, "kelvo: nothing in the archive matches %s\n", patterns_[i].c_str());
                unmatched = true;
            }
        }
    }
    if (unmatched && code == STATUS_OK)
        code = STATUS_USAGE;
    if (code != STATUS_OK) {
        // A usage failure found in the arguments shows no message of its own.
        if (code == STATUS_USAGE && report_.messages == 0 && !unread && !unmatched)
            tool_fprintf(err_, "kelvo: bad command line (kelvo --help shows the usage)\n");
        const char* why = code == STATUS_USAGE && unread      ? "damaged archive"
                          : code == STATUS_USAGE && unmatched ? "names not found in the archive"
                          : code == STATUS_WRITE_FAILED && status == STATUS_OK
                              ? "entries not written"
                              : status_text(code);
        tool_fprintf(err_, "kelvo: exit code %d (%s)\n", int(code), why);
        std::fflush(err_);
    }
    return code;
}
