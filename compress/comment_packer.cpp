#include "compress/comment_packer.h"

#include <algorithm>

#include <cstring>
#include <memory>

#include "compress/bit_writer.h"
#include "compress/code_table.h"
#include "decompress/comment.h"
#include "decompress/huffman.h"

namespace {

constexpr int COMMENT_SYMBOLS = MAIN_SYMBOL_LIMIT + 1;
constexpr int LENGTH_FIELD_BITS = 15;

// Symbols for one parse. The decoder looks up a copy's source at the start
// of every symbol once two bytes exist and records only those positions,
// so the parse replays the same table as it goes.
std::vector<uint16_t> parse_comment(const std::string& text, int min_copy)
{
    std::vector<uint16_t> symbols;
    const uint8_t* t = reinterpret_cast<const uint8_t*>(text.data());
    const int size = static_cast<int>(text.size());
    int16_t recent_positions[RECENT_POSITION_COUNT] = {};
    int i = 0;
    while (i < size) {
        if (i >= 2) {
            int key = t[i - 2] + t[i - 1];
            int src = recent_positions[key];
            recent_positions[key] = static_cast<int16_t>(i);
            int limit = std::min(MAX_COMMENT_COPY, size - i);
            int length = 0;
            // The source lies before i, so every byte it copies, even one
            // written by this copy, is already the text's.
            while (length < limit && t[src + length] == t[i + length])
                ++length;
            if (min_copy <= MAX_COMMENT_COPY && length >= min_copy) {
                symbols.push_back(static_cast<uint16_t>(254 + length));
                i += length;
                continue;
            }
        }
        symbols.push_back(t[i]);
        ++i;
    }
    // The decoder decodes one symbol even for an empty text; it lands where
    // the terminator then goes.
    if (symbols.empty())
        symbols.push_back(0);
    return symbols;
}

std::vector<uint8_t> encode(CodeTableWork& work, size_t text_size, const std::vector<uint16_t>& symbols)
{
    uint32_t freqs[COMMENT_SYMBOLS] = {};
    for (uint16_t s : symbols)
        freqs[s]++;
    uint8_t lengths[COMMENT_SYMBOLS];
    limited_code_lengths(freqs, COMMENT_SYMBOLS, MAX_CODE_LENGTH, lengths);
    int n = 0;
    for (int s = 0; s < COMMENT_SYMBOLS; ++s)
        if (lengths[s])
            n = s;
    PrefixCode code;
    assign_codes(work, TABLE_BITS, n, lengths, code);

    PackBitWriter out;
    out.put(static_cast<uint32_t>(text_size), LENGTH_FIELD_BITS);
    write_code_table(work, &out, lengths, MAIN_SYMBOL_LIMIT);
    for (uint16_t s : symbols)
        put_symbol(out, code, s);
    out.align_to_word();
    return std::move(out.bytes);
}

}  // namespace

bool pack_comment(const std::string& text, int text_room, int packed_room, std::vector<uint8_t>& out)
{
    if (text_room <= 0 || packed_room <= 0 || text.size() + 1 > static_cast<size_t>(text_room))
        return false;
    CodeTableWork work{};
    std::vector<uint8_t> best;
    // A copy of 2 bytes is not always cheaper than two literals, and taking
    // it changes which positions the table records: try a few thresholds.
    for (int min_copy : {MIN_COMMENT_COPY, 3, 4, 6, MAX_COMMENT_COPY + 1}) {
        std::vector<uint8_t> packed = encode(work, text.size(), parse_comment(text, min_copy));
        if (best.empty() || packed.size() < best.size())
            best = std::move(packed);
    }
    if (best.size() > static_cast<size_t>(packed_room))
        return false;
    out = std::move(best);
    return true;
}
