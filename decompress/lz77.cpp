#include "decompress/lz77.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>

#include "archive/crc.h"
#include "archive/packed.h"
#include "extract/job.h"

// The installer stub (KELVO_SMALL_CODE) carries one loop form, its own
// word size: each further form costs it about a kilobyte.
#if (defined(__x86_64__) || defined(__i386__)) && !defined(KELVO_SMALL_CODE)
#include <cpuid.h>
#define KELVO_LZ_BMI2 1
#else
#define KELVO_LZ_BMI2 0
#endif
// Match copies that may write past the match (see COPY_OVERSHOOT): fewer
// branches on the length, at the price of a saved run of the ring.
#ifdef KELVO_SMALL_CODE
#define KELVO_LZ_OVERSHOOT 0
#else
#define KELVO_LZ_OVERSHOOT 1
#endif
// The main code's entries carry each match's fields (main_entry): fewer
// loads and one shift for a code and its extra bits. The stub keeps the
// 16-bit entries and the constant tables, which are less code.
#ifdef KELVO_SMALL_CODE
#define KELVO_LZ_MATCH_ENTRIES 0
#else
#define KELVO_LZ_MATCH_ENTRIES 1
#endif

namespace {

// Length base of a new distance, by its coded value.
constexpr uint32_t new_distance_base(uint32_t v) { return v <= 255 ? 2 : v <= 8191 ? 3 : 4; }

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

inline void store4(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline uint32_t load4(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// A match whose source and destination both lie in the ring without
// wrapping: exactly the bytes a forward byte loop writes, and none after
// them (the bytes ahead of the position are the oldest of the ring, which
// a later match may still read).
inline void copy16(uint8_t* dst, const uint8_t* from)
{
    uint8_t chunk[16];
    std::memcpy(chunk, from, 16);
    std::memcpy(dst, chunk, 16);
}

inline void copy_unwrapped(uint8_t* dst, const uint8_t* from, uint32_t length)
{
    const ptrdiff_t gap = dst - from;
    if ((gap >= 16 || gap <= -16) && length >= 16) {
        // As below, in 16-byte pieces.
        uint32_t k = 0;
        while (k + 16 < length) {
            copy16(dst + k, from + k);
            k += 16;
        }
        copy16(dst + length - 16, from + length - 16);
    } else if (gap >= 8 || gap <= -8) {
        // Every word loaded is final: a source 8 or more behind was written
        // before (each word is stored before the next is loaded); one ahead
        // is not written by this copy before it is read. The last,
        // possibly overlapping, word rewrites bytes with the values they
        // already hold.
        if (length > 16) {
            uint32_t k = 0;
            do {
                store8(dst + k, load8(from + k));
                k += 8;
            } while (k + 8 < length);
            store8(dst + length - 8, load8(from + length - 8));
        } else if (length >= 8) {
            store8(dst, load8(from));
            store8(dst + length - 8, load8(from + length - 8));
        } else if (length >= 4) {
            store4(dst, load4(from));
            store4(dst + length - 4, load4(from + length - 4));
        } else {
            dst[0] = from[0];
            dst[1] = from[1];
            dst[length - 1] = from[length - 1];
        }
    } else if (gap == 1) {
        std::memset(dst, dst[-1], length);
    } else if (gap >= 2 && length >= 8) {
        // A period of gap bytes: write its first 8 bytes one by one, then
        // that word again at every whole number of periods.
        for (uint32_t k = 0; k < 8; ++k)
            dst[k] = from[k];
        const uint64_t pattern = load8(dst);
        const uint32_t stride = 8 - 8 % uint32_t(gap);
        uint32_t k = stride;
        for (; k + 8 <= length; k += stride)
            store8(dst + k, pattern);
        for (; k < length; ++k)
            dst[k] = dst[k - gap];
    } else {
        for (uint32_t k = 0; k < length; ++k)
            dst[k] = from[k];
    }
}

#if KELVO_LZ_OVERSHOOT
// For a period of gap bytes (2..7) in a little-endian word: its bytes
// (mask), the factor that repeats them across the word, and the longest
// whole number of periods in a word.
struct PeriodWord {
    uint64_t mask;
    uint64_t repeat;
    uint32_t stride;
};
constexpr PeriodWord period_word(uint32_t gap)
{
    PeriodWord w{};
    if (gap < 2)
        return w;
    w.mask = (uint64_t(1) << (8 * gap)) - 1;
    for (uint32_t at = 0; at < 64; at += 8 * gap)
        w.repeat |= uint64_t(1) << at;
    w.stride = 8 - 8 % gap;
    return w;
}
constexpr PeriodWord PERIOD_WORDS[8] = {period_word(0), period_word(1), period_word(2), period_word(3),
                                        period_word(4), period_word(5), period_word(6), period_word(7)};
static_assert(PERIOD_WORDS[3].repeat == 0x0001000001000001u && PERIOD_WORDS[3].stride == 6);

// The same bytes as a forward byte loop in dst[0 .. length), and up to
// COPY_OVERSHOOT - 1 bytes of no meaning after them; reads up to as far
// past from + length. For a source behind by 16 or more, or ahead at all,
// every piece loaded is final when it is loaded (the source behind was
// written by earlier pieces, the one ahead is never written before it is
// read); 8 to 15 behind, the same in 8-byte pieces; closer, a period of
// gap bytes stored a word at a time. A source at dst or fewer than
// COPY_OVERSHOOT bytes ahead is the caller's (it reads from ring_saved).
inline void copy_overshooting(uint8_t* dst, const uint8_t* from, uint32_t length)
{
    const ptrdiff_t gap = dst - from;
    if (gap >= 16 || gap < 0) {
        copy16(dst, from);
        copy16(dst + 16, from + 16);
        for (uint32_t k = 32; k < length; k += 16)
            copy16(dst + k, from + k);
    } else if (gap >= 8) {
        store8(dst, load8(from));
        store8(dst + 8, load8(from + 8));
        for (uint32_t k = 16; k < length; k += 8)
            store8(dst + k, load8(from + k));
    } else if (gap == 1) {
        const uint64_t pattern = uint64_t(dst[-1]) * 0x0101010101010101u;
        store8(dst, pattern);
        store8(dst + 8, pattern);
        for (uint32_t k = 16; k < length; k += 8)
            store8(dst + k, pattern);
    } else if constexpr (std::endian::native == std::endian::little) {
        // gap 2..7 (0 is the caller's): the period's bytes repeated across a
        // word by one multiplication, stored at every whole number of
        // periods. (Built in a register: a word loaded back from the byte
        // stores that wrote it waits for them, and the stride is a table's.)
        const PeriodWord& w = PERIOD_WORDS[gap];
        const uint64_t pattern = (load8(from) & w.mask) * w.repeat;
        store8(dst, pattern);
        for (uint32_t k = w.stride; k < length; k += w.stride)
            store8(dst + k, pattern);
    } else {
        // The same on other byte orders: the first 8 bytes one by one, then
        // that word again at every whole number of periods.
        for (uint32_t k = 0; k < 8; ++k)
            dst[k] = from[k];
        const uint64_t pattern = load8(dst);
        const uint32_t stride = 8 - 8 % uint32_t(gap);
        for (uint32_t k = stride; k < length; k += stride)
            store8(dst + k, pattern);
    }
}
#endif

// Appends length bytes copied from distance bytes back, exactly as a
// forward byte loop would (an overlapping source repeats the bytes just
// written). Returns the new position.
inline uint32_t copy_in_ring(uint8_t* ring, uint32_t size, uint32_t mask, uint32_t pos, uint32_t distance,
                             uint32_t length)
{
    uint32_t src = (pos - distance) & mask;
    if (src < size - MATCH_MARGIN && pos < size - MATCH_MARGIN) {
        // Neither end can cross the ring's end: a match is at most MATCH_MARGIN long.
        copy_unwrapped(ring + pos, ring + src, length);
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

// Decodes into the ring and copies the call's bytes to out (unless null).
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
        if (out != nullptr) {
            const uint32_t produced = uint32_t(lz.call_produced);
            const uint32_t first = std::min(produced, d.dict_size - start);
            std::memcpy(out, d.dict_bytes + start, first);
            std::memcpy(out + first, d.dict_bytes, produced - first);
        }
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
    cx.lz.loop = uint8_t(lz_default_loop());
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

namespace {

// A stored entry's next bytes, up to request, read in chunks through the
// bit reader's buffer (which a stored entry does not use); each chunk goes
// to take(bytes, count, offset) and to the ring. Returns the bytes read.
template <typename Take>
uint32_t read_stored(JobContext& cx, uint32_t request, Take take)
{
    LzDecoder& lz = cx.lz;
    uint8_t* staging = reinterpret_cast<uint8_t*>(cx.job.input_words);
    uint32_t total = 0;
    for (;;) {
        const uint32_t n = std::min({request, lz.remaining_size, STORED_CHUNK});
        const uint32_t got = read_packed(cx, staging, n);
        if (got == 0)
            break;
        take(staging, got, total);
        if (cx.dict.dict_bytes != nullptr)
            ring_append(cx.dict, staging, got);
        total += got;
        request -= got;
        lz.remaining_size -= got;
    }
    return total;
}

}  // namespace

uint32_t copy_stored(JobContext& cx, uint8_t* out, uint32_t request)
{
    return read_stored(cx, request,
                       [out](const uint8_t* bytes, uint32_t count, uint32_t at) { std::memcpy(out + at, bytes, count); });
}

uint32_t pass_entry_data(JobContext& cx, uint32_t request)
{
#ifndef KELVO_SMALL_CODE
    LzDecoder& lz = cx.lz;
    const Dictionary& d = cx.dict;
    switch (cx.reader.header.file.method) {
    case METHOD_STORED:
        return read_stored(cx, request, [&cx, &lz](const uint8_t* bytes, uint32_t count, uint32_t) {
            lz.entry_crc = crc_update(cx.crc, lz.entry_crc, bytes, count);
        });
    case METHOD_LZ77:
        if (d.dict_bytes != nullptr) {
            // A call never produces more than the ring holds.
            const uint32_t start = d.dict_pos;
            const uint32_t count = run_lz77(cx, nullptr, request, decode_symbols);
            const uint32_t first = std::min(count, d.dict_size - start);
            lz.entry_crc = crc_update(cx.crc, lz.entry_crc, d.dict_bytes + start, first);
            lz.entry_crc = crc_update(cx.crc, lz.entry_crc, d.dict_bytes, count - first);
            return count;
        }
        break;
    default:
        break;
    }
#endif
    // The stub: one path less; elsewhere what read_entry_data alone handles.
    return read_entry_data(cx, cx.job.output_block, request);
}

uint32_t decode_lz77(JobContext& cx, uint8_t* out, uint32_t request)
{
    return run_lz77(cx, out, request, decode_symbols);
}

uint32_t decode_lz77_reference(JobContext& cx, uint8_t* out, uint32_t request)
{
    cx.lz.loop |= LZ_LOOP_REFERENCE;
    return run_lz77(cx, out, request, decode_symbols_reference);
}

int read_block_header(JobContext& cx)
{
    LzDecoder& lz = cx.lz;
#if KELVO_LZ_MATCH_ENTRIES
    uint16_t* const main_fast = nullptr;
    uint32_t* const main_entries = lz.main_entries;
#else
    uint16_t* const main_fast = lz.main_code.fast;
    uint32_t* const main_entries = nullptr;
#endif
#if KELVO_LZ_MATCH_ENTRIES
    const bool lookup = (lz.loop & LZ_LOOP_REFERENCE) != 0;
#else
    constexpr bool lookup = true;  // the stub fills it always
#endif
    if (!read_code_table(cx, TABLE_BITS, lz.main_code.lookup, lz.main_code.code_lengths, MAIN_SYMBOL_LIMIT,
                         main_fast, main_entries, lookup) ||
        !read_code_table(cx, TABLE_BITS, lz.length_code.lookup, lz.length_code.code_lengths, LENGTH_SYMBOL_LIMIT,
                         lz.length_code.fast, nullptr, lookup)) {
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

namespace {

// Outside the stub, the symbol loop's tables are read by their decode
// entries alone (the stub fills the lookup too, and its code is smaller).
template <bool FAST, typename Entry>
inline int decode_step_symbol(JobContext& cx, const HuffmanTable& table, [[maybe_unused]] const Entry* entries)
{
#if KELVO_LZ_MATCH_ENTRIES
    if constexpr (FAST) {
        const uint32_t entry = entries[peek_bits(cx, TABLE_BITS)];
        skip_bits(cx, int(entry & FAST_LENGTH_MASK));
        return int((entry >> FAST_LENGTH_BITS) & 0x1FF);
    }
#endif
    return decode_symbol(cx, table);
}

// One turn of the symbol loop, through the bit reader's and the tables'
// own functions: 0 when the call is over (its limit reached, or a block
// header rejected).
// The symbol loop's own steps near its ends decode by the tables' decode
// entries and copy their matches with copy_match (FAST); the reference
// loop's decode through the lookup and copy byte by byte.
template <bool FAST>
int reference_step(JobContext& cx)
{
    LzDecoder& lz = cx.lz;
    if (lz.call_produced >= lz.call_limit)
        return 0;
    if (lz.block_symbols_left == 0 && !read_block_header(cx))
        return 0;
    const int s = decode_step_symbol<FAST>(cx, lz.main_code, lz.main_entries);
    lz.block_symbols_left = int16_t(lz.block_symbols_left - 1);
    if (s <= 255) {
        put_byte(cx, uint8_t(s));
        return 1;
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
    const int m = decode_step_symbol<FAST>(cx, lz.length_code, lz.length_code.fast);
    if constexpr (FAST)
        copy_match(cx, v + 1, uint32_t(m) + base);
    else
        copy_match_bytewise(cx, v + 1, uint32_t(m) + base);
    return 1;
}

}  // namespace

void decode_symbols_reference(JobContext& cx)
{
    while (reference_step<false>(cx)) {
    }
}

namespace {

// A step is three literals, or up to two literals and a match: its main
// code, up to 21 extra bits (symbol 282) and its length code.
constexpr uint32_t MAX_EXTRA_BITS = (MAIN_SYMBOL_LIMIT - 260) - 1;
constexpr uint32_t MATCH_BITS = TABLE_BITS + MAX_EXTRA_BITS + TABLE_BITS;
// With 64-bit words every refill comes just after a lookup, so that no
// lookup's load waits on a refill: after a step's literals (the entry of
// the symbol after them looked up), and after a match's length code is
// looked up and before it is consumed. A step then starts with the bits of
// a refill less at most one length code.
constexpr uint32_t STEP_START_BITS = REFILL_GUARANTEE - TABLE_BITS;
static_assert(4 * TABLE_BITS <= STEP_START_BITS, "three literals and a lookup");
static_assert(MATCH_BITS <= STEP_START_BITS, "a match and its length code's lookup");
static_assert(TABLE_BITS + MATCH_BITS <= REFILL_GUARANTEE, "a literal and a match fit one refill");
// With 32-bit words (24 held after a refill): two literals, or a literal
// and a main code; the extra bits and the length code take a refill each.
static_assert(2 * TABLE_BITS <= 24 && MAX_EXTRA_BITS <= 24 && TABLE_BITS <= 24);
static_assert(3 * TABLE_BITS <= REFILL_GUARANTEE, "three literals fit one refill");
// A built table only holds symbols whose codes fit its width (longer ones
// fail the build or get no entries), and unused symbols have length 0.
static_assert(TABLE_BITS <= FAST_LENGTH_MASK);

// The fast loop starts a step only while the position is below the refill
// point (word 1022). A step of its longest form (two literals, then a
// match) then still ends inside the buffer, whose last two words are the
// first two after the refill: the step reads the bits the reference loop
// would read across the refill, and the loop leaves to refill the buffer
// once it has passed the point (loop_bits_leave).
constexpr uint32_t MAX_STEP_BITS = 2 * TABLE_BITS + MATCH_BITS;
static_assert(REFILL_BIT_POSITION - 1 + MAX_STEP_BITS <= uint32_t(INPUT_BYTES) * 8, "a step ends in the buffer");
// A refill loads a word at next_byte, which is where the position is plus
// the bits held (fewer than 64) in bytes: with every step starting below
// the refill point, every load lies inside the buffer and its slack,
// however many refills a step makes.
static_assert((REFILL_BIT_POSITION - 1 + MAX_STEP_BITS + 63) / 8 + 8 <= uint32_t(INPUT_BYTES + STREAM_SLACK_BYTES),
              "refills load inside the buffer");

// The loop's own bit stream, over a word of W bits (64, or 32 where
// registers are 32 bits wide), built like BitStream: the top held bits are
// the stream's next ones, a refill ORs in the W bits at next and counts the
// whole bytes that fit, leaving W - 8 to W - 1 held. Only the low bits of
// held count (held mod W), so that a decode entry, whose code length sits in
// its low 6 bits (at most TABLE_BITS), is subtracted whole, and shifts take
// it as it is (the machine's shifts use their count modulo W).
static_assert(FAST_LENGTH_BITS == 6 && TABLE_BITS < 32, "entries hold their length in a shift count's bits");
template <typename W>
struct LoopBits {
    static constexpr uint32_t BITS = sizeof(W) * 8;
    static constexpr uint32_t GUARANTEE = BITS - 8;  // held after a refill
    W bits;
    uint32_t held;
    const uint8_t* next;
};

template <typename W>
inline W load_be(const uint8_t* p)
{
    if constexpr (sizeof(W) == 8) {
        return load_be64(p);
    } else {
        uint32_t v;
        std::memcpy(&v, p, 4);
        if constexpr (std::endian::native == std::endian::little)
            v = __builtin_bswap32(v);
        return v;
    }
}

template <typename W>
inline LoopBits<W> loop_bits_at(const BitReader& bits)
{
    const uint32_t position = bit_position(bits);
    const uint8_t* at = bits.stream_bytes + (position >> 3);
    LoopBits<W> b;
    b.bits = W(load_be<W>(at) << (position & 7));
    b.held = LoopBits<W>::GUARANTEE - (position & 7);
    b.next = at + (sizeof(W) - 1);
    return b;
}

template <typename W>
inline bool loop_bits_leave(JobContext& cx, const LoopBits<W>& b)
{
    BitReader& bits = cx.bits;
    const uint32_t position = uint32_t(b.next - bits.stream_bytes) * 8 - (b.held & (LoopBits<W>::BITS - 1));
    bits.word_index = int16_t(position >> 5);
    bits.bit_offset = int16_t(position & 31);
    // Past the refill point by up to a step: the refill keeps the buffer's
    // last two words as its first two, where the position then lies.
    const bool refilled = bits.word_index >= REFILL_WORD_INDEX;
    if (refilled)
        refill_words(cx);
    bits.bit_window = window_at(cx.job.input_words, bit_position(bits));
    return refilled;
}

template <typename W>
inline void refill_loose(LoopBits<W>& b)
{
    constexpr uint32_t MASK = LoopBits<W>::BITS - 1;
    const uint32_t held = b.held & MASK;
    b.bits |= load_be<W>(b.next) >> held;
    b.next += (MASK - held) >> 3;
    b.held |= LoopBits<W>::GUARANTEE;
}

template <typename W>
inline uint32_t peek_entry_index(const LoopBits<W>& b)
{
    return uint32_t(b.bits >> (LoopBits<W>::BITS - TABLE_BITS));
}

template <typename W>
inline void consume_entry(LoopBits<W>& b, uint32_t entry)
{
    b.bits <<= (entry & (LoopBits<W>::BITS - 1));
    b.held -= entry;
}

// n extra bits (n < 32) as a number; two shifts, so that n = 0 takes none
// without a shift by W.
template <typename W>
inline uint32_t take_bits(LoopBits<W>& b, uint32_t n)
{
    const uint32_t v = uint32_t((b.bits >> 1) >> (LoopBits<W>::BITS - 1 - n));
    b.bits <<= n;
    b.held -= n;
    return v;
}

// By main symbol: a new distance's coded value is DISTANCE_BASE plus that
// many extra bits (symbols 260 and 261 take none), and every match's
// length base follows from its symbol alone, since the thresholds of the
// coded value (255, 8191) fall between the ranges of two symbols.
constexpr int DISTANCE_SYMBOLS = MAIN_SYMBOL_LIMIT - 260 + 1;
struct DistanceCodes {
    uint32_t base[DISTANCE_SYMBOLS];
    uint8_t extra[DISTANCE_SYMBOLS];
    uint8_t length_base[MAIN_SYMBOL_LIMIT - 256 + 1];
};
constexpr DistanceCodes make_distance_codes()
{
    DistanceCodes c{};
    for (int k = 0; k < DISTANCE_SYMBOLS; ++k) {
        c.extra[k] = uint8_t(k <= 1 ? 0 : k - 1);
        c.base[k] = k <= 1 ? uint32_t(k) : 1u << (k - 1);
        const uint32_t lowest = c.base[k];
        const uint32_t highest = c.base[k] + ((1u << c.extra[k]) - 1);
        // Both ends of the symbol's range give one length base.
        c.length_base[k + 4] = uint8_t(new_distance_base(lowest) == new_distance_base(highest) ? new_distance_base(lowest) : 0);
    }
    for (int r = 0; r < HISTORY_SIZE; ++r)
        c.length_base[r] = uint8_t(r <= 1 ? 2 : 3);
    return c;
}
constexpr DistanceCodes DISTANCE_CODES = make_distance_codes();
constexpr const uint32_t* DISTANCE_BASE = DISTANCE_CODES.base;
constexpr const uint8_t* DISTANCE_EXTRA_BITS = DISTANCE_CODES.extra;
constexpr const uint8_t* MATCH_LENGTH_BASE = DISTANCE_CODES.length_base;
constexpr bool length_bases_by_symbol()
{
    for (int i = 0; i <= MAIN_SYMBOL_LIMIT - 256; ++i)
        if (DISTANCE_CODES.length_base[i] == 0)
            return false;
    return true;
}
static_assert(length_bases_by_symbol(), "every symbol's coded values share one length base");
constexpr bool match_entries_agree()
{
    for (uint32_t s = 256; s <= uint32_t(MAIN_SYMBOL_LIMIT); ++s) {
        const uint32_t e = main_entry(s, 7);
        const uint32_t extra = (e >> MATCH_EXTRA_SHIFT) & 31;
        if (((e >> MATCH_BASE_SHIFT) & 7) != MATCH_LENGTH_BASE[s - 256] || (e & FAST_LENGTH_MASK) != 7 ||
            (e >> FAST_LENGTH_BITS & 0x1FF) != s || ((e & MATCH_NEW_DISTANCE) != 0) != (s >= 260))
            return false;
        if (s >= 260 && (extra != DISTANCE_EXTRA_BITS[s - 260] || ((e >> MATCH_TOTAL_SHIFT) & 63) != 7 + extra ||
                         (((e >> 30) & 1) << extra) != DISTANCE_BASE[s - 260]))
            return false;
        if (s < 260 && ((e >> MATCH_TOTAL_SHIFT) & 63) != 7)
            return false;
    }
    return true;
}
static_assert(match_entries_agree(), "main_entry gives each symbol the constant tables' fields");

// The symbol loop with the bit stream, ring position and counters in
// locals and the tables' decode entries. Far from the ends (the call's
// limit, the block's count, the ring's end and the refill point of the
// bit reader's buffer) it runs steps with no bounds checks of their own;
// near them it takes one reference_step at a time. It reads the same bits
// and leaves the same state as decode_symbols_reference on any input,
// damaged ones included. Inlined into one function per instruction set.
template <typename W>
__attribute__((always_inline)) inline void symbol_loop(JobContext& cx)
{
    constexpr bool WIDE = sizeof(W) == 8;
    LzDecoder& lz = cx.lz;
    Dictionary& d = cx.dict;
    uint8_t* const ring = d.dict_bytes;
    const uint32_t ring_mask = d.dict_mask;
    const uint32_t ring_size = d.dict_size;
#if KELVO_LZ_MATCH_ENTRIES
    const uint32_t* const main_entries = lz.main_entries;
#else
    const uint16_t* const main_entries = lz.main_code.fast;
#endif
    const uint16_t* const length_entries = lz.length_code.fast;
    constexpr uint32_t FIRST_MATCH_ENTRY = 256u << FAST_LENGTH_BITS;
    // Up to three symbols per step: the first two of them literals.
    constexpr uint32_t STEP_SYMBOLS = 3;
    // A match of MATCH_MARGIN bytes from any step's start stays inside,
    // with what its copy may write past it.
    [[maybe_unused]] constexpr uint32_t OVERSHOOT = KELVO_LZ_OVERSHOOT ? COPY_OVERSHOOT : 0;
    uint8_t* const ring_fast_end = ring + (ring_size - (KELVO_LZ_OVERSHOOT ? FAST_RUN_TAIL : MATCH_MARGIN));

    for (;;) {
        // A count read as 0 runs on from 65,535: the counter wraps as 16 bits.
        // A step's literals need no checks of their own: steps start while
        // out is below last, where the literals all still lie before stop.
        if (lz.call_produced + int(STEP_SYMBOLS - 1) < lz.call_limit &&
            uint16_t(lz.block_symbols_left) >= STEP_SYMBOLS && bit_position(cx.bits) < REFILL_BIT_POSITION &&
            ring + d.dict_pos + (STEP_SYMBOLS - 1) < ring_fast_end) {
            LoopBits<W> b = loop_bits_at<W>(cx.bits);
            uint8_t* const start = ring + d.dict_pos;
            // The call ends as soon as its limit is reached: the steps that
            // may reach it with a literal are the reference steps'.
            uint8_t* stop = std::min(start + (lz.call_limit - lz.call_produced), ring_fast_end);
#if KELVO_LZ_OVERSHOOT
            // What the run may overwrite before it writes it for good: the
            // bytes from start to the end of its last match and overshoot.
            stop = std::min(stop, start + FAST_RUN_BYTES);
            uint8_t* const saved = lz.ring_saved;
            std::memcpy(saved, start, size_t(stop - start) + FAST_RUN_TAIL);
#endif
            uint8_t* const last = stop - (STEP_SYMBOLS - 1);
            uint8_t* out = start;
            uint32_t left = uint16_t(lz.block_symbols_left);
            // The history in a local copy, which the stores through out
            // cannot alias (an array: kept in four registers and moved by
            // selects it measured slower, the registers being short).
            uint32_t newest = uint32_t(lz.history_index) & 3;
            uint32_t history[HISTORY_SIZE];
            std::copy(std::begin(lz.distance_history), std::end(lz.distance_history), history);
            // Steps that can run before the block's count is near (a step
            // takes at most STEP_SYMBOLS symbols) or that start below the
            // refill point (a step takes at most MAX_STEP_BITS bits),
            // counted down and then worked out again: one test in place of
            // two. The position is at most a step past the point, so room
            // does not wrap, and it is 0 there.
            const auto steps_allowed = [&] {
                const uint32_t position =
                    uint32_t(b.next - cx.bits.stream_bytes) * 8 - (b.held & (LoopBits<W>::BITS - 1));
                const uint32_t room = REFILL_BIT_POSITION + MAX_STEP_BITS - 1 - position;
                return std::min(left / STEP_SYMBOLS, room / MAX_STEP_BITS);
            };
            uint32_t steps = 1;  // the entry conditions allow the first
            // Every step ends with the next step's main entry, looked up
            // before its match is copied: a mispredicted branch of the copy
            // then does not take that lookup with it.
            refill_loose(b);
            uint32_t entry = main_entries[peek_entry_index(b)];
            do {
                if (entry < FIRST_MATCH_ENTRY) {
                    consume_entry(b, entry);
                    *out++ = uint8_t(entry >> FAST_LENGTH_BITS);
                    entry = main_entries[peek_entry_index(b)];
                    if (entry < FIRST_MATCH_ENTRY) {
                        consume_entry(b, entry);
                        *out++ = uint8_t(entry >> FAST_LENGTH_BITS);
                        if constexpr (!WIDE) {
                            left -= 2;
                            refill_loose(b);
                            entry = main_entries[peek_entry_index(b)];
                            continue;
                        }
                        entry = main_entries[peek_entry_index(b)];
                        if (entry < FIRST_MATCH_ENTRY) {
                            consume_entry(b, entry);
                            *out++ = uint8_t(entry >> FAST_LENGTH_BITS);
                            left -= 3;
                            entry = main_entries[peek_entry_index(b)];
                            refill_loose(b);
                            continue;
                        }
                        left -= 2;
                        refill_loose(b);
                    } else {
                        left -= 1;
                        if constexpr (WIDE)
                            refill_loose(b);
                    }
                }
                --left;
                uint32_t v;
                uint32_t base;
                // Entry r moves to the front, the newer ones move back; a
                // new value replaces the oldest.
#if KELVO_LZ_MATCH_ENTRIES
                if (!(entry & MATCH_NEW_DISTANCE)) {
                    consume_entry(b, entry);
                    const uint32_t r = (entry >> FAST_LENGTH_BITS) & 3;
                    v = history[(newest - r) & 3];
                    for (uint32_t j = r; j > 0; --j)
                        history[(newest - j) & 3] = history[(newest - j + 1) & 3];
                } else {
                    const uint32_t extra_bits = (entry >> MATCH_EXTRA_SHIFT) & 31;
                    uint32_t extra;
                    if constexpr (WIDE) {
                        // The code and its extra bits in one shift; a
                        // match's code takes at least one bit.
                        const uint32_t total = (entry >> MATCH_TOTAL_SHIFT) & 63;
                        const W before = b.bits;
                        b.bits <<= total;
                        b.held -= total;
                        extra = uint32_t((before >> 1) >> (63 - total)) & ((1u << extra_bits) - 1);
                    } else {
                        consume_entry(b, entry);
                        refill_loose(b);
                        extra = take_bits(b, extra_bits);
                    }
                    v = ((entry >> 30) & 1) << extra_bits | extra;
                    newest = (newest + 1) & 3;
                }
                history[newest] = v;
                base = (entry >> MATCH_BASE_SHIFT) & 7;
#else
                consume_entry(b, entry);
                const uint32_t s = entry >> FAST_LENGTH_BITS;
                if (s <= 259) {
                    const uint32_t r = s - 256;
                    v = history[(newest - r) & 3];
                    for (uint32_t j = r; j > 0; --j)
                        history[(newest - j) & 3] = history[(newest - j + 1) & 3];
                } else {
                    const uint32_t k = s - 260;
                    if constexpr (!WIDE)
                        refill_loose(b);
                    v = DISTANCE_BASE[k] + take_bits(b, DISTANCE_EXTRA_BITS[k]);
                    newest = (newest + 1) & 3;
                }
                history[newest] = v;
                base = MATCH_LENGTH_BASE[s - 256];
#endif
                // With 64-bit words the refill comes after the lookup (see
                // STEP_START_BITS). With 32-bit ones it comes first: the
                // other order, though the bits would suffice (a refill
                // leaves the whole word the stream's), measured some 4 %
                // faster in a 32-bit Linux build and 6 % slower in the
                // 32-bit Windows build under Wine.
                if constexpr (!WIDE)
                    refill_loose(b);
                const uint32_t length_entry = length_entries[peek_entry_index(b)];
                if constexpr (WIDE)
                    refill_loose(b);
                consume_entry(b, length_entry);
                const uint32_t length = (length_entry >> FAST_LENGTH_BITS) + base;
                if constexpr (!WIDE)
                    refill_loose(b);
                entry = main_entries[peek_entry_index(b)];
                const uint32_t pos = uint32_t(out - ring);
                const uint32_t src = (pos - (v + 1)) & ring_mask;
#if KELVO_LZ_OVERSHOOT
                // Of the bytes ahead of out, those that an earlier copy's
                // overshoot may have changed are the next OVERSHOOT ones.
                if (src - pos < OVERSHOOT) [[unlikely]] {
                    const uint8_t* from = saved + (ring + src - start);
                    for (uint32_t k = 0; k < length; ++k)
                        out[k] = from[k];
                } else if (src + length + OVERSHOOT <= ring_size) [[likely]] {
                    copy_overshooting(out, ring + src, length);
                } else
#endif
                if (src + length <= ring_size) [[likely]] {
                    copy_unwrapped(out, ring + src, length);
                } else {
                    for (uint32_t k = 0, from = src; k < length; ++k, from = (from + 1) & ring_mask)
                        out[k] = ring[from];
                }
                out += length;
            } while (out < last && (--steps != 0 || (steps = steps_allowed()) != 0));
#if KELVO_LZ_OVERSHOOT
            std::memcpy(out, saved + (out - start), OVERSHOOT);
#endif
            const bool refilled = loop_bits_leave(cx, b);
            lz.history_index = int16_t(newest);
            std::copy(history, history + HISTORY_SIZE, lz.distance_history);
            const uint32_t produced = uint32_t(out - start);
            lz.call_produced = int16_t(lz.call_produced + int32_t(produced));
            lz.block_symbols_left = int16_t(left);
            d.dict_pos = uint32_t(out - ring) & ring_mask;
            if (refilled)
                continue;  // a run may go on from the new buffer at once
        }
        if (!reference_step<true>(cx))
            return;
    }
}

#if KELVO_LZ_BMI2
// Shifts by a register amount without the count register and without
// touching the flags: the bit stream's shifts are most of the loop.
__attribute__((target("bmi2"))) void symbol_loop_bmi2_wide(JobContext& cx) { symbol_loop<uint64_t>(cx); }
__attribute__((target("bmi2"))) void symbol_loop_bmi2_narrow(JobContext& cx) { symbol_loop<uint32_t>(cx); }
#endif

void symbol_loop_wide(JobContext& cx) { symbol_loop<uint64_t>(cx); }
void symbol_loop_narrow(JobContext& cx) { symbol_loop<uint32_t>(cx); }

}  // namespace

int lz_bmi2_available()
{
#if KELVO_LZ_BMI2
    unsigned a, b, c, d;
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_BMI2) ? 1 : 0;
#else
    return 0;
#endif
}

int lz_default_loop()
{
    // 64-bit words where registers hold them, else 32-bit ones.
    return (sizeof(void*) < 8 ? LZ_LOOP_NARROW : 0) | (lz_bmi2_available() ? LZ_LOOP_BMI2 : 0);
}

void decode_symbols(JobContext& cx)
{
    const uint8_t loop = cx.lz.loop;
#if KELVO_LZ_BMI2
    if (loop & LZ_LOOP_BMI2) {
        if (loop & LZ_LOOP_NARROW)
            symbol_loop_bmi2_narrow(cx);
        else
            symbol_loop_bmi2_wide(cx);
        return;
    }
#endif
#if defined(KELVO_SMALL_CODE) && !defined(KELVO_ALL_LOOP_FORMS)
    (void)loop;
    if constexpr (sizeof(void*) < 8)
        symbol_loop_narrow(cx);
    else
        symbol_loop_wide(cx);
#else
    if (loop & LZ_LOOP_NARROW)
        symbol_loop_narrow(cx);
    else
        symbol_loop_wide(cx);
#endif
}
