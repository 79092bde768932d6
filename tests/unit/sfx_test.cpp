// The installer maker's pieces: the resource formats it writes (string
// table, bitmap, icon group), its checks of the scratch name and of a
// finished archive, and where it looks for the stub.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "compress/archive_writer.h"
#include "support/le_bytes.h"
#include "tools/pe_image.h"
#include "tools/sfx_command.h"

namespace {

// The 16 strings of a string table block, as UTF-16 code units.
std::vector<std::u16string> strings_of(const Bytes& block)
{
    std::vector<std::u16string> out;
    size_t at = 0;
    while (at + 2 <= block.size()) {
        size_t n = get16(block, at);
        at += 2;
        std::u16string s;
        for (size_t i = 0; i < n; i++, at += 2)
            s.push_back(char16_t(get16(block, at)));
        out.push_back(s);
    }
    return out;
}

const PeResource* find(const std::vector<PeResource>& rs, uint16_t type, const PeResourceKey& name)
{
    for (const PeResource& r : rs)
        if (r.type == PeResourceKey::number(type) && r.name == name)
            return &r;
    return nullptr;
}

// A .bmp file: header, palette for <= 8 bits (or the three masks of bit
// fields), `gap` bytes, then the pixels.
Bytes make_bmp(int32_t width, int32_t height, uint16_t bits, uint32_t compression = 0, uint32_t gap = 0)
{
    uint32_t colours = bits <= 8 ? 1u << bits : 0;
    uint32_t row = (uint32_t(width) * bits + 31) / 32 * 4;
    uint32_t rows = uint32_t(height < 0 ? -height : height);
    uint32_t pixels_at = 14 + 40 + 4 * colours + (compression == 3 ? 12 : 0) + gap;
    Bytes b(pixels_at + row * rows, 0);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, uint32_t(b.size()));
    put32(b, 10, pixels_at);
    put32(b, 14, 40);
    put32(b, 18, uint32_t(width));
    put32(b, 22, uint32_t(height));
    put16(b, 26, 1);
    put16(b, 28, bits);
    put32(b, 30, compression);
    for (size_t i = pixels_at; i < b.size(); i++)
        b[i] = uint8_t(i * 7);
    return b;
}

// An .ico with one image per size given (each a BITMAPINFOHEADER and some bytes).
Bytes make_ico(const std::vector<uint8_t>& sizes)
{
    Bytes b(6 + 16 * sizes.size(), 0);
    put16(b, 2, 1);
    put16(b, 4, uint32_t(sizes.size()));
    for (size_t i = 0; i < sizes.size(); i++) {
        Bytes image(40 + sizes[i], uint8_t(sizes[i]));
        put32(image, 0, 40);
        size_t e = 6 + 16 * i;
        b[e] = sizes[i];
        b[e + 1] = sizes[i];
        put16(b, e + 4, 1);
        put16(b, e + 6, 32);
        put32(b, e + 8, uint32_t(image.size()));
        put32(b, e + 12, uint32_t(b.size()));
        b.insert(b.end(), image.begin(), image.end());
    }
    return b;
}

}  // namespace

TEST(SfxResources, StringsGoIntoTheirBlockAndKeepTheOthers)
{
    // No string table yet: block 1 (strings 0..15) is made, in the language
    // most resources have.
    std::vector<PeResource> rs = {{PeResourceKey::named("ARCDATA"), PeResourceKey::named("DATA"), 0x407, 0, {}}};
    std::string error;
    ASSERT_TRUE(pe_set_string(&rs, 1, "Setting up \xc3\xa9t\xc3\xa9", &error)) << error;
    ASSERT_TRUE(pe_set_string(&rs, 2, "kelvo.tmp", &error)) << error;
    const PeResource* block = find(rs, PE_TYPE_STRING, PeResourceKey::number(1));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->language, 0x407);
    std::vector<std::u16string> s = strings_of(block->data);
    ASSERT_EQ(s.size(), 16u);
    EXPECT_EQ(s[1], u"Setting up \u00e9t\u00e9");
    EXPECT_EQ(s[2], u"kelvo.tmp");
    EXPECT_EQ(s[0], u"");

    // An existing block keeps its other strings; string 17 is in block 2.
    Bytes old;
    for (int i = 0; i < 16; i++) {
        old.push_back(1);
        old.push_back(0);
        old.push_back(uint8_t('a' + i));
        old.push_back(0);
    }
    rs = {{PeResourceKey::number(PE_TYPE_STRING), PeResourceKey::number(1), 0x409, 0, old}};
    ASSERT_TRUE(pe_set_string(&rs, 1, "T", &error)) << error;
    ASSERT_TRUE(pe_set_string(&rs, 17, "x", &error)) << error;
    s = strings_of(find(rs, PE_TYPE_STRING, PeResourceKey::number(1))->data);
    EXPECT_EQ(s[1], u"T");
    EXPECT_EQ(s[15], u"p");
    EXPECT_EQ(strings_of(find(rs, PE_TYPE_STRING, PeResourceKey::number(2))->data)[1], u"x");

    // Refused: a damaged block, text that is not UTF-8.
    rs[0].data.resize(5);
    EXPECT_FALSE(pe_set_string(&rs, 1, "T", &error));
    EXPECT_FALSE(pe_set_string(&rs, 40, "bad \xc3(", &error));
    EXPECT_FALSE(pe_set_string(&rs, 40, "cut \xe2\x82", &error));
}

