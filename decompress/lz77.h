// Entry contents: stored bytes or LZ77 blocks, delivered portion by portion
// through the job-wide ring (the Dictionary), which a solid archive carries
// from entry to entry.
#pragma once

#include <cstdint>

#include "decompress/huffman.h"

struct JobContext;

constexpr int16_t DICT_MAX_BITS = 20;
constexpr int DICT_BITS_BASE = 10;
// No call's output fits below this: allocation gives up here (status 1)
// rather than halving on toward nothing.
constexpr int16_t DICT_MIN_BITS = 12;
constexpr int HISTORY_SIZE = 4;
constexpr int BLOCK_COUNT_BITS = 15;
constexpr int MATCH_MARGIN = 259;  // the longest match
constexpr uint32_t STORED_CHUNK = 1024;
// A call's output must fit the signed 16-bit counters and the ring (the
// ring holds at least 2^DICT_MIN_BITS bytes): larger requests are served
// as requests of this size.
constexpr uint32_t LZ_MAX_REQUEST = 32768;
static_assert(LZ_MAX_REQUEST - 1 <= INT16_MAX, "a call delivers at most request - 1 bytes");
static_assert((1u << DICT_MIN_BITS) >= 2048, "the smallest ring holds a whole 2048-byte call");
// The symbol loop's match copies (outside the installer stub) store whole
// 16-byte pieces and may write up to COPY_OVERSHOOT bytes past a match's
// end; the bytes there are the ring's oldest, which a later match may still
// read, so a run of the loop covers at most FAST_RUN_BYTES of output and
// keeps their first contents (ring_saved) to read from and to put back.
constexpr uint32_t COPY_OVERSHOOT = 32;
constexpr uint32_t FAST_RUN_BYTES = 2048;
// A run's last step starts before its stop and may take two literals and a
// match, whose copy writes past it: what a run may touch beyond its stop.
constexpr uint32_t FAST_RUN_TAIL = 2 + MATCH_MARGIN + COPY_OVERSHOOT;
constexpr uint32_t RING_SAVED_BYTES = FAST_RUN_BYTES + FAST_RUN_TAIL;
static_assert(FAST_RUN_TAIL < (1u << DICT_MIN_BITS) / 2, "room for a run in the smallest ring");

struct Dictionary {
    uint8_t* dict_bytes;
    uint32_t dict_size;
    uint32_t dict_mask;
    uint32_t dict_pos;
    int16_t dict_bits;
    int16_t dict_fresh;
};

struct LzDecoder {
    uint32_t distance_history[HISTORY_SIZE];
    int16_t history_index;
    int16_t block_symbols_left;
    int16_t call_produced;
    int16_t call_limit;
    uint32_t remaining_size;
    uint32_t entry_crc;
    // Which of its loops decode_symbols runs (LZ_LOOP_ flags), chosen with
    // the ring by lz_default_loop; all give the same results.
    uint8_t loop;
    // Their decode entries are made with every block header: 16-bit ones
    // (fast) in the installer stub, else main_entries for the main code.
    HuffmanTable main_code;
    HuffmanTable length_code;
    uint32_t main_entries[TABLE_SIZE];
    uint8_t ring_saved[RING_SAVED_BYTES];
};

void allocate_dictionary(JobContext& cx);
void begin_entry(JobContext& cx);
uint32_t read_entry_data(JobContext& cx, uint8_t* out, uint32_t request);
// The same as read_entry_data for a caller that drops the bytes (a test, or
// an entry passed over in a solid archive): the CRC is taken where the
// decoder leaves them, which spares a copy of every byte.
uint32_t pass_entry_data(JobContext& cx, uint32_t request);
uint32_t copy_stored(JobContext& cx, uint8_t* out, uint32_t request);
uint32_t decode_lz77(JobContext& cx, uint8_t* out, uint32_t request);
void decode_symbols(JobContext& cx);
int read_block_header(JobContext& cx);
void put_byte(JobContext& cx, uint8_t b);
void copy_match(JobContext& cx, uint32_t distance, uint32_t length);
// The symbol loop's forms: its bit stream in 32-bit words rather than
// 64-bit ones, and built for BMI2's shifts (only where cpuid has them).
constexpr uint8_t LZ_LOOP_NARROW = 1;
constexpr uint8_t LZ_LOOP_BMI2 = 2;
// Set by decode_lz77_reference, whose steps decode through the tables'
// lookup: the others decode by the entries alone, and their block headers
// leave the lookup unfilled.
constexpr uint8_t LZ_LOOP_REFERENCE = 4;
int lz_bmi2_available();
int lz_default_loop();

// Plain forms of the fast operations above, one step at a time through the
// bit reader's and the tables' own functions; tests compare the two.
void copy_match_bytewise(JobContext& cx, uint32_t distance, uint32_t length);
void decode_symbols_reference(JobContext& cx);
// Its context is to be decoded by it throughout.
uint32_t decode_lz77_reference(JobContext& cx, uint8_t* out, uint32_t request);
