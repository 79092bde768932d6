// The console tool's command line: its own options stand before the
// command letter; everything from the command letter on belongs to the job
// (x, e, t, l, v and their -y switches) or to the packer (a).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct ToolOptions {
    bool help = false;
    bool version = false;
    bool quiet = false;        // no per-entry lines
    bool no_progress = false;  // no progress bar even on a terminal
    int command_index = 0;     // index of the command letter in argv; 0 when there is none
    std::string error;         // an unknown or malformed tool option
};

ToolOptions parse_tool_options(int argc, const char* const* argv);

// What to do when a file to be extracted is already there.
enum class OverwritePolicy {
    ASK,     // ask on a terminal; without one, replace it (the engine's way)
    ALWAYS,  // -aoa: replace it
    NEVER,   // -aos: keep it
    UPDATE,  // -u: replace it only when the entry is newer
};

// The switches and names after x, e, t, l or v. The job is given the
// command letter, "-y" when it was asked for, and the archive name.
struct ExtractCommandOptions {
    std::string archive;                // as given
    bool yes = false;                   // -y: never ask for a volume
    std::string output_dir;             // -o DIR: extract there (made when missing)
    OverwritePolicy overwrite = OverwritePolicy::ASK;
    std::vector<std::string> patterns;  // entries to handle (names, folders, * and ?)
    bool json = false;                  // l, v: --json
    std::string error;
};

ExtractCommandOptions parse_extract_options(int argc, const char* const* argv, int command_index);

// Whether a stored name (either separator) is selected by a pattern: the
// whole name matches (* any run of characters, ? one character, neither
// crossing a separator unless the pattern has one there), or the pattern
// names one of the folders the entry lies in. Without case on Windows.
bool name_matches(const std::string& pattern, const std::string& name);

struct PackCommandOptions {
    std::string archive;
    std::vector<std::string> inputs;
    bool solid = true;
    bool keep_order = false;   // solid: pack in the order collected, not grouped by type
    bool store_only = false;
    int level = 0;             // effort, 1 (fast) to 9 (thorough); 0: the packer's default
    int dictionary_bits = 20;  // 10..20
    uint64_t volume_size = 0;  // 0: one archive, no volumes
    bool directory_entries = true;
    bool overwrite = false;
    std::string comment;
    std::vector<std::pair<std::string, std::string>> file_comments;  // archive name, text
    std::vector<std::string> excludes;  // -x patterns: what matches is not packed
    std::string error;
};

// Parses the arguments after the command letter a.
PackCommandOptions parse_pack_options(int argc, const char* const* argv, int first);

// "4096", "64k", "2m", "1g": a byte count. False on anything else, zero,
// or a count above 2^31 - 1 (what one archive file can hold).
bool parse_size(const std::string& text, uint64_t* bytes);
// "10".."20" are bits; a size ("64k", "1m", "65536") must be a power of two
// from 1K to 1M.
bool parse_dictionary(const std::string& text, int* bits);
// The name as the job would complete it: ".ACE" appended when the last path
// component has no '.' (on POSIX '/' also separates components).
std::string completed_archive_name(const std::string& name);
// The file the tool opens for the archive name given: the completed name,
// in the case of the file that has it in another case, or the name as
// given when only that exists ("noext" is opened when there is no
// "noext.ACE").
std::string resolved_archive_name(const std::string& name);

std::string usage_text();
