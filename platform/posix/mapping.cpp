// Archives on disk, mapped whole and read in place; and the payload that
// the native installer carries appended to its own executable.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "platform/embedded.h"
#include "platform/platform.h"
#include "platform/posix/path.h"

bool platform_map_file(const char* path, PlatformMappedFile* file)
{
    *file = PlatformMappedFile{};
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
    if (st.st_size > 0) {
        void* m = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (m == MAP_FAILED) {
            close(fd);
            return false;
        }
        file->data = static_cast<const uint8_t*>(m);
        file->length = static_cast<uint32_t>(st.st_size);
        file->impl = m;
    }
    close(fd);
    return true;
}

void platform_unmap_file(PlatformMappedFile* file)
{
    if (file->impl)
        munmap(file->impl, file->length);
    *file = PlatformMappedFile{};
}

bool platform_embedded_archive(const uint8_t** data, uint32_t* length)
{
    // Mapped once and kept for the life of the process, like a resource.
    static PlatformMappedFile self;
    static bool mapped = false;
    if (!mapped) {
        if (!platform_map_file("/proc/self/exe", &self))
            return false;
        mapped = true;
    }
    return embedded_payload_find(self.data, self.length, data, length);
}
