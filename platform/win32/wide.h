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
    // Out of line: one copy of the conversion, not one per file function
    // (the installer stub counts its bytes).
    explicit WidePath(const char* utf8);
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
int utf8_from_wide(const wchar_t* wide, char* buffer, int capacity);
