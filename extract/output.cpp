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
