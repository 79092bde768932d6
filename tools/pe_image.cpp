#include "tools/pe_image.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t DOS_NEW_HEADER_OFFSET = 0x3C;
constexpr uint32_t COFF_HEADER_SIZE = 20;
constexpr uint32_t SECTION_HEADER_SIZE = 40;
constexpr uint16_t OPTIONAL_MAGIC_PE32 = 0x10B;
constexpr uint16_t OPTIONAL_MAGIC_PE32_PLUS = 0x20B;
constexpr uint32_t MAX_SECTIONS = 96;
constexpr uint32_t MAX_DIRECTORIES = 16;
constexpr uint32_t DIRECTORY_SECURITY = 4;
constexpr uint32_t DIRECTORY_RESOURCE = 2;
constexpr uint32_t DIRECTORY_BASE_RELOCATION = 5;
constexpr uint32_t SCN_INITIALIZED_DATA = 0x40;
// Fields of the optional header, the same in both kinds.
constexpr uint32_t OPT_SIZE_OF_INITIALIZED_DATA = 8;
constexpr uint32_t OPT_SECTION_ALIGNMENT = 32;
constexpr uint32_t OPT_FILE_ALIGNMENT = 36;
constexpr uint32_t OPT_SIZE_OF_IMAGE = 56;
constexpr uint32_t OPT_SIZE_OF_HEADERS = 60;
constexpr uint32_t OPT_CHECKSUM = 64;

constexpr uint32_t RES_DIRECTORY_SIZE = 16;
constexpr uint32_t RES_ENTRY_SIZE = 8;
constexpr uint32_t RES_DATA_ENTRY_SIZE = 16;
constexpr uint32_t HIGH_BIT = 0x80000000u;
// More resources than any installer has; a directory that claims more is
// damaged (and its levels could otherwise multiply into millions).
constexpr size_t MAX_RESOURCES = 4096;
constexpr uint32_t MAX_NAME_UNITS = 256;
// The whole image must stay addressable by 32-bit offsets with room.
constexpr uint64_t MAX_IMAGE_BYTES = 0x7FFFFFFF;

