// The installer's own door to the operating system: temporary folder,
// string resources, current folder, the child program, clean-up and the
// splash window's two signals. Linked by launcher/ only, never by the
// engine. Paths are the platform's own (the worker builds them from what
// these functions return); the engine's platform.h serves the rest.
#pragma once

#include <cstdint>

// The user's temporary folder, ending with a separator. Returns the length
// written (without terminator), 0 on failure, or a value >= capacity when
// the buffer is too small (then the buffer holds nothing usable).
uint32_t platform_temp_path(char* buffer, uint32_t capacity);

// String resource `id` of the program, terminated; returns its length,
// 0 when it is missing or empty.
int platform_load_string(uint32_t id, char* buffer, int capacity);

// Creates the scratch folder. An existing folder is reused. False when
// what stands at the path must not be used: on POSIX a symbolic link,
// something other than a folder, or a folder another user owns.
bool platform_make_scratch_directory(const char* path);
bool platform_set_current_directory(const char* path);

// The separator that platform_temp_path ends with.
char platform_path_separator();

// Runs `program` (a path relative to the current folder) with the given
// command-line text, inheriting handles, environment and current folder,
// and waits without time limit for it to end. The exit code is discarded.
// False when it could not be started.
bool platform_run_and_wait(const char* program, char* command_line);

// Calls visit for every entry of the current folder ("." and ".." included
// where the platform lists them) until visit returns false. False when the
// folder cannot be listed.
using PlatformVisitEntry = bool (*)(void* context, const char* name, bool is_directory);
bool platform_list_current_directory(PlatformVisitEntry visit, void* context);

enum class RemoveOutcome : uint8_t {
    REMOVED,
    HELD,    // still in use by someone (sharing violation, image still mapped): try again
    FAILED,  // will not go (read-only, not empty, gone already)
};
RemoveOutcome platform_delete_scratch_file(const char* name);
RemoveOutcome platform_remove_scratch_directory(const char* path);

uint64_t platform_now_ms();
void platform_sleep_ms(uint32_t milliseconds);

// The splash window as the worker sees it: an opaque handle, null where
// there is no window (the native installer).
void platform_hide_window(void* window);
// Posts the window's destruction notification, which ends the message loop.
void platform_end_window(void* window);
