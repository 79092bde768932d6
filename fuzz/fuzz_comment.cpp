// Packed file comments, decoded in place in the header record.
//
// Input: the file header's name_length (2 bytes, little-endian), then the
// bytes of its variable area as read_header would leave them (the name,
// the comment size, the packed comment), then bytes that stand for what
// the bit reader's buffer held before.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "archive/header.h"
#include "decompress/comment.h"
#include "fuzz_support.h"

namespace {

constexpr int COMMENT_AREA = FILE_VARIABLE_SIZE - 2;  // after the comment size

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FuzzContext fc;
    if (size < 2)
        return 0;
    fc.reset();
    JobContext& cx = fc.cx();
    AceHeader& header = cx.reader.header;
    header.header_type = HEADER_TYPE_FILE;
    header.header_flags = FLAG_DATA_SIZE | FLAG_COMMENT;
    header.file.name_length = uint16_t(data[0] | data[1] << 8);
    data += 2;
    size -= 2;
    const size_t area = std::min<size_t>(size, FILE_VARIABLE_SIZE);
    std::memcpy(header.file.variable, data, area);
    data += area;
    size -= area;
    std::memcpy(cx.job.input_words, data, std::min<size_t>(size, INPUT_BYTES));

    // Sentinels around the record: the decoder may change the comment's
    // place in the variable area and nothing else.
    cx.reader.packed_remaining = 0x5A5A5A5A;
    cx.reader.archive_solid = 0x3C3C3C3C;
    // Byte copies, so that padding compares too.
    static uint8_t before_bytes[sizeof(AceHeader)];
    std::memcpy(before_bytes, &header, sizeof header);
    const auto* after_bytes = reinterpret_cast<const uint8_t*>(&header);
    const uint8_t* before_area = before_bytes + offsetof(AceHeader, file) + offsetof(AceFileHeader, variable);
    const int name_length = header.file.name_length;
    const int room = COMMENT_AREA - name_length;

    decode_file_comment(cx);

    FUZZ_CHECK(cx.reader.packed_remaining == 0x5A5A5A5A);  // no refill from packed data
    FUZZ_CHECK(cx.reader.archive_solid == 0x3C3C3C3C);
    FUZZ_CHECK(cx.bits.word_index >= 0 && cx.bits.word_index < REFILL_WORD_INDEX);
    FUZZ_CHECK(current_status(cx) == STATUS_OK);  // comments report nothing
    const size_t changeable = room > 0 ? size_t(name_length) + 2 : FILE_VARIABLE_SIZE;
    const size_t area_offset = size_t(before_area - before_bytes);
    FUZZ_CHECK(std::memcmp(before_bytes, after_bytes, area_offset + changeable) == 0);
    FUZZ_CHECK(std::memcmp(before_bytes + area_offset + FILE_VARIABLE_SIZE, after_bytes + area_offset + FILE_VARIABLE_SIZE,
                           sizeof header - area_offset - FILE_VARIABLE_SIZE) == 0);

    const int comment_size = room > 0 ? before_area[name_length] | before_area[name_length + 1] << 8 : 0;
    if (room <= 0 || comment_size == 0) {
        FUZZ_CHECK(std::memcmp(before_bytes, after_bytes, sizeof header) == 0);
        return 0;
    }
    // Decoded: a terminated text that ends inside the variable area.
    const uint8_t* text = header.file.variable + name_length + 2;
    const void* end = std::memchr(text, 0, size_t(room));
    FUZZ_CHECK(end != nullptr);
    return 0;
}
