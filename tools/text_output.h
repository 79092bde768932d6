// The console tool's printing: UTF-8 text through the platform layer, which
// shows it as it is on a Windows console and writes the bytes elsewhere.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

inline void tool_fputs(const char* text, std::FILE* stream) { platform_write_text(stream, text, std::strlen(text)); }

#if defined(__MINGW32__)
// The runtime's own printf family, not the system's, as libstdc++ selects it.
__attribute__((format(gnu_printf, 2, 3)))
#elif defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
inline int tool_fprintf(std::FILE* stream, const char* format, ...)
{
    char small[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0)
        return n;
    if (size_t(n) < sizeof small) {
        platform_write_text(stream, small, size_t(n));
        return n;
    }
    std::string big(size_t(n) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(big.data(), big.size(), format, args);
    va_end(args);
    platform_write_text(stream, big.data(), size_t(n));
    return n;
}
