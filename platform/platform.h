// The one door to the operating system. Only platform/ includes system
// headers; everything else sees these functions. Paths handed in are
// archive paths: the backslash is the separator, and the POSIX side maps
// it to '/'.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// ---- Messages and console ----------------------------------------------

// A message box (no owner, caption "Fatal", error icon) on Windows, a line
// "Fatal: <text>" on standard error elsewhere. Blocks until dismissed.
void platform_show_fatal(const char* text);
// Next console key without echo; -1 at the end of input or without a console.
int platform_read_key();
void platform_write_stdout_char(int c);
void platform_flush_stdout();
// One line of prompt text for the console user (standard error on POSIX).
void platform_show_prompt(const char* text);
// Whether standard output is an interactive terminal (a console on
// Windows), so that a console tool may redraw a progress line there.
bool platform_stdout_is_terminal();
// Whether standard input is one, so that a question can be answered.
bool platform_stdin_is_terminal();
// Whether standard error is one: where the packer draws its progress line.
bool platform_stderr_is_terminal();

// ---- Text -------------------------------------------------------------
// Names are UTF-8 on every system: every path handed to this layer is read
// as UTF-8 (on Windows through the wide API), and text is written as UTF-8.

// The program's arguments as UTF-8: on Windows read again from the wide
// command line (the runtime's argv is in the ANSI code page, which cannot
// hold most names); elsewhere left as they are.
void platform_utf8_arguments(int* argc, char*** argv);
// UTF-8 text to standard output or error (or any stream): on a Windows
// console as wide characters, so that names in any script show; anywhere
// else as the bytes.
void platform_write_text(std::FILE* stream, const char* text, size_t length);

// ---- Files --------------------------------------------------------------

bool platform_path_exists(const char* path);
// Whether what stands at path is a symbolic link (on Windows any reparse
// point: a link or a junction), without following it.
bool platform_is_link(const char* path);
// Archives and their volumes often come from systems whose file names
// ignore case ("SET.ACE" with "set.c00" beside it), while volume names are
// built in upper case. Where names are case-sensitive and no file has
// exactly this name, but exactly one in its folder has it in another case,
// the name takes that file's case (in place: same length). Elsewhere it
// does nothing.
void platform_match_name_case(char* path);
bool platform_make_directory(const char* path);
bool platform_remove_directory(const char* path);
bool platform_delete_file(const char* path);
// A new, empty file opened for writing; -1 when it could not be opened.
int32_t platform_open_output(const char* path);
int32_t platform_write(int32_t fd, const void* data, uint32_t count);
void platform_close(int32_t fd);
bool platform_remove_file(const char* path);
// The running program's own file, as the system names it (a host path);
// false when it does not say or the name does not fit.
bool platform_executable_path(char* buffer, uint32_t capacity);

// fopen of a host path given in UTF-8.
std::FILE* platform_fopen(const char* path, const char* mode);
// fseek to an offset from the start that may lie past 2 GiB.
bool platform_fseek(std::FILE* file, uint64_t offset);
// Where the shell leaves wildcards to the program (Windows), calls each
// with the path of every file or folder pattern matches ("." and ".."
// aside), the folder part as given; returns how many matched. -1 where the
// shell expands them itself, and a '*' that reaches the program is a name.
int platform_expand_wildcard(const char* pattern, void (*each)(const char* path, void* context), void* context);

// What the console tool restores after an entry is written. Times are
// seconds since 1970 (UTC); links are never followed.
bool platform_set_modified_time(const char* path, int64_t unix_seconds);
// Both for a file still open for writing (platform_open_output), once its
// last byte is written: the time (none when unix_seconds < 0) and, on
// Windows, the attributes, with no path looked up again. False when the
// system refused.
bool platform_finish_output(int32_t fd, int64_t unix_seconds, uint32_t attributes);
// The modification time of what stands at path; false when nothing does.
bool platform_modified_time(const char* path, int64_t* unix_seconds);
// The read-only, hidden, system and archive bits of attributes, on
// Windows. POSIX files keep no such attributes: nothing is done there.
bool platform_set_attributes(const char* path, uint32_t attributes);

// ---- Archive backings ---------------------------------------------------

// An archive file open for reading at any offset. It is read through the
// file API rather than mapped: a file cut short by another program, or a
// failing disk, then gives a short read or an error, not a fault.
struct PlatformReadFile {
    intptr_t impl = -1;   // descriptor or handle; -1 when closed
    uint32_t length = 0;  // the size when it was opened
    // The bytes read last from ahead_offset on, so that the engine's small
    // reads cost no system call each (platform/read_ahead.h; the installer
    // stub, which reads from memory, leaves them unused, but every build
    // has them, so that the record is the same for all that share it).
    uint8_t* ahead = nullptr;
    uint32_t ahead_offset = 0;
    uint32_t ahead_count = 0;
};

// Opens a regular file; false when it cannot be opened or is larger than
// 2 GiB - 1.
bool platform_open_read(const char* path, PlatformReadFile* file);
// Bytes read at offset (fewer at the end of the file), or -1 on an error.
int32_t platform_read_at(PlatformReadFile* file, uint32_t offset, void* buffer, uint32_t count);
void platform_close_read(PlatformReadFile* file);

// The archive embedded in the running program: the "ARCDATA"/"Data"
// resource on Windows, a payload appended to the executable elsewhere.
bool platform_embedded_archive(const uint8_t** data, uint32_t* length);

// ---- Signals ------------------------------------------------------------

void platform_install_interrupt(void (*handler)(int));

// ---- Threads ------------------------------------------------------------
// One background thread and counting semaphores: enough for a host that
// lets a second core do its writing while the engine decodes.

struct PlatformThread {
    intptr_t impl = 0;  // 0 when none runs
};
// Starts run(argument) on a new thread; false when none could be started.
bool platform_start_thread(PlatformThread* thread, void (*run)(void*), void* argument);
// Waits until the thread has returned; nothing when none was started.
void platform_join_thread(PlatformThread* thread);

struct PlatformSemaphore {
    intptr_t impl = 0;  // 0 when not created
};
bool platform_create_semaphore(PlatformSemaphore* semaphore, uint32_t initial);
void platform_post_semaphore(PlatformSemaphore* semaphore);
// Waits until the count is above zero, then takes one.
void platform_wait_semaphore(PlatformSemaphore* semaphore);
void platform_destroy_semaphore(PlatformSemaphore* semaphore);

// ---- Memory -------------------------------------------------------------

void* platform_allocate(size_t size);
void platform_release(void* block);
// A large block of zero bytes that is read and written at random (the
// packer's match tables): where the system gives huge pages on request,
// it asks for them, since random access over megabytes otherwise misses
// the address translation cache at nearly every step. nullptr when there
// is no memory. Released with platform_release_large.
void* platform_allocate_large(size_t size);
void platform_release_large(void* block);
