// The installer's own door to the operating system: temporary folder,
// string resources, random names, the private folder, the child program,
// clean-up and the splash window's two signals. Linked by launcher/ only,
// never by the engine. Paths are the platform's own (the worker builds them
// from what these functions return); the engine's platform.h serves the
// rest.
#pragma once

#include <cstdint>

// The user's temporary folder, ending with a separator. Returns the length
// written (without terminator), 0 on failure, or a value >= capacity when
// the buffer is too small (then the buffer holds nothing usable).
uint32_t platform_temp_path(char* buffer, uint32_t capacity);

// String resource `id` of the program, terminated; returns its length,
// 0 when it is missing or empty.
int platform_load_string(uint32_t id, char* buffer, int capacity);

// count bytes from the system's cryptographic random source; false when
// it gives none.
bool platform_random_bytes(void* buffer, uint32_t count);

enum class MakeOutcome : uint8_t {
    MADE,    // a new folder, open to the current user alone
    EXISTS,  // something (folder, file, link) already stands there: untouched
    FAILED,
};
// Creates a new folder that only the current user may use (on Windows a
// protected access list naming the user alone, nothing inherited; on POSIX
// mode 0700). Never opens what already exists.
MakeOutcome platform_make_private_directory(const char* path);
bool platform_set_current_directory(const char* path);

// The separator that platform_temp_path ends with.
char platform_path_separator();

// Runs `program` (a path relative to the current folder) with the given
// command-line text, inheriting handles, environment and current folder,
// and waits without time limit for it to end; *exit_code is its exit code.
// False when it could not be started.
bool platform_run_and_wait(const char* program, char* command_line, uint32_t* exit_code);

// Calls visit for every entry of the folder at `path` ("." and ".."
// included where the platform lists them) until visit returns false.
// is_folder is true for a real folder only: a symbolic link or junction is
// reported as not a folder, to be removed as itself and never entered.
// False when the folder cannot be listed.
using PlatformVisitEntry = bool (*)(void* context, const char* name, bool is_folder);
bool platform_list_directory(const char* path, PlatformVisitEntry visit, void* context);

enum class RemoveOutcome : uint8_t {
    REMOVED,
    HELD,    // still in use by someone (sharing violation, image still mapped): try again
    FAILED,  // will not go (not empty, gone already)
};
// Deletes a file, or a link or junction itself (never what it points to).
// A read-only file is deleted all the same.
RemoveOutcome platform_delete_scratch_file(const char* path);
RemoveOutcome platform_remove_scratch_directory(const char* path);

// Milliseconds on a clock that wraps every 2^32 (Windows before Vista has
// no wider one): only differences of two readings mean anything.
uint32_t platform_now_ms();
void platform_sleep_ms(uint32_t milliseconds);

// The splash window as the worker sees it: an opaque handle, null where
// there is no window (the native installer). Hidden when this returns, as
// far as other programs can see.
void platform_hide_window(void* window);
// Ends the program with the given exit code: the process ends here. Without
// a window nothing happens (the caller returns the code).
void platform_end_window(void* window, int32_t exit_code);
