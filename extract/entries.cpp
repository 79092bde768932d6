// The loops a command runs over the archive's entries: extract (with or
// without paths), test, and the walk of the listing commands.
#include "extract/entries.h"

#include <cstring>

#include "decompress/comment.h"
#include "extract/job.h"
#include "extract/name_text.h"
#include "extract/output.h"
#include "extract/text.h"

namespace {

const AceFileHeader& file_header(const JobContext& cx) { return cx.reader.header.file; }

// Bytes of the name that really lie in the header's body: a name_length
// reaching past it would otherwise pull in stale bytes of the record.
int name_bytes_available(const JobContext& cx)
{
    int available = int(cx.reader.header.header_size) - FILE_FIXED_SIZE;
    if (available < 0)
        available = 0;
    if (available > FILE_VARIABLE_SIZE)
        available = FILE_VARIABLE_SIZE;
    return available;
}

// The stored name's bytes up to its first NUL, within what the header holds.
size_t stored_name_bytes(const JobContext& cx)
{
    int n = file_header(cx).name_length;
    if (n > NAME_CAPACITY - 1)
        n = NAME_CAPACITY - 1;
    if (n > name_bytes_available(cx))
        n = name_bytes_available(cx);
    const void* zero = std::memchr(file_header(cx).variable, 0, size_t(n));
    return zero ? size_t(static_cast<const uint8_t*>(zero) - file_header(cx).variable) : size_t(n);
}

bool is_name_separator(char c) { return c == '\\' || c == '/'; }

// A component made of dots only ("..", but on Windows also "..." and
// ". ." once the trailing dots and spaces are trimmed the way the system
// trims them) climbs out of its folder.
bool climbs_out(const char* component, size_t length)
{
    if (length == 2 && component[0] == '.' && component[1] == '.')
        return true;
#ifdef _WIN32
    size_t dots = 0;
    for (size_t i = 0; i < length; i++) {
        if (component[i] == '.')
            dots++;
        else if (component[i] != ' ')
            return false;
    }
    return dots >= 2;
#else
    return false;
#endif
}

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

#ifdef _WIN32
char upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name devices in every folder,
// with any extension: a file of that name would be written to the device.
bool names_device(const char* component, size_t length)
{
    size_t base = 0;
    while (base < length && component[base] != '.')
        base++;
    while (base > 0 && component[base - 1] == ' ')
        base--;
    char name[5] = {};
    if (base < 3 || base > 4)
        return false;
    for (size_t i = 0; i < base; i++)
        name[i] = upper(component[i]);
    if (base == 3)
        return !std::strcmp(name, "CON") || !std::strcmp(name, "PRN") || !std::strcmp(name, "AUX") ||
               !std::strcmp(name, "NUL");
    bool numbered = !std::strncmp(name, "COM", 3) || !std::strncmp(name, "LPT", 3);
    return numbered && name[3] >= '1' && name[3] <= '9';
}
#endif

}  // namespace

const char* entry_name_refusal(const JobContext& cx, const char* output_name)
{
    uint16_t stored_length = file_header(cx).name_length;
    if (stored_length >= NAME_CAPACITY)
        return "name too long";
    if (stored_length > name_bytes_available(cx))
        return "name runs past its header";
    // Read as code page 437, a name may grow to three times its bytes.
    if (stored_text_to_utf8(file_header(cx).variable, stored_name_bytes(cx), nullptr, 0) >= size_t(NAME_CAPACITY))
        return "name too long";
    if (output_name[0] == '\0')
        return "empty name";
    if (is_name_separator(output_name[0]))
        return "absolute path";
    if (is_ascii_letter(output_name[0]) && output_name[1] == ':')
        return "drive in name";
#ifdef _WIN32
    // Elsewhere in a name a colon names an alternate stream of a file.
    if (std::strchr(output_name, ':'))
        return "colon in name";
#else
    // The stored separator is the backslash; a '/' would be one more here.
    if (std::strchr(output_name, '/'))
        return "'/' in name";
#endif
    const char* component = output_name;
    for (const char* p = output_name;; p++) {
        if (*p == '\0' || is_name_separator(*p)) {
            if (climbs_out(component, size_t(p - component)))
                return "'..' in path";
#ifdef _WIN32
            if (names_device(component, size_t(p - component)))
                return "device name";
#endif
            if (*p == '\0')
                break;
            component = p + 1;
        }
    }
    return nullptr;
}

