// What the engine asks of the world around it: messages, the console key
// and bell of the volume prompt, the file operations of the output side
// and memory. The defaults go through platform/; tests and tools override
// single operations (a scripted key reader, a failing write, a listing).
#pragma once

#include <cstddef>
#include <cstdint>

struct JobContext;

class JobHost {
public:
    virtual ~JobHost() = default;

    // A fatal message: a message box captioned "Fatal" on Windows, a line
    // "Fatal: <text>" on standard error on a console.
    virtual void show_message(const char* text);

    // Volume prompt: the next key without echo, or -1 at the end of input
    // or without a console; and one character to standard output.
    virtual int read_key();
    virtual void write_stdout_char(int c);
    virtual void flush_stdout();
    // Says which volume the prompt waits for, before its keys are read.
    virtual void volume_prompt(const char* volume_name);

    // Gives an archive or volume name that does not exist the case of the
    // one file that has it in another case (see platform_match_name_case).
    virtual void match_name_case(char* archive_name);

    // Output side. Paths are archive paths (backslash separators).
    virtual bool path_exists(const char* path);
    virtual bool make_directory(const char* path);
    virtual bool remove_directory(const char* path);
    virtual bool delete_file(const char* path);
    virtual int32_t open_output(const char* path);  // descriptor, or -1
    virtual int32_t write_output(int32_t fd, const void* data, uint32_t count);
    virtual void close_output(int32_t fd);
    virtual bool remove_output(const char* path);

    virtual void* allocate(size_t size);
    virtual void release(void* block);

    // Observation points for tools; the engine's outcome never depends on
    // them. on_entry: a file entry starts (extract and test, with its output
    // name) or a file header is walked (list, name null); a listing may
    // read cx.reader.header and even decode the comment in place.
    // on_data: count bytes of the current entry were decoded (written,
    // tested, or passed over in a solid archive when nothing could be
    // written for the entry). on_entry_refused: a file entry whose name
    // may not be written under x or e; it gets no on_entry, and the engine
    // also shows a message; the run ends with status 7 if nothing else
    // failed.
    virtual void on_entry(JobContext& cx, const char* output_name);
    virtual void on_data(JobContext& cx, uint32_t count);
    virtual void on_entry_refused(JobContext& cx, const char* name, const char* reason);
};

// The shared default host (platform-backed, stateless).
JobHost& default_job_host();
