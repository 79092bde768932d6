#include "compress/archive_writer.h"

#include <array>
#include <cassert>
#include <cstdio>
#include <cstring>

#include "archive/header.h"
#include "archive/packed.h"
#include "platform/platform.h"

namespace {

constexpr std::array<uint32_t, 256> make_crc_table()
{
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t v = i;
        for (int k = 0; k < 8; k++)
            v = (v & 1) ? (v >> 1) ^ 0xEDB88320u : v >> 1;
        t[i] = v;
    }
    return t;
}
constexpr std::array<uint32_t, 256> WRITER_CRC_TABLE = make_crc_table();

void put8(Bytes& b, uint8_t v) { b.push_back(v); }
void put16(Bytes& b, uint16_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void put32(Bytes& b, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b.push_back(uint8_t(v >> (8 * i)));
}
void append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

}  // namespace

uint32_t writer_crc32(const void* data, size_t size, uint32_t value)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; i++)
        value = (value >> 8) ^ WRITER_CRC_TABLE[(value ^ p[i]) & 0xFF];
    return value;
}

Bytes header_bytes(const Bytes& body, std::optional<uint16_t> crc_override)
{
    assert(body.size() <= 0xFFFF);
    Bytes out;
    out.reserve(4 + body.size());
    put16(out, crc_override ? *crc_override : uint16_t(writer_crc32(body)));
    put16(out, uint16_t(body.size()));
    append(out, body);
    return out;
}

Bytes any_header_bytes(uint8_t type, uint16_t flags, const Bytes& rest,
                       std::optional<uint16_t> crc_override)
{
    Bytes body;
    put8(body, type);
    put16(body, flags);
    append(body, rest);
    return header_bytes(body, crc_override);
}

Bytes main_header_bytes(const MainHeaderFields& f)
{
    assert(f.info_text.size() <= 255);
    uint16_t flags = f.flags;
    if (f.comment)
        flags |= FLAG_COMMENT;
    Bytes rest;
    rest.insert(rest.end(), ACE_SIGNATURE, ACE_SIGNATURE + ACE_SIGNATURE_LENGTH);
    put8(rest, f.version_needed);
    put8(rest, f.version_made);
    put8(rest, f.host_system);
    put8(rest, f.volume_number);
    put32(rest, f.creation_time);
    put16(rest, f.reserved_a);
    put16(rest, f.reserved_b);
    put32(rest, f.reserved_c);
    put8(rest, uint8_t(f.info_text.size()));
    append(rest, f.info_text);
    if (f.comment) {
        put16(rest, uint16_t(f.comment->size()));
        append(rest, *f.comment);
    }
    return any_header_bytes(HEADER_TYPE_MAIN, flags, rest, f.header_crc);
}

Bytes file_header_bytes(const FileHeaderFields& f, uint32_t packed_size)
{
    uint16_t flags = f.flags | FLAG_DATA_SIZE;
    if (f.comment)
        flags |= FLAG_COMMENT;
    Bytes rest;
    put32(rest, packed_size);
    put32(rest, f.unpacked_size);
    put32(rest, f.file_time);
    put32(rest, f.file_attributes);
    put32(rest, f.file_crc);
    put8(rest, f.method);
    put8(rest, f.quality);
    put16(rest, f.parameter);
    put16(rest, f.reserved);
    put16(rest, f.name_length ? *f.name_length : uint16_t(f.name.size()));
    rest.insert(rest.end(), f.name.begin(), f.name.end());
    if (f.comment) {
        put16(rest, uint16_t(f.comment->size()));
        append(rest, *f.comment);
    }
    return any_header_bytes(HEADER_TYPE_FILE, flags, rest, f.header_crc);
}

FileHeaderFields stored_fields(const std::string& name, const Bytes& contents)
{
    FileHeaderFields f;
    f.name = name;
    f.method = METHOD_STORED;
    f.unpacked_size = uint32_t(contents.size());
    f.file_crc = writer_crc32(contents);
    return f;
}

// ---- ArchiveWriter ---------------------------------------------------------

ArchiveWriter& ArchiveWriter::raw(const Bytes& bytes)
{
    append(bytes_, bytes);
    return *this;
}

ArchiveWriter& ArchiveWriter::raw(const void* data, size_t size)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + size);
    return *this;
}

ArchiveWriter& ArchiveWriter::main_header(const MainHeaderFields& fields)
{
    return raw(main_header_bytes(fields));
}

ArchiveWriter& ArchiveWriter::file_entry(const FileHeaderFields& fields, const Bytes& packed)
{
    raw(file_header_bytes(fields, uint32_t(packed.size())));
    return raw(packed);
}

