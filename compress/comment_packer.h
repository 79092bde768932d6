// Packs comment text in the comment format: a 15-bit length, one code
// table, then literals and copies of 2 to 28 bytes whose source is where
// the same two-byte sum was last seen.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/header.h"

constexpr int FILE_COMMENT_AREA = 2022;  // variable area after the comment size
constexpr int MIN_COMMENT_COPY = 2;
constexpr int MAX_COMMENT_COPY = 28;

// Room the decoder gives the text of a file header's comment, its
// terminating zero included, for a name of name_length bytes.
inline int file_comment_room(size_t name_length)
{
    return FILE_COMMENT_AREA - static_cast<int>(name_length);
}

// Room for the packed bytes: the reader keeps only the first 2040 body
// bytes of a header, so packed bytes past them would never reach the
// decoder, which would read stale bytes in their place.
inline int file_comment_packed_room(size_t name_length)
{
    return HEADER_KEEP_SIZE - FILE_FIXED_SIZE - 2 - static_cast<int>(name_length);
}

// Packs text; false (out untouched) when the text and its zero do not fit
// in text_room bytes or the packed bytes do not fit in packed_room.
bool pack_comment(const std::string& text, int text_room, int packed_room, std::vector<uint8_t>& out);

// The same with room counted as file_comment_room counts it: the packed
// bytes are held to the kept part of the header, 15 bytes less.
constexpr int UNKEPT_VARIABLE_BYTES = FILE_COMMENT_AREA + 2 - (HEADER_KEEP_SIZE - FILE_FIXED_SIZE);
static_assert(UNKEPT_VARIABLE_BYTES == 15);
inline bool pack_comment(const std::string& text, int room, std::vector<uint8_t>& out)
{
    return pack_comment(text, room, room - UNKEPT_VARIABLE_BYTES, out);
}
