// Where one entry goes: the directories on its path, whatever stood there
// before, and the new output file.
#pragma once

#include <cstdint>

struct JobContext;

// The descriptor of the new output file, or -1: for a folder entry, after a
// failure (in the status), or when nothing could be made (then *why, when
// given, says what stood in the way).
int32_t create_output(JobContext& cx, const char* path, uint32_t attributes, const char** why = nullptr);
void make_parent_dirs(JobContext& cx, const char* path);
int remove_existing(JobContext& cx, const char* path);
