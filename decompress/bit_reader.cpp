#include "decompress/bit_reader.h"

#include <algorithm>
#include <cstring>

#include "archive/packed.h"
#include "extract/job.h"

#if (defined(__x86_64__) || defined(__i386__)) && !defined(KELVO_SMALL_CODE)
#include <immintrin.h>
#define KELVO_MIRROR_SHUFFLE 1
#else
#define KELVO_MIRROR_SHUFFLE 0
#endif

namespace {

#if KELVO_MIRROR_SHUFFLE
#if defined(__i386__)
// 32-bit Windows threads may start with a stack aligned to 4 bytes only.
#define KELVO_MIRROR_ALIGN __attribute__((force_align_arg_pointer))
#else
#define KELVO_MIRROR_ALIGN
#endif
// Four words reversed by one byte shuffle.
__attribute__((target("ssse3"))) KELVO_MIRROR_ALIGN void mirror_words_shuffled(const uint8_t* from, uint8_t* bytes)
{
    const __m128i reverse_words = _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    static_assert(INPUT_BYTES % 32 == 0);
    for (uint32_t k = 0; k < uint32_t(INPUT_BYTES); k += 32) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + k));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + k + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes + k), _mm_shuffle_epi8(a, reverse_words));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes + k + 16), _mm_shuffle_epi8(b, reverse_words));
    }
}
#endif

void mirror_words(JobContext& cx)
{
    const uint32_t* words = cx.job.input_words;
    uint8_t* bytes = cx.bits.stream_bytes;
#if KELVO_MIRROR_SHUFFLE
    if (__builtin_cpu_supports("ssse3")) {
        mirror_words_shuffled(reinterpret_cast<const uint8_t*>(words), bytes);
        return;
    }
#endif
    if constexpr (std::endian::native == std::endian::little) {
        // Two words at a time: swapping all eight bytes reverses each
        // word and exchanges the two, which the rotation undoes.
        const uint8_t* from = reinterpret_cast<const uint8_t*>(words);
        static_assert(INPUT_BYTES % 8 == 0);
        for (uint32_t k = 0; k < uint32_t(INPUT_BYTES); k += 8) {
            uint64_t v;
            std::memcpy(&v, from + k, 8);
            v = std::rotl(__builtin_bswap64(v), 32);
            std::memcpy(bytes + k, &v, 8);
        }
    } else {
        for (uint32_t k = 0; k < uint32_t(INPUT_WORDS); ++k) {
            const uint32_t v = input_word(words, k);
            std::memcpy(bytes + 4 * k, &v, 4);
        }
    }
}

void rewind_to_start(JobContext& cx)
{
    mirror_words(cx);
    cx.bits.word_index = 0;
    cx.bits.bit_offset = 0;
    cx.bits.bit_window = input_word(cx.job.input_words, 0);
}

}  // namespace

void start_bits(JobContext& cx)
{
    // A short read leaves the tail of the buffer as it was; the decoders stop
    // by their output counts and never need those words on a sound stream.
    read_packed(cx, cx.job.input_words, INPUT_BYTES);
    rewind_to_start(cx);
}

void start_bits_from_memory(JobContext& cx, const void* src, uint32_t len)
{
    if (current_status(cx) == STATUS_OK)
        std::memcpy(cx.job.input_words, src, std::min<uint32_t>(len, INPUT_BYTES));
    rewind_to_start(cx);
}

uint32_t peek_bits(const JobContext& cx, int n)
{
    return cx.bits.bit_window >> (32 - n);
}

void skip_bits(JobContext& cx, int n)
{
    BitReader& bits = cx.bits;
    const int offset = bits.bit_offset + n;
    bits.word_index = int16_t(bits.word_index + (offset >> 5));
    bits.bit_offset = int16_t(offset & 31);
    // n <= 32 and bit_offset <= 31 advance the word by at most one, so the
    // refill point cannot be jumped over.
    if (bits.word_index == REFILL_WORD_INDEX)
        refill_words(cx);
    bits.bit_window = window_at(cx.job.input_words, bit_position(bits));
}

uint32_t read_bits(JobContext& cx, int n)
{
    const uint32_t value = peek_bits(cx, n);
    skip_bits(cx, n);
    return value;
}

void refill_words(JobContext& cx)
{
    uint32_t* words = cx.job.input_words;
    cx.bits.word_index = int16_t(cx.bits.word_index - REFILL_WORD_INDEX);
    words[0] = words[REFILL_WORD_INDEX];
    words[1] = words[REFILL_WORD_INDEX + 1];
    read_packed(cx, words + 2, REFILL_BYTES);
    mirror_words(cx);
}
