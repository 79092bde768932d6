// kelvo a: gathers the files and folders named on the command line, gives
// them their names inside the archive and hands them to the packer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "compress/packer.h"
#include "tools/cli_options.h"

struct PackInput {
    std::string archive_name;  // '\' between folders
    std::string disk_path;
    bool directory = false;
    uint32_t file_time = 0;    // DOS stamp, local time
    uint32_t attributes = 0;
    uint64_t size = 0;
};

// A file or folder argument is stored under its path as given, less a
// drive, a leading '/' and "." components ("." and paths ending in "."
// put a folder's contents at the top); ".." is refused, and so are two
// different inputs that come to the same name.
// Entries come in a stable order (sorted per folder, a folder before what
// it holds). The archive being written (and its volumes) is left out.
// Problems that stop the run go to *error; others to *warnings.
bool collect_inputs(const PackCommandOptions& options, std::vector<PackInput>* inputs, std::string* error,
                    std::vector<std::string>* warnings);

// What a packs, ready for the packer: the inputs as collected, their
// items and the packer's options. The installer maker packs through this
// too, so that an installer holds exactly what a would have written.
struct PackPlan {
    std::vector<PackInput> inputs;
    std::vector<PackItem> items;
    PackOptions pack;
};

// Collects the inputs and applies the options; prints warnings and the
// reason for a refusal to err. Returns 0, or the exit code of the refusal.
int plan_pack(const PackCommandOptions& options, FILE* err, PackPlan* plan);

// "Adding ..." per entry (unless quiet) and the summary line, naming the
// files written (or options.archive when none are given).
// entries_printed: the "Adding" lines went out as the entries were written.
void print_pack_summary(const PackCommandOptions& options, const PackPlan& plan, const PackResult& result,
                        const std::vector<std::string>& written, bool quiet, FILE* out,
                        bool entries_printed = false);

// Opens a file to write ("wb"); tests put in one that fails.
using PackFileOpener = std::FILE* (*)(const char* path);

// Writes the volumes under their names (first, then .C00, .C01, ...)
// through temporary files beside them (NAME.tmpXXXX), renamed only when
// every volume is written: a failed or interrupted run leaves neither a
// partial archive nor a temporary file. volume_limit: the -v size (0:
// none), checked against what the packer made. *written gets the final
// names; *error names the file and the system's reason. Returns 0, or the
// exit code (7 write error, 8 a volume size too small, 255 interrupted).
int write_archive_volumes(const std::vector<std::vector<uint8_t>>& volumes, const std::string& first,
                          uint64_t volume_limit, bool replace, std::vector<std::string>* written,
                          std::string* error, PackFileOpener open = nullptr);

// The exit code for a packer's error text.
int pack_status_of_error(const std::string& error);

// Runs the whole command, writing the archive as it is packed (a progress
// line on standard error when that is a terminal); returns the exit code (0, or 6 when an input
// cannot be read, 7 when the archive cannot be written, 8 for bad input).
int run_pack_command(const PackCommandOptions& options, bool quiet, FILE* out, FILE* err,
                     bool progress_line = true);

// After a pack wrote `written` files of the set that starts at first: the
// volumes of an older archive of that name that follow them (each one a
// volume, numbered as the next would be; the run stops at the first file
// that is not), which a later unpacking would read as the new set's
// continuation. Removes them and returns their names.
std::vector<std::string> remove_stale_volumes(const std::string& first, size_t written);
