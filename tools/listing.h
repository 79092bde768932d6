// What `kelvo l` and `kelvo v` print: one row (or block) per entry, built
// from the file headers the job walks, and a total line. Formatting is kept
// apart from the host so that it can be checked without an archive.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct AceHeader;

struct DosDateTime {
    int year, month, day, hour, minute, second;
};

// file_time is a DOS stamp: bits 25-31 year - 1980, 21-24 month, 16-20 day,
// 11-15 hour, 5-10 minute, 0-4 seconds / 2.
DosDateTime decode_dos_time(uint32_t file_time);
uint32_t encode_dos_time(const DosDateTime& t);
std::string format_dos_time(uint32_t file_time);

// Five columns D R H S A, '.' where the bit is clear.
std::string format_attributes(uint32_t attributes);
// Packed size as a share of the original size; sizes of 0 give "0%".
std::string format_ratio(uint64_t packed, uint64_t size);
// 2^((parameter & 15) + 10) bytes: the dictionary an LZ77 entry asks for.
uint64_t dictionary_size(uint16_t parameter);
// 1024 -> "1K", 1048576 -> "1M"; sizes that are no multiple of 1024 stay bytes.
std::string format_binary_size(uint64_t bytes);
std::string method_name(uint8_t method);
// Known flag bits by name, unknown ones as hex: "data comment solid+0x0100".
std::string flag_names(uint16_t flags);
// Stored names and comments as UTF-8: as they are when they are UTF-8,
// read as code page 437 otherwise (see extract/name_text.h).
std::string stored_text(const uint8_t* bytes, size_t length);
// The same for the terminal. Names and comments come from the archive, so
// control characters (escape sequences above all) never reach it: each
// becomes '?'.
std::string printable_text(const uint8_t* bytes, size_t length);

struct ListedEntry {
    std::string name;       // printable
    std::string name_text;  // as stored_text gives it, control characters kept
    uint32_t size = 0;
    uint64_t packed = 0;  // all pieces of a split entry
    uint32_t file_time = 0;
    uint32_t attributes = 0;
    uint32_t crc = 0;
    uint8_t method = 0;
    uint8_t quality = 0;
    uint16_t parameter = 0;
    uint16_t flags = 0;
    int pieces = 1;
    bool has_comment = false;
    std::string comment;       // printable
    std::string comment_text;  // as stored_text gives it
};

// The entry named by the file header now held in the record; name bytes are
// bounded by the header's body and the variable area, whatever name_length says.
ListedEntry listed_entry_from(const AceHeader& header);
// The decoded comment of that header (text up to its terminator) if the
// comment decoder left one; false when there is none.
// raw, when given, gets the text as stored_text gives it.
bool decoded_comment_of(const AceHeader& header, std::string* text, std::string* raw = nullptr);

struct ListingTotals {
    uint64_t size = 0;
    uint64_t packed = 0;
    uint32_t files = 0;
    uint32_t folders = 0;
};

// "7 files, 2 folders"
std::string count_text(uint32_t files, uint32_t folders);
void add_to_totals(ListingTotals* totals, const ListedEntry& e);

std::string listing_heading();
std::string listing_row(const ListedEntry& e);
std::string listing_total(const ListingTotals& t);
// The verbose block: the row's facts and the method, dictionary, flags and
// comment, one labelled line each.
std::string verbose_block(const ListedEntry& e);

// ---- l --json / v --json ----
// A JSON string literal of text: quotes, backslashes and control characters
// escaped; bytes that are not well-formed UTF-8 (a host path can hold any)
// become U+FFFD, so that the document is always valid.
std::string json_string(const std::string& text);
// The DOS stamp as ISO 8601 local time (the format keeps no zone):
// "2024-05-06T07:08:10".
std::string format_iso_time(uint32_t file_time);
// One entry as a JSON object on one line.
std::string json_entry(const ListedEntry& e);
