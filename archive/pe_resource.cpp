#include "archive/pe_resource.h"

#include <cstring>

namespace {

constexpr uint32_t DOS_NEW_HEADER_OFFSET = 0x3C;
constexpr uint32_t COFF_HEADER_SIZE = 20;
constexpr uint16_t OPTIONAL_MAGIC_PE32 = 0x10B;
constexpr uint16_t OPTIONAL_MAGIC_PE32_PLUS = 0x20B;
constexpr uint32_t RESOURCE_DIRECTORY_INDEX = 2;
constexpr uint32_t SECTION_HEADER_SIZE = 40;
constexpr uint32_t DIRECTORY_HEADER_SIZE = 16;
constexpr uint32_t DIRECTORY_ENTRY_SIZE = 8;
constexpr uint32_t HIGH_BIT = 0x80000000u;
// Resource names are short; a longer one cannot be the one asked for.
constexpr uint32_t MAX_NAME_UNITS = 64;

struct File {
    PeReadAt read;
    void* source;
    uint32_t length;

    bool bytes(uint32_t offset, void* out, uint32_t count) const
    {
        if (offset > length || count > length - offset)
            return false;
        return read(source, offset, out, count) == int32_t(count);
    }
    bool u16(uint32_t offset, uint16_t* out) const
    {
        uint8_t b[2];
        if (!bytes(offset, b, 2))
            return false;
        *out = uint16_t(b[0] | b[1] << 8);
        return true;
    }
    bool u32(uint32_t offset, uint32_t* out) const
    {
        uint8_t b[4];
        if (!bytes(offset, b, 4))
            return false;
        *out = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
        return true;
    }
};

// The resource section as the file holds it: RVAs from `rva` on lie at file
// offset `file_offset` on, for `size` bytes (the part the file really has).
struct ResourceSection {
    uint32_t rva;
    uint32_t file_offset;
    uint32_t size;
};

char fold(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

// Does the length-prefixed UTF-16 name at `offset` in the section equal
// the ASCII text, without regard to case?
bool name_matches(const File& f, const ResourceSection& rs, uint32_t offset, const char* want)
{
    uint16_t units = 0;
    if (offset >= rs.size || !f.u16(rs.file_offset + offset, &units))
        return false;
    size_t want_length = std::strlen(want);
    if (units != want_length || units > MAX_NAME_UNITS)
        return false;
    uint8_t text[2 * MAX_NAME_UNITS];
    if (2u + 2u * units > rs.size - offset || !f.bytes(rs.file_offset + offset + 2, text, 2u * units))
        return false;
    for (uint32_t i = 0; i < units; i++) {
        if (text[2 * i + 1] != 0 || fold(char(text[2 * i])) != fold(want[i]))
            return false;
    }
    return true;
}

// The entry of the directory at `offset` (in the section) whose name is
// `want`, or its first entry when `want` is null; its OffsetToData field.
bool find_entry(const File& f, const ResourceSection& rs, uint32_t offset, const char* want, uint32_t* target)
{
    uint16_t named = 0, ids = 0;
    if (offset > rs.size || rs.size - offset < DIRECTORY_HEADER_SIZE ||
        !f.u16(rs.file_offset + offset + 12, &named) || !f.u16(rs.file_offset + offset + 14, &ids))
        return false;
    uint32_t count = uint32_t(named) + ids;
    uint32_t first = offset + DIRECTORY_HEADER_SIZE;
    if (count > (rs.size - first) / DIRECTORY_ENTRY_SIZE)
        return false;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t entry = rs.file_offset + first + i * DIRECTORY_ENTRY_SIZE;
        uint32_t id = 0;
        if (!f.u32(entry, &id) || !f.u32(entry + 4, target))
            return false;
        if (!want || ((id & HIGH_BIT) && name_matches(f, rs, id & ~HIGH_BIT, want)))
            return true;
    }
    return false;
}

bool find_resource_section(const File& f, ResourceSection* rs)
{
    uint8_t mz[2];
    uint32_t pe = 0;
    uint8_t signature[4];
    if (!f.bytes(0, mz, 2) || mz[0] != 'M' || mz[1] != 'Z' || !f.u32(DOS_NEW_HEADER_OFFSET, &pe) ||
        !f.bytes(pe, signature, 4) || std::memcmp(signature, "PE\0\0", 4) != 0)
        return false;
    uint32_t coff = pe + 4;
    uint16_t sections = 0, optional_size = 0, magic = 0;
    if (!f.u16(coff + 2, &sections) || !f.u16(coff + 16, &optional_size))
        return false;
    uint32_t optional = coff + COFF_HEADER_SIZE;
    if (!f.u16(optional, &magic))
        return false;
    uint32_t count_field, directories;
    if (magic == OPTIONAL_MAGIC_PE32) {
        count_field = 92;
        directories = 96;
    } else if (magic == OPTIONAL_MAGIC_PE32_PLUS) {
        count_field = 108;
        directories = 112;
    } else {
        return false;
    }
    uint32_t directory_count = 0, rva = 0, size = 0;
    uint32_t resource_field = directories + RESOURCE_DIRECTORY_INDEX * 8;
    if (resource_field + 8 > optional_size || !f.u32(optional + count_field, &directory_count) ||
        directory_count <= RESOURCE_DIRECTORY_INDEX || !f.u32(optional + resource_field, &rva) ||
        !f.u32(optional + resource_field + 4, &size) || rva == 0 || size == 0)
        return false;
    uint32_t table = optional + optional_size;
    for (uint32_t i = 0; i < sections; i++) {
        uint32_t header = table + i * SECTION_HEADER_SIZE;
        uint32_t virtual_size = 0, virtual_address = 0, raw_size = 0, raw_offset = 0;
        if (!f.u32(header + 8, &virtual_size) || !f.u32(header + 12, &virtual_address) ||
            !f.u32(header + 16, &raw_size) || !f.u32(header + 20, &raw_offset))
            return false;
        uint32_t span = raw_size < virtual_size || virtual_size == 0 ? raw_size : virtual_size;
        if (rva < virtual_address || rva - virtual_address >= span)
            continue;
        uint32_t into = rva - virtual_address;
        if (raw_offset > f.length || into > f.length - raw_offset)
            return false;
        rs->rva = rva;
        rs->file_offset = raw_offset + into;
        uint32_t in_file = f.length - rs->file_offset;
        uint32_t in_section = span - into;
        rs->size = in_section < in_file ? in_section : in_file;
        return true;
    }
    return false;
}

int32_t read_memory(void* source, uint32_t offset, void* buffer, uint32_t count)
{
    std::memcpy(buffer, static_cast<const uint8_t*>(source) + offset, count);
    return int32_t(count);
}

}  // namespace

