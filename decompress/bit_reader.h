// Packed bits: 32-bit little-endian words consumed from bit 31 down, with a
// window that always holds the next 32 unread bits.
#pragma once

#include <cstdint>

struct JobContext;

constexpr int INPUT_BYTES = 4096;
constexpr int INPUT_WORDS = INPUT_BYTES / 4;
constexpr int REFILL_WORD_INDEX = INPUT_WORDS - 2;  // 1022
constexpr int REFILL_BYTES = REFILL_WORD_INDEX * 4;  // 4088
static_assert(REFILL_BYTES == 4088);

struct BitReader {
    // input_words itself is one of the job's work buffers (ExtractJob).
    int16_t word_index;
    int16_t bit_offset;
    uint32_t bit_window;
};

void start_bits(JobContext& cx);
void start_bits_from_memory(JobContext& cx, const void* src, uint32_t len);
uint32_t peek_bits(const JobContext& cx, int n);
void skip_bits(JobContext& cx, int n);
uint32_t read_bits(JobContext& cx, int n);
void refill_words(JobContext& cx);
