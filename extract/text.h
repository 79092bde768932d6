#pragma once
// Bounded string building for messages. The engine's messages are short
// concatenations; formatting them through the C library's printf family
// would pull its whole number formatter into the installer stub.
#include <cstddef>

// Appends `text` to the NUL-terminated string in `buffer` (`capacity`
// bytes in all), cutting it short rather than overrunning. Returns buffer.
inline char* append_text(char* buffer, size_t capacity, const char* text)
{
    size_t used = 0;
    while (used < capacity && buffer[used] != '\0')
        used++;
    if (used >= capacity)
        return buffer;
    while (*text != '\0' && used + 1 < capacity)
        buffer[used++] = *text++;
    buffer[used] = '\0';
    return buffer;
}
