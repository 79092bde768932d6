// The loops that a command runs over the archive's entries.
#pragma once

struct JobContext;

void extract_entries(JobContext& cx, int strip_paths, int test_only);
void list_entries(JobContext& cx);
char* entry_output_name(JobContext& cx, char* buffer, int strip_paths);
void decode_and_write(JobContext& cx);
void decode_and_discard(JobContext& cx);
void check_entry_crc(JobContext& cx);