TEST(SfxResources, SplashBitmapsOfTheRightSizeAndFormOnly)
{
    struct Case {
        const char* what;
        Bytes file;
        bool ok;
    };
    Bytes cut = make_bmp(321, 81, 4);
    cut.resize(cut.size() - 1);
    Bytes core = make_bmp(321, 81, 4);
    put32(core, 14, 12);
    const std::vector<Case> cases = {
        {"4 bits", make_bmp(321, 81, 4), true},
        {"24 bits, top-down", make_bmp(321, -81, 24), true},
        {"8 bits with a gap before the pixels", make_bmp(321, 81, 8, 0, 10), true},
        {"32 bits with bit fields", make_bmp(321, 81, 32, 3), true},
        {"one pixel narrower", make_bmp(320, 81, 4), false},
        {"one row more", make_bmp(321, 82, 4), false},
        {"run-length compressed", make_bmp(321, 81, 4, 2), false},
        {"2 bits per pixel", make_bmp(321, 81, 2), false},
        {"pixels cut short", cut, false},
        {"an old core header", core, false},
        {"not a bitmap", Bytes(200, 'x'), false},
    };
    for (const Case& c : cases) {
        Bytes resource;
        std::string error;
        EXPECT_EQ(pe_bitmap_from_bmp(c.file, 321, 81, &resource, &error), c.ok) << c.what << ": " << error;
        if (!c.ok) {
            EXPECT_FALSE(error.empty()) << c.what;
            continue;
        }
        // Header and palette, then the pixels right behind them, wherever
        // the file kept them.
        uint32_t pixels_at = uint32_t(c.file[10] | c.file[11] << 8);
        uint32_t bits = get16(c.file, 28);
        size_t table = (bits <= 8 ? 4u << bits : 0) + (c.file[30] == 3 ? 12 : 0);
        size_t pixel_bytes = (321 * bits + 31) / 32 * 4 * 81;
        ASSERT_EQ(resource.size(), 40 + table + pixel_bytes) << c.what;
        EXPECT_TRUE(std::equal(resource.begin(), resource.begin() + 16, c.file.begin() + 14)) << c.what;
        EXPECT_TRUE(std::equal(resource.end() - long(pixel_bytes), resource.end(), c.file.begin() + pixels_at))
            << c.what;
    }
    Bytes resource;
    std::string error;
    EXPECT_FALSE(pe_bitmap_from_bmp(make_bmp(320, 81, 4), 321, 81, &resource, &error));
    EXPECT_NE(error.find("320 x 81"), std::string::npos) << error;
}

// Palette indexes, bottom row first: flat areas with a two-colour hatch
// (the splash's kind of picture) or every pixel different.
std::vector<uint8_t> picture(int32_t w, int32_t h, uint32_t bits, bool noisy)
{
    std::vector<uint8_t> p(size_t(w) * size_t(h));
    for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++)
            p[size_t(y) * size_t(w) + size_t(x)] =
                uint8_t((noisy ? x * 7 + y * 13 : (x < w / 3 ? 1 : (x + y) % 2 ? 5 : 2)) % (1 << bits));
    return p;
}

