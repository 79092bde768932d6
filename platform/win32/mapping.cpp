// Archives on disk, read at any offset; and the archive that the installer
// carries as its "ARCDATA"/"Data" resource.
#include <windows.h>

#include <cstdint>

#include "platform/platform.h"
#include "platform/read_ahead.h"
#include "platform/win32/wide.h"

bool platform_open_read(const char* path, PlatformReadFile* file)
{
    *file = PlatformReadFile{};
    // Directories cannot be opened this way (no backup semantics), so only
    // a file is ever read.
    HANDLE handle = CreateFileW(WidePath(path).get(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle, &size) || size.QuadPart > INT32_MAX) {
        CloseHandle(handle);
        return false;
    }
    file->impl = reinterpret_cast<intptr_t>(handle);
    file->length = static_cast<uint32_t>(size.QuadPart);
    return true;
}

int32_t platform_read_at(PlatformReadFile* file, uint32_t offset, void* buffer, uint32_t count)
{
    if (file->impl == -1)
        return -1;
    if (count > INT32_MAX)
        count = INT32_MAX;
    HANDLE handle = reinterpret_cast<HANDLE>(file->impl);
    auto read_fully = [handle](uint8_t* out, uint32_t at, uint32_t n) -> int32_t {
        OVERLAPPED where = {};
        where.Offset = at;
        DWORD got = 0;
        if (!ReadFile(handle, out, n, &got, &where))
            return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
        return static_cast<int32_t>(got);
    };
#ifdef KELVO_SMALL_CODE
    return read_fully(static_cast<uint8_t*>(buffer), offset, count);
#else
    return read_through_ahead(file, offset, static_cast<uint8_t*>(buffer), count, read_fully);
#endif
}

void platform_close_read(PlatformReadFile* file)
{
    if (file->impl != -1)
        CloseHandle(reinterpret_cast<HANDLE>(file->impl));
#ifndef KELVO_SMALL_CODE
    release_read_ahead(file);
#endif
    *file = PlatformReadFile{};
}

bool platform_embedded_archive(const uint8_t** data, uint32_t* length)
{
    HMODULE module = GetModuleHandleA(nullptr);
    HRSRC info = FindResourceA(module, "Data", "ARCDATA");
    if (!info)
        return false;
    HGLOBAL loaded = LoadResource(module, info);
    if (!loaded)
        return false;
    DWORD size = SizeofResource(module, info);
    // Belongs to the loaded module: never unlocked or freed.
    const void* bytes = LockResource(loaded);
    if (!bytes)
        return false;
    *data = static_cast<const uint8_t*>(bytes);
    *length = size;
    return true;
}
