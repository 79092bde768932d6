// Windows file operations only the console tools use (C streams, the
// wildcards cmd.exe leaves to the program). Apart from files.cpp so that
// the installer stub, which never calls them, carries none of their
// imports (512 bytes of it).
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "platform/platform.h"
#include "platform/win32/wide.h"

bool platform_fseek(std::FILE* file, uint64_t offset) { return _fseeki64(file, int64_t(offset), SEEK_SET) == 0; }

std::FILE* platform_fopen(const char* path, const char* mode)
{
    wchar_t wide_mode[16];
    int i = 0;
    for (; mode[i] && i < 15; i++)
        wide_mode[i] = wchar_t(mode[i]);
    wide_mode[i] = L'\0';
    WidePath wide(path);
    return wide.empty() ? nullptr : _wfopen(wide.get(), wide_mode);
}

int platform_expand_wildcard(const char* pattern, void (*each)(const char* path, void* context), void* context)
{
    // The folder part stays as given: matches are named the way the
    // pattern named their folder.
    const char* leaf = pattern;
    for (const char* p = pattern; *p; p++)
        if (*p == '\\' || *p == '/' || (p == pattern + 1 && *p == ':'))
            leaf = p + 1;
    WidePath wide(pattern);
    if (wide.empty())
        return 0;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(wide.get(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    int count = 0;
    char path[8192];
    const size_t folder = size_t(leaf - pattern);
    do {
        if (!wcscmp(found.cFileName, L".") || !wcscmp(found.cFileName, L".."))
            continue;
        if (folder >= sizeof path)
            break;
        for (size_t k = 0; k < folder; k++)
            path[k] = pattern[k];
        if (utf8_from_wide(found.cFileName, path + folder, int(sizeof path - folder)) == 0)
            continue;
        each(path, context);
        count++;
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return count;
}