// A plain bottom-up .bmp of those indexes.
Bytes bmp_of(const std::vector<uint8_t>& p, int32_t w, int32_t h, uint32_t bits)
{
    Bytes b = make_bmp(w, h, uint16_t(bits));
    uint32_t row = (uint32_t(w) * bits + 31) / 32 * 4, at = get32(b, 10);
    std::fill(b.begin() + at, b.end(), 0);
    for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++) {
            uint8_t v = p[size_t(y) * size_t(w) + size_t(x)];
            uint8_t& byte = b[at + y * row + (bits == 8 ? x : x / 2)];
            byte = bits == 8 ? v : uint8_t(byte | (x % 2 ? v : v << 4));
        }
    return b;
}

TEST(SfxResources, PalettePicturesRunLengthEncodedWhenSmallerAndDecodeToTheSamePixels)
{
    for (uint32_t bits : {4u, 8u})
        for (bool noisy : {false, true}) {
            SCOPED_TRACE(std::to_string(bits) + (noisy ? " bits, noisy" : " bits, flat"));
            const auto p = picture(321, 81, bits, noisy);
            Bytes encoded;
            std::vector<uint8_t> decoded;
            ASSERT_TRUE(pe_rle_encode(p, 321, 81, bits, &encoded));
            ASSERT_TRUE(pe_rle_decode(encoded, 321, 81, bits, &decoded));
            EXPECT_EQ(decoded, p);

            const Bytes plain = bmp_of(p, 321, 81, bits);
            const size_t plain_pixels = plain.size() - get32(plain, 10);
            Bytes resource;
            std::string error;
            ASSERT_TRUE(pe_bitmap_from_bmp(plain, 321, 81, &resource, &error)) << error;
            const size_t header = 40 + (4u << bits);
            const Bytes pixels(resource.begin() + long(header), resource.end());
            EXPECT_EQ(get32(resource, 20), pixels.size());
            if (noisy) {  // nothing to gain: kept as it is
                EXPECT_EQ(get32(resource, 16), 0u);
                EXPECT_EQ(pixels.size(), plain_pixels);
                continue;
            }
            EXPECT_EQ(get32(resource, 16), bits == 4 ? 2u : 1u);
            EXPECT_LT(pixels.size(), plain_pixels);
            ASSERT_TRUE(pe_rle_decode(pixels, 321, 81, bits, &decoded));
            EXPECT_EQ(decoded, p);

            // The same picture stored top-down gives the same resource.
            Bytes top_down = plain;
            put32(top_down, 22, uint32_t(-81));
            const uint32_t row = (321 * bits + 31) / 32 * 4, at = get32(plain, 10);
            for (uint32_t y = 0; y < 81; y++)
                std::copy(plain.begin() + at + y * row, plain.begin() + at + (y + 1) * row,
                          top_down.begin() + at + (80 - y) * row);
            Bytes from_top_down;
            ASSERT_TRUE(pe_bitmap_from_bmp(top_down, 321, 81, &from_top_down, &error)) << error;
            EXPECT_EQ(from_top_down, resource);

            // A run-length encoded file is taken as it is.
            Bytes rle = make_bmp(321, 81, uint16_t(bits), bits == 4 ? 2 : 1);
            rle.resize(get32(rle, 10));
            rle.insert(rle.end(), encoded.begin(), encoded.end());
            put32(rle, 34, uint32_t(encoded.size()));
            Bytes taken;
            ASSERT_TRUE(pe_bitmap_from_bmp(rle, 321, 81, &taken, &error)) << error;
            EXPECT_TRUE(std::equal(taken.begin() + long(header), taken.end(), encoded.begin(), encoded.end()));
        }
}

