#include "platform/win32/wide.h"

WidePath::WidePath(const char* utf8)
{
    text_[0] = L'\0';
    if (utf8 && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, text_, CAPACITY) == 0)
        text_[0] = L'\0';
}

int utf8_from_wide(const wchar_t* wide, char* buffer, int capacity)
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
