// The packed bytes of the current entry, continuing across volumes.
#pragma once

#include <cstdint>

struct JobContext;

// Room for an archive or volume name and its terminator (the job's
// archive_name); entry output names use the same capacity.
constexpr int NAME_CAPACITY = 512;

// volume_prompt_mode values.
constexpr int32_t PROMPT_ALWAYS = 0;
constexpr int32_t PROMPT_WHEN_MISSING = 1;
constexpr int32_t PROMPT_NEVER = 2;

// Answers of ask_volume_key.
constexpr int VOLUME_KEY_CONTINUE = 1;
constexpr int VOLUME_KEY_GIVE_UP = 2;

struct PackedReader {
    int32_t volume_prompt_mode;
};

// Archives on disk: a name that is not there takes the case of the one
// file that has it in another case (volumes copied from systems that
// ignore case). Archives in memory are left alone.
void match_archive_name_case(JobContext& cx);

uint32_t read_packed(JobContext& cx, void* dst, uint32_t n);
int next_volume(JobContext& cx);
// Rewrites the extension of archive_name to name the next volume. Returns 1,
// or 0 with the name unchanged when there is no next name: past .999, no
// extension in the last path component, or no room for three characters.
int next_volume_name(JobContext& cx);
// The same rewrite on any terminated name held in a NAME_CAPACITY buffer.
int next_volume_name(char* name);
int wait_for_volume(JobContext& cx);
int ask_volume_key(JobContext& cx);
void ring_bell(JobContext& cx);