TEST(SfxResources, RunLengthDataThatLeavesPixelsUndefinedIsRefused)
{
    // 4 x 2 pixels, 8 bits: two rows of a run of four.
    const Bytes whole = {4, 9, 0, 0, 4, 9, 0, 1};
    struct Case {
        const char* what;
        Bytes data;
        bool ok;
    };
    const std::vector<Case> cases = {
        {"whole", whole, true},
        {"absolute pieces, padded", {0, 3, 1, 2, 3, 0, 1, 4, 0, 0, 0, 4, 1, 2, 3, 4, 0, 1}, true},
        {"end of line after the last row", {4, 9, 0, 0, 4, 9, 0, 0, 0, 1}, true},
        {"no end of bitmap", {4, 9, 0, 0, 4, 9}, false},
        {"a row cut short", {3, 9, 0, 0, 4, 9, 0, 1}, false},
        {"a run past the edge", {5, 9, 0, 0, 3, 9, 0, 1}, false},
        {"a row too many", {4, 9, 0, 0, 4, 9, 0, 0, 4, 9, 0, 1}, false},
        {"a move", {4, 9, 0, 2, 0, 1, 0, 1}, false},
        {"an absolute piece cut short", {4, 9, 0, 0, 0, 4, 1, 2}, false},
        {"ends early", {4, 9, 0, 0, 0, 1}, false},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> indexes;
        EXPECT_EQ(pe_rle_decode(c.data, 4, 2, 8, &indexes), c.ok) << c.what;
    }
    // 4 bits: a run alternates the two halves of its byte.
    std::vector<uint8_t> indexes;
    ASSERT_TRUE(pe_rle_decode({3, 0x5A, 0, 1}, 3, 1, 4, &indexes));
    EXPECT_EQ(indexes, (std::vector<uint8_t>{5, 10, 5}));

    Bytes file = make_bmp(321, 81, 4, 2);  // bytes that are no run-length data
    put32(file, 34, uint32_t(file.size() - get32(file, 10)));
    std::string error;
    Bytes resource;
    EXPECT_FALSE(pe_bitmap_from_bmp(file, 321, 81, &resource, &error));
    EXPECT_NE(error.find("do not decode"), std::string::npos) << error;
}

TEST(SfxResources, AnIconFileReplacesTheGroupAndTheIconsItUsed)
{
    // The stub's group MAIN uses icons 1 and 2; icon 3 belongs to another group.
    Bytes old_group(6 + 2 * 14, 0);
    put16(old_group, 2, 1);
    put16(old_group, 4, 2);
    put16(old_group, 6 + 12, 1);
    put16(old_group, 6 + 14 + 12, 2);
    std::vector<PeResource> rs = {
        {PeResourceKey::number(PE_TYPE_ICON), PeResourceKey::number(1), 0x409, 0, Bytes(50, 1)},
        {PeResourceKey::number(PE_TYPE_ICON), PeResourceKey::number(2), 0x409, 0, Bytes(50, 2)},
        {PeResourceKey::number(PE_TYPE_ICON), PeResourceKey::number(3), 0x409, 0, Bytes(50, 3)},
        {PeResourceKey::number(PE_TYPE_GROUP_ICON), PeResourceKey::named("MAIN"), 0x409, 0, old_group},
    };
    const Bytes ico = make_ico({16, 32});
    std::string error;
    ASSERT_TRUE(pe_set_icon_group(&rs, "Main", ico, &error)) << error;

    const PeResource* group = find(rs, PE_TYPE_GROUP_ICON, PeResourceKey::named("MAIN"));
    ASSERT_NE(group, nullptr);
    ASSERT_EQ(group->data.size(), 6u + 2 * 14);
    EXPECT_EQ(get16(group->data, 4), 2u);
    ASSERT_NE(find(rs, PE_TYPE_ICON, PeResourceKey::number(3)), nullptr);
    EXPECT_EQ(find(rs, PE_TYPE_ICON, PeResourceKey::number(3))->data, Bytes(50, 3));
    for (size_t i = 0; i < 2; i++) {
        // Directory fields as the file has them, then the number of the icon.
        size_t e = 6 + 14 * i;
        EXPECT_TRUE(std::equal(group->data.begin() + long(e), group->data.begin() + long(e + 12),
                               ico.begin() + long(6 + 16 * i)));
        uint32_t id = get16(group->data, e + 12);
        EXPECT_EQ(id, i == 0 ? 1u : 2u) << "the lowest free numbers";
        const PeResource* icon = find(rs, PE_TYPE_ICON, PeResourceKey::number(uint16_t(id)));
        ASSERT_NE(icon, nullptr);
        EXPECT_EQ(icon->data.size(), 40u + (i == 0 ? 16 : 32));
    }
    EXPECT_EQ(rs.size(), 4u);

    Bytes bad_offset = ico;
    put32(bad_offset, 6 + 12, 0x10000);
    for (const Bytes& bad : {Bytes{0, 0, 2, 0, 1, 0}, Bytes{0, 0, 1, 0, 0, 0}, bad_offset, Bytes(10, 'x')}) {
        std::vector<PeResource> copy = rs;
        EXPECT_FALSE(pe_set_icon_group(&copy, "MAIN", bad, &error));
        EXPECT_EQ(copy.size(), rs.size()) << "a refused icon changes nothing";
    }
}

