// Stored names as text. The format keeps names as bytes and says nothing of
// their encoding: archives made by this packer (and by current tools) hold
// UTF-8, old DOS-era archives hold the OEM code page 437. A name whose bytes
// are well-formed UTF-8 is taken as UTF-8; any other is read as code page
// 437. Either way the result is UTF-8, which the platform layer takes for
// file names on every system, so one archive gives the same names
// everywhere.
#pragma once

#include <cstddef>
#include <cstdint>

// Well-formed UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool is_utf8_text(const uint8_t* bytes, size_t length);

// The bytes as UTF-8 (see above) into out, cut to capacity - 1 bytes and
// NUL-terminated when capacity > 0 (never inside a character). Returns the
// length the whole text needs, without the NUL.
size_t stored_text_to_utf8(const uint8_t* bytes, size_t length, char* out, size_t capacity);
