// What the engine asks of the world around it: messages, the console key
// and bell of the volume prompt, the file operations of the output side
// and memory. The defaults go through platform/; tests and tools override
// single operations (a scripted key reader, a failing write, a listing).
#pragma once

#include <cstddef>
#include <cstdint>

struct JobContext;

// What became of one file entry under x, e or t.
enum class EntryResult : uint8_t {
    WRITTEN,       // its file was written whole and its checksum is right
    TESTED,        // decoded whole (t) and its checksum is right
    CRC_MISMATCH,  // decoded whole, checksum wrong (a written file stays)
    FAILED,        // the run's status ended it: its partial file was taken back
    FOLDER,        // a folder entry: the folder was made or was already there
    REFUSED,       // its name may not be written; nothing was
    NOT_WRITTEN,   // no file could be made for it; nothing was
    SKIPPED,       // the host passed it over (not selected, or what stands there kept)
};

struct EntryEvent {
    const char* name;    // the output name (without its path under e)
    EntryResult result;
    const char* reason;  // REFUSED, NOT_WRITTEN and SKIPPED: why, else null
    uint64_t bytes;      // contents delivered by the decoder
    uint32_t crc;        // their running checksum, against the header's file_crc
};

// How the walk over the headers ended.
enum class WalkEnd : uint8_t {
    END_OF_DATA,     // the last data area ended where the data ends: all was walked
    DAMAGED_HEADER,  // a header whose CRC is wrong; what follows it was not walked
    CUT_SHORT,       // the data ends, or could not be read, inside a header or a data area
    STOPPED,         // the run's status ended it first (a failure, an interrupt)
};

struct WalkEvent {
    WalkEnd reason;
    int32_t offset;   // where the header that ended the walk begins (its volume's stream)
    uint32_t length;  // that stream's length
    int32_t status;   // the run's status when the walk ended
};

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

    // Choices for tools; the defaults are the engine's own behaviour.
    // select_entry: whether a file entry of x, e or t is handled at all
    // (output_name as it would be written). One that is not is passed over
    // (a solid archive still decodes it) and ends SKIPPED.
    // may_replace: whether what stands at a file entry's path may be
    // replaced; when not, it is kept and the entry ends SKIPPED.
    virtual bool select_entry(JobContext& cx, const char* output_name);
    virtual bool may_replace(JobContext& cx, const char* path);
    // reads_decoded_bytes: whether on_data reads the portion from
    // cx.job.output_block under t (and for entries passed over). By
    // default it does not, and the decoder then leaves the bytes where it
    // made them, which spares a copy of each one.
    virtual bool reads_decoded_bytes();

    // Events: what happened, for hosts that report it or decide on it. The
    // engine's outcome never depends on them.
    // on_archive_opened: the main header was found (cx.reader.header.main,
    // cx.reader.archive_solid); the command runs next unless the archive
    // is a later volume of a set.
    // on_entry: a file entry starts (extract and test, with its output
    // name) or a file header is walked (list, name null); a listing may
    // read cx.reader.header and even decode the comment in place.
    // on_data: count bytes of the current entry were decoded (written,
    // tested, or passed over in a solid archive when nothing could be
    // written for the entry).
    // on_entry_end: a file entry of x, e or t is done with. A refused entry
    // gets no on_entry; the engine also shows a message for it, and the run
    // ends with status 7 if nothing else failed.
    // on_walk_end: the command's walk over the headers is over.
    virtual void on_archive_opened(JobContext& cx);
    virtual void on_entry(JobContext& cx, const char* output_name);
    virtual void on_data(JobContext& cx, uint32_t count);
    virtual void on_entry_end(JobContext& cx, const EntryEvent& event);
    virtual void on_walk_end(JobContext& cx, const WalkEvent& event);
};

// The shared default host (platform-backed, stateless).
JobHost& default_job_host();
