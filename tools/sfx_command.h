// kelvo sfx: makes an installer without a compiler. The inputs are packed
// exactly as kelvo a packs them (or a finished archive is taken as it is),
// and the archive goes into a copy of the installer stub: the Windows stub
// gets it as its "ARCDATA"/"Data" resource, with the window title, the
// scratch folder's name, the splash bitmap and the icon; the native
// launcher gets it appended.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/cli_options.h"

struct SfxOptions {
    std::string stub;          // empty: the one installed beside the tool
    std::string title;         // string 1; empty keeps the default
    std::string scratch_name;  // string 2; empty keeps the default
    bool title_given = false;
    bool scratch_name_given = false;
    std::string splash;        // a 321 x 81 .bmp
    std::string icon;          // an .ico
    PackCommandOptions pack;   // archive: the installer's file name
    std::string error;
};

// Parses the arguments after the command word: the installer's options
// first, then the packing options of a, the output and the inputs.
SfxOptions parse_sfx_options(int argc, const char* const* argv, int first);

// The scratch folder's name is one plain folder name, which the worker
// creates in the temporary folder and empties afterwards: false (with the
// reason) for an empty name, "." or "..", a separator or a drive, characters
// Windows does not allow in names, non-ASCII text, or too long a name.
bool check_scratch_name(const std::string& name, std::string* error);

// Where the tool looks for the stub when --stub is not given: beside its
// own executable, then in the share folder of the tree it is installed in.
std::vector<std::string> stub_candidates(const std::string& executable_path);

// Checks an archive the way an installer will read it: its main header
// found, every header walked to the end of the bytes without a fault, one
// volume only. Collects the names of its file entries.
bool check_archive(const std::vector<uint8_t>& archive, std::vector<std::string>* file_names, std::string* error);

// Runs the whole command; returns the exit code (0; 6 when an input or the
// stub cannot be read, 7 when the installer cannot be written, 8 for bad
// input).
int run_sfx_command(const SfxOptions& options, bool quiet, FILE* out, FILE* err);
