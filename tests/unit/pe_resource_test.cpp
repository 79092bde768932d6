#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "archive/pe_resource.h"
#include "archive/stream.h"
#include "support/test_host.h"

namespace {

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

struct Resource {
    std::string type;  // a name, or "#N" for the numeric type N
    std::string name;
    Bytes data;
};

constexpr uint32_t SECTION_RVA = 0x3000;
constexpr uint32_t SECTION_FILE_OFFSET = 0x400;

// A Windows executable whose only section is a resource section holding
// the given resources (one language each), laid out as linkers lay it out:
// the three directory levels, then the names, then the data entries and
// the data. `trailer` bytes follow the image.
Bytes make_image(const std::vector<Resource>& resources, bool pe32_plus = false, const Bytes& trailer = {})
{
    // Offsets inside the section.
    size_t n = resources.size();
    size_t root = 0;
    size_t name_dirs = 16 + 8 * n;
    size_t lang_dirs = name_dirs + n * (16 + 8);
    size_t strings = lang_dirs + n * (16 + 8);
    std::vector<size_t> type_name_at(n), name_at(n);
    size_t at = strings;
    for (size_t i = 0; i < n; i++) {
        auto place = [&](const std::string& s) {
            size_t here = at;
            at += 2 + 2 * s.size();
            return here;
        };
        type_name_at[i] = resources[i].type[0] == '#' ? 0 : place(resources[i].type);
        name_at[i] = place(resources[i].name);
    }
    at = (at + 3) & ~size_t(3);
    size_t entries = at;
    size_t data = entries + 16 * n;
    std::vector<size_t> data_at(n);
    for (size_t i = 0; i < n; i++) {
        data_at[i] = data;
        data += (resources[i].data.size() + 7) & ~size_t(7);
    }
    Bytes section(data, 0);
    size_t named_types = 0;
    for (const Resource& r : resources)
        named_types += r.type[0] != '#';
    put16(section, root + 12, uint32_t(named_types));
    put16(section, root + 14, uint32_t(n - named_types));
    for (size_t i = 0; i < n; i++) {
        const Resource& r = resources[i];
        size_t entry = root + 16 + 8 * i;
        put32(section, entry, r.type[0] == '#' ? uint32_t(std::stoul(r.type.substr(1)))
                                               : 0x80000000u | uint32_t(type_name_at[i]));
        size_t name_dir = name_dirs + i * 24, lang_dir = lang_dirs + i * 24;
        put32(section, entry + 4, 0x80000000u | uint32_t(name_dir));
        put16(section, name_dir + 12, 1);
        put32(section, name_dir + 16, 0x80000000u | uint32_t(name_at[i]));
        put32(section, name_dir + 20, 0x80000000u | uint32_t(lang_dir));
        put16(section, lang_dir + 14, 1);
        put32(section, lang_dir + 16, 0x409);
        put32(section, lang_dir + 20, uint32_t(entries + 16 * i));
        put32(section, entries + 16 * i, SECTION_RVA + uint32_t(data_at[i]));
        put32(section, entries + 16 * i + 4, uint32_t(r.data.size()));
        std::copy(r.data.begin(), r.data.end(), section.begin() + long(data_at[i]));
        auto write_name = [&](size_t where, const std::string& s) {
            put16(section, where, uint32_t(s.size()));
            for (size_t k = 0; k < s.size(); k++)
                put16(section, where + 2 + 2 * k, uint8_t(s[k]));
        };
        if (r.type[0] != '#')
            write_name(type_name_at[i], r.type);
        write_name(name_at[i], r.name);
    }

    Bytes image(SECTION_FILE_OFFSET, 0);
    image[0] = 'M';
    image[1] = 'Z';
    const uint32_t pe = 0x80;
    put32(image, 0x3C, pe);
    image[pe] = 'P';
    image[pe + 1] = 'E';
    const uint32_t coff = pe + 4, optional = coff + 20;
    const uint32_t directories = pe32_plus ? 112 : 96;
    const uint32_t optional_size = directories + 16 * 8;
    put16(image, coff, pe32_plus ? 0x8664 : 0x14C);
    put16(image, coff + 2, 1);
    put16(image, coff + 16, optional_size);
    put16(image, optional, pe32_plus ? 0x20B : 0x10B);
    put32(image, optional + directories - 4, 16);
    put32(image, optional + directories + 16, SECTION_RVA);
    put32(image, optional + directories + 20, uint32_t(section.size()));
    const uint32_t header = optional + optional_size;
    std::memcpy(&image[header], ".rsrc", 5);
    put32(image, header + 8, uint32_t(section.size()));
    put32(image, header + 12, SECTION_RVA);
    put32(image, header + 16, uint32_t(section.size()));
    put32(image, header + 20, SECTION_FILE_OFFSET);
    image.insert(image.end(), section.begin(), section.end());
    image.insert(image.end(), trailer.begin(), trailer.end());
    return image;
}

std::vector<Resource> installer_resources(const Bytes& archive)
{
    // As the installer's linker writes them: named types first, names in
    // upper case, the archive followed by the splash and the strings.
    return {{"ARCDATA", "DATA", archive},
            {"#2", "SPLASH", Bytes(700, 0x5A)},
            {"#6", "STRINGS", Bytes(40, 0x11)}};
}

}  // namespace