char* entry_output_name(JobContext& cx, char* buffer, int strip_paths)
{
    // Over-long names are refused by the caller; here they are only kept
    // from overrunning the buffer or reading past the header's body.
    const uint8_t* name = file_header(cx).variable;
    size_t n = stored_name_bytes(cx);
    stored_text_to_utf8(name, n, buffer, NAME_CAPACITY);
    if (strip_paths) {
        const char* last = std::strrchr(buffer, '\\');
        if (last)
            std::memmove(buffer, last + 1, std::strlen(last + 1) + 1);
    }
    return buffer;
}

void check_entry_crc(JobContext& cx)
{
    if (cx.lz.entry_crc != file_header(cx).file_crc)
        cx.job.crc_failed = 1;
    if (current_status(cx) == STATUS_OK)
        cx.host->flush_stdout();
}

uint64_t decode_and_write(JobContext& cx)
{
    uint64_t delivered = 0;
    cx.host->flush_stdout();
    while (current_status(cx) == STATUS_OK) {
        uint32_t count = read_entry_data(cx, cx.job.output_block, OUTPUT_BLOCK_SIZE);
        if (count == 0)
            break;
        int32_t written = cx.host->write_output(cx.job.output_handle, cx.job.output_block, count);
        if (written < 0 || uint32_t(written) != count)
            set_status(cx, STATUS_WRITE_FAILED);
        delivered += count;
        cx.host->on_data(cx, count);
    }
    check_entry_crc(cx);
    return delivered;
}

uint64_t decode_and_discard(JobContext& cx)
{
    uint64_t delivered = 0;
    cx.host->flush_stdout();
    const bool copy_out = cx.host->reads_decoded_bytes();
    while (current_status(cx) == STATUS_OK) {
        uint32_t count = copy_out ? read_entry_data(cx, cx.job.output_block, OUTPUT_BLOCK_SIZE)
                                  : pass_entry_data(cx, OUTPUT_BLOCK_SIZE);
        if (count == 0)
            break;
        delivered += count;
        cx.host->on_data(cx, count);
    }
    check_entry_crc(cx);
    return delivered;
}

namespace {

void end_entry(JobContext& cx, const char* name, EntryResult result, const char* reason, uint64_t bytes)
{
    const EntryEvent event{name, result, reason, bytes, cx.lz.entry_crc};
    cx.host->on_entry_end(cx, event);
}

// The verdict on an entry whose contents went through the decoder.
EntryResult decoded_result(const JobContext& cx, EntryResult whole)
{
    if (current_status(cx) != STATUS_OK)
        return EntryResult::FAILED;
    return cx.lz.entry_crc == file_header(cx).file_crc ? whole : EntryResult::CRC_MISMATCH;
}

// Tells the user and the host; the entry then writes nothing anywhere.
void report_refusal(JobContext& cx, const char* name, const char* reason)
{
    char message[NAME_CAPACITY + 96] = "Unsafe name refused (";
    append_text(message, sizeof message, reason);
    append_text(message, sizeof message, "): ");
    append_text(message, sizeof message, name);
    end_entry(cx, name, EntryResult::REFUSED, reason, 0);
    cx.host->show_message(message);
}

void report_walk_end(JobContext& cx)
{
    const HeaderReader& r = cx.reader;
    WalkEnd reason = WalkEnd::STOPPED;
    if (current_status(cx) == STATUS_OK) {
        switch (r.header_end) {
        case HEADER_AT_END: reason = WalkEnd::END_OF_DATA; break;
        case HEADER_CHECK_FAILED: reason = WalkEnd::DAMAGED_HEADER; break;
        default: reason = WalkEnd::CUT_SHORT; break;
        }
    }
    const WalkEvent event{reason, r.header_offset, cx.stream.stream_length, current_status(cx)};
    cx.host->on_walk_end(cx, event);
}

// A split entry whose data is not read: its pieces are walked without
// reading them, as the listing does. The next entry begins in the volume
// where this one ends, and the skip at the next header read only passes
// over the piece in this volume.
void skip_later_pieces(JobContext& cx)
{
    while ((cx.reader.header.header_flags & FLAG_CONTINUED_NEXT) && current_status(cx) == STATUS_OK) {
        cx.reader.packed_remaining = 0;
        if (!next_volume(cx))
            break;
    }
}

// An entry whose contents go nowhere (begun: the decoder was already
// readied for it). A solid archive's later entries copy from its contents,
// so they still pass through the decoder; elsewhere its data is skipped.
// Returns the bytes decoded.
uint64_t pass_over(JobContext& cx, bool begun)
{
    if (!cx.reader.archive_solid) {
        skip_later_pieces(cx);
        return 0;
    }
    if (!begun) {
        begin_entry(cx);
        if (current_status(cx) != STATUS_OK)
            return 0;
    }
    return decode_and_discard(cx);
}

}  // namespace

