#include "decompress/comment.h"

#include <algorithm>
#include <cstdint>

#include "extract/job.h"

namespace {

// The comment follows the name and its 16-bit size; the decoded text and
// its terminator must end inside the variable area.
constexpr int COMMENT_ROOM_BASE = FILE_VARIABLE_SIZE - 2;  // 2022

// The position wraps here instead of reaching the refill point, so a
// comment never pulls bytes from the entry's packed data.
constexpr int COMMENT_WRAP_WORD = REFILL_WORD_INDEX - 1;  // 1021

}  // namespace

void decode_file_comment(JobContext& cx)
{
    AceHeader& header = cx.reader.header;
    if (!(header.header_flags & FLAG_COMMENT))
        return;
    const int name_length = header.file.name_length;
    const int comment_room = COMMENT_ROOM_BASE - name_length;
    if (comment_room <= 0)
        return;
    uint8_t* const size_field = header.file.variable + name_length;
    uint8_t* const out = size_field + 2;
    const int comment_size = size_field[0] | size_field[1] << 8;
    const int comment_bytes = std::min(comment_size, comment_room);

    int16_t recent_positions[RECENT_POSITION_COUNT] = {};
    if (comment_bytes == 0)
        return;

    // The packed bytes move to the bit reader's buffer, so the text can
    // overwrite them as it grows.
    start_bits_from_memory(cx, out, uint32_t(comment_bytes));
    int decoded_length = int(read_bits(cx, 15));
    if (decoded_length >= comment_room)
        decoded_length = comment_room - 1;

    HuffmanTable& code = cx.lz.main_code;
    if (read_code_table(cx, TABLE_BITS, code.lookup, code.code_lengths, MAIN_SYMBOL_LIMIT)) {
        int i = 0;
        // A copy before two bytes exist has no recorded source: it copies
        // from the first byte, which keeps it defined and in bounds.
        int src = 0;
        do {
            if (i >= 2) {
                const int key = out[i - 2] + out[i - 1];
                src = recent_positions[key];
                recent_positions[key] = int16_t(i);
            }
            const int s = decode_symbol(cx, code);
            if (cx.bits.word_index == COMMENT_WRAP_WORD)
                cx.bits.word_index = 0;
            if (s <= 255) {
                out[i++] = uint8_t(s);
                continue;
            }
            // Byte by byte: a source overlapping the output repeats it.
            for (int k = s - 254; k > 0 && i < decoded_length; --k)
                out[i++] = out[src++];
        } while (i < decoded_length);
    }
    out[decoded_length] = 0;
}
