#include "decompress/lz77.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "archive/crc.h"
#include "archive/packed.h"
#include "extract/job.h"

namespace {

// Length base of a new distance, by its coded value.
inline uint32_t new_distance_base(uint32_t v) { return v <= 255 ? 2 : v <= 8191 ? 3 : 4; }

// Moves history entry r (0 = newest) to the front, the others keeping their
// order; returns its value.
inline uint32_t reuse_history(LzDecoder& lz, uint32_t r)
{
    const uint32_t newest = uint32_t(lz.history_index);
    const uint32_t v = lz.distance_history[(newest - r) & 3];
    for (uint32_t j = 0; j < r; ++j)
        lz.distance_history[(newest - r + j) & 3] = lz.distance_history[(newest - r + j + 1) & 3];
    lz.distance_history[newest] = v;
    return v;
}

inline void push_history(LzDecoder& lz, uint32_t v)
{
    lz.history_index = int16_t((lz.history_index + 1) & 3);
    lz.distance_history[lz.history_index] = v;
}

inline uint64_t load8(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline void store8(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }

// Appends length bytes copied from distance bytes back, exactly as a
// forward byte loop would (an overlapping source repeats the bytes just
// written). Returns the new position.
inline uint32_t copy_in_ring(uint8_t* ring, uint32_t size, uint32_t mask, uint32_t pos, uint32_t distance,
                             uint32_t length)
{
    uint32_t src = (pos - distance) & mask;
    if (src < size - MATCH_MARGIN && pos < size - MATCH_MARGIN) {
        // Neither end can cross the ring's end: a match is at most MATCH_MARGIN long.
        uint8_t* dst = ring + pos;
        const uint8_t* from = ring + src;
        const ptrdiff_t gap = dst - from;
        if (gap >= 8 || gap <= -8) {
            // Each 8-byte load reads only bytes that are already final: with
            // the source at least 8 behind, everything it reads was written
            // before; with it ahead, nothing it reads is written by this copy
            // before it is read. The last, possibly overlapping, word rewrites
            // bytes with the values they already hold.
            uint32_t k = 0;
            for (; k + 8 <= length; k += 8)
                store8(dst + k, load8(from + k));
            if (k < length) {
                if (length >= 8) {
                    store8(dst + length - 8, load8(from + length - 8));
                } else {
                    for (; k < length; ++k)
                        dst[k] = from[k];
                }
            }
        } else if (gap == 1) {
            std::memset(dst, dst[-1], length);
        } else {
            for (uint32_t k = 0; k < length; ++k)
                dst[k] = from[k];
        }
        return (pos + length) & mask;
    }
    for (uint32_t k = 0; k < length; ++k) {
        ring[pos] = ring[src];
        pos = (pos + 1) & mask;
        src = (src + 1) & mask;
    }
    return pos;
}

void ring_append(Dictionary& d, const uint8_t* bytes, uint32_t count)
{
    while (count > 0) {
        const uint32_t chunk = std::min(count, d.dict_size - d.dict_pos);
        std::memcpy(d.dict_bytes + d.dict_pos, bytes, chunk);
        d.dict_pos = (d.dict_pos + chunk) & d.dict_mask;
        bytes += chunk;
        count -= chunk;
    }
}

void decompression_failed(JobContext& cx)
{
    cx.host->show_message("Decompression failed");
    set_status(cx, STATUS_DECOMPRESSION_FAILED);
}

uint32_t run_lz77(JobContext& cx, uint8_t* out, uint32_t request, void (*decode)(JobContext&))
{
    LzDecoder& lz = cx.lz;
    Dictionary& d = cx.dict;
    // Without a ring there is nothing to decode into; smaller requests
    // would not hold one symbol's output. Neither reaches here from the job.
    if (d.dict_bytes == nullptr || request <= uint32_t(MATCH_MARGIN))
        return 0;
    request = std::min({request, LZ_MAX_REQUEST, d.dict_size});

    lz.call_produced = 0;
    const uint32_t start = d.dict_pos;
    lz.call_limit = int16_t(request - MATCH_MARGIN);
    if (uint32_t(int32_t(lz.call_limit)) > lz.remaining_size)
        lz.call_limit = int16_t(lz.remaining_size & 0xFFFF);

    if (int32_t(lz.remaining_size) > 0 && lz.call_limit != 0) {
        decode(cx);
        const uint32_t produced = uint32_t(lz.call_produced);
        const uint32_t first = std::min(produced, d.dict_size - start);
        std::memcpy(out, d.dict_bytes + start, first);
        std::memcpy(out + first, d.dict_bytes, produced - first);
    }
    lz.remaining_size -= uint32_t(int32_t(lz.call_produced));
    return uint32_t(lz.call_produced);
}

}  // namespace

void allocate_dictionary(JobContext& cx)
{
    Dictionary& d = cx.dict;
    d.dict_fresh = 1;
    d.dict_bytes = nullptr;
    for (d.dict_bits = DICT_MAX_BITS; d.dict_bits >= DICT_MIN_BITS; --d.dict_bits) {
        d.dict_size = 1u << d.dict_bits;
        d.dict_bytes = static_cast<uint8_t*>(cx.host->allocate(d.dict_size));
        if (d.dict_bytes != nullptr)
            break;
    }
    if (d.dict_bytes == nullptr) {
        // No ring worth having: no LZ77 entry fits (begin_entry refuses them
        // by dict_bits) and stored entries pass without feeding it.
        d.dict_bits = 0;
        d.dict_size = 0;
        d.dict_mask = 0;
        d.dict_pos = 0;
        set_status(cx, STATUS_NO_MEMORY);
        return;
    }
    d.dict_mask = d.dict_size - 1;
    // A damaged or hostile match may reach before the first byte ever
    // written; it must find zeros, not whatever the allocator left there.
    std::memset(d.dict_bytes, 0, d.dict_size);
}

void begin_entry(JobContext& cx)
{
    const AceHeader& header = cx.reader.header;
    LzDecoder& lz = cx.lz;
    Dictionary& d = cx.dict;
    if (header.header_flags & FLAG_REFUSED) {
        decompression_failed(cx);
        return;
    }
    lz.entry_crc = CRC_INIT;
    lz.remaining_size = header.file.unpacked_size;
    if (header.file.method == METHOD_LZ77) {
        const int required = (header.file.parameter & 15) + DICT_BITS_BASE;
        if (required > d.dict_bits) {
            cx.host->show_message("Decompression failed (low on memory)");
            set_status(cx, STATUS_NO_MEMORY);
            return;
        }
        start_bits(cx);
        lz.block_symbols_left = 0;
    }
    if (cx.reader.archive_solid == 0 || d.dict_fresh == 1)
        d.dict_pos = 0;
    lz.history_index = 0;
    std::fill(std::begin(lz.distance_history), std::end(lz.distance_history), 0u);
    d.dict_fresh = 0;
}

uint32_t read_entry_data(JobContext& cx, uint8_t* out, uint32_t request)
{
    uint32_t count = 0;
    switch (cx.reader.header.file.method) {
    case METHOD_STORED:
        count = copy_stored(cx, out, request);
        break;
    case METHOD_LZ77:
        count = decode_lz77(cx, out, request);
        break;
    default:
        decompression_failed(cx);
        break;
    }
    cx.lz.entry_crc = crc_update(cx.crc, cx.lz.entry_crc, out, count);
    return count;
}

uint32_t copy_stored(JobContext& cx, uint8_t* out, uint32_t request)
{
    LzDecoder& lz = cx.lz;
    uint8_t* staging = reinterpret_cast<uint8_t*>(cx.job.input_words);
    uint32_t total = 0;
    for (;;) {
        const uint32_t n = std::min({request, lz.remaining_size, STORED_CHUNK});
        const uint32_t got = read_packed(cx, staging, n);
        if (got == 0)
            break;
        std::memcpy(out + total, staging, got);
        total += got;
        request -= got;
        lz.remaining_size -= got;
    }
    if (cx.dict.dict_bytes != nullptr)
        ring_append(cx.dict, out, total);
    return total;
}

uint32_t decode_lz77(JobContext& cx, uint8_t* out, uint32_t request)
{
    return run_lz77(cx, out, request, decode_symbols);
}

uint32_t decode_lz77_reference(JobContext& cx, uint8_t* out, uint32_t request)
{
    return run_lz77(cx, out, request, decode_symbols_reference);
}

int read_block_header(JobContext& cx)
{
    LzDecoder& lz = cx.lz;
    if (!read_code_table(cx, TABLE_BITS, lz.main_code.lookup, lz.main_code.code_lengths, MAIN_SYMBOL_LIMIT,
                         lz.main_code.fast) ||
        !read_code_table(cx, TABLE_BITS, lz.length_code.lookup, lz.length_code.code_lengths, LENGTH_SYMBOL_LIMIT,
                         lz.length_code.fast)) {
        lz.call_produced = lz.call_limit;
        return 0;
    }
    lz.block_symbols_left = int16_t(read_bits(cx, BLOCK_COUNT_BITS));
    return 1;
}

void put_byte(JobContext& cx, uint8_t b)
{
    Dictionary& d = cx.dict;
    d.dict_bytes[d.dict_pos] = b;
    d.dict_pos = (d.dict_pos + 1) & d.dict_mask;
    cx.lz.call_produced = int16_t(cx.lz.call_produced + 1);
}

void copy_match(JobContext& cx, uint32_t distance, uint32_t length)
{
    Dictionary& d = cx.dict;
    cx.lz.call_produced = int16_t(cx.lz.call_produced + int32_t(length));
    d.dict_pos = copy_in_ring(d.dict_bytes, d.dict_size, d.dict_mask, d.dict_pos, distance, length);
}

void copy_match_bytewise(JobContext& cx, uint32_t distance, uint32_t length)
{
    Dictionary& d = cx.dict;
    cx.lz.call_produced = int16_t(cx.lz.call_produced + int32_t(length));
    uint32_t src = (d.dict_pos - distance) & d.dict_mask;
    if (src < d.dict_size - MATCH_MARGIN && d.dict_pos < d.dict_size - MATCH_MARGIN) {
        for (uint32_t i = 0; i < length; ++i)
            d.dict_bytes[d.dict_pos + i] = d.dict_bytes[src + i];
        d.dict_pos = (d.dict_pos + length) & d.dict_mask;
        return;
    }
    for (uint32_t i = 0; i < length; ++i) {
        d.dict_bytes[d.dict_pos] = d.dict_bytes[src];
        d.dict_pos = (d.dict_pos + 1) & d.dict_mask;
        src = (src + 1) & d.dict_mask;
    }
}

void decode_symbols_reference(JobContext& cx)
{
    LzDecoder& lz = cx.lz;
    for (;;) {
        if (lz.call_produced >= lz.call_limit)
            return;
        if (lz.block_symbols_left == 0 && !read_block_header(cx))
            return;
        const int s = decode_symbol(cx, lz.main_code);
        lz.block_symbols_left = int16_t(lz.block_symbols_left - 1);
        if (s <= 255) {
            put_byte(cx, uint8_t(s));
            continue;
        }
        uint32_t v;
        uint32_t base;
        if (s <= 259) {
            const uint32_t r = uint32_t(s - 256);
            v = reuse_history(lz, r);
            base = r <= 1 ? 2 : 3;
        } else {
            const int k = s - 260;
            if (k <= 1) {
                v = uint32_t(k);
            } else {
                const int n = k - 1;
                v = (1u << n) + read_bits(cx, n);
            }
            push_history(lz, v);
            base = new_distance_base(v);
        }
        const int m = decode_symbol(cx, lz.length_code);
        copy_match_bytewise(cx, v + 1, uint32_t(m) + base);
    }
}

namespace {

// The bit reader's stream held in a register: bits_held bits of lookahead,
// left-aligned in bits, taken from the input words up to next_word - 1.
// The words are those of the bit reader's buffer, and the buffer is
// refilled in the same call, from the same point of the stream, as
// skip_bits would refill it, so every bit read and every read_packed call
// is the same as in the plain loop.
struct BitCursor {
    uint64_t bits;
    uint32_t bits_held;  // at least 32 between symbols' steps
    uint32_t next_word;
};

constexpr uint32_t REFILL_BIT_POSITION = uint32_t(REFILL_WORD_INDEX) * 32;

inline uint32_t cursor_position(const BitCursor& c) { return c.next_word * 32 - c.bits_held; }

// When the position has reached word 1022, refills the buffer as
// skip_bits would have at that point. Words 1022 and 1023 move to 0 and 1,
// so the bits already held stay valid.
inline void settle_refill(JobContext& cx, BitCursor& c)
{
    if (c.next_word >= uint32_t(REFILL_WORD_INDEX) && cursor_position(c) >= REFILL_BIT_POSITION) {
        cx.bits.word_index = int16_t(REFILL_WORD_INDEX);
        refill_words(cx);
        c.next_word -= uint32_t(REFILL_WORD_INDEX);
    }
}

inline void top_up(JobContext& cx, BitCursor& c, const uint32_t* words)
{
    if (c.bits_held < 32) {
        // Loads happen only below the refill point: a word is loaded once the
        // position is inside the word before it, so next_word <= 1022 here.
        settle_refill(cx, c);
        c.bits |= uint64_t(input_word(words, c.next_word)) << (32 - c.bits_held);
        ++c.next_word;
        c.bits_held += 32;
    }
}

inline BitCursor load_cursor(const JobContext& cx, const uint32_t* words)
{
    const uint32_t offset = uint32_t(cx.bits.bit_offset);
    const uint32_t index = uint32_t(cx.bits.word_index);
    BitCursor c;
    c.bits = uint64_t(input_word(words, index)) << (32 + offset);
    c.bits_held = 32 - offset;
    c.next_word = index + 1;
    if (c.bits_held < 32) {
        c.bits |= uint64_t(input_word(words, c.next_word)) << (32 - c.bits_held);
        ++c.next_word;
        c.bits_held += 32;
    }
    return c;
}

inline void store_cursor(JobContext& cx, BitCursor& c, const uint32_t* words)
{
    settle_refill(cx, c);
    const uint32_t position = cursor_position(c);
    cx.bits.word_index = int16_t(position >> 5);
    cx.bits.bit_offset = int16_t(position & 31);
    cx.bits.bit_window = window_at(words, position);
}

inline void consume(JobContext& cx, BitCursor& c, const uint32_t* words, uint32_t n)
{
    c.bits <<= n;
    c.bits_held -= n;
    top_up(cx, c, words);
}

}  // namespace

// The symbol loop with the bit stream, ring position and counters in
// locals and the tables in their packed form. It reads the same bits and
// leaves the same state as decode_symbols_reference on any input, damaged
// ones included; cx.bits is brought up to date whenever another function
// reads bits (block headers) and on return.
void decode_symbols(JobContext& cx)
{
    LzDecoder& lz = cx.lz;
    Dictionary& d = cx.dict;
    const uint32_t* const words = cx.job.input_words;
    uint8_t* const ring = d.dict_bytes;
    const uint32_t ring_size = d.dict_size;
    const uint32_t ring_mask = d.dict_mask;
    const int32_t limit = lz.call_limit;

    BitCursor bits = load_cursor(cx, words);
    uint32_t pos = d.dict_pos;
    int32_t produced = lz.call_produced;
    uint16_t symbols_left = uint16_t(lz.block_symbols_left);

    // Every step consumes at most 32 bits (MAX_SENT_CODE_LENGTH, extra bits
    // up to 21) and is followed by a top-up, so 32 bits are always at hand.
    constexpr uint32_t PEEK_SHIFT = 64 - TABLE_BITS;
    while (produced < limit) {
        if (symbols_left == 0) [[unlikely]] {
            store_cursor(cx, bits, words);
            d.dict_pos = pos;
            lz.call_produced = int16_t(produced);
            lz.block_symbols_left = 0;
            const int ok = read_block_header(cx);
            bits = load_cursor(cx, words);
            symbols_left = uint16_t(lz.block_symbols_left);
            if (!ok) {
                produced = lz.call_produced;
                break;
            }
        }
        // Literals are most symbols of most data. Run them in a loop whose
        // only bound is the nearest of the block's end (a count of 0 here
        // is a full 65,536), the call's limit and the ring's end, so each
        // costs one lookup, one shift and one store.
        const uint32_t block_room = symbols_left == 0 ? 65536u : symbols_left;
        const uint32_t budget = std::min({block_room, uint32_t(limit - produced), ring_size - pos});
        uint8_t* const run_start = ring + pos;
        uint8_t* const run_end = run_start + budget;
        uint8_t* out = run_start;
        uint32_t s;
        do {
            const uint32_t entry = lz.main_code.fast[bits.bits >> PEEK_SHIFT];
            consume(cx, bits, words, entry & FAST_LENGTH_MASK);
            s = entry >> FAST_LENGTH_BITS;
            if (s > 255)
                break;
            *out++ = uint8_t(s);
        } while (out != run_end);
        const uint32_t run = uint32_t(out - run_start);
        produced += int32_t(run);
        symbols_left = uint16_t(symbols_left - run);
        pos = (pos + run) & ring_mask;
        if (s <= 255)
            continue;

        --symbols_left;
        uint32_t v;
        uint32_t base;
        if (s <= 259) {
            const uint32_t r = s - 256;
            v = reuse_history(lz, r);
            base = r <= 1 ? 2 : 3;
        } else {
            const uint32_t k = s - 260;
            if (k <= 1) {
                v = k;
            } else {
                const uint32_t n = k - 1;
                v = (1u << n) + uint32_t(bits.bits >> (64 - n));
                consume(cx, bits, words, n);
            }
            push_history(lz, v);
            base = new_distance_base(v);
        }
        const uint32_t length_entry = lz.length_code.fast[bits.bits >> PEEK_SHIFT];
        consume(cx, bits, words, length_entry & FAST_LENGTH_MASK);
        const uint32_t length = (length_entry >> FAST_LENGTH_BITS) + base;
        produced += int32_t(length);
        pos = copy_in_ring(ring, ring_size, ring_mask, pos, v + 1, length);
    }
    store_cursor(cx, bits, words);
    d.dict_pos = pos;
    lz.call_produced = int16_t(produced);
    lz.block_symbols_left = int16_t(symbols_left);
}
