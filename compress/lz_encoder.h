// The LZ77 packer: turns the bytes of one entry into the bit stream of
// blocks that the decoder reads back. One encoder serves a whole archive;
// in a solid archive its window runs on from entry to entry.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "compress/match_finder.h"
#include "compress/stream_window.h"

#include "decompress/huffman.h"

constexpr int MIN_DICT_BITS = 10;
constexpr int MAX_DICT_BITS = 20;
constexpr int MIN_LEVEL = 1;
constexpr int MAX_LEVEL = 9;
constexpr int DEFAULT_LEVEL = 6;
constexpr uint32_t MAX_BLOCK_SYMBOLS = 32767;  // a count of 0 would mean 65536

struct LzEncoderOptions {
    int dict_bits = MAX_DICT_BITS;
    int level = DEFAULT_LEVEL;
    // Tests shape the block structure with these two.
    uint32_t max_block_symbols = MAX_BLOCK_SYMBOLS;
    bool adaptive_blocks = true;  // start new tables where they pay
};

// What the parser decides at one position.
enum : uint8_t { OP_LITERAL = 0, OP_REP0 = 1, OP_NEW_DISTANCE = 5 };
// Inside the parse only: the match is followed by literals and a rep 0.
constexpr uint8_t OP_THEN_REP0 = 0x80;
struct ParseOp {
    uint32_t value;   // literal byte, or coded distance value
    uint16_t length;  // 1 for a literal
    uint8_t kind;     // OP_LITERAL, OP_REP0 + r, OP_NEW_DISTANCE
};

struct SymbolStats {
    uint32_t main[283];
    uint32_t length[256];
};

struct LzEncoder {
    LzEncoderOptions options;
    StreamWindow* window = nullptr;  // the stream: every entry's bytes in order
    std::unique_ptr<StreamWindow> own_window;
    uint64_t finder_base = 0;  // the stream position of the finder's position 0
    uint64_t position = 0;     // where the segment being packed ends
    MatchFinder finder;
    CodeTableWork codes{};  // the decoder's table build assigns the codes
    SymbolStats carried{};              // statistics of the last segment
    bool have_carried = false;
    // The parse's and the block choice's arrays, kept from entry to entry
    // (a solid archive of small files would build them again each time).
    std::unique_ptr<struct LzScratch> scratch;
    // What the last encoded entry holds, for tests and reports: its block
    // sizes, its farthest match distance and the earliest stream position
    // a match of it copies from (its begin when it has no match).
    std::vector<uint32_t> last_block_symbols;
    uint64_t last_max_distance = 0;
    uint64_t last_lowest_source = 0;
    LzEncoder();
    ~LzEncoder();
};

// Binds the encoder to a stream read through a window (it must outlive
// the encoder). False when there is no memory for its match tables.
bool lz_encoder_init(LzEncoder& enc, const LzEncoderOptions& options, StreamWindow& window);
// Binds the encoder to a whole stream in memory.
bool lz_encoder_init(LzEncoder& enc, const LzEncoderOptions& options, const uint8_t* data, uint64_t size);

// Starts a new independent stream at pos: no match reaches before it.
// A solid archive calls it once, at 0; any other archive per entry.
void lz_start_stream(LzEncoder& enc, uint64_t pos);

// Packs bytes [begin, end) of the stream into one entry's bit stream,
// whole words. Entries must be packed in order and none skipped: an entry
// that will be stored is packed all the same, which puts its bytes in the
// window for the entries after it. The packed bytes go to out as they are
// made (whole words); false when out refuses them or the stream cannot
// be read.
using PackedBytesSink = std::function<bool(const uint8_t* bytes, size_t size)>;
bool lz_encode_entry(LzEncoder& enc, uint64_t begin, uint64_t end, const PackedBytesSink& out);
// The same into one vector (empty when the stream cannot be read).
std::vector<uint8_t> lz_encode_entry(LzEncoder& enc, uint64_t begin, uint64_t end);

// Coded distance value to main symbol and extra bits, and its length base.
inline int distance_symbol(uint32_t value, int& extra_bits)
{
    if (value < 2) {
        extra_bits = 0;
        return 260 + static_cast<int>(value);
    }
    int n = 31 - __builtin_clz(value);
    extra_bits = n;
    return 261 + n;
}
inline uint32_t distance_length_base(uint32_t value)
{
    return value <= 255 ? 2 : value <= 8191 ? 3 : 4;
}
inline uint32_t rep_length_base(int r) { return r <= 1 ? 2 : 3; }
