#include "archive/header.h"

#include <cstring>

#include "extract/job.h"

// Body bytes past the end of a short body read as 0: a header shorter than
// its type's fixed part never shows fields left over from an earlier one.
struct BodyView {
    const uint8_t* bytes;
    uint32_t kept;  // bytes of the body in the buffer

    uint8_t u8(uint32_t at) const { return at < kept ? bytes[at] : 0; }
    uint16_t u16(uint32_t at) const { return uint16_t(u8(at) | u8(at + 1) << 8); }
    uint32_t u32(uint32_t at) const
    {
        return uint32_t(u8(at)) | uint32_t(u8(at + 1)) << 8 | uint32_t(u8(at + 2)) << 16 |
               uint32_t(u8(at + 3)) << 24;
    }
};

// On-disk offsets within the body (the header's offsets less the prefix).
enum : uint32_t {
    BODY_TYPE = 0,
    BODY_FLAGS = 1,
    BODY_DATA_SIZE = 3,
    MAIN_SIGNATURE = 3,
    MAIN_VERSION_NEEDED = 10,
    MAIN_VERSION_MADE = 11,
    MAIN_HOST_SYSTEM = 12,
    MAIN_VOLUME_NUMBER = 13,
    MAIN_CREATION_TIME = 14,
    MAIN_RESERVED_A = 18,
    MAIN_RESERVED_B = 20,
    MAIN_RESERVED_C = 22,
    MAIN_INFO_LENGTH = 26,
    FILE_PACKED_SIZE = 3,
    FILE_UNPACKED_SIZE = 7,
    FILE_TIME = 11,
    FILE_ATTRIBUTES = 15,
    FILE_CRC = 19,
    FILE_METHOD = 23,
    FILE_QUALITY = 24,
    FILE_PARAMETER = 25,
    FILE_RESERVED = 27,
    FILE_NAME_LENGTH = 29,
};
static_assert(MAIN_INFO_LENGTH + 1 == MAIN_FIXED_SIZE);
static_assert(FILE_NAME_LENGTH + 2 == FILE_FIXED_SIZE);

static void fill_main(AceMainHeader& h, const BodyView& body)
{
    for (uint32_t i = 0; i < ACE_SIGNATURE_LENGTH; i++)
        h.signature[i] = body.u8(MAIN_SIGNATURE + i);
    h.version_needed = body.u8(MAIN_VERSION_NEEDED);
    h.version_made = body.u8(MAIN_VERSION_MADE);
    h.host_system = body.u8(MAIN_HOST_SYSTEM);
    h.volume_number = body.u8(MAIN_VOLUME_NUMBER);
    h.creation_time = body.u32(MAIN_CREATION_TIME);
    h.reserved_a = body.u16(MAIN_RESERVED_A);
    h.reserved_b = body.u16(MAIN_RESERVED_B);
    h.reserved_c = body.u32(MAIN_RESERVED_C);
    h.info_length = body.u8(MAIN_INFO_LENGTH);
    if (body.kept > MAIN_FIXED_SIZE)
        std::memcpy(h.variable, body.bytes + MAIN_FIXED_SIZE, body.kept - MAIN_FIXED_SIZE);
}

static void fill_file(AceFileHeader& h, const BodyView& body)
{
    h.packed_size = body.u32(FILE_PACKED_SIZE);
    h.unpacked_size = body.u32(FILE_UNPACKED_SIZE);
    h.file_time = body.u32(FILE_TIME);
    h.file_attributes = body.u32(FILE_ATTRIBUTES);
    h.file_crc = body.u32(FILE_CRC);
    h.method = body.u8(FILE_METHOD);
    h.quality = body.u8(FILE_QUALITY);
    h.parameter = body.u16(FILE_PARAMETER);
    h.reserved = body.u16(FILE_RESERVED);
    h.name_length = body.u16(FILE_NAME_LENGTH);
    if (body.kept > FILE_FIXED_SIZE)
        std::memcpy(h.variable, body.bytes + FILE_FIXED_SIZE, body.kept - FILE_FIXED_SIZE);
}

// Skips the rest of the previous data area. A data size can be anything up
// to 4 GiB - 1, which no signed 32-bit seek offset holds: a skip that would
// go past the largest position parks the stream there instead, where every
// read delivers nothing (no stream is that long).
static void skip_data_area(JobContext& cx)
{
    int64_t target = int64_t(cx.stream.stream_position) + int64_t(cx.reader.packed_remaining);
    if (target > INT32_MAX)
        target = INT32_MAX;
    stream_seek(cx.stream, cx.job.archive_handle, int32_t(target), 0);
}

