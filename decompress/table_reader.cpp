// Reading a code table from the bit stream: the pre-code, the values it
// codes, the running sum and the base; the builder then makes the lookup.
#include "decompress/bit_reader.h"
#include "decompress/huffman.h"
#include "extract/job.h"

#include <algorithm>
#include <cstring>

int read_code_table(JobContext& cx, int width, uint16_t* table, uint8_t* lengths, int limit, uint16_t* entries,
                    uint32_t* match_entries, bool lookup)
{
    CodeTableWork& work = cx.tables;
    std::memset(lengths, 0, size_t(limit));
    // Only the pre-code's part of the table is cleared now: the final build
    // fills the rest, or clears what it leaves (stale_from).
    const int cleared = std::min(1 << width, 1 << PRE_TABLE_BITS);
    std::fill_n(table, size_t(cleared), uint16_t(0));

    // The header's fields: the symbol count, the base, the pre-code's size
    // and its lengths. Far from the refill point (nearly always) they are
    // read through one BitStream, not a call per field.
    int n, length_base, max_pre_symbol;
#ifndef KELVO_SMALL_CODE
    constexpr uint32_t MAX_HEADER_BITS = 9 + 4 + 4 + PRE_SYMBOL_COUNT * 3;
    static_assert(9 + 4 + 4 <= REFILL_GUARANTEE - 7 && PRE_SYMBOL_COUNT * 3 <= REFILL_GUARANTEE);
    if (bit_position(cx.bits) + MAX_HEADER_BITS < REFILL_BIT_POSITION) {
        // bit_stream_at holds at least 49 bits.
        BitStream b = bit_stream_at(cx.bits);
        n = int(peek(b, 9));
        consume(b, 9);
        length_base = int(peek(b, 4));
        consume(b, 4);
        max_pre_symbol = int(peek(b, 4));
        consume(b, 4);
        refill(b);
        for (int i = 0; i <= max_pre_symbol; ++i) {
            work.pre_lengths[i] = uint8_t(peek(b, 3));
            consume(b, 3);
        }
        bit_stream_store(cx.bits, b, cx.job.input_words);
    } else
#endif
    {
        n = int(read_bits(cx, 9));
        length_base = int(read_bits(cx, 4));
        max_pre_symbol = int(read_bits(cx, 4));
        for (int i = 0; i <= max_pre_symbol; ++i)
            work.pre_lengths[i] = uint8_t(read_bits(cx, 3));
    }
    if (n > limit)
        n = limit;

    // The pre-code borrows the first 128 entries of the table being read;
    // every entry it can yield is a symbol 0..max_pre_symbol, since the rest
    // of the table was just cleared to 0. Its decode entries (symbol and
    // length in one load) are what the values are read by.
    uint16_t pre_entries[1 << PRE_TABLE_BITS];
    if (!build_lookup_table(work, PRE_TABLE_BITS, max_pre_symbol, work.pre_lengths, table, pre_entries)) {
        std::fill(table + cleared, table + (1 << width), uint16_t(0));
        return 0;
    }

    // The values that cannot reach the buffer's refill point are read
    // through a BitStream, as many at a time as the distance to it allows;
    // the one or two just before it, field by field.
    constexpr uint32_t MAX_VALUE_BITS = PRE_TABLE_BITS + 4;
    static_assert(MAX_VALUE_BITS <= REFILL_GUARANTEE);
    // A refill loads 8 bytes at next_byte, at most 63 bits past a position
    // below the refill point.
    static_assert((REFILL_BIT_POSITION - 1 + 63) / 8 + 8 <= uint32_t(INPUT_BYTES + STREAM_SLACK_BYTES));
    // Each length is the running sum of the values so far, modulo
    // max_pre_symbol (a value and the sum before it are both below it, so
    // one subtraction reduces them), plus length_base unless it is 0. A
    // run of zero values repeats the sum before it. With max_pre_symbol 0
    // every value is a run: all lengths stay 0.
    int i = 0;
    int sum = 0;
    const auto put_value = [&](int s) {
        sum += s;
        if (sum >= max_pre_symbol)
            sum -= max_pre_symbol;
        lengths[i++] = uint8_t(sum != 0 ? sum + length_base : 0);
    };
    const auto put_run = [&](int run) {
        const uint8_t length = uint8_t(sum != 0 ? sum + length_base : 0);
        for (int r = 0; r < run && i <= n; ++r)
            lengths[i++] = length;
    };
    while (i <= n) {
        // Each value ends below the refill point.
        const uint32_t position = bit_position(cx.bits);
        uint32_t values = position < REFILL_BIT_POSITION ? (REFILL_BIT_POSITION - 1 - position) / MAX_VALUE_BITS : 0;
        if (values != 0) {
            BitStream b = bit_stream_at(cx.bits);
            while (i <= n && values-- != 0) {
                refill(b);
                const uint32_t entry = pre_entries[b.bits >> (64 - PRE_TABLE_BITS)];
                consume(b, entry & FAST_LENGTH_MASK);
                const int s = int(entry >> FAST_LENGTH_BITS);
                if (s < max_pre_symbol) {
                    put_value(s);
                    continue;
                }
                put_run(int(peek(b, 4)) + 4);
                consume(b, 4);
            }
            bit_stream_store(cx.bits, b, cx.job.input_words);
            continue;
        }
        const uint32_t entry = pre_entries[cx.bits.bit_window >> (32 - PRE_TABLE_BITS)];
        skip_bits(cx, int(entry & FAST_LENGTH_MASK));
        const int s = int(entry >> FAST_LENGTH_BITS);
        if (s < max_pre_symbol) {
            put_value(s);
            continue;
        }
        put_run(int(read_bits(cx, 4)) + 4);
    }
    return build_lookup_table(work, width, n, lengths, table, entries, cleared, match_entries, lookup);
}

int decode_symbol(JobContext& cx, const HuffmanTable& table)
{
    const int s = table.lookup[peek_bits(cx, TABLE_BITS)];
    skip_bits(cx, table.code_lengths[s]);
    return s;
}
