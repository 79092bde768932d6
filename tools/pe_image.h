// Rewriting the resources of a Windows executable, from its bytes: an
// installer is a copy of the stub whose resource section is built anew
// (the archive, the strings, the splash bitmap, the icon), with the
// headers that describe that section fixed up. Every offset taken from
// the input is checked against the input's length; what cannot be
// rewritten safely is refused with the reason.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Resource types by number, as the resource compiler writes them.
constexpr uint16_t PE_TYPE_ICON = 3;
constexpr uint16_t PE_TYPE_BITMAP = 2;
constexpr uint16_t PE_TYPE_STRING = 6;
constexpr uint16_t PE_TYPE_GROUP_ICON = 14;

// A resource type or name: a number, or a name when `name` is not empty.
struct PeResourceKey {
    uint16_t id = 0;
    std::u16string name;

    static PeResourceKey number(uint16_t id);
    // Names are kept in upper case: the resource compiler stores them so,
    // and the system's lookup upper-cases the name it is asked for.
    static PeResourceKey named(const char* ascii);
    bool operator==(const PeResourceKey& other) const { return id == other.id && name == other.name; }
};

struct PeResource {
    PeResourceKey type;
    PeResourceKey name;
    uint16_t language = 0;
    uint32_t codepage = 0;
    std::vector<uint8_t> data;
};

// Every resource of the image, in directory order. False (with the reason)
// when the bytes are not an executable this tool can rewrite, or its
// resource directory is damaged.
bool pe_read_resources(const std::vector<uint8_t>& image, std::vector<PeResource>* resources, std::string* error);

// The image with its resource section replaced by one holding exactly
// `resources`: the section grows or shrinks in place, a base relocation
// section behind it moves up, the sizes, the image's checksum and its time
// stamp are set; a signature is dropped (with a warning: it would no longer
// match). The resource section must be the last section but for base
// relocations, and nothing but a signature may follow the sections.
bool pe_replace_resources(const std::vector<uint8_t>& image, const std::vector<PeResource>& resources,
                          uint32_t time_stamp, std::vector<uint8_t>* out, std::string* error,
                          std::vector<std::string>* warnings);

// The checksum of the optional header, over the image with the field at
// `field_offset` taken as zero.
uint32_t pe_checksum(const std::vector<uint8_t>& image, uint32_t field_offset);

// ---- Resource formats -----------------------------------------------------

// Puts or replaces the resource of that type and name: the language of the
// one replaced, else the one most resources of the image have.
void pe_put_resource(std::vector<PeResource>* resources, const PeResourceKey& type, const PeResourceKey& name,
                     std::vector<uint8_t> data);

// Sets string `id` of the string table (UTF-8 text) in every language the
// table holds it in, adding the table's block if there is none.
bool pe_set_string(std::vector<PeResource>* resources, uint16_t id, const std::string& utf8, std::string* error);

// A bitmap resource from a .bmp file: its header, colour table and pixels
// without the file header. Refused unless it is a well-formed bitmap of
// exactly width x height pixels, uncompressed or run-length encoded (4 and
// 8 bits, whose pixels must decode to the whole picture). A 4- or 8-bit
// picture is run-length encoded when that is smaller.
bool pe_bitmap_from_bmp(const std::vector<uint8_t>& file, int32_t width, int32_t height,
                        std::vector<uint8_t>* resource, std::string* error);

// Run-length encoding of a palette picture (BI_RLE4 with bits 4, BI_RLE8
// with 8): `indexes` holds width x height palette indexes, bottom row
// first, as the encoded rows go. Decoding takes only data that sets every
// pixel once, row by row, and ends with the end-of-bitmap mark: a row cut
// short, a move over pixels or a run past the edge leaves pixels that the
// loader does not define.
bool pe_rle_encode(const std::vector<uint8_t>& indexes, int32_t width, int32_t height, uint32_t bits,
                   std::vector<uint8_t>* out);
bool pe_rle_decode(const std::vector<uint8_t>& data, int32_t width, int32_t height, uint32_t bits,
                   std::vector<uint8_t>* indexes);

// Replaces the icon group `group` (and the icons it used) by the icons of
// an .ico file: one icon resource per image, and the group that lists them.
bool pe_set_icon_group(std::vector<PeResource>* resources, const char* group, const std::vector<uint8_t>& ico,
                       std::string* error);
