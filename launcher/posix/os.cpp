// The native installer's side of the launcher: a new private folder under
// $TMPDIR for every run, the installer program run as a child process, and no
// window at all.
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "launcher/resource.h"
#include "launcher/os.h"
#include "platform/posix/path.h"

extern char** environ;

uint32_t platform_temp_path(char* buffer, uint32_t capacity)
{
    // The worker leaves the scratch folder through ".." and then removes it
    // by its full path: a relative TMPDIR would name the wrong folder there.
    const char* dir = std::getenv("TMPDIR");
    if (!dir || dir[0] != '/')
        dir = "/tmp";
    size_t n = std::strlen(dir);
    bool add_separator = dir[n - 1] != '/';
    size_t total = n + (add_separator ? 1 : 0);
    if (total >= capacity)
        return static_cast<uint32_t>(total + 1);
    std::memcpy(buffer, dir, n);
    if (add_separator)
        buffer[n] = '/';
    buffer[total] = '\0';
    return static_cast<uint32_t>(total);
}

int platform_load_string(uint32_t id, char* buffer, int capacity)
{
    const char* text = nullptr;
    switch (id) {
    case STRING_TITLE: text = TEXT_TITLE; break;
    case STRING_SCRATCH_NAME: text = TEXT_SCRATCH_NAME; break;
    }
    if (!text || capacity <= 0) {
        if (capacity > 0)
            buffer[0] = '\0';
        return 0;
    }
    // Cut to fit, as LoadString does.
    size_t n = std::strlen(text);
    if (n >= static_cast<size_t>(capacity))
        n = static_cast<size_t>(capacity) - 1;
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
    return static_cast<int>(n);
}

bool platform_random_bytes(void* buffer, uint32_t count)
{
    auto* out = static_cast<uint8_t*>(buffer);
    while (count > 0) {
        ssize_t n = getrandom(out, count, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        out += n;
        count -= static_cast<uint32_t>(n);
    }
    return true;
}

MakeOutcome platform_make_private_directory(const char* path)
{
    // mkdir fails on anything that stands there, a dangling link included:
    // what it makes is new and ours.
    if (mkdir(path, 0700) != 0)
        return errno == EEXIST ? MakeOutcome::EXISTS : MakeOutcome::FAILED;
    // The umask may have taken bits from the owner; nobody else gets any.
    if (chmod(path, 0700) != 0)
        return MakeOutcome::FAILED;
    return MakeOutcome::MADE;
}

bool platform_set_current_directory(const char* path)
{
    char p[POSIX_PATH_CAPACITY];
    return posix_path(path, p) && chdir(p) == 0;
}

char platform_path_separator() { return '/'; }

bool platform_run_and_wait(const char* program, char* command_line, uint32_t* exit_code)
{
    char path[POSIX_PATH_CAPACITY];
    if (!posix_path(program, path))
        return false;
    // Extracted files carry no execute permission; the folder is private
    // and the file is the one we just unpacked, so grant it to the owner.
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (!(st.st_mode & S_IXUSR) && chmod(path, (st.st_mode & 07777) | S_IXUSR) != 0)
        return false;

    // argv: the program's bare name, then the command line split at spaces.
    const char* base = std::strrchr(path, '/');
    base = base ? base + 1 : path;
    constexpr int MAX_ARGS = 32;
    char* argv[MAX_ARGS + 2];
    int argc = 0;
    argv[argc++] = const_cast<char*>(base);
    for (char* s = command_line; *s && argc <= MAX_ARGS;) {
        while (*s == ' ')
            *s++ = '\0';
        if (!*s)
            break;
        argv[argc++] = s;
        while (*s && *s != ' ')
            s++;
    }
    argv[argc] = nullptr;

    pid_t pid;
    if (posix_spawn(&pid, path, nullptr, nullptr, argv, environ) != 0)
        return false;
    int status;
    for (;;) {
        if (waitpid(pid, &status, 0) >= 0)
            break;
        if (errno != EINTR) {
            status = 0;
            break;
        }
    }
    // A program ended by a signal gives the shell's 128 + signal.
    if (WIFEXITED(status))
        *exit_code = static_cast<uint32_t>(WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
        *exit_code = 128u + static_cast<uint32_t>(WTERMSIG(status));
    else
        *exit_code = 1;
    return true;
}

bool platform_list_directory(const char* path, PlatformVisitEntry visit, void* context)
{
    // O_NOFOLLOW: a folder swapped for a link since it was listed is not
    // entered.
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    DIR* d = fdopendir(fd);
    if (!d) {
        close(fd);
        return false;
    }
    while (struct dirent* e = readdir(d)) {
        struct stat st;
        bool is_folder = fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        // A folder the installer program closed to its owner would keep
        // its contents: open it again to the owner alone.
        if (is_folder && (st.st_mode & S_IRWXU) != S_IRWXU)
            fchmodat(fd, e->d_name, (st.st_mode & 07777) | S_IRWXU, 0);
        if (!visit(context, e->d_name, is_folder))
            break;
    }
    closedir(d);
    return true;
}

RemoveOutcome platform_delete_scratch_file(const char* path)
{
    // unlink removes a link itself; a read-only file goes like any other.
    struct stat st;
    if (lstat(path, &st) != 0 || S_ISDIR(st.st_mode))
        return RemoveOutcome::FAILED;
    if (unlink(path) == 0)
        return RemoveOutcome::REMOVED;
    return errno == EBUSY ? RemoveOutcome::HELD : RemoveOutcome::FAILED;
}

RemoveOutcome platform_remove_scratch_directory(const char* path)
{
    if (rmdir(path) == 0)
        return RemoveOutcome::REMOVED;
    return errno == EBUSY ? RemoveOutcome::HELD : RemoveOutcome::FAILED;
}

uint32_t platform_now_ms()
{
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void platform_sleep_ms(uint32_t milliseconds)
{
    struct timespec t = {static_cast<time_t>(milliseconds / 1000),
                         static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

void platform_hide_window(void*) {}
void platform_end_window(void*, int32_t) {}
