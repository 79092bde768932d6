// Archives on disk, mapped whole and read in place; and the archive that
// the installer carries as its "ARCDATA"/"Data" resource.
#include <windows.h>

#include <cstdint>

#include "platform/platform.h"

bool platform_map_file(const char* path, PlatformMappedFile* file)
{
    *file = PlatformMappedFile{};
    // Directories cannot be opened this way (no backup semantics), so only
    // a file is ever mapped.
    HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle, &size) || size.QuadPart > INT32_MAX) {
        CloseHandle(handle);
        return false;
    }
    // An empty file cannot be mapped; it is an archive of no bytes.
    if (size.QuadPart > 0) {
        HANDLE mapping = CreateFileMappingA(handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
        void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
        // The view keeps the mapping alive; neither handle is needed now.
        if (mapping)
            CloseHandle(mapping);
        if (!view) {
            CloseHandle(handle);
            return false;
        }
        file->data = static_cast<const uint8_t*>(view);
        file->length = static_cast<uint32_t>(size.QuadPart);
        file->impl = view;
    }
    CloseHandle(handle);
    return true;
}

void platform_unmap_file(PlatformMappedFile* file)
{
    if (file->impl)
        UnmapViewOfFile(file->impl);
    *file = PlatformMappedFile{};
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
