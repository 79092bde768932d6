// POSIX file operations for the output side. Archive paths use the
// backslash; here it becomes '/'.
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/path.h"

bool posix_path(const char* path, char (&out)[POSIX_PATH_CAPACITY])
{
    size_t n = std::strlen(path);
    if (n >= POSIX_PATH_CAPACITY)
        return false;
    for (size_t i = 0; i <= n; i++)
        out[i] = path[i] == '\\' ? '/' : path[i];
    return true;
}

bool platform_path_exists(const char* path)
{
    char p[POSIX_PATH_CAPACITY];
    struct stat st;
    // lstat: a symbolic link, even a dangling one, is something in the way.
    return posix_path(path, p) && lstat(p, &st) == 0;
}

bool platform_is_link(const char* path)
{
    char p[POSIX_PATH_CAPACITY];
    struct stat st;
    return posix_path(path, p) && lstat(p, &st) == 0 && S_ISLNK(st.st_mode);
}

void platform_match_name_case(char* path)
{
    char p[POSIX_PATH_CAPACITY];
    struct stat st;
    if (!posix_path(path, p) || lstat(p, &st) == 0)
        return;  // too long, or the exact name is there
    char* slash = std::strrchr(p, '/');
    const char* base = slash ? slash + 1 : p;
    const size_t length = std::strlen(base);
    if (length == 0 || length > NAME_MAX)
        return;
    char folder[POSIX_PATH_CAPACITY];
    if (!slash) {
        std::strcpy(folder, ".");
    } else {
        const size_t n = slash == p ? 1 : size_t(slash - p);
        std::memcpy(folder, p, n);
        folder[n] = '\0';
    }
    DIR* dir = opendir(folder);
    if (!dir)
        return;
    char found[NAME_MAX + 1];
    int matches = 0;
    while (const struct dirent* e = readdir(dir)) {
        if (std::strlen(e->d_name) == length && strcasecmp(e->d_name, base) == 0) {
            if (matches++ == 0)
                std::memcpy(found, e->d_name, length);
        }
    }
    closedir(dir);
    // Two candidates ("set.c00" and "Set.C00"): neither is the one meant.
    if (matches == 1)
        std::memcpy(path + (base - p), found, length);
}

bool platform_make_directory(const char* path)
{
    char p[POSIX_PATH_CAPACITY];
    return posix_path(path, p) && mkdir(p, 0777) == 0;
}

bool platform_remove_directory(const char* path)
{
    char p[POSIX_PATH_CAPACITY];
    return posix_path(path, p) && rmdir(p) == 0;
}

bool platform_delete_file(const char* path)
{
    char p[POSIX_PATH_CAPACITY];
    struct stat st;
    if (!posix_path(path, p) || lstat(p, &st) != 0)
        return false;
    if (S_ISDIR(st.st_mode))
        return false;
    // A file its owner may not write is what Windows calls read-only, and
    // Windows refuses to delete it; keep that promise here too (unlink
    // would not ask).
    if (S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR))
        return false;
    return unlink(p) == 0;
}

int32_t platform_open_output(const char* path)
{
    char p[POSIX_PATH_CAPACITY];
    if (!posix_path(path, p))
        return -1;
    // Whatever stood at the path was removed before; O_EXCL and O_NOFOLLOW
    // make sure nothing planted since (a symbolic link above all) is
    // written through. 0666 under the umask gives ordinary permissions.
    int fd;
    do {
        fd = open(p, O_WRONLY | O_CREAT | O_EXCL | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

int32_t platform_write(int32_t fd, const void* data, uint32_t count)
{
    const char* p = static_cast<const char*>(data);
    uint32_t done = 0;
    while (done < count) {
        ssize_t n = write(fd, p + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<uint32_t>(n);
    }
    return static_cast<int32_t>(done);
}

void platform_close(int32_t fd)
{
    if (fd >= 0)
        close(fd);
}

bool platform_remove_file(const char* path)
{
    char p[POSIX_PATH_CAPACITY];
    return posix_path(path, p) && unlink(p) == 0;
}

namespace {

// The access time left as it is, the modification time set.
struct ModifiedOnly {
    struct timespec times[2];
    explicit ModifiedOnly(int64_t unix_seconds)
    {
        times[0].tv_sec = 0;
        times[0].tv_nsec = UTIME_OMIT;
        times[1].tv_sec = time_t(unix_seconds);
        times[1].tv_nsec = 0;
    }
};

}  // namespace

bool platform_set_modified_time(const char* path, int64_t unix_seconds)
{
    char p[POSIX_PATH_CAPACITY];
    if (!posix_path(path, p))
        return false;
    return utimensat(AT_FDCWD, p, ModifiedOnly(unix_seconds).times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool platform_finish_output(int32_t fd, int64_t unix_seconds, uint32_t)
{
    return unix_seconds < 0 || futimens(fd, ModifiedOnly(unix_seconds).times) == 0;
}

bool platform_modified_time(const char* path, int64_t* unix_seconds)
{
    char p[POSIX_PATH_CAPACITY];
    struct stat st;
    if (!posix_path(path, p) || lstat(p, &st) != 0)
        return false;
    *unix_seconds = int64_t(st.st_mtime);
    return true;
}

bool platform_set_attributes(const char*, uint32_t) { return true; }

bool platform_executable_path(char* buffer, uint32_t capacity)
{
    if (capacity == 0)
        return false;
    ssize_t n = readlink("/proc/self/exe", buffer, capacity);
    if (n <= 0 || uint32_t(n) >= capacity)
        return false;
    buffer[n] = '\0';
    return true;
}

std::FILE* platform_fopen(const char* path, const char* mode) { return std::fopen(path, mode); }

bool platform_fseek(std::FILE* file, uint64_t offset) { return fseeko(file, off_t(offset), SEEK_SET) == 0; }

// The shell has expanded what it could; what is left is a name.
int platform_expand_wildcard(const char*, void (*)(const char*, void*), void*) { return -1; }