void extract_entries(JobContext& cx, int strip_paths, int test_only)
{
    char name[NAME_CAPACITY];
    bool refused_any = false;
    while (current_status(cx) == STATUS_OK) {
        // The last entry's contents may have been whole before its last
        // piece was read (padding after them): the next entry begins in the
        // volume of that last piece, not at the end of this one.
        if (cx.reader.header.header_type == HEADER_TYPE_FILE)
            skip_later_pieces(cx);
        if (!read_header(cx, 1))
            break;
        if (cx.reader.header.header_type != HEADER_TYPE_FILE)
            continue;
        decode_file_comment(cx);
        entry_output_name(cx, name, strip_paths);
        if (!cx.host->select_entry(cx, name)) {
            uint64_t bytes = pass_over(cx, false);
            end_entry(cx, name, current_status(cx) == STATUS_OK ? EntryResult::SKIPPED : EntryResult::FAILED,
                      "not selected", bytes);
            continue;
        }
        // Testing writes nothing, so the name is harmless there.
        const char* refusal = test_only ? nullptr : entry_name_refusal(cx, name);
        if (refusal) {
            refused_any = true;
            report_refusal(cx, name, refusal);
            pass_over(cx, false);
            continue;
        }
        cx.host->on_entry(cx, name);
        cx.host->flush_stdout();
        begin_entry(cx);
        if (current_status(cx) != STATUS_OK) {
            end_entry(cx, name, EntryResult::FAILED, nullptr, 0);
            continue;
        }
        const bool folder = (file_header(cx).file_attributes & ATTR_DIRECTORY) != 0;
        if (test_only) {
            uint64_t bytes = decode_and_discard(cx);
            end_entry(cx, name, decoded_result(cx, folder ? EntryResult::FOLDER : EntryResult::TESTED), nullptr, bytes);
            continue;
        }
        const char* why = nullptr;
        cx.job.output_handle = create_output(cx, name, file_header(cx).file_attributes, &why);
        if (cx.job.output_handle >= 0) {
            uint64_t bytes = decode_and_write(cx);
            cx.host->close_output(cx.job.output_handle);
            cx.job.output_handle = -1;
            // No partial file stays behind.
            if (current_status(cx) != STATUS_OK)
                cx.host->remove_output(name);
            end_entry(cx, name, decoded_result(cx, EntryResult::WRITTEN), nullptr, bytes);
            continue;
        }
        // No file was opened: a directory entry, or something in the way.
        uint64_t bytes = pass_over(cx, true);
        EntryResult result = folder ? EntryResult::FOLDER : EntryResult::NOT_WRITTEN;
        if (why == OUTPUT_KEPT)
            result = EntryResult::SKIPPED;
        if (current_status(cx) != STATUS_OK)
            result = EntryResult::FAILED;
        end_entry(cx, name, result, result == EntryResult::NOT_WRITTEN || result == EntryResult::SKIPPED ? why : nullptr,
                  bytes);
    }
    report_walk_end(cx);
    // Known only now, so that every other entry was still extracted.
    if (refused_any && current_status(cx) == STATUS_OK)
        set_status(cx, STATUS_WRITE_FAILED);
}

void list_entries(JobContext& cx)
{
    while (current_status(cx) == STATUS_OK) {
        if (!read_header(cx, 1))
            break;
        if (cx.reader.header.header_type != HEADER_TYPE_FILE)
            continue;
        cx.host->on_entry(cx, nullptr);
        while ((cx.reader.header.header_flags & FLAG_CONTINUED_NEXT) && current_status(cx) == STATUS_OK) {
            // This volume's piece is not read; next_volume brings the
            // continued header from the next one.
            cx.reader.packed_remaining = 0;
            if (!next_volume(cx))
                break;
            cx.host->on_entry(cx, nullptr);
        }
    }
    report_walk_end(cx);
}
