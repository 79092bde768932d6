// Windows file operations for the output side. Archive paths use the
// backslash, the system's own separator, so they are passed as they are;
// names are UTF-8, handed to the wide API.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "platform/platform.h"
#include "platform/win32/wide.h"

bool platform_path_exists(const char* path)
{
    return GetFileAttributesW(WidePath(path).get()) != INVALID_FILE_ATTRIBUTES;
}
bool platform_is_link(const char* path)
{
    DWORD attributes = GetFileAttributesW(WidePath(path).get());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Windows file names ignore case already.
void platform_match_name_case(char*) {}

bool platform_make_directory(const char* path) { return CreateDirectoryW(WidePath(path).get(), nullptr) != 0; }

bool platform_remove_directory(const char* path) { return RemoveDirectoryW(WidePath(path).get()) != 0; }

// DeleteFileW refuses directories and read-only files, as the engine
// expects.
bool platform_delete_file(const char* path) { return DeleteFileW(WidePath(path).get()) != 0; }

int32_t platform_open_output(const char* path)
{
    // Whatever stood at the path was removed before: CREATE_NEW makes sure
    // nothing planted since is reused or written through.
    HANDLE file = CreateFileW(WidePath(path).get(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    // The runtime's descriptor table keeps the handle: the engine sees a
    // small integer, as it does on POSIX.
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        DeleteFileW(WidePath(path).get());
        return -1;
    }
    return fd;
}

int32_t platform_write(int32_t fd, const void* data, uint32_t count)
{
    HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    const char* p = static_cast<const char*>(data);
    uint32_t done = 0;
    while (done < count) {
        DWORD n = 0;
        if (!WriteFile(file, p + done, count - done, &n, nullptr) || n == 0)
            break;
        done += n;
    }
    return static_cast<int32_t>(done);
}

void platform_close(int32_t fd)
{
    if (fd >= 0)
        _close(fd);
}

bool platform_remove_file(const char* path) { return DeleteFileW(WidePath(path).get()) != 0; }

namespace {

// FILETIME counts 100 ns steps since 1601.
constexpr int64_t FILETIME_UNIX_EPOCH = 116444736000000000LL;
constexpr int64_t FILETIME_PER_SECOND = 10000000;

FILETIME filetime_of(int64_t unix_seconds)
{
    const uint64_t t = uint64_t(unix_seconds * FILETIME_PER_SECOND + FILETIME_UNIX_EPOCH);
    FILETIME written;
    written.dwLowDateTime = DWORD(t);
    written.dwHighDateTime = DWORD(t >> 32);
    return written;
}

// The bits an entry's attributes may give a file; none is "normal".
DWORD kept_attributes(uint32_t attributes)
{
    DWORD kept = attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                               FILE_ATTRIBUTE_ARCHIVE);
    return kept ? kept : FILE_ATTRIBUTE_NORMAL;
}

}  // namespace

// (Not in the installer stub, which restores no times: the import alone
// would cost it a section's worth of bytes.)
#ifndef KELVO_SMALL_CODE
bool platform_finish_output(int32_t fd, int64_t unix_seconds, uint32_t attributes)
{
    HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (file == INVALID_HANDLE_VALUE)
        return false;
    // One call for both; a time of 0 leaves that time as it is.
    FILE_BASIC_INFO info = {};
    if (unix_seconds >= 0) {
        const FILETIME written = filetime_of(unix_seconds);
        info.LastWriteTime.LowPart = written.dwLowDateTime;
        info.LastWriteTime.HighPart = LONG(written.dwHighDateTime);
    }
    info.FileAttributes = kept_attributes(attributes);
    return SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof info) != 0;
}
#endif

bool platform_set_modified_time(const char* path, int64_t unix_seconds)
{
    // Folders open only with backup semantics; a link is opened itself.
    HANDLE h = CreateFileW(WidePath(path).get(), FILE_WRITE_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const FILETIME written = filetime_of(unix_seconds);
    bool ok = SetFileTime(h, nullptr, nullptr, &written) != 0;
    CloseHandle(h);
    return ok;
}

bool platform_modified_time(const char* path, int64_t* unix_seconds)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(WidePath(path).get(), GetFileExInfoStandard, &data))
        return false;
    const int64_t t = int64_t((uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime);
    *unix_seconds = (t - FILETIME_UNIX_EPOCH) / FILETIME_PER_SECOND;
    return true;
}

bool platform_set_attributes(const char* path, uint32_t attributes)
{
    return SetFileAttributesW(WidePath(path).get(), kept_attributes(attributes)) != 0;
}

bool platform_executable_path(char* buffer, uint32_t capacity)
{
    if (capacity == 0)
        return false;
    wchar_t wide[4096];
    DWORD n = GetModuleFileNameW(nullptr, wide, 4096);
    // A name cut to the buffer's size comes back as a full buffer.
    if (n == 0 || n >= 4096)
        return false;
    return utf8_from_wide(wide, buffer, int(capacity > 0x7FFFFFFF ? 0x7FFFFFFF : capacity)) > 0;
}