TEST(PeResource, FindsTheNamedResourceInBothImageKinds)
{
    const Bytes archive = {'a', 'r', 'c', 'h', 'i', 'v', 'e'};
    for (bool plus : {false, true}) {
        Bytes image = make_image(installer_resources(archive), plus, Bytes(33, 0xEE));
        PeResourceSpan span{};
        ASSERT_TRUE(pe_find_named_resource_in(image.data(), uint32_t(image.size()), "ARCDATA", "Data", &span));
        EXPECT_EQ(span.size, archive.size());
        EXPECT_EQ(Bytes(image.begin() + span.offset, image.begin() + span.offset + span.size), archive);
        EXPECT_FALSE(pe_find_named_resource_in(image.data(), uint32_t(image.size()), "ARCDATA", "Dat", &span));
        EXPECT_FALSE(pe_find_named_resource_in(image.data(), uint32_t(image.size()), "BITMAP", "Data", &span));
    }
    // Not an executable, or one without resources of that name.
    Bytes plain(4096, 0);
    PeResourceSpan span{};
    EXPECT_FALSE(pe_find_named_resource_in(plain.data(), uint32_t(plain.size()), "ARCDATA", "Data", &span));
    Bytes other = make_image({{"#2", "SPLASH", Bytes(10, 1)}});
    EXPECT_FALSE(pe_find_named_resource_in(other.data(), uint32_t(other.size()), "ARCDATA", "Data", &span));
}

TEST(PeResource, CutOrDamagedImagesNeverReadOutsideTheirBytes)
{
    // Each cut copy is a block of its own length, so a read past it is
    // seen by the sanitizers; a found span must lie inside it.
    const Bytes image = make_image(installer_resources(Bytes(300, 0x42)));
    for (size_t length = 0; length <= image.size(); length++) {
        std::vector<uint8_t> cut(image.begin(), image.begin() + long(length));
        PeResourceSpan span{};
        if (pe_find_named_resource_in(cut.data(), uint32_t(cut.size()), "ARCDATA", "Data", &span)) {
            EXPECT_LE(uint64_t(span.offset) + span.size, length);
        }
    }
    std::mt19937 rng(7);
    for (int round = 0; round < 20000; round++) {
        Bytes damaged = image;
        for (int k = 0; k < 3; k++)
            damaged[rng() % 0x500] = uint8_t(rng());
        PeResourceSpan span{};
        if (pe_find_named_resource_in(damaged.data(), uint32_t(damaged.size()), "ARCDATA", "Data", &span)) {
            EXPECT_LE(uint64_t(span.offset) + span.size, damaged.size());
        }
    }
}

TEST(PeResource, AnInstallerIsListedAsItsArchiveAlone)
{
    // The resources after the archive would otherwise be read as a
    // damaged header; as the archive alone the walk reaches its end.
    ArchiveWriter w;
    w.main_header();
    w.stored_file("setup.exe", Bytes(1000, 7));
    w.stored_file("readme.txt", Bytes(20, 8));
    Bytes archive = w.bytes();
    TempDir dir;
    ASSERT_TRUE(write_bytes_file(dir.file("setup-kit.exe"), make_image(installer_resources(archive))));

    TestJob job;  // a context whose stream the fixture releases
    stream_bind_installer_files(job.cx.stream);
    intptr_t h = stream_open(job.cx.stream, dir.file("setup-kit.exe").c_str(), 0, 0);
    ASSERT_NE(h, STREAM_OPEN_FAILED);
    StreamStat st{};
    stream_size(job.cx.stream, h, &st);
    EXPECT_EQ(st.size, archive.size());
    Bytes first(archive.size() + 8, 0);
    EXPECT_EQ(stream_read(job.cx.stream, h, first.data(), uint32_t(first.size())), int32_t(archive.size()));
    first.resize(archive.size());
    EXPECT_EQ(first, archive);
    stream_release(job.cx.stream);

    // A file that is no installer is still read whole.
    ASSERT_TRUE(write_bytes_file(dir.file("plain.ACE"), archive));
    stream_bind_installer_files(job.cx.stream);
    h = stream_open(job.cx.stream, dir.file("plain.ACE").c_str(), 0, 0);
    ASSERT_NE(h, STREAM_OPEN_FAILED);
    stream_size(job.cx.stream, h, &st);
    EXPECT_EQ(st.size, archive.size());
    stream_release(job.cx.stream);
}
