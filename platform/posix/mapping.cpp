// Archives on disk, read at any offset; and the payload that the native
// installer carries appended to its own executable.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/embedded.h"
#include "platform/platform.h"
#include "platform/posix/path.h"

bool platform_open_read(const char* path, PlatformReadFile* file)
{
    *file = PlatformReadFile{};
    char p[POSIX_PATH_CAPACITY];
    if (!posix_path(path, p))
        return false;
    int fd = open(p, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > INT32_MAX) {
        close(fd);
        return false;
    }
    file->impl = fd;
    file->length = static_cast<uint32_t>(st.st_size);
    return true;
}

namespace {

// The engine reads a header a few bytes at a time and packed data in 4 KB
// pieces; one call of this size serves dozens of them.
constexpr uint32_t READ_AHEAD_BYTES = 64 * 1024;

int32_t read_fully(int fd, uint32_t offset, uint8_t* out, uint32_t count)
{
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = pread(fd, out + done, count - done, off_t(offset) + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;  // the end of the file, wherever it is now
        done += static_cast<uint32_t>(n);
    }
    return static_cast<int32_t>(done);
}

}  // namespace

int32_t platform_read_at(PlatformReadFile* file, uint32_t offset, void* buffer, uint32_t count)
{
    if (file->impl < 0)
        return -1;
    if (count > INT32_MAX)
        count = INT32_MAX;
    const int fd = static_cast<int>(file->impl);
    uint8_t* out = static_cast<uint8_t*>(buffer);
    if (count >= READ_AHEAD_BYTES / 2)
        return read_fully(fd, offset, out, count);
    if (!file->ahead) {
        file->ahead = static_cast<uint8_t*>(std::malloc(READ_AHEAD_BYTES));
        if (!file->ahead)
            return read_fully(fd, offset, out, count);
    }
    // Served from what was read ahead when it holds the whole request;
    // otherwise the bytes from offset on are read ahead afresh (a short
    // count there is the end of the file as it is now).
    const uint64_t end = uint64_t(offset) + count;
    if (offset < file->ahead_offset || end > uint64_t(file->ahead_offset) + file->ahead_count) {
        const int32_t got = read_fully(fd, offset, file->ahead, READ_AHEAD_BYTES);
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

void platform_close_read(PlatformReadFile* file)
{
    if (file->impl >= 0)
        close(static_cast<int>(file->impl));
    std::free(file->ahead);
    *file = PlatformReadFile{};
}

bool platform_embedded_archive(const uint8_t** data, uint32_t* length)
{
    // Mapped once and kept for the life of the process, like a resource.
    // (A running program's file cannot be cut short: the kernel refuses
    // to write to it while it runs.)
    static const uint8_t* self = nullptr;
    static uint32_t self_length = 0;
    if (!self) {
        int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        struct stat st;
        void* m = MAP_FAILED;
        if (fstat(fd, &st) == 0 && st.st_size > 0 && st.st_size <= INT32_MAX)
            m = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        close(fd);
        if (m == MAP_FAILED)
            return false;
        self = static_cast<const uint8_t*>(m);
        self_length = static_cast<uint32_t>(st.st_size);
    }
    return embedded_payload_find(self, self_length, data, length);
}
