// A low-level writer of archives: headers with correct CRCs, stored
// entries, entries whose packed bytes were made elsewhere, volumes, raw
// bytes and deliberate damage. Every archive the tests read is made here
// (or by the packer on top of it), so nothing comes from outside.
//
// Layers, from the bottom:
//   header_bytes / any_header_bytes   one header, given its body fields
//   main_header_bytes / file_header_bytes
//   ArchiveWriter                     one volume as a growing byte vector
//   VolumeSetWriter                   a set of volumes with split entries
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// The archive's CRC over a block: running value from 0xFFFFFFFF, never
// inverted. Computed here by its own table, independent of the engine's,
// so that the two cannot share a mistake unnoticed.
uint32_t writer_crc32(const void* data, size_t size, uint32_t value = 0xFFFFFFFFu);
inline uint32_t writer_crc32(const Bytes& data) { return writer_crc32(data.data(), data.size()); }

// ---- Single headers -----------------------------------------------------

// Prefix (CRC, size) + body. The body is at most 65535 bytes; crc_override
// replaces the computed 16-bit CRC.
Bytes header_bytes(const Bytes& body, std::optional<uint16_t> crc_override = std::nullopt);

// A header of any type: body = type, flags (16-bit), then rest as given.
Bytes any_header_bytes(uint8_t type, uint16_t flags, const Bytes& rest,
                       std::optional<uint16_t> crc_override = std::nullopt);

struct MainHeaderFields {
    uint16_t flags = 0;  // e.g. FLAG_SOLID; FLAG_COMMENT is added when comment is set
    uint8_t version_needed = 10;
    uint8_t version_made = 20;
    uint8_t host_system = 2;
    uint8_t volume_number = 0;
    uint32_t creation_time = 0;
    uint16_t reserved_a = 0;
    uint16_t reserved_b = 0;
    uint32_t reserved_c = 0;
    Bytes info_text;               // info_length is its size (at most 255)
    std::optional<Bytes> comment;  // packed comment bytes; comment_size is its size
    std::optional<uint16_t> header_crc;  // override the computed CRC
};

struct FileHeaderFields {
    std::string name;
    uint16_t flags = 0;  // extra bits (FLAG_SOLID, FLAG_REFUSED, FLAG_CONTINUED_NEXT, ...);
                         // FLAG_DATA_SIZE is always set, FLAG_COMMENT when comment is set
    uint32_t unpacked_size = 0;
    uint32_t file_time = 0;
    uint32_t file_attributes = 0x20;
    uint32_t file_crc = 0xFFFFFFFFu;  // the CRC of empty contents
    uint8_t method = 0;
    uint8_t quality = 0;
    uint16_t parameter = 0;
    uint16_t reserved = 0;
    std::optional<uint16_t> name_length;  // override: written instead of name.size()
    std::optional<Bytes> comment;
    std::optional<uint16_t> header_crc;
};

Bytes main_header_bytes(const MainHeaderFields& fields);
Bytes file_header_bytes(const FileHeaderFields& fields, uint32_t packed_size);

// File-header fields for contents stored as they are: method 0, the
// contents' CRC and size.
FileHeaderFields stored_fields(const std::string& name, const Bytes& contents);

// ---- One volume ----------------------------------------------------------

class ArchiveWriter {
public:
    ArchiveWriter& raw(const Bytes& bytes);
    ArchiveWriter& raw(const void* data, size_t size);
    ArchiveWriter& main_header(const MainHeaderFields& fields = {});
    // A file header with packed_size = packed.size(), then the packed bytes.
    ArchiveWriter& file_entry(const FileHeaderFields& fields, const Bytes& packed);
    ArchiveWriter& stored_file(const std::string& name, const Bytes& contents);
    ArchiveWriter& directory(const std::string& name);

    // Inverts the bits of mask in the byte at offset (all of them by default).
    ArchiveWriter& damage(size_t offset, uint8_t mask = 0xFF);

    size_t size() const { return bytes_.size(); }
    const Bytes& bytes() const { return bytes_; }
    Bytes take() { return std::move(bytes_); }

private:
    Bytes bytes_;
};

void damage_byte(Bytes& bytes, size_t offset, uint8_t mask = 0xFF);

// ---- Volume sets ----------------------------------------------------------

// Writes entries into volumes. Each volume starts with its own main header
// (the template's fields with volume_number = index of the volume). An
// entry that does not fit is split: each piece gets a copy of the entry's
// header with packed_size = the piece's length and FLAG_CONTINUED_NEXT on
// every piece but the last, and the next volume begins with the next
// piece. A piece is never empty (an empty continued piece would end the
// entry's data).
//
// The reader moves to the next volume only inside a continued entry, so an
// entry always starts in the volume where the previous one ended. The
// volume limit is therefore soft: a volume may exceed it by at most one
// file header and one byte of data (or the whole of an empty entry).
class VolumeSetWriter {
public:
    // volume_limit: the size a volume should not exceed (0: no limit).
    explicit VolumeSetWriter(const MainHeaderFields& main, uint32_t volume_limit = 0);

    VolumeSetWriter& entry(const FileHeaderFields& fields, const Bytes& packed);
    VolumeSetWriter& stored_file(const std::string& name, const Bytes& contents);
    // An entry split into pieces of exactly the given sizes, one per
    // volume, starting in the current volume (sizes may be 0 to build
    // damaged sets; they must add up to packed.size()).
    VolumeSetWriter& split_entry(const FileHeaderFields& fields, const Bytes& packed,
                                 const std::vector<size_t>& piece_sizes);
    // Ends the current volume; the next one starts with its main header.
    // Between entries this makes the rest of the set unreachable for the
    // reader: meant for building broken sets.
    VolumeSetWriter& new_volume();
    // Raw bytes into the current volume.
    VolumeSetWriter& raw(const Bytes& bytes);

    size_t volume_count() const { return volumes_.size(); }
    std::vector<Bytes> finish();

private:
    void piece(const FileHeaderFields& fields, const Bytes& packed, size_t offset, size_t size,
               bool more);

    MainHeaderFields main_;
    uint32_t limit_;
    std::vector<Bytes> volumes_;
};

// ---- Names and files -------------------------------------------------------

// first, then the names that the volume switch derives from it, one per
// volume (archive.ACE, archive.C00, archive.C01, ...).
std::vector<std::string> volume_names(const std::string& first, size_t count);

bool write_bytes_file(const std::string& path, const Bytes& bytes);
// Writes volumes[i] to volume_names(first_path, n)[i]; false on any failure.
bool write_volume_files(const std::string& first_path, const std::vector<Bytes>& volumes);
