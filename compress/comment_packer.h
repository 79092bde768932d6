// Packs comment text in the comment format: a 15-bit length, one code
// table, then literals and copies of 2 to 28 bytes whose source is where
// the same two-byte sum was last seen.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int FILE_COMMENT_AREA = 2022;  // variable area after the comment size
constexpr int MIN_COMMENT_COPY = 2;
constexpr int MAX_COMMENT_COPY = 28;

// Room the decoder gives the comment of a file header with a name of
// name_length bytes: the text and its terminating zero must fit, and so
// must the packed bytes.
inline int file_comment_room(size_t name_length)
{
    return FILE_COMMENT_AREA - static_cast<int>(name_length);
}

// Packs text; false (out untouched) when the text or its packed form does
// not fit in room bytes as described above.
bool pack_comment(const std::string& text, int room, std::vector<uint8_t>& out);
