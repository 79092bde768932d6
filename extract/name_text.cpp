#include "extract/name_text.h"

#include <cstring>

namespace {

// Code page 437, bytes 0x80-0xFF. The low half is ASCII.
const uint16_t OEM_437_HIGH[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

// The length of the well-formed sequence at p (at most n bytes), 0 if none.
size_t utf8_sequence(const uint8_t* p, size_t n)
{
    const uint8_t c = p[0];
    if (c < 0x80)
        return 1;
    size_t length;
    uint8_t low = 0x80, high = 0xBF;  // the second byte's range
    if (c >= 0xC2 && c <= 0xDF)
        length = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) low = 0xA0;        // overlong
        if (c == 0xED) high = 0x9F;       // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) low = 0x90;        // overlong
        if (c == 0xF4) high = 0x8F;       // past U+10FFFF
    } else
        return 0;
    if (n < length || p[1] < low || p[1] > high)
        return 0;
    for (size_t i = 2; i < length; i++)
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    return length;
}

}  // namespace

bool is_utf8_text(const uint8_t* bytes, size_t length)
{
    for (size_t i = 0; i < length;) {
        size_t n = utf8_sequence(bytes + i, length - i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

size_t stored_text_to_utf8(const uint8_t* bytes, size_t length, char* out, size_t capacity)
{
#ifndef KELVO_SMALL_CODE  // the installer has few names and no room
    // Most names are ASCII, the same text in either reading.
    size_t ascii = 0;
    while (ascii < length && bytes[ascii] < 0x80)
        ascii++;
    if (ascii == length) {
        if (capacity > 0) {
            const size_t used = length < capacity ? length : capacity - 1;
            std::memcpy(out, bytes, used);
            out[used] = '\0';
        }
        return length;
    }
#endif
    const bool utf8 = is_utf8_text(bytes, length);
    size_t used = 0;    // bytes written to out
    size_t needed = 0;  // bytes the whole text takes
    bool cut = false;
    for (size_t i = 0; i < length;) {
        uint8_t piece[4];
        size_t n;
        if (utf8) {
            n = utf8_sequence(bytes + i, length - i);
            for (size_t k = 0; k < n; k++)
                piece[k] = bytes[i + k];
            i += n;
        } else {
            const uint8_t c = bytes[i++];
            const uint32_t u = c < 0x80 ? c : OEM_437_HIGH[c - 0x80];
            if (u < 0x80) {
                piece[0] = uint8_t(u);
                n = 1;
            } else if (u < 0x800) {
                piece[0] = uint8_t(0xC0 | u >> 6);
                piece[1] = uint8_t(0x80 | (u & 0x3F));
                n = 2;
            } else {
                piece[0] = uint8_t(0xE0 | u >> 12);
                piece[1] = uint8_t(0x80 | (u >> 6 & 0x3F));
                piece[2] = uint8_t(0x80 | (u & 0x3F));
                n = 3;
            }
        }
        needed += n;
        if (!cut && capacity > 0 && used + n < capacity) {
            for (size_t k = 0; k < n; k++)
                out[used++] = char(piece[k]);
        } else {
            cut = true;
        }
    }
    if (capacity > 0)
        out[used] = '\0';
    return needed;
}
