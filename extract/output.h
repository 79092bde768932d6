// Where one entry goes: the directories on its path, whatever stood there
// before, and the new output file.
#pragma once

#include <cstdint>

struct JobContext;

int32_t create_output(JobContext& cx, const char* path, uint32_t attributes);
void make_parent_dirs(JobContext& cx, const char* path);
int remove_existing(JobContext& cx, const char* path);