bool pe_find_named_resource(PeReadAt read, void* source, uint32_t file_length, const char* type,
                            const char* name, PeResourceSpan* span)
{
    const File f{read, source, file_length};
    ResourceSection rs{};
    if (!find_resource_section(f, &rs))
        return false;
    // Three levels: type, name, language. The first two lead to
    // subdirectories, the last to the data entry.
    uint32_t level = 0;
    if (!find_entry(f, rs, 0, type, &level) || !(level & HIGH_BIT) ||
        !find_entry(f, rs, level & ~HIGH_BIT, name, &level) || !(level & HIGH_BIT) ||
        !find_entry(f, rs, level & ~HIGH_BIT, nullptr, &level) || (level & HIGH_BIT))
        return false;
    uint32_t data_rva = 0, data_size = 0;
    if (level > rs.size || rs.size - level < 16 || !f.u32(rs.file_offset + level, &data_rva) ||
        !f.u32(rs.file_offset + level + 4, &data_size))
        return false;
    // The data lies in the resource section in every file a linker writes.
    if (data_rva < rs.rva || data_rva - rs.rva > rs.size || data_size > rs.size - (data_rva - rs.rva))
        return false;
    span->offset = rs.file_offset + (data_rva - rs.rva);
    span->size = data_size;
    return true;
}

bool pe_find_named_resource_in(const uint8_t* data, uint32_t length, const char* type, const char* name,
                               PeResourceSpan* span)
{
    return pe_find_named_resource(read_memory, const_cast<uint8_t*>(data), length, type, name, span);
}
