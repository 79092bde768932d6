// Where one entry goes: the directories on its path, whatever stood at the
// path before, and the new output file. Every operation goes through the
// host, so tests can plant failures.
#include "extract/output.h"

#include <cstring>

#include "extract/job.h"

void make_parent_dirs(JobContext& cx, const char* path)
{
    char prefix[NAME_CAPACITY];
    // A backslash at index 0 is never a separator: it stays in the first
    // leading part.
    for (size_t k = 1; path[0] != '\0' && path[k] != '\0'; k++) {
        if (path[k] != '\\')
            continue;
        if (k >= sizeof prefix) {
            set_status(cx, STATUS_WRITE_FAILED);
            return;
        }
        std::memcpy(prefix, path, k);
        prefix[k] = '\0';
        // A failure is recorded and the remaining parts are still tried.
        if (!cx.host->path_exists(prefix) && !cx.host->make_directory(prefix))
            set_status(cx, STATUS_WRITE_FAILED);
    }
}

int remove_existing(JobContext& cx, const char* path)
{
    if (cx.host->delete_file(path))
        return 0;
    if (cx.host->remove_directory(path))
        return 0;
    cx.host->show_message("Could not delete file or directory. Access denied.");
    return 1;
}

const char OUTPUT_KEPT[] = "an existing file is kept";

int32_t create_output(JobContext& cx, const char* path, uint32_t attributes, const char** why)
{
    bool existed = cx.host->path_exists(path);
    make_parent_dirs(cx, path);
    if (current_status(cx) != STATUS_OK)
        return -1;
    if (attributes & ATTR_DIRECTORY) {
        // An existing directory or file of that name is left as it is.
        if (!existed)
            cx.host->make_directory(path);
        return -1;
    }
    if (existed && !cx.host->may_replace(cx, path)) {
        if (why)
            *why = OUTPUT_KEPT;
        return -1;
    }
    if (existed && remove_existing(cx, path) != 0) {
        if (why)
            *why = "what is in the way could not be removed";
        return -1;
    }
    int32_t fd = cx.host->open_output(path);
    if (fd < 0 && why)
        *why = "the file could not be created";
    return fd;
}

// ---- Output collected into blocks ------------------------------------------

bool BatchedOutputHost::flush()
{
    if (held_ == 0)
        return true;
    uint32_t count = held_;
    held_ = 0;
    int32_t written = target_.write_output(fd_, batch_, count);
    return written >= 0 && uint32_t(written) == count;
}

int32_t BatchedOutputHost::write_output(int32_t fd, const void* data, uint32_t count)
{
    // Another file's bytes go out first (the engine closes each file
    // before it opens the next, so this is only a safeguard).
    if (held_ != 0 && fd != fd_ && !flush())
        return -1;
    fd_ = fd;
    const uint8_t* from = static_cast<const uint8_t*>(data);
    uint32_t left = count;
    while (left > 0) {
        uint32_t part = OUTPUT_BATCH_SIZE - held_;
        if (part > left)
            part = left;
        std::memcpy(batch_ + held_, from, part);
        held_ += part;
        from += part;
        left -= part;
        if (held_ == OUTPUT_BATCH_SIZE && !flush())
            return -1;
    }
    return int32_t(count);
}

void BatchedOutputHost::close_output(int32_t fd)
{
    if (fd == fd_ && held_ != 0) {
        // After a failure the file is taken back: its last bytes would be
        // written for nothing.
        if (current_status(cx_) != STATUS_OK)
            held_ = 0;
        else if (!flush())
            set_status(cx_, STATUS_WRITE_FAILED);
    }
    if (fd == fd_)
        fd_ = -1;
    target_.close_output(fd);
}

// ---- Forwarding --------------------------------------------------------------

int32_t ForwardingHost::write_output(int32_t fd, const void* data, uint32_t count)
{
    return target_.write_output(fd, data, count);
}
void ForwardingHost::close_output(int32_t fd) { target_.close_output(fd); }
void ForwardingHost::show_message(const char* text) { target_.show_message(text); }
int ForwardingHost::read_key() { return target_.read_key(); }
void ForwardingHost::write_stdout_char(int c) { target_.write_stdout_char(c); }
void ForwardingHost::flush_stdout() { target_.flush_stdout(); }
void ForwardingHost::volume_prompt(const char* volume_name) { target_.volume_prompt(volume_name); }
void ForwardingHost::match_name_case(char* archive_name) { target_.match_name_case(archive_name); }
bool ForwardingHost::path_exists(const char* path) { return target_.path_exists(path); }
bool ForwardingHost::make_directory(const char* path) { return target_.make_directory(path); }
bool ForwardingHost::remove_directory(const char* path) { return target_.remove_directory(path); }
bool ForwardingHost::delete_file(const char* path) { return target_.delete_file(path); }
int32_t ForwardingHost::open_output(const char* path) { return target_.open_output(path); }
bool ForwardingHost::remove_output(const char* path) { return target_.remove_output(path); }
void* ForwardingHost::allocate(size_t size) { return target_.allocate(size); }
void ForwardingHost::release(void* block) { target_.release(block); }
bool ForwardingHost::select_entry(JobContext& cx, const char* name) { return target_.select_entry(cx, name); }
bool ForwardingHost::may_replace(JobContext& cx, const char* path) { return target_.may_replace(cx, path); }
bool ForwardingHost::reads_decoded_bytes() { return target_.reads_decoded_bytes(); }
void ForwardingHost::on_archive_opened(JobContext& cx) { target_.on_archive_opened(cx); }
void ForwardingHost::on_entry(JobContext& cx, const char* output_name) { target_.on_entry(cx, output_name); }
void ForwardingHost::on_data(JobContext& cx, uint32_t count) { target_.on_data(cx, count); }
void ForwardingHost::on_entry_end(JobContext& cx, const EntryEvent& event) { target_.on_entry_end(cx, event); }
void ForwardingHost::on_walk_end(JobContext& cx, const WalkEvent& event) { target_.on_walk_end(cx, event); }
