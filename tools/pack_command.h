// kelvo a: gathers the files and folders named on the command line, gives
// them their names inside the archive and hands them to the packer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/cli_options.h"

struct PackInput {
    std::string archive_name;  // '\' between folders
    std::string disk_path;
    bool directory = false;
    uint32_t file_time = 0;    // DOS stamp, local time
    uint32_t attributes = 0;
    uint64_t size = 0;
};

// A file argument is stored under its own file name; a folder with all it
// holds under the folder's name ("." and paths ending in "." without it).
// Entries come in a stable order (sorted per folder, a folder before what
// it holds). The archive being written (and its volumes) is left out.
// Problems that stop the run go to *error; others to *warnings.
bool collect_inputs(const PackCommandOptions& options, std::vector<PackInput>* inputs, std::string* error,
                    std::vector<std::string>* warnings);

// Runs the whole command; returns the exit code (0, or 6 when an input
// cannot be read, 7 when the archive cannot be written, 8 for bad input).
int run_pack_command(const PackCommandOptions& options, bool quiet, FILE* out, FILE* err);
