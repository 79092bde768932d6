// The loops that a command runs over the archive's entries.
#pragma once

#include <cstdint>

struct JobContext;

void extract_entries(JobContext& cx, int strip_paths, int test_only);
void list_entries(JobContext& cx);
char* entry_output_name(JobContext& cx, char* buffer, int strip_paths);
// The entry's contents through the decoder, into its output file or
// nowhere; both return the bytes delivered.
uint64_t decode_and_write(JobContext& cx);
uint64_t decode_and_discard(JobContext& cx);
void check_entry_crc(JobContext& cx);

// Why the current file entry may not be written under output_name (its
// name as entry_output_name formed it), or null when it may: names that
// would land outside the current folder (absolute, drive-qualified, with
// '..' parts, empty), stored names of NAME_CAPACITY bytes or more or
// reaching past their header, and on POSIX a '/' inside the stored name.
const char* entry_name_refusal(const JobContext& cx, const char* output_name);