ArchiveWriter& ArchiveWriter::stored_file(const std::string& name, const Bytes& contents)
{
    return file_entry(stored_fields(name, contents), contents);
}

ArchiveWriter& ArchiveWriter::directory(const std::string& name)
{
    FileHeaderFields f = stored_fields(name, {});
    f.file_attributes = ATTR_DIRECTORY;
    return file_entry(f, {});
}

ArchiveWriter& ArchiveWriter::damage(size_t offset, uint8_t mask)
{
    damage_byte(bytes_, offset, mask);
    return *this;
}

void damage_byte(Bytes& bytes, size_t offset, uint8_t mask)
{
    assert(offset < bytes.size());
    bytes[offset] ^= mask;
}

// ---- VolumeSetWriter -------------------------------------------------------

VolumeSetWriter::VolumeSetWriter(const MainHeaderFields& main, uint32_t volume_limit)
    : main_(main), limit_(volume_limit)
{
    new_volume();
}

VolumeSetWriter& VolumeSetWriter::new_volume()
{
    MainHeaderFields m = main_;
    m.volume_number = uint8_t(volumes_.size());
    volumes_.push_back(main_header_bytes(m));
    return *this;
}

VolumeSetWriter& VolumeSetWriter::raw(const Bytes& bytes)
{
    append(volumes_.back(), bytes);
    return *this;
}

void VolumeSetWriter::piece(const FileHeaderFields& fields, const Bytes& packed, size_t offset,
                            size_t size, bool more)
{
    FileHeaderFields f = fields;
    if (more)
        f.flags |= FLAG_CONTINUED_NEXT;
    else
        f.flags &= uint16_t(~FLAG_CONTINUED_NEXT);
    Bytes& v = volumes_.back();
    append(v, file_header_bytes(f, uint32_t(size)));
    v.insert(v.end(), packed.begin() + ptrdiff_t(offset), packed.begin() + ptrdiff_t(offset + size));
}

VolumeSetWriter& VolumeSetWriter::entry(const FileHeaderFields& fields, const Bytes& packed)
{
    // The reader reaches a new volume only through a continued entry, so
    // every entry starts in the volume where the previous one ended, and
    // every piece holds at least one byte (an empty continued piece would
    // end the entry's data there).
    const size_t header_size = file_header_bytes(fields, 0).size();
    size_t offset = 0;
    for (;;) {
        const size_t left = packed.size() - offset;
        const size_t used = volumes_.back().size();
        const size_t room = limit_ == 0 ? SIZE_MAX : (limit_ > used ? limit_ - used : 0);
        if (room >= header_size && room - header_size >= left) {
            piece(fields, packed, offset, left, false);
            return *this;
        }
        size_t take = room > header_size ? room - header_size : 1;
        if (take >= left) {
            piece(fields, packed, offset, left, false);
            return *this;
        }
        piece(fields, packed, offset, take, true);
        offset += take;
        new_volume();
    }
}

VolumeSetWriter& VolumeSetWriter::stored_file(const std::string& name, const Bytes& contents)
{
    return entry(stored_fields(name, contents), contents);
}

VolumeSetWriter& VolumeSetWriter::split_entry(const FileHeaderFields& fields, const Bytes& packed,
                                              const std::vector<size_t>& piece_sizes)
{
    size_t offset = 0;
    for (size_t i = 0; i < piece_sizes.size(); i++) {
        assert(offset + piece_sizes[i] <= packed.size());
        if (i > 0)
            new_volume();
        piece(fields, packed, offset, piece_sizes[i], i + 1 < piece_sizes.size());
        offset += piece_sizes[i];
    }
    assert(offset == packed.size());
    return *this;
}

std::vector<Bytes> VolumeSetWriter::finish() { return std::move(volumes_); }

// ---- Names and files ---------------------------------------------------------

std::vector<std::string> volume_names(const std::string& first, size_t count)
{
    std::vector<std::string> names;
    char name[NAME_CAPACITY] = {};
    assert(first.size() < sizeof name);
    std::memcpy(name, first.c_str(), first.size() + 1);
    for (size_t i = 0; i < count; i++) {
        names.emplace_back(name);
        if (i + 1 < count && !next_volume_name(name))
            break;  // no further name exists: the caller gets fewer names
    }
    return names;
}

bool write_bytes_file(const std::string& path, const Bytes& bytes)
{
    std::FILE* f = platform_fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

bool write_volume_files(const std::string& first_path, const std::vector<Bytes>& volumes)
{
    std::vector<std::string> names = volume_names(first_path, volumes.size());
    if (names.size() != volumes.size())
        return false;
    for (size_t i = 0; i < volumes.size(); i++)
        if (!write_bytes_file(names[i], volumes[i]))
            return false;
    return true;
}