TEST(SfxChecks, ScratchNamesThatNameOneFolder)
{
    for (const char* good : {"kelvo08.tmp", "My Setup", "a.b.c", "x"}) {
        std::string error;
        EXPECT_TRUE(check_scratch_name(good, &error)) << good << ": " << error;
    }
    for (const char* bad : {"", ".", "..", "a/b", "a\\b", "C:x", "..\\up", "end.", "end ", "tab\there", "a*b",
                            "caf\xc3\xa9"}) {
        std::string error;
        EXPECT_FALSE(check_scratch_name(bad, &error)) << bad;
        EXPECT_NE(error.find("--scratch-name"), std::string::npos) << bad;
    }
    std::string error;
    EXPECT_TRUE(check_scratch_name(std::string(99, 'n'), &error));
    EXPECT_FALSE(check_scratch_name(std::string(100, 'n'), &error));
}

TEST(SfxChecks, AFinishedArchiveMustWalkToItsEnd)
{
    ArchiveWriter w;
    w.main_header();
    w.directory("docs");
    w.stored_file("setup.exe", Bytes(300, 7));
    w.stored_file("docs\\readme.txt", Bytes(20, 8));
    const Bytes good = w.bytes();
    std::vector<std::string> names;
    std::string error;
    ASSERT_TRUE(check_archive(good, &names, &error)) << error;
    EXPECT_EQ(names, (std::vector<std::string>{"setup.exe", "docs\\readme.txt"}));

    Bytes cut(good.begin(), good.end() - 3);
    Bytes trailing = good;
    trailing.push_back(0);
    Bytes damaged = good;
    damaged[good.size() - 20 - 10] ^= 0x40;  // inside the last file header
    MainHeaderFields second;
    second.volume_number = 1;
    ArchiveWriter later;
    later.main_header(second);
    later.stored_file("setup.exe", Bytes(3, 1));
    for (const Bytes& bad : {cut, trailing, damaged, later.bytes(), Bytes(100, 'x')}) {
        names.clear();
        error.clear();
        EXPECT_FALSE(check_archive(bad, &names, &error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(SfxChecks, TheStubIsLookedForBesideTheToolThenInItsShareFolder)
{
    std::vector<std::string> c = stub_candidates("/opt/kelvo/bin/kelvo");
    ASSERT_EQ(c.size(), 2u);
    // Compared as paths: the Windows build joins with its own separator.
    EXPECT_EQ(std::filesystem::path(c[0]).lexically_normal(),
              std::filesystem::path("/opt/kelvo/bin/kelvo-stub.exe").lexically_normal());
    EXPECT_EQ(std::filesystem::path(c[1]).lexically_normal(),
              std::filesystem::path("/opt/kelvo/share/kelvo/kelvo-stub.exe").lexically_normal());
}

TEST(SfxChecks, OptionsTheInstallersFirstThenThePackers)
{
    auto parse = [](std::vector<std::string> args) {
        args.insert(args.begin(), {"kelvo", "sfx"});
        std::vector<const char*> argv;
        for (const std::string& a : args)
            argv.push_back(a.c_str());
        return parse_sfx_options(int(argv.size()), argv.data(), 2);
    };
    SfxOptions o = parse({"--stub=s.exe", "--title", "T", "--scratch-name=x.tmp", "-m9", "out.exe", "dir", "f"});
    EXPECT_EQ(o.error, "");
    EXPECT_EQ(o.stub, "s.exe");
    EXPECT_TRUE(o.title_given);
    EXPECT_EQ(o.title, "T");
    EXPECT_EQ(o.scratch_name, "x.tmp");
    EXPECT_EQ(o.pack.level, 9);
    EXPECT_EQ(o.pack.archive, "out.exe");
    EXPECT_EQ(o.pack.inputs, (std::vector<std::string>{"dir", "f"}));
    EXPECT_FALSE(parse({"out.exe", "dir"}).title_given) << "the stub's defaults stay";

    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"-m9", "--title", "T", "out.exe", "dir"}, "stand before the packing options"},
        {{"out.exe"}, "sfx needs the installer's file name"},
        {{"--title"}, "--title needs a value"},
        {{"--splash=", "o.exe", "d"}, "--splash needs a file name"},
        {{"-v", "1m", "o.exe", "d"}, "one archive"},
        {{"--scratch-name", "../x", "o.exe", "d"}, "--scratch-name ../x"},
        {{"--title", std::string(400, 't'), "o.exe", "d"}, "--title is longer"},
    };
    for (const auto& [args, message] : refused)
        EXPECT_NE(parse(args).error.find(message), std::string::npos) << message << ": " << parse(args).error;
}
