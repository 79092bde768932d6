// Packed bits: 32-bit little-endian words consumed from bit 31 down, with a
// window that always holds the next 32 unread bits.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

struct JobContext;

constexpr int INPUT_BYTES = 4096;
constexpr int INPUT_WORDS = INPUT_BYTES / 4;
constexpr int REFILL_WORD_INDEX = INPUT_WORDS - 2;  // 1022
constexpr int REFILL_BYTES = REFILL_WORD_INDEX * 4;  // 4088
static_assert(REFILL_BYTES == 4088);

constexpr int STREAM_SLACK_BYTES = 16;

struct BitReader {
    // input_words itself is one of the job's work buffers (ExtractJob).
    int16_t word_index;
    int16_t bit_offset;
    uint32_t bit_window;
    // input_words with every word's bytes most significant first: the
    // stream's bits in reading order as bytes, so that the LZ77 loop loads
    // 64 of them at any byte. Remade whenever input_words is filled by the
    // operations below; the slack after it is only ever loaded, never used.
    uint8_t stream_bytes[INPUT_BYTES + STREAM_SLACK_BYTES];
};

void start_bits(JobContext& cx);
void start_bits_from_memory(JobContext& cx, const void* src, uint32_t len);
uint32_t peek_bits(const JobContext& cx, int n);
void skip_bits(JobContext& cx, int n);
uint32_t read_bits(JobContext& cx, int n);
void refill_words(JobContext& cx);

// Word k of the input buffer as a number: the buffer holds the packed bytes
// as they arrived, and byte 4k is the word's least significant byte.
inline uint32_t input_word(const uint32_t* words, uint32_t k)
{
    if constexpr (std::endian::native == std::endian::little) {
        return words[k];
    } else {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(words + k);
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
}

// The 32 bits that start bit_position bits into the buffer (word_index * 32
// + bit_offset). Reads words k and k + 1, so k must stay below INPUT_WORDS - 1.
inline uint32_t window_at(const uint32_t* words, uint32_t bit_position)
{
    const uint32_t k = bit_position >> 5;
    const uint64_t pair = uint64_t(input_word(words, k)) << 32 | input_word(words, k + 1);
    // A 64-bit shift by 0..31 keeps the "second word contributes nothing at
    // offset 0" rule without a branch.
    return uint32_t((pair << (bit_position & 31)) >> 32);
}

// The bit reader's stream in a register, as a 64-bit left-aligned buffer
// over the stream's bytes (BitReader::stream_bytes): its top bits_held bits
// are the next bits of the stream, and the bits below them are either the
// stream's next ones too or 0; next_byte * 8 is the stream position just
// past the held bits. A refill ORs in the 8 bytes at next_byte and counts
// as held the whole bytes that fit, with no branch: afterwards 56 to 63
// bits are held, so every shift stays below 64.
struct BitStream {
    uint64_t bits;
    uint32_t bits_held;
    const uint8_t* next_byte;
};

constexpr uint32_t REFILL_GUARANTEE = 56;

inline uint64_t load_be64(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::little)
        v = __builtin_bswap64(v);
    return v;
}

inline void refill(BitStream& b)
{
    b.bits |= load_be64(b.next_byte) >> b.bits_held;
    b.next_byte += (63 - b.bits_held) >> 3;
    b.bits_held |= 56;
}

inline void consume(BitStream& b, uint32_t n)
{
    b.bits <<= n;
    b.bits_held -= n;
}

inline uint32_t peek(const BitStream& b, uint32_t n) { return uint32_t(b.bits >> (64 - n)); }

constexpr uint32_t REFILL_BIT_POSITION = uint32_t(REFILL_WORD_INDEX) * 32;
// bit_stream_at leaves next_byte this far past the position's byte.
constexpr uint32_t BIT_STREAM_LOOKAHEAD_BYTES = 7;

inline uint32_t bit_position(const BitReader& bits) { return uint32_t(bits.word_index) * 32 + uint32_t(bits.bit_offset); }

// A BitStream at the reader's position. It may load up to 8 bytes past
// next_byte and never refills the reader's buffer: its user stops short
// of REFILL_BIT_POSITION and of the buffer's end.
inline BitStream bit_stream_at(const BitReader& bits)
{
    const uint32_t position = bit_position(bits);
    const uint8_t* at = bits.stream_bytes + (position >> 3);
    BitStream b;
    b.bits = load_be64(at) << (position & 7);
    b.bits_held = 56 - (position & 7);
    b.next_byte = at + BIT_STREAM_LOOKAHEAD_BYTES;
    return b;
}

// Moves the reader to where the BitStream has got, with its window.
inline void bit_stream_store(BitReader& bits, const BitStream& b, const uint32_t* words)
{
    const uint32_t position = uint32_t(b.next_byte - bits.stream_bytes) * 8 - b.bits_held;
    bits.word_index = int16_t(position >> 5);
    bits.bit_offset = int16_t(position & 31);
    bits.bit_window = window_at(words, position);
}