uint16_t get16(const Bytes& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }
uint32_t get32(const Bytes& b, size_t at)
{
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
void put16(Bytes& b, size_t at, uint32_t v)
{
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void put32(Bytes& b, size_t at, uint32_t v)
{
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}
void append16(Bytes& b, uint32_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

bool fits(uint64_t offset, uint64_t count, uint64_t length) { return offset <= length && count <= length - offset; }
bool power_of_two(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }
uint64_t align_up(uint64_t v, uint32_t alignment) { return (v + alignment - 1) / alignment * alignment; }

struct Section {
    uint32_t header = 0;  // file offset of its header
    uint32_t virtual_size = 0;
    uint32_t virtual_address = 0;
    uint32_t raw_size = 0;
    uint32_t raw_offset = 0;
    uint32_t characteristics = 0;

    // Bytes of the section the file holds and the image maps.
    uint32_t mapped_raw() const { return virtual_size && virtual_size < raw_size ? virtual_size : raw_size; }
    uint32_t extent() const { return virtual_size ? virtual_size : raw_size; }
};

struct Layout {
    uint32_t coff = 0;
    uint32_t optional = 0;
    uint32_t directories = 0;  // file offset of the data directory table
    uint32_t directory_count = 0;
    uint32_t file_alignment = 0;
    uint32_t section_alignment = 0;
    uint32_t size_of_headers = 0;
    std::vector<Section> sections;
    size_t resource_index = 0;

    uint32_t directory_rva(uint32_t index, const Bytes& b) const
    {
        return index < directory_count ? get32(b, directories + 8 * index) : 0;
    }
    uint32_t directory_size(uint32_t index, const Bytes& b) const
    {
        return index < directory_count ? get32(b, directories + 8 * index + 4) : 0;
    }
};

bool fail(std::string* error, const std::string& why)
{
    *error = why;
    return false;
}

// The headers and the section table, every field bounded; which section
// holds the resources, and whether the image can be rewritten around it.
bool read_layout(const Bytes& b, Layout* l, std::string* error)
{
    const uint64_t n = b.size();
    if (n > MAX_IMAGE_BYTES)
        return fail(error, "too large for an executable");
    if (n < 0x40 || b[0] != 'M' || b[1] != 'Z')
        return fail(error, "not a Windows executable (no MZ header)");
    uint32_t pe = get32(b, DOS_NEW_HEADER_OFFSET);
    if (!fits(pe, 4 + COFF_HEADER_SIZE, n) || std::memcmp(&b[pe], "PE\0\0", 4) != 0)
        return fail(error, "not a Windows executable (no PE header)");
    l->coff = pe + 4;
    uint32_t section_count = get16(b, l->coff + 2);
    uint32_t optional_size = get16(b, l->coff + 16);
    l->optional = l->coff + COFF_HEADER_SIZE;
    if (section_count == 0 || section_count > MAX_SECTIONS)
        return fail(error, "its section count is out of range");
    if (!fits(l->optional, optional_size, n) || optional_size < 2)
        return fail(error, "its optional header is cut short");
    uint16_t magic = get16(b, l->optional);
    uint32_t count_field = 0;
    if (magic == OPTIONAL_MAGIC_PE32)
        count_field = 92;
    else if (magic == OPTIONAL_MAGIC_PE32_PLUS)
        count_field = 108;
    else
        return fail(error, "its optional header is of an unknown kind");
    uint32_t directories = count_field + 4;
    if (optional_size < directories)
        return fail(error, "its optional header is cut short");
    l->directory_count = get32(b, l->optional + count_field);
    if (l->directory_count > MAX_DIRECTORIES || directories + 8 * l->directory_count > optional_size)
        return fail(error, "its data directory table does not fit its optional header");
    if (l->directory_count <= DIRECTORY_RESOURCE)
        return fail(error, "it has no resource directory");
    l->directories = l->optional + directories;
    l->section_alignment = get32(b, l->optional + OPT_SECTION_ALIGNMENT);
    l->file_alignment = get32(b, l->optional + OPT_FILE_ALIGNMENT);
    l->size_of_headers = get32(b, l->optional + OPT_SIZE_OF_HEADERS);
    if (!power_of_two(l->file_alignment) || l->file_alignment > 0x10000 || !power_of_two(l->section_alignment) ||
        l->section_alignment < l->file_alignment)
        return fail(error, "its alignments are not powers of two (section >= file)");

    uint32_t table = l->optional + optional_size;
    if (!fits(table, uint64_t(section_count) * SECTION_HEADER_SIZE, n))
        return fail(error, "its section table is cut short");
    if (l->size_of_headers < table + section_count * SECTION_HEADER_SIZE || l->size_of_headers > n)
        return fail(error, "its headers' size is out of range");
    uint64_t previous_end = 0;
    for (uint32_t i = 0; i < section_count; i++) {
        Section s;
        s.header = table + i * SECTION_HEADER_SIZE;
        s.virtual_size = get32(b, s.header + 8);
        s.virtual_address = get32(b, s.header + 12);
        s.raw_size = get32(b, s.header + 16);
        s.raw_offset = get32(b, s.header + 20);
        s.characteristics = get32(b, s.header + 36);
        if (s.raw_size && !fits(s.raw_offset, s.raw_size, n))
            return fail(error, "a section's data lies outside the file");
        if (s.virtual_address < previous_end)
            return fail(error, "its sections are not in address order");
        previous_end = uint64_t(s.virtual_address) + s.extent();
        l->sections.push_back(s);
    }

    uint32_t rva = l->directory_rva(DIRECTORY_RESOURCE, b);
    if (rva == 0)
        return fail(error, "it has no resources");
    size_t r = l->sections.size();
    for (size_t i = 0; i < l->sections.size(); i++)
        if (rva != 0 && rva == l->sections[i].virtual_address)
            r = i;
    if (r == l->sections.size())
        return fail(error, "it has no section that holds its resources alone");
    l->resource_index = r;
    const Section& rs = l->sections[r];
    if (rs.raw_size == 0 || rs.raw_offset < l->size_of_headers)
        return fail(error, "its resource section has no data in the file");
    // Sections before it keep their bytes where they are.
    for (size_t i = 0; i < r; i++) {
        const Section& s = l->sections[i];
        if (s.raw_size && uint64_t(s.raw_offset) + s.raw_size > rs.raw_offset)
            return fail(error, "a section before its resources has data after them in the file");
    }
    // Behind it there may only be the base relocations, which refer to
    // nothing by their own position and so can move.
    uint64_t file_end = uint64_t(rs.raw_offset) + rs.raw_size;
    for (size_t i = r + 1; i < l->sections.size(); i++) {
        const Section& s = l->sections[i];
        uint32_t relocations = l->directory_rva(DIRECTORY_BASE_RELOCATION, b);
        if (relocations != s.virtual_address || l->directory_size(DIRECTORY_BASE_RELOCATION, b) > s.extent())
            return fail(error, "its resource section is not the last one (a section other than the base "
                               "relocations follows it)");
        for (uint32_t d = 0; d < l->directory_count; d++) {
            uint32_t at = l->directory_rva(d, b);
            if (d != DIRECTORY_BASE_RELOCATION && d != DIRECTORY_SECURITY && at >= s.virtual_address &&
                at - s.virtual_address < s.extent())
                return fail(error, "a data directory lies in the section behind its resources");
        }
        if (s.raw_size && s.raw_offset < file_end)
            return fail(error, "the sections behind its resources are not in file order");
        if (s.raw_size)
            file_end = uint64_t(s.raw_offset) + s.raw_size;
    }
    return true;
}

// ---- Reading the resource tree -------------------------------------------

struct Tree {
    const Bytes& b;
    uint32_t base;  // file offset of the section's first byte
    uint32_t size;  // its bytes that the file holds and the image maps
    uint32_t rva;
    std::string* error;

    bool key_at(uint32_t field, PeResourceKey* key) const
    {
        if (!(field & HIGH_BIT)) {
            if (field > 0xFFFF)
                return fail(error, "a resource id is out of range");
            *key = PeResourceKey::number(uint16_t(field));
            return true;
        }
        uint32_t at = field & ~HIGH_BIT;
        if (!fits(at, 2, size))
            return fail(error, "a resource name lies outside the resource section");
        uint32_t units = get16(b, base + at);
        if (units == 0 || units > MAX_NAME_UNITS || !fits(at + 2, 2 * units, size))
            return fail(error, "a resource name is empty, too long or cut short");
        key->id = 0;
        key->name.clear();
        for (uint32_t i = 0; i < units; i++)
            key->name.push_back(char16_t(get16(b, base + at + 2 + 2 * i)));
        return true;
    }

    // The entries of the directory at `at`: (name or id field, target field).
    bool entries(uint32_t at, std::vector<std::pair<uint32_t, uint32_t>>* out) const
    {
        if (!fits(at, RES_DIRECTORY_SIZE, size))
            return fail(error, "a resource directory lies outside the resource section");
        uint32_t count = uint32_t(get16(b, base + at + 12)) + get16(b, base + at + 14);
        if (!fits(at + RES_DIRECTORY_SIZE, uint64_t(count) * RES_ENTRY_SIZE, size))
            return fail(error, "a resource directory's entries lie outside the resource section");
        out->clear();
        for (uint32_t i = 0; i < count; i++) {
            uint32_t e = base + at + RES_DIRECTORY_SIZE + i * RES_ENTRY_SIZE;
            out->emplace_back(get32(b, e), get32(b, e + 4));
        }
        return true;
    }

    bool read(std::vector<PeResource>* out) const
    {
        std::vector<std::pair<uint32_t, uint32_t>> types, names, languages;
        uint64_t copied = 0;
        if (!entries(0, &types))
            return false;
        for (const auto& [type_field, type_target] : types) {
            PeResource r;
            if (!key_at(type_field, &r.type))
                return false;
            if (!(type_target & HIGH_BIT) || !entries(type_target & ~HIGH_BIT, &names))
                return fail(error, "a resource type leads to no directory");
            for (const auto& [name_field, name_target] : names) {
                if (!key_at(name_field, &r.name))
                    return false;
                if (!(name_target & HIGH_BIT) || !entries(name_target & ~HIGH_BIT, &languages))
                    return fail(error, "a resource name leads to no directory");
                for (const auto& [language_field, data_entry] : languages) {
                    if (language_field > 0xFFFF || (data_entry & HIGH_BIT) ||
                        !fits(data_entry, RES_DATA_ENTRY_SIZE, size))
                        return fail(error, "a resource's language entry is damaged");
                    if (out->size() >= MAX_RESOURCES)
                        return fail(error, "its resource directory lists too many resources");
                    uint32_t data_rva = get32(b, base + data_entry);
                    uint32_t data_size = get32(b, base + data_entry + 4);
                    if (data_rva < rva || !fits(data_rva - rva, data_size, size))
                        return fail(error, "a resource's data lies outside the resource section");
                    // Resources do not share bytes; a directory that claims
                    // more than the section holds repeats some, over and over.
                    copied += data_size;
                    if (copied > size)
                        return fail(error, "its resources claim more bytes than their section holds");
                    r.language = uint16_t(language_field);
                    r.codepage = get32(b, base + data_entry + 8);
                    const uint8_t* p = b.data() + base + (data_rva - rva);
                    r.data.assign(p, p + data_size);
                    out->push_back(r);
                }
            }
        }
        return true;
    }
};

// ---- Writing it ----------------------------------------------------------

// The order the system's binary search needs: names before numbers, names
// by their code units, numbers ascending.
bool key_less(const PeResourceKey& a, const PeResourceKey& b)
{
    bool a_named = !a.name.empty(), b_named = !b.name.empty();
    if (a_named != b_named)
        return a_named;
    return a_named ? a.name < b.name : a.id < b.id;
}

struct NameNode {
    PeResourceKey key;
    std::vector<const PeResource*> languages;
};
struct TypeNode {
    PeResourceKey key;
    std::vector<NameNode> names;
};

bool build_section(const std::vector<PeResource>& resources, uint32_t section_rva, Bytes* section,
                   std::string* error)
{
    std::vector<const PeResource*> sorted;
    for (const PeResource& r : resources)
        sorted.push_back(&r);
    std::stable_sort(sorted.begin(), sorted.end(), [](const PeResource* a, const PeResource* b) {
        if (!(a->type == b->type))
            return key_less(a->type, b->type);
        if (!(a->name == b->name))
            return key_less(a->name, b->name);
        return a->language < b->language;
    });
    std::vector<TypeNode> types;
    for (const PeResource* r : sorted) {
        if (r->name.name.size() > MAX_NAME_UNITS || r->type.name.size() > MAX_NAME_UNITS)
            return fail(error, "a resource name is too long");
        if (types.empty() || !(types.back().key == r->type))
            types.push_back({r->type, {}});
        std::vector<NameNode>& names = types.back().names;
        if (names.empty() || !(names.back().key == r->name))
            names.push_back({r->name, {}});
        std::vector<const PeResource*>& languages = names.back().languages;
        if (!languages.empty() && languages.back()->language == r->language)
            return fail(error, "two resources have the same type, name and language");
        languages.push_back(r);
    }

    // Directories first, level by level, then the data entries, then the
    // names, then the data, each blob on an 8-byte boundary.
    uint64_t at = RES_DIRECTORY_SIZE + RES_ENTRY_SIZE * types.size();
    std::vector<uint32_t> type_dir, name_dir;
    for (const TypeNode& t : types) {
        type_dir.push_back(uint32_t(at));
        at += RES_DIRECTORY_SIZE + RES_ENTRY_SIZE * t.names.size();
    }
    for (const TypeNode& t : types)
        for (const NameNode& nn : t.names) {
            name_dir.push_back(uint32_t(at));
            at += RES_DIRECTORY_SIZE + RES_ENTRY_SIZE * nn.languages.size();
        }
    const uint64_t data_entries = at;
    at += RES_DATA_ENTRY_SIZE * sorted.size();
    std::map<std::u16string, uint32_t> name_at;
    for (const TypeNode& t : types) {
        auto place = [&](const PeResourceKey& k) {
            if (!k.name.empty() && !name_at.count(k.name)) {
                name_at[k.name] = uint32_t(at);
                at += 2 + 2 * k.name.size();
            }
        };
        place(t.key);
        for (const NameNode& nn : t.names)
            place(nn.key);
    }
    std::vector<uint64_t> data_at;
    for (const PeResource* r : sorted) {
        at = align_up(at, 8);
        data_at.push_back(at);
        at += r->data.size();
    }
    if (at + section_rva > MAX_IMAGE_BYTES)
        return fail(error, "the resources are too large for an executable");

    Bytes& s = *section;
    s.assign(size_t(at), 0);
    auto directory = [&](uint64_t where, size_t named, size_t ids) {
        put16(s, where + 12, uint32_t(named));
        put16(s, where + 14, uint32_t(ids));
    };
    auto key_field = [&](const PeResourceKey& k) { return k.name.empty() ? k.id : HIGH_BIT | name_at[k.name]; };
    auto count_named = [](const auto& nodes) {
        return size_t(std::count_if(nodes.begin(), nodes.end(), [](const auto& n) { return !n.key.name.empty(); }));
    };
    directory(0, count_named(types), types.size() - count_named(types));
    size_t name_index = 0, leaf = 0;
    for (size_t t = 0; t < types.size(); t++) {
        put32(s, RES_DIRECTORY_SIZE + RES_ENTRY_SIZE * t, key_field(types[t].key));
        put32(s, RES_DIRECTORY_SIZE + RES_ENTRY_SIZE * t + 4, HIGH_BIT | type_dir[t]);
        const std::vector<NameNode>& names = types[t].names;
        directory(type_dir[t], count_named(names), names.size() - count_named(names));
        for (size_t k = 0; k < names.size(); k++, name_index++) {
            uint32_t e = type_dir[t] + RES_DIRECTORY_SIZE + RES_ENTRY_SIZE * uint32_t(k);
            put32(s, e, key_field(names[k].key));
            put32(s, e + 4, HIGH_BIT | name_dir[name_index]);
            directory(name_dir[name_index], 0, names[k].languages.size());
            for (size_t g = 0; g < names[k].languages.size(); g++, leaf++) {
                const PeResource* r = names[k].languages[g];
                uint32_t le = name_dir[name_index] + RES_DIRECTORY_SIZE + RES_ENTRY_SIZE * uint32_t(g);
                uint32_t entry = uint32_t(data_entries + RES_DATA_ENTRY_SIZE * leaf);
                put32(s, le, r->language);
                put32(s, le + 4, entry);
                put32(s, entry, section_rva + uint32_t(data_at[leaf]));
                put32(s, entry + 4, uint32_t(r->data.size()));
                put32(s, entry + 8, r->codepage);
                std::copy(r->data.begin(), r->data.end(), s.begin() + long(data_at[leaf]));
            }
        }
    }
    for (const auto& [name, where] : name_at) {
        put16(s, where, uint32_t(name.size()));
        for (size_t i = 0; i < name.size(); i++)
            put16(s, where + 2 + 2 * i, name[i]);
    }
    return true;
}

}  // namespace

PeResourceKey PeResourceKey::number(uint16_t id)
{
    PeResourceKey k;
    k.id = id;
    return k;
}

PeResourceKey PeResourceKey::named(const char* ascii)
{
    PeResourceKey k;
    for (const char* p = ascii; *p; p++)
        k.name.push_back(char16_t(*p >= 'a' && *p <= 'z' ? *p - 'a' + 'A' : uint8_t(*p)));
    return k;
}

bool pe_read_resources(const Bytes& image, std::vector<PeResource>* resources, std::string* error)
{
    Layout l;
    if (!read_layout(image, &l, error))
        return false;
    const Section& rs = l.sections[l.resource_index];
    Tree tree{image, rs.raw_offset, rs.mapped_raw(), rs.virtual_address, error};
    resources->clear();
    return tree.read(resources);
}

uint32_t pe_checksum(const Bytes& image, uint32_t field_offset)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < image.size(); i += 2) {
        uint32_t word = image[i] | (i + 1 < image.size() ? image[i + 1] << 8 : 0);
        // The field itself counts as zero.
        for (size_t k = 0; k < 2; k++)
            if (i + k >= field_offset && i + k < uint64_t(field_offset) + 4)
                word &= k == 0 ? 0xFF00 : 0x00FF;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return uint32_t(sum + image.size());
}

bool pe_replace_resources(const Bytes& image, const std::vector<PeResource>& resources, uint32_t time_stamp,
                          Bytes* out, std::string* error, std::vector<std::string>* warnings)
{
    Layout l;
    if (!read_layout(image, &l, error))
        return false;
    const size_t r = l.resource_index;
    const Section old_rs = l.sections[r];

    // What follows the last section's data: nothing, or a signature (and
    // the zero bytes that pad up to it).
    uint64_t sections_end = 0;
    for (const Section& s : l.sections)
        if (s.raw_size)
            sections_end = std::max<uint64_t>(sections_end, uint64_t(s.raw_offset) + s.raw_size);
    uint32_t signature_at = l.directory_rva(DIRECTORY_SECURITY, image);
    uint32_t signature_size = l.directory_size(DIRECTORY_SECURITY, image);
    bool signed_image = signature_at != 0 || signature_size != 0;
    if (signed_image && (signature_at < sections_end || !fits(signature_at, signature_size, image.size())))
        return fail(error, "its signature lies outside the file or among its sections");
    for (uint64_t i = sections_end; i < image.size(); i++) {
        bool in_signature = signed_image && i >= signature_at && i - signature_at < signature_size;
        if (!in_signature && image[i] != 0)
            return fail(error, "it has data after its last section (debug symbols or an appended archive?)");
    }

    Bytes section;
    if (!build_section(resources, old_rs.virtual_address, &section, error))
        return false;
    const uint32_t new_virtual = uint32_t(section.size());
    const uint64_t new_raw = align_up(section.size(), l.file_alignment);
    if (old_rs.raw_offset + new_raw > MAX_IMAGE_BYTES)
        return fail(error, "the installer would be too large for an executable");

    Bytes& o = *out;
    o.assign(image.begin(), image.begin() + old_rs.raw_offset);
    o.insert(o.end(), section.begin(), section.end());
    o.resize(size_t(old_rs.raw_offset + new_raw), 0);
    put32(o, old_rs.header + 8, new_virtual);
    put32(o, old_rs.header + 16, uint32_t(new_raw));

    // The sections behind the resources (base relocations) move up or down.
    uint64_t next_va = align_up(uint64_t(old_rs.virtual_address) + new_virtual, l.section_alignment);
    uint64_t image_end = next_va;
    for (size_t i = r + 1; i < l.sections.size(); i++) {
        const Section& s = l.sections[i];
        uint64_t va = align_up(next_va, l.section_alignment);
        if (s.raw_size) {
            put32(o, s.header + 20, uint32_t(o.size()));
            o.insert(o.end(), image.begin() + s.raw_offset, image.begin() + s.raw_offset + s.raw_size);
            o.resize(size_t(align_up(o.size(), l.file_alignment)), 0);
        } else {
            put32(o, s.header + 20, 0);
        }
        if (o.size() > MAX_IMAGE_BYTES || va + s.extent() > 0xFFFFFFFFu)
            return fail(error, "the installer would be too large for an executable");
        put32(o, s.header + 12, uint32_t(va));
        put32(o, l.directories + 8 * DIRECTORY_BASE_RELOCATION,
              l.directory_rva(DIRECTORY_BASE_RELOCATION, image) - s.virtual_address + uint32_t(va));
        next_va = va + s.extent();
        image_end = align_up(next_va, l.section_alignment);
    }
    if (image_end > 0xFFFFFFFFu)
        return fail(error, "the installer would be too large for an executable");

    if (old_rs.characteristics & SCN_INITIALIZED_DATA) {
        uint32_t initialized = get32(o, l.optional + OPT_SIZE_OF_INITIALIZED_DATA);
        put32(o, l.optional + OPT_SIZE_OF_INITIALIZED_DATA, initialized - old_rs.raw_size + uint32_t(new_raw));
    }
    put32(o, l.optional + OPT_SIZE_OF_IMAGE, uint32_t(image_end));
    put32(o, l.directories + 8 * DIRECTORY_RESOURCE + 4, new_virtual);
    if (signed_image) {
        put32(o, l.directories + 8 * DIRECTORY_SECURITY, 0);
        put32(o, l.directories + 8 * DIRECTORY_SECURITY + 4, 0);
        warnings->push_back("the stub's signature is dropped (it would not match the installer); sign the "
                            "installer instead");
    }
    put32(o, l.coff + 4, time_stamp);
    put32(o, l.optional + OPT_CHECKSUM, pe_checksum(o, l.optional + OPT_CHECKSUM));
    return true;
}

// ---- Resource formats -----------------------------------------------------

namespace {

uint16_t usual_language(const std::vector<PeResource>& resources)
{
    std::map<uint16_t, size_t> count;
    for (const PeResource& r : resources)
        count[r.language]++;
    uint16_t best = 0;
    size_t most = 0;
    for (const auto& [language, n] : count)
        if (n > most) {
            best = language;
            most = n;
        }
    return best;
}

bool utf16_of(const std::string& utf8, std::u16string* out)
{
    out->clear();
    for (size_t i = 0; i < utf8.size();) {
        uint8_t c = uint8_t(utf8[i]);
        uint32_t cp = 0;
        size_t more = 0;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            more = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            more = 2;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            more = 3;
        } else {
            return false;
        }
        if (more && i + more >= utf8.size())
            return false;
        for (size_t k = 1; k <= more; k++) {
            uint8_t d = uint8_t(utf8[i + k]);
            if ((d & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (d & 0x3F);
        }
        static const uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (cp < least[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (cp >= 0x10000) {
            out->push_back(char16_t(0xD800 + ((cp - 0x10000) >> 10)));
            out->push_back(char16_t(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out->push_back(char16_t(cp));
        }
        i += more + 1;
    }
    return true;
}

constexpr size_t STRINGS_PER_BLOCK = 16;

// A string table block: 16 strings, each a count of UTF-16 units and the units.
bool parse_string_block(const Bytes& data, std::vector<std::u16string>* strings)
{
    strings->assign(STRINGS_PER_BLOCK, std::u16string());
    size_t at = 0;
    for (size_t i = 0; i < STRINGS_PER_BLOCK; i++) {
        if (at + 2 > data.size())
            return false;
        size_t units = get16(data, at);
        at += 2;
        if (units * 2 > data.size() - at)
            return false;
        for (size_t k = 0; k < units; k++)
            (*strings)[i].push_back(char16_t(get16(data, at + 2 * k)));
        at += 2 * units;
    }
    return true;
}

Bytes string_block(const std::vector<std::u16string>& strings)
{
    Bytes b;
    for (const std::u16string& s : strings) {
        append16(b, uint32_t(s.size()));
        for (char16_t u : s)
            append16(b, u);
    }
    return b;
}

bool is_named(const PeResource& r, uint16_t type, const PeResourceKey& name)
{
    return r.type.name.empty() && r.type.id == type && r.name == name;
}

}  // namespace

void pe_put_resource(std::vector<PeResource>* resources, const PeResourceKey& type, const PeResourceKey& name,
                     Bytes data)
{
    // The first language of it takes the data; any further ones would be
    // found instead in their locales, so they go.
    size_t kept = resources->size();
    for (size_t i = 0; i < resources->size(); i++)
        if ((*resources)[i].type == type && (*resources)[i].name == name) {
            kept = i;
            break;
        }
    if (kept == resources->size()) {
        PeResource fresh;
        fresh.type = type;
        fresh.name = name;
        fresh.language = usual_language(*resources);
        fresh.data = std::move(data);
        resources->push_back(std::move(fresh));
        return;
    }
    (*resources)[kept].data = std::move(data);
    std::vector<PeResource> result;
    for (size_t i = 0; i < resources->size(); i++) {
        const PeResource& r = (*resources)[i];
        if (i == kept || !(r.type == type && r.name == name))
            result.push_back(std::move((*resources)[i]));
    }
    *resources = std::move(result);
}

bool pe_set_string(std::vector<PeResource>* resources, uint16_t id, const std::string& utf8, std::string* error)
{
    std::u16string text;
    if (!utf16_of(utf8, &text))
        return fail(error, "the text is not valid UTF-8");
    if (text.size() > 0xFFFF)
        return fail(error, "the text is too long");
    const PeResourceKey block = PeResourceKey::number(uint16_t(id / STRINGS_PER_BLOCK + 1));
    bool found = false;
    for (PeResource& r : *resources) {
        if (!is_named(r, PE_TYPE_STRING, block))
            continue;
        std::vector<std::u16string> strings;
        if (!parse_string_block(r.data, &strings))
            return fail(error, "the stub's string table is damaged");
        strings[id % STRINGS_PER_BLOCK] = text;
        r.data = string_block(strings);
        found = true;
    }
    if (!found) {
        std::vector<std::u16string> strings(STRINGS_PER_BLOCK);
        strings[id % STRINGS_PER_BLOCK] = text;
        pe_put_resource(resources, PeResourceKey::number(PE_TYPE_STRING), block, string_block(strings));
    }
    return true;
}

namespace {

constexpr uint32_t BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3;

// One row of palette indexes as the fewest run-length bytes (without its
// end-of-line mark), as the system's loader decodes them: a run "count,
// value" repeats one byte (8 bits) or alternates the two halves of it
// (4 bits); an absolute piece "0, count" (3 to 255 pixels) holds them as
// they are, padded to an even number of bytes. The cheapest mix is found
// from the row's end backwards.
void encode_rle_row(const uint8_t* pixels, size_t width, uint32_t bits, Bytes& out)
{
    std::vector<uint32_t> cost(width + 1, 0);
    std::vector<std::pair<bool, uint32_t>> choice(width + 1);  // (absolute, count)
    for (size_t i = width; i-- > 0;) {
        size_t run = 1;
        while (i + run < width && run < 255 &&
               pixels[i + run] == (bits == 4 && run % 2 ? pixels[i + 1] : pixels[i]))
            run++;
        cost[i] = UINT32_MAX;
        for (size_t n = 1; n <= run; n++)
            if (2 + cost[i + n] < cost[i]) {
                cost[i] = 2 + cost[i + n];
                choice[i] = {false, uint32_t(n)};
            }
        for (size_t n = 3; n <= std::min<size_t>(255, width - i); n++) {
            uint32_t data = bits == 4 ? uint32_t(n + 3) / 4 * 2 : uint32_t(n + 1) / 2 * 2;
            if (2 + data + cost[i + n] < cost[i]) {
                cost[i] = 2 + data + cost[i + n];
                choice[i] = {true, uint32_t(n)};
            }
        }
    }
    for (size_t i = 0; i < width;) {
        auto [absolute, n] = choice[i];
        if (!absolute) {
            out.push_back(uint8_t(n));
            out.push_back(bits == 8 ? pixels[i] : uint8_t(pixels[i] << 4 | (n > 1 ? pixels[i + 1] : 0)));
        } else {
            out.push_back(0);
            out.push_back(uint8_t(n));
            size_t start = out.size();
            for (size_t k = 0; k < n; k += bits == 4 ? 2 : 1)
                out.push_back(bits == 8 ? pixels[i + k]
                                        : uint8_t(pixels[i + k] << 4 | (k + 1 < n ? pixels[i + k + 1] : 0)));
            if ((out.size() - start) % 2)
                out.push_back(0);
        }
        i += n;
    }
}

}  // namespace

bool pe_rle_encode(const std::vector<uint8_t>& indexes, int32_t width, int32_t height, uint32_t bits, Bytes* out)
{
    out->clear();
    if ((bits != 4 && bits != 8) || width <= 0 || height <= 0 ||
        indexes.size() != size_t(width) * size_t(height))
        return false;
    for (int32_t y = 0; y < height; y++) {
        encode_rle_row(indexes.data() + size_t(y) * size_t(width), size_t(width), bits, *out);
        out->push_back(0);
        out->push_back(y + 1 == height ? 1 : 0);  // end of bitmap, else end of line
    }
    return true;
}

bool pe_rle_decode(const std::vector<uint8_t>& data, int32_t width, int32_t height, uint32_t bits,
                   std::vector<uint8_t>* indexes)
{
    if ((bits != 4 && bits != 8) || width <= 0 || height <= 0)
        return false;
    indexes->assign(size_t(width) * size_t(height), 0);
    size_t at = 0;
    int64_t x = 0, y = 0;
    auto put = [&](uint8_t value) {
        if (x >= width || y >= height)
            return false;
        (*indexes)[size_t(y) * size_t(width) + size_t(x++)] = value;
        return true;
    };
    while (at + 2 <= data.size()) {
        uint8_t count = data[at], value = data[at + 1];
        at += 2;
        if (count > 0) {
            for (uint32_t k = 0; k < count; k++)
                if (!put(bits == 8 ? value : uint8_t(k % 2 ? value & 15 : value >> 4)))
                    return false;
        } else if (value == 0) {  // end of line: only after a whole row
            if (x != width)
                return false;
            x = 0;
            y++;
        } else if (value == 1) {  // end of bitmap: only after the last pixel
            return (y == height - 1 && x == width) || (y == height && x == 0);
        } else if (value == 2) {
            // A move leaves pixels that the loader does not define: refused.
            return false;
        } else {
            size_t bytes = bits == 8 ? value : (value + 1u) / 2;
            if (at + bytes > data.size())
                return false;
            for (uint32_t k = 0; k < value; k++) {
                uint8_t b = data[at + (bits == 8 ? k : k / 2)];
                if (!put(bits == 8 ? b : uint8_t(k % 2 ? b & 15 : b >> 4)))
                    return false;
            }
            at += bytes + bytes % 2;
        }
    }
    return false;  // no end of bitmap
}

bool pe_bitmap_from_bmp(const Bytes& file, int32_t width, int32_t height, Bytes* resource, std::string* error)
{
    constexpr uint32_t FILE_HEADER = 14;
    if (file.size() < FILE_HEADER + 40 || file[0] != 'B' || file[1] != 'M')
        return fail(error, "not a BMP file");
    uint32_t pixels_at = get32(file, 10);
    uint32_t info_size = get32(file, FILE_HEADER);
    if (info_size != 40 && info_size != 108 && info_size != 124)
        return fail(error, "a BMP with a header of an unknown kind (save it as a Windows BMP)");
    if (!fits(FILE_HEADER, info_size, file.size()))
        return fail(error, "a BMP cut short");
    int32_t w = int32_t(get32(file, FILE_HEADER + 4));
    int32_t h = int32_t(get32(file, FILE_HEADER + 8));
    uint32_t planes = get16(file, FILE_HEADER + 12);
    uint32_t bits = get16(file, FILE_HEADER + 14);
    uint32_t compression = get32(file, FILE_HEADER + 16);
    uint32_t image_size = get32(file, FILE_HEADER + 20);
    uint32_t colours_used = get32(file, FILE_HEADER + 32);
    int64_t rows = h < 0 ? -int64_t(h) : h;
    if (w != width || rows != height)
        return fail(error, "the bitmap is " + std::to_string(w) + " x " + std::to_string(rows) +
                               " pixels; the splash window needs " + std::to_string(width) + " x " +
                               std::to_string(height));
    if (planes != 1 || (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32))
        return fail(error, "a BMP with " + std::to_string(bits) + " bits per pixel (1, 4, 8, 16, 24 or 32 work)");
    const bool bitfields = compression == BI_BITFIELDS && (bits == 16 || bits == 32);
    const bool run_length = (compression == BI_RLE4 && bits == 4) || (compression == BI_RLE8 && bits == 8);
    if (compression != BI_RGB && !bitfields && !run_length)
        return fail(error, "a BMP compressed in a way the loader does not take (save it uncompressed)");
    if (run_length && h < 0)
        return fail(error, "a run-length encoded BMP stored top-down (not a valid BMP)");
    uint64_t max_colours = bits <= 8 ? uint64_t(1) << bits : 256;
    uint64_t colours = colours_used ? colours_used : (bits <= 8 ? max_colours : 0);
    if (colours > max_colours)
        return fail(error, "a BMP with more palette entries than its pixels can use");
    uint64_t table = 4 * colours + (bitfields && info_size == 40 ? 12 : 0);
    uint64_t header_end = FILE_HEADER + info_size + table;
    uint64_t row_bytes = (uint64_t(width) * bits + 31) / 32 * 4;
    uint64_t pixel_bytes = run_length ? image_size : row_bytes * uint64_t(height);
    if (header_end > pixels_at || (run_length && pixel_bytes == 0) || !fits(pixels_at, pixel_bytes, file.size()))
        return fail(error, "a BMP whose palette or pixels lie outside the file");
    Bytes pixels(file.begin() + long(pixels_at), file.begin() + long(pixels_at + pixel_bytes));
    std::vector<uint8_t> indexes;
    if (run_length && !pe_rle_decode(pixels, width, height, bits, &indexes))
        return fail(error, "a run-length encoded BMP whose pixels do not decode to the whole picture");

    // Palette pictures go in run-length encoded when that is smaller (the
    // stub is downloaded with every installer); the loader decodes them to
    // the same pixels. Such a bitmap is bottom-up.
    if (compression == BI_RGB && (bits == 4 || bits == 8)) {
        indexes.resize(size_t(width) * size_t(height));
        for (int32_t y = 0; y < height; y++) {
            size_t row = size_t(h < 0 ? height - 1 - y : y) * row_bytes;  // bottom row first
            for (int32_t x = 0; x < width; x++) {
                uint8_t b = pixels[row + size_t(bits == 8 ? x : x / 2)];
                indexes[size_t(y) * size_t(width) + size_t(x)] = bits == 8 ? b : uint8_t(x % 2 ? b & 15 : b >> 4);
            }
        }
        Bytes encoded;
        pe_rle_encode(indexes, width, height, bits, &encoded);
        if (encoded.size() < pixels.size()) {
            pixels = std::move(encoded);
            compression = bits == 8 ? BI_RLE8 : BI_RLE4;
            h = height;
        }
    }

    // The resource keeps the header and palette, then the pixels right
    // behind them: the loader finds the pixels there, not by an offset.
    resource->assign(file.begin() + FILE_HEADER, file.begin() + long(header_end));
    resource->insert(resource->end(), pixels.begin(), pixels.end());
    put32(*resource, 8, uint32_t(h));
    put32(*resource, 16, compression);
    put32(*resource, 20, uint32_t(pixels.size()));
    return true;
}

bool pe_set_icon_group(std::vector<PeResource>* resources, const char* group, const Bytes& ico, std::string* error)
{
    constexpr size_t DIR_SIZE = 6, FILE_ENTRY = 16, GROUP_ENTRY = 14;
    if (ico.size() < DIR_SIZE || get16(ico, 0) != 0 || get16(ico, 2) != 1)
        return fail(error, "not an icon file (.ico)");
    size_t count = get16(ico, 4);
    if (count == 0 || !fits(DIR_SIZE, FILE_ENTRY * count, ico.size()))
        return fail(error, "an icon file without images, or cut short");
    std::vector<Bytes> images;
    for (size_t i = 0; i < count; i++) {
        size_t e = DIR_SIZE + FILE_ENTRY * i;
        uint32_t size = get32(ico, e + 8), at = get32(ico, e + 12);
        if (size < 8 || !fits(at, size, ico.size()))
            return fail(error, "an icon file whose images lie outside it");
        bool png = std::memcmp(&ico[at], "\x89PNG", 4) == 0;
        if (!png && get32(ico, at) != 40)
            return fail(error, "an icon image that is neither a bitmap nor PNG");
        images.emplace_back(ico.begin() + at, ico.begin() + at + size);
    }

    // The icons of the group being replaced go with it.
    const PeResourceKey name = PeResourceKey::named(group);
    uint16_t language = usual_language(*resources);
    std::vector<uint16_t> old_ids;
    for (const PeResource& r : *resources) {
        if (!is_named(r, PE_TYPE_GROUP_ICON, name))
            continue;
        language = r.language;
        size_t old_count = r.data.size() >= DIR_SIZE ? get16(r.data, 4) : 0;
        for (size_t i = 0; i < old_count && DIR_SIZE + GROUP_ENTRY * (i + 1) <= r.data.size(); i++)
            old_ids.push_back(get16(r.data, DIR_SIZE + GROUP_ENTRY * i + 12));
    }
    resources->erase(std::remove_if(resources->begin(), resources->end(),
                                    [&](const PeResource& r) {
                                        if (is_named(r, PE_TYPE_GROUP_ICON, name))
                                            return true;
                                        return r.type == PeResourceKey::number(PE_TYPE_ICON) &&
                                               r.name.name.empty() &&
                                               std::find(old_ids.begin(), old_ids.end(), r.name.id) !=
                                                   old_ids.end();
                                    }),
                     resources->end());

    // New icons take the lowest numbers no other icon has.
    std::vector<uint16_t> taken;
    for (const PeResource& r : *resources)
        if (r.type == PeResourceKey::number(PE_TYPE_ICON) && r.name.name.empty())
            taken.push_back(r.name.id);
    Bytes directory;
    append16(directory, 0);
    append16(directory, 1);
    append16(directory, uint32_t(count));
    uint32_t next = 1;
    for (size_t i = 0; i < count; i++) {
        while (std::find(taken.begin(), taken.end(), next) != taken.end())
            next++;
        if (next > 0xFFFF)
            return fail(error, "no icon numbers left");
        PeResource icon;
        icon.type = PeResourceKey::number(PE_TYPE_ICON);
        icon.name = PeResourceKey::number(uint16_t(next));
        icon.language = language;
        icon.data = std::move(images[i]);
        resources->push_back(std::move(icon));
        size_t e = DIR_SIZE + FILE_ENTRY * i;
        directory.insert(directory.end(), ico.begin() + long(e), ico.begin() + long(e + 12));
        append16(directory, next);
        taken.push_back(uint16_t(next));
    }
    PeResource g;
    g.type = PeResourceKey::number(PE_TYPE_GROUP_ICON);
    g.name = name;
    g.language = language;
    g.data = std::move(directory);
    resources->push_back(std::move(g));
    return true;
}