int read_header(JobContext& cx, int strict)
{
    HeaderReader& r = cx.reader;
    AceHeader& h = r.header;
    const intptr_t handle = cx.job.archive_handle;

    // A data area that reaches past the end of the data means the archive
    // was cut short inside an entry, not that it ended.
    const int64_t next = int64_t(cx.stream.stream_position) + int64_t(r.packed_remaining);
    const bool area_cut = r.data_cut_short || next > int64_t(cx.stream.stream_length);
    r.data_cut_short = 0;
    skip_data_area(cx);
    r.header_offset = cx.stream.stream_position;
    r.header_end = HEADER_CUT_SHORT;

    uint8_t prefix[HEADER_PREFIX_SIZE];
    const int32_t got = stream_read(cx.stream, handle, prefix, HEADER_PREFIX_SIZE);
    if (got < HEADER_PREFIX_SIZE) {
        if (got == 0 && !area_cut)
            r.header_end = HEADER_AT_END;
        return 0;
    }
    h.header_crc = uint16_t(prefix[0] | prefix[1] << 8);
    h.header_size = uint16_t(prefix[2] | prefix[3] << 8);

    const uint32_t size = h.header_size;
    const uint32_t kept = size < HEADER_KEEP_SIZE ? size : HEADER_KEEP_SIZE;
    uint8_t* buffer = cx.job.header_buffer;
    // (Compared as signed: a read error is -1.)
    if (stream_read(cx.stream, handle, buffer, kept) < int32_t(kept))
        return 0;
    uint32_t crc = crc_update(cx.crc, CRC_INIT, buffer, kept);

    // Bodies longer than the kept part only complete the CRC.
    for (uint32_t left = size - kept; left > 0;) {
        uint32_t chunk = left < HEADER_CHUNK_SIZE ? left : HEADER_CHUNK_SIZE;
        if (stream_read(cx.stream, handle, cx.job.scan_buffer, chunk) < int32_t(chunk))
            return 0;
        crc = crc_update(cx.crc, crc, cx.job.scan_buffer, chunk);
        left -= chunk;
    }

    const BodyView body{buffer, kept};
    h.header_type = body.u8(BODY_TYPE);
    h.header_flags = body.u16(BODY_FLAGS);
    if (h.header_flags & FLAG_DATA_SIZE) {
        h.file.packed_size = body.u32(BODY_DATA_SIZE);
        r.packed_remaining = h.file.packed_size;
    } else {
        r.packed_remaining = 0;
    }

    const int valid = h.header_crc == uint16_t(crc);
    r.header_end = valid ? HEADER_READ : HEADER_CHECK_FAILED;
    if (!valid && strict)
        return 0;

    if (h.header_type == HEADER_TYPE_MAIN)
        fill_main(h.main, body);
    else if (h.header_type == HEADER_TYPE_FILE)
        fill_file(h.file, body);
    return valid;
}

int find_main_header(JobContext& cx)
{
    HeaderReader& r = cx.reader;
    const intptr_t handle = cx.job.archive_handle;
    uint8_t* window = cx.job.scan_buffer;

    StreamStat st{};
    stream_size(cx.stream, handle, &st);
    const int64_t length = st.size;
    std::memset(window, 0, SEARCH_WINDOW_SIZE);
    int32_t total = 0;
    int32_t keep = 0;

    for (;;) {
        if (int64_t(cx.stream.stream_position) >= length || total >= SEARCH_LIMIT)
            return 0;
        const int32_t start = total - keep;
        // Nothing read before the end (a read error, or a file cut short
        // since it was opened): no progress is possible.
        const int32_t got = stream_read(cx.stream, handle, window + keep, uint32_t(SEARCH_WINDOW_SIZE - keep));
        if (got <= 0)
            return 0;
        total += got;

        for (int i = 0; i <= SEARCH_WINDOW_SIZE - ACE_SIGNATURE_LENGTH; i++) {
            if (std::memcmp(window + i, ACE_SIGNATURE, ACE_SIGNATURE_LENGTH) != 0)
                continue;
            // A candidate's body past its first 2040 bytes is read through
            // this same buffer: without the copy, a rejected long candidate
            // would leave chunk bytes in the window, hiding the signatures
            // still to come and showing ones that are not in the data.
            uint8_t searched[SEARCH_WINDOW_SIZE];
            std::memcpy(searched, window, SEARCH_WINDOW_SIZE);
            r.packed_remaining = 0;
            stream_seek(cx.stream, handle, start + i - ACE_SIGNATURE_LENGTH, 0);
            if (read_header(cx, 0)) {
                r.archive_solid = (r.header.header_flags & FLAG_SOLID) != 0;
                r.archive_volume_number = r.header.main.volume_number;
                return 1;
            }
            std::memcpy(window, searched, SEARCH_WINDOW_SIZE);
        }

        stream_seek(cx.stream, handle, total, 0);
        std::memmove(window, window + SEARCH_KEEP_SIZE, SEARCH_WINDOW_SIZE - SEARCH_KEEP_SIZE);
        keep = SEARCH_KEEP_SIZE;
    }
}

int open_archive(JobContext& cx)
{
    cx.job.archive_handle = stream_open(cx.stream, cx.job.archive_name, STREAM_MODE_BINARY, 0);
    if (cx.job.archive_handle == STREAM_OPEN_FAILED) {
        cx.host->show_message("Damaged archive");
        return 0;
    }
    if (find_main_header(cx))
        return 1;
    cx.host->show_message("Archive data is damaged");
    stream_close(cx.stream, cx.job.archive_handle);
    return 0;
}
