#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "archive/pe_resource.h"
#include "archive/stream.h"
#include "platform/embedded.h"
#include "support/le_bytes.h"
#include "support/test_host.h"
#include "tools/pe_image.h"

namespace {

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
    put32(image, optional + 32, 0x1000);  // section alignment
    put32(image, optional + 36, 0x200);   // file alignment
    put32(image, optional + 56, SECTION_RVA + 0x1000);
    put32(image, optional + 60, SECTION_FILE_OFFSET);  // size of the headers
    put32(image, optional + directories - 4, 16);
    put32(image, optional + directories + 16, SECTION_RVA);
    put32(image, optional + directories + 20, uint32_t(section.size()));
    const uint32_t header = optional + optional_size;
    std::memcpy(&image[header], ".rsrc", 5);
    put32(image, header + 8, uint32_t(section.size()));
    put32(image, header + 12, SECTION_RVA);
    put32(image, header + 16, uint32_t(section.size()));
    put32(image, header + 20, SECTION_FILE_OFFSET);
    put32(image, header + 36, 0x40000040);  // initialized data, readable
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

    // A native installer: a launcher larger than the signature search
    // looks, the archive, its length and the mark.
    Bytes native(70000, 0x90);
    native.insert(native.end(), archive.begin(), archive.end());
    for (int i = 0; i < 4; i++)
        native.push_back(uint8_t(archive.size() >> (8 * i)));
    native.insert(native.end(), EMBEDDED_MAGIC, EMBEDDED_MAGIC + sizeof EMBEDDED_MAGIC);
    ASSERT_TRUE(write_bytes_file(dir.file("setup-kit.run"), native));
    stream_bind_installer_files(job.cx.stream);
    h = stream_open(job.cx.stream, dir.file("setup-kit.run").c_str(), 0, 0);
    ASSERT_NE(h, STREAM_OPEN_FAILED);
    stream_size(job.cx.stream, h, &st);
    EXPECT_EQ(st.size, archive.size());
    Bytes again(archive.size(), 0);
    EXPECT_EQ(stream_read(job.cx.stream, h, again.data(), uint32_t(again.size())), int32_t(archive.size()));
    EXPECT_EQ(again, archive);
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

// ---- Rewriting the resource section --------------------------------------

namespace {

struct Headers {
    uint32_t coff, optional, directories, sections;
};
Headers headers_of(const Bytes& image)
{
    Headers h;
    h.coff = get32(image, 0x3C) + 4;
    h.optional = h.coff + 20;
    h.directories = h.optional + (image[h.optional + 1] == 0x02 ? 112 : 96);
    h.sections = h.optional + (image[h.coff + 16] | image[h.coff + 17] << 8);
    return h;
}
uint32_t align_up(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

// The base relocations behind the resources, as the linker places them.
Bytes with_relocations(Bytes image, const Bytes& relocations)
{
    Headers h = headers_of(image);
    uint32_t rsrc_virtual = get32(image, h.sections + 8);
    uint32_t header = h.sections + 40;
    uint32_t raw = align_up(uint32_t(image.size()), 0x200);
    uint32_t va = align_up(SECTION_RVA + rsrc_virtual, 0x1000);
    image.resize(raw, 0);
    image.insert(image.end(), relocations.begin(), relocations.end());
    image.resize(align_up(uint32_t(image.size()), 0x200), 0);
    std::memcpy(&image[header], ".reloc", 6);
    put32(image, header + 8, uint32_t(relocations.size()));
    put32(image, header + 12, va);
    put32(image, header + 16, align_up(uint32_t(relocations.size()), 0x200));
    put32(image, header + 20, raw);
    put32(image, header + 36, 0x42000040);
    put16(image, h.coff + 2, 2);
    put32(image, h.directories + 5 * 8, va);
    put32(image, h.directories + 5 * 8 + 4, uint32_t(relocations.size()));
    put32(image, h.optional + 56, va + 0x1000);
    return image;
}

Bytes with_signature(Bytes image, const Bytes& certificate)
{
    Headers h = headers_of(image);
    image.resize(align_up(uint32_t(image.size()), 8), 0);
    put32(image, h.directories + 4 * 8, uint32_t(image.size()));
    put32(image, h.directories + 4 * 8 + 4, uint32_t(certificate.size()));
    image.insert(image.end(), certificate.begin(), certificate.end());
    return image;
}

bool same_resources(std::vector<PeResource> a, std::vector<PeResource> b)
{
    auto order = [](const PeResource& x, const PeResource& y) {
        return std::tie(x.type.name, x.type.id, x.name.name, x.name.id, x.language) <
               std::tie(y.type.name, y.type.id, y.name.name, y.name.id, y.language);
    };
    std::sort(a.begin(), a.end(), order);
    std::sort(b.begin(), b.end(), order);
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (!(a[i].type == b[i].type) || !(a[i].name == b[i].name) || a[i].language != b[i].language ||
            a[i].data != b[i].data)
            return false;
    return true;
}

Bytes random_bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (uint8_t& c : b)
        c = uint8_t(rng());
    return b;
}

}  // namespace

TEST(PeRewrite, RebuiltResourcesReadBackWholeAndTheHeadersAgree)
{
    const Bytes relocations = random_bytes(300, 1);
    struct Case {
        bool plus, relocated, signed_image;
    };
    for (Case c : {Case{false, false, false}, Case{false, true, false}, Case{true, true, true},
                   Case{false, false, true}}) {
        SCOPED_TRACE(testing::Message() << "plus " << c.plus << " relocated " << c.relocated << " signed "
                                        << c.signed_image);
        Bytes stub = make_image(installer_resources(Bytes(10, 1)), c.plus);
        if (c.relocated)
            stub = with_relocations(stub, relocations);
        if (c.signed_image)
            stub = with_signature(stub, Bytes(100, 0x30));
        std::vector<PeResource> resources;
        std::string error;
        ASSERT_TRUE(pe_read_resources(stub, &resources, &error)) << error;
        ASSERT_EQ(resources.size(), 3u);
        bool stub_signed = c.signed_image;

        // Grown past several file alignment units, with a named type and a
        // numbered one added; then shrunk again from the result.
        for (size_t archive_size : {70001u, 0u}) {
            const Bytes archive = random_bytes(archive_size, uint32_t(archive_size));
            pe_put_resource(&resources, PeResourceKey::named("ARCDATA"), PeResourceKey::named("Data"), archive);
            pe_put_resource(&resources, PeResourceKey::named("kelvotest"), PeResourceKey::named("Extra"),
                            Bytes(5, 9));
            pe_put_resource(&resources, PeResourceKey::number(10), PeResourceKey::number(7), Bytes(3, 4));
            Bytes out;
            std::vector<std::string> warnings;
            ASSERT_TRUE(pe_replace_resources(stub, resources, 0x12345678, &out, &error, &warnings)) << error;

            for (auto [type, name, data] : {std::tuple{"ARCDATA", "Data", archive},
                                            std::tuple{"KelvoTest", "EXTRA", Bytes(5, 9)}}) {
                PeResourceSpan span{};
                ASSERT_TRUE(pe_find_named_resource_in(out.data(), uint32_t(out.size()), type, name, &span)) << type;
                EXPECT_EQ(Bytes(out.begin() + span.offset, out.begin() + span.offset + span.size), data) << type;
            }
            std::vector<PeResource> back;
            ASSERT_TRUE(pe_read_resources(out, &back, &error)) << error;
            EXPECT_TRUE(same_resources(back, resources));

            Headers h = headers_of(out);
            uint32_t rsrc_virtual = get32(out, h.sections + 8), rsrc_raw = get32(out, h.sections + 16);
            EXPECT_EQ(get32(out, h.coff + 4), 0x12345678u);
            EXPECT_EQ(get32(out, h.directories + 2 * 8 + 4), rsrc_virtual);
            EXPECT_EQ(rsrc_raw % 0x200, 0u);
            EXPECT_GE(rsrc_raw, rsrc_virtual);
            uint32_t last = c.relocated ? h.sections + 40 : h.sections;
            EXPECT_EQ(get32(out, h.optional + 56),
                      align_up(get32(out, last + 12) + get32(out, last + 8), 0x1000));
            EXPECT_EQ(out.size(), get32(out, last + 20) + get32(out, last + 16)) << "nothing after the sections";
            if (c.relocated) {
                uint32_t va = get32(out, last + 12), raw = get32(out, last + 20);
                EXPECT_EQ(va, align_up(SECTION_RVA + rsrc_virtual, 0x1000));
                EXPECT_EQ(get32(out, h.directories + 5 * 8), va);
                EXPECT_EQ(Bytes(out.begin() + raw, out.begin() + raw + long(relocations.size())), relocations);
            }
            EXPECT_EQ(get32(out, h.directories + 4 * 8), 0u);
            EXPECT_EQ(get32(out, h.directories + 4 * 8 + 4), 0u);
            EXPECT_EQ(warnings.size(), stub_signed ? 1u : 0u);
            uint32_t checksum = get32(out, h.optional + 64);
            EXPECT_EQ(checksum, pe_checksum(out, h.optional + 64));
            EXPECT_NE(checksum, 0u);
            stub = out;  // the next round starts from the grown image
            stub_signed = false;
        }
    }
}

TEST(PeRewrite, StubsThatCannotBeRewrittenAreRefusedAndNothingReadsOutsideThem)
{
    const Bytes good = with_relocations(make_image(installer_resources(Bytes(64, 2))), Bytes(40, 3));
    const Headers h = headers_of(good);
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
    };
    const std::vector<Case> cases = {
        {"not an executable", [](Bytes& b) { b[0] = 'X'; }},
        {"no PE header", [](Bytes& b) { put32(b, 0x3C, uint32_t(b.size()) - 2); }},
        {"a section other than the relocations after the resources",
         [&](Bytes& b) { put32(b, h.directories + 5 * 8, 0); }},
        {"data after the last section", [](Bytes& b) { b.push_back(1); }},
        {"a file alignment that is no power of two", [&](Bytes& b) { put32(b, h.optional + 36, 0x300); }},
        {"resources that do not start their section", [&](Bytes& b) { put32(b, h.directories + 2 * 8, SECTION_RVA + 16); }},
        {"a directory with more entries than the section holds", [](Bytes& b) { put16(b, SECTION_FILE_OFFSET + 14, 0xFFFF); }},
        {"a section's data outside the file", [&](Bytes& b) { put32(b, h.sections + 40 + 16, 0x100000); }},
        {"resources that claim the same bytes again", [&](Bytes& b) {
             // Both the archive and the bitmap say they are the whole section.
             for (uint32_t type = 0; type < 2; type++) {
                 uint32_t names = get32(b, SECTION_FILE_OFFSET + 16 + 8 * type + 4) & 0x7FFFFFFF;
                 uint32_t languages = get32(b, SECTION_FILE_OFFSET + names + 20) & 0x7FFFFFFF;
                 uint32_t entry = SECTION_FILE_OFFSET + get32(b, SECTION_FILE_OFFSET + languages + 20);
                 put32(b, entry, SECTION_RVA);
                 put32(b, entry + 4, get32(b, h.sections + 8));
             }
         }},
        {"a signature among the sections", [&](Bytes& b) { put32(b, h.directories + 4 * 8, 0x400); put32(b, h.directories + 4 * 8 + 4, 8); }},
    };
    for (const Case& c : cases) {
        Bytes bad = good;
        c.damage(bad);
        // As the tool does it: read the stub's resources, then rewrite.
        std::vector<PeResource> resources;
        Bytes out;
        std::string error;
        std::vector<std::string> warnings;
        EXPECT_FALSE(pe_read_resources(bad, &resources, &error) &&
                     pe_replace_resources(bad, resources, 0, &out, &error, &warnings))
            << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }

    // Cut or damaged copies, each a block of its own length (the sanitizers
    // see any read past it): refused, or rewritten into an image whose
    // archive lies inside it.
    auto try_one = [&](const Bytes& image) {
        std::vector<PeResource> found;
        std::string error;
        std::vector<std::string> warnings;
        Bytes out;
        if (!pe_read_resources(image, &found, &error))
            return;
        pe_put_resource(&found, PeResourceKey::named("ARCDATA"), PeResourceKey::named("Data"), Bytes(9, 9));
        if (!pe_replace_resources(image, found, 0, &out, &error, &warnings))
            return;
        PeResourceSpan span{};
        ASSERT_TRUE(pe_find_named_resource_in(out.data(), uint32_t(out.size()), "ARCDATA", "Data", &span));
        EXPECT_EQ(span.size, 9u);
    };
    for (size_t length = 0; length <= good.size(); length += 3)
        try_one(Bytes(good.begin(), good.begin() + long(length)));
    std::mt19937 rng(11);
    for (int round = 0; round < 5000; round++) {
        Bytes damaged = good;
        for (int k = 0; k < 3; k++)
            damaged[rng() % (SECTION_FILE_OFFSET + 0x100)] = uint8_t(rng());
        try_one(damaged);
    }
}
