// Archive headers: the on-disk layout, the record every header is read
// into, and the walk over them.
#pragma once

#include <cstdint>

struct JobContext;

constexpr uint8_t HEADER_TYPE_MAIN = 0;
constexpr uint8_t HEADER_TYPE_FILE = 1;

constexpr uint16_t FLAG_DATA_SIZE = 0x0001;
constexpr uint16_t FLAG_COMMENT = 0x0002;
constexpr uint16_t FLAG_CONTINUED_NEXT = 0x2000;
constexpr uint16_t FLAG_REFUSED = 0x4000;
constexpr uint16_t FLAG_SOLID = 0x8000;

constexpr char ACE_SIGNATURE[] = "**ACE**";
constexpr int ACE_SIGNATURE_LENGTH = 7;

constexpr int HEADER_PREFIX_SIZE = 4;          // header_crc, header_size
constexpr int HEADER_KEEP_SIZE = 2040;         // body bytes kept in header_buffer
constexpr int HEADER_CHUNK_SIZE = 1024;        // chunks of longer bodies, CRC only
constexpr int SEARCH_WINDOW_SIZE = 1024;
constexpr int SEARCH_KEEP_SIZE = 512;
constexpr int32_t SEARCH_LIMIT = 65536;
constexpr int MAIN_FIXED_SIZE = 27;            // body bytes of a main header's fixed part
constexpr int FILE_FIXED_SIZE = 31;            // body bytes of a file header's fixed part
constexpr int MAIN_VARIABLE_SIZE = HEADER_KEEP_SIZE - MAIN_FIXED_SIZE + 14;  // 2027
constexpr int FILE_VARIABLE_SIZE = HEADER_KEEP_SIZE - FILE_FIXED_SIZE + 15;  // 2024
static_assert(MAIN_VARIABLE_SIZE == 2027 && FILE_VARIABLE_SIZE == 2024);

constexpr uint32_t ATTR_READ_ONLY = 0x01;
constexpr uint32_t ATTR_DIRECTORY = 0x10;
constexpr uint8_t METHOD_STORED = 0;
constexpr uint8_t METHOD_LZ77 = 1;

struct AceMainHeader {
    uint8_t signature[7];
    uint8_t version_needed;
    uint8_t version_made;
    uint8_t host_system;
    uint8_t volume_number;
    uint32_t creation_time;
    uint16_t reserved_a;
    uint16_t reserved_b;
    uint32_t reserved_c;
    uint8_t info_length;
    uint8_t variable[MAIN_VARIABLE_SIZE];  // body from info_text on
};

struct AceFileHeader {
    uint32_t packed_size;  // also the data size of any header with FLAG_DATA_SIZE
    uint32_t unpacked_size;
    uint32_t file_time;
    uint32_t file_attributes;
    uint32_t file_crc;
    uint8_t method;
    uint8_t quality;
    uint16_t parameter;
    uint16_t reserved;
    uint16_t name_length;
    uint8_t variable[FILE_VARIABLE_SIZE];  // body from name on
};

// The most recently read header. The two views share storage, so the data
// size of a main header lands where a file header keeps packed_size.
struct AceHeader {
    uint16_t header_crc;
    uint16_t header_size;
    uint8_t header_type;
    uint16_t header_flags;
    union {
        AceMainHeader main;
        AceFileHeader file;
    };
};

// Why read_header returned what it did: the walk's end is a fact the hosts
// are told (the end of the data, or something that ended it early).
enum HeaderEnd : uint8_t {
    HEADER_READ = 0,         // read whole (its check may still have failed when not strict)
    HEADER_AT_END,           // no byte left where the next header would begin
    HEADER_CUT_SHORT,        // the data ends, or cannot be read, inside a header or a data area
    HEADER_CHECK_FAILED,     // read whole, but its CRC is wrong
};

struct HeaderReader {
    AceHeader header;
    uint32_t packed_remaining;      // bytes of the current data area not yet read
    int32_t archive_solid;          // main header found has FLAG_SOLID
    int32_t archive_volume_number;  // volume_number of the main header found
    int32_t header_offset;          // where the last header read began in its stream
    uint8_t header_end;             // HeaderEnd of the last read
    uint8_t data_cut_short;         // a read of the current data area met the end of the data
};

// Returns 1 when the next header was read whole and its CRC is right; sets
// header_offset and header_end either way.
int read_header(JobContext& cx, int strict);
// Returns 1 when a main header was found by its signature and validated.
int find_main_header(JobContext& cx);
// Opens the stream under job.archive_name and finds the main header;
// returns 0 after telling the user why it could not.
int open_archive(JobContext& cx);
