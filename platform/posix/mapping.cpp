// Archives on disk, read at any offset; and the payload that the native
// installer carries appended to its own executable.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/embedded.h"
#include "platform/platform.h"
#include "platform/posix/path.h"
#include "platform/read_ahead.h"

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

int32_t platform_read_at(PlatformReadFile* file, uint32_t offset, void* buffer, uint32_t count)
{
    if (file->impl < 0)
        return -1;
    if (count > INT32_MAX)
        count = INT32_MAX;
    const int fd = static_cast<int>(file->impl);
    auto read_fully = [fd](uint8_t* out, uint32_t at, uint32_t n) -> int32_t {
        uint32_t done = 0;
        while (done < n) {
            ssize_t got = pread(fd, out + done, n - done, off_t(at) + done);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                return -1;
            if (got == 0)
                break;  // the end of the file, wherever it is now
            done += static_cast<uint32_t>(got);
        }
        return static_cast<int32_t>(done);
    };
    return read_through_ahead(file, offset, static_cast<uint8_t*>(buffer), count, read_fully);
}

void platform_close_read(PlatformReadFile* file)
{
    if (file->impl >= 0)
        close(static_cast<int>(file->impl));
    release_read_ahead(file);
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
