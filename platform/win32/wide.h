// UTF-8 names at the Windows boundary. Everything above the platform layer
// (the engine, the tools, the installer's worker) speaks UTF-8; the system
// is called through its wide (UTF-16) functions, so that a name means the
// same whatever the machine's ANSI code page is.
#pragma once

#include <windows.h>

// A UTF-8 path as UTF-16. A path that is not well-formed UTF-8 or does not
// fit comes out empty, which every file function refuses.
class WidePath {
public:
    explicit WidePath(const char* utf8)
    {
        text_[0] = L'\0';
        if (utf8 && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, text_, CAPACITY) == 0)
            text_[0] = L'\0';
    }
    WidePath(const WidePath&) = delete;
    WidePath& operator=(const WidePath&) = delete;

    const wchar_t* get() const { return text_; }
    wchar_t* data() { return text_; }
    bool empty() const { return text_[0] == L'\0'; }

private:
    static constexpr int CAPACITY = 4096;
    wchar_t text_[CAPACITY];
};

// UTF-16 text as NUL-terminated UTF-8 in buffer; the bytes written without
// the NUL, or 0 when it does not fit (or is empty).
inline int utf8_from_wide(const wchar_t* wide, char* buffer, int capacity)
{
    if (capacity <= 0)
        return 0;
    int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, buffer, capacity, nullptr, nullptr);
    if (n <= 0) {
        buffer[0] = '\0';
        return 0;
    }
    return n - 1;
}
