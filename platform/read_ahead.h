// The archive file's read-ahead, shared by the POSIX and Windows backings:
// the engine reads a header a few bytes at a time and packed data in 4 KB
// pieces, and one system call of READ_AHEAD_BYTES serves dozens of them.
// A file cut short meanwhile shows it once the bytes read ahead run out.
// (Not in the installer stub, which reads its archive from memory.)
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

constexpr uint32_t READ_AHEAD_BYTES = 64 * 1024;

// read_fully(out, offset, count): bytes read straight from the file (fewer
// only at its end), or -1 on an error.
template <typename ReadFully>
int32_t read_through_ahead(PlatformReadFile* file, uint32_t offset, uint8_t* out, uint32_t count,
                           ReadFully read_fully)
{
    if (count >= READ_AHEAD_BYTES / 2)
        return read_fully(out, offset, count);
    if (!file->ahead) {
        file->ahead = static_cast<uint8_t*>(std::malloc(READ_AHEAD_BYTES));
        if (!file->ahead)
            return read_fully(out, offset, count);
    }
    // Served from what was read ahead when it holds the whole request;
    // otherwise the bytes from offset on are read ahead afresh (a short
    // count there is the end of the file as it is now).
    const uint64_t end = uint64_t(offset) + count;
    if (offset < file->ahead_offset || end > uint64_t(file->ahead_offset) + file->ahead_count) {
        const int32_t got = read_fully(file->ahead, offset, READ_AHEAD_BYTES);
        if (got < 0) {
            file->ahead_count = 0;
            return -1;
        }
        file->ahead_offset = offset;
        file->ahead_count = static_cast<uint32_t>(got);
    }
    const uint32_t skip = offset - file->ahead_offset;
    const uint32_t held = file->ahead_count - skip;
    const uint32_t n = count < held ? count : held;
    std::memcpy(out, file->ahead + skip, n);
    return static_cast<int32_t>(n);
}

inline void release_read_ahead(PlatformReadFile* file)
{
    std::free(file->ahead);
    file->ahead = nullptr;
}
