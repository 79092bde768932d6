// Writes the seed corpora of the fuzz targets: small archives, volume
// sets, code tables and packed comments, all made by our own writer and
// packer, so that fuzzing starts from inputs that reach deep.
//
//   kelvo_make_fuzz_seeds <folder>   writes <folder>/{job,volumes,code_table,comment}/*
//
// The output is the same on every run; the corpora under fuzz/corpus are
// its output, checked in.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "archive/header.h"
#include "compress/archive_writer.h"
#include "compress/bit_writer.h"
#include "compress/code_table.h"
#include "compress/comment_packer.h"
#include "compress/packer.h"
#include "extract/job.h"
#include "fuzz_support.h"

namespace fs = std::filesystem;

namespace {

bool failed = false;

void save(const fs::path& folder, const std::string& name, const Bytes& bytes)
{
    fs::create_directories(folder);
    if (!write_bytes_file((folder / name).string(), bytes)) {
        std::fprintf(stderr, "cannot write %s\n", (folder / name).string().c_str());
        failed = true;
    }
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Prose-like contents that pack well but not to nothing.
Bytes prose(size_t size, uint32_t seed)
{
    static const char* words[] = {"kelvo ", "archive ", "volume ", "entry ", "header ", "dictionary ",
                                  "the ", "of ", "and ", "a ", "match ", "literal ", "\n"};
    std::string s;
    uint32_t x = seed * 2654435761u + 7;
    while (s.size() < size) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s += words[x % (sizeof words / sizeof *words)];
    }
    s.resize(size);
    return text(s);
}

Bytes pack_one(const std::vector<PackItem>& items, const PackOptions& options)
{
    PackResult r = pack_archive(items, options);
    if (!r.ok || r.volumes.size() != 1) {
        std::fprintf(stderr, "packing failed: %s\n", r.error.c_str());
        failed = true;
        return {};
    }
    return r.volumes[0];
}

std::vector<PackItem> three_items()
{
    std::vector<PackItem> items(3);
    items[0].name = "readme.txt";
    items[0].data = prose(700, 1);
    items[1].name = "docs/guide.txt";
    items[1].data = prose(1500, 2);
    items[2].name = "docs/empty.txt";
    return items;
}

PackOptions small_options(bool solid)
{
    PackOptions o;
    o.solid = solid;
    o.dict_bits = 12;
    o.level = 3;
    o.creation_time = dos_time(2001, 2, 3, 4, 5, 6);
    return o;
}

void job_seeds(const fs::path& out)
{
    const std::vector<PackItem> items = three_items();
    const Bytes solid = pack_one(items, small_options(true));
    const Bytes plain = pack_one(items, small_options(false));
    save(out, "packed-solid", solid);
    save(out, "packed-plain", plain);

    {
        std::vector<PackItem> more = items;
        more[0].comment = "A comment on the first entry, packed in its header.";
        more[1].comment = "guide guide guide guide";
        PackOptions o = small_options(true);
        o.archive_comment = "archive comment";
        o.max_block_symbols = 40;  // many small blocks
        o.adaptive_blocks = false;
        save(out, "packed-comments-small-blocks", pack_one(more, o));
    }
    {
        std::vector<PackItem> dirs(2);
        dirs[0].name = "tree";
        dirs[0].directory = true;
        dirs[1].name = "tree/leaf.bin";
        dirs[1].data = prose(300, 5);
        PackOptions o = small_options(true);
        o.store_only = true;
        save(out, "stored-with-directory", pack_one(dirs, o));
    }

    save(out, "stored-by-writer",
         ArchiveWriter().main_header().stored_file("one.txt", text("first")).stored_file("a\\two.txt", text("second")).take());
    save(out, "empty-archive", ArchiveWriter().main_header().take());
    {
        MainHeaderFields later;
        later.volume_number = 1;
        save(out, "later-volume", ArchiveWriter().main_header(later).stored_file("x.txt", text("x")).take());
    }
    {
        Bytes junk = prose(100, 9);
        save(out, "junk-before-archive", ArchiveWriter().raw(junk).main_header().stored_file("after.txt", text("after junk")).take());
    }
    {
        // One entry each that the decoder refuses or cannot serve, between
        // good ones.
        FileHeaderFields refused = stored_fields("refused.txt", text("no"));
        refused.flags = FLAG_REFUSED;
        FileHeaderFields unknown = stored_fields("method7.txt", text("seven"));
        unknown.method = 7;
        FileHeaderFields huge_dict = stored_fields("dict.txt", text("dict"));
        huge_dict.method = METHOD_LZ77;
        huge_dict.parameter = 15;
        save(out, "refused-entry", ArchiveWriter().main_header().stored_file("ok.txt", text("ok")).file_entry(refused, text("no")).take());
        save(out, "unknown-method", ArchiveWriter().main_header().file_entry(unknown, text("seven")).take());
        save(out, "dictionary-too-large", ArchiveWriter().main_header().file_entry(huge_dict, text("dict")).take());
    }
    {
        ArchiveWriter w;
        w.main_header();
        for (const char* name : {"..\\up.txt", "\\abs.txt", "c:drive.txt", "a/slash.txt", "dir\\..\\..\\x.txt", ""})
            w.stored_file(name, text("hostile"));
        w.stored_file("safe.txt", text("safe"));
        save(out, "hostile-names", w.take());
    }
    {
        Bytes damaged = solid;
        damage_byte(damaged, damaged.size() - 40);  // packed data
        save(out, "packed-data-damaged", damaged);
        Bytes bad_header = solid;
        damage_byte(bad_header, 40, 0x01);  // inside the first file header
        save(out, "file-header-damaged", bad_header);
    }
    {
        // Contents that run past the end, and an entry continued into a
        // volume that is not there.
        FileHeaderFields cut = stored_fields("cut.txt", prose(200, 3));
        Bytes area = prose(200, 3);
        area.resize(50);
        Bytes archive = ArchiveWriter().main_header().take();
        Bytes header = file_header_bytes(cut, 200);
        archive.insert(archive.end(), header.begin(), header.end());
        archive.insert(archive.end(), area.begin(), area.end());
        save(out, "data-area-cut-short", archive);

        FileHeaderFields continued = stored_fields("split.txt", text("first half"));
        continued.flags = FLAG_CONTINUED_NEXT;
        save(out, "continued-without-next", ArchiveWriter().main_header().file_entry(continued, text("first half")).take());
    }
    {
        // Headers of every size class: empty bodies, a long main header.
        MainHeaderFields long_main;
        long_main.info_text = prose(200, 4);
        long_main.comment = prose(2100, 6);  // longer than the kept part
        save(out, "long-main-header", ArchiveWriter().main_header(long_main).stored_file("f", text("f")).take());
        Bytes empties = ArchiveWriter().main_header().take();
        for (int i = 0; i < 4; i++) {
            Bytes h = header_bytes({});
            empties.insert(empties.end(), h.begin(), h.end());
        }
        ArchiveWriter tail;
        tail.stored_file("after-empties.txt", text("after"));
        empties.insert(empties.end(), tail.bytes().begin(), tail.bytes().end());
        save(out, "empty-headers", empties);
    }
}

void volume_seeds(const fs::path& out)
{
    {
        std::vector<PackItem> items = three_items();
        PackOptions o = small_options(true);
        o.volume_size = 600;
        PackResult r = pack_archive(items, o);
        if (!r.ok || r.volumes.size() < 2) {
            std::fprintf(stderr, "volume packing failed\n");
            failed = true;
        }
        save(out, "packed-solid-volumes", join_volumes(r.volumes));
    }
    {
        MainHeaderFields main;
        VolumeSetWriter w(main);
        w.stored_file("before.txt", text("before"));
        w.split_entry(stored_fields("split.txt", prose(90, 7)), prose(90, 7), {30, 30, 30});
        w.stored_file("after.txt", text("after"));
        save(out, "stored-split-three-ways", join_volumes(w.finish()));
    }
    {
        // An empty continued piece ends the entry's data.
        MainHeaderFields main;
        VolumeSetWriter w(main);
        w.split_entry(stored_fields("split.txt", prose(40, 8)), prose(40, 8), {40, 0});
        save(out, "empty-last-piece", join_volumes(w.finish()));
    }
    {
        // The second volume lacks its main header.
        MainHeaderFields main;
        VolumeSetWriter w(main);
        w.split_entry(stored_fields("split.txt", prose(40, 8)), prose(40, 8), {20, 20});
        std::vector<Bytes> v = w.finish();
        v[1].erase(v[1].begin(), v[1].begin() + 10);
        save(out, "next-volume-damaged", join_volumes(v));
    }
}

void code_table_seeds(const fs::path& out)
{
    auto cx = std::make_unique<JobContext>();
    struct Case {
        const char* name;
        std::vector<uint32_t> freqs;
        int limit;
    };
    std::vector<Case> cases;
    {
        std::vector<uint32_t> main(MAIN_SYMBOL_LIMIT + 1, 0);
        for (int s = 0; s <= MAIN_SYMBOL_LIMIT; s++)
            main[size_t(s)] = s < 128 ? 40 + s % 7 : s >= 256 ? 12 : 1;
        cases.push_back({"main-skewed", main, MAIN_SYMBOL_LIMIT});
        std::vector<uint32_t> flat(LENGTH_SYMBOL_LIMIT + 1, 5);
        cases.push_back({"length-flat", flat, LENGTH_SYMBOL_LIMIT});
        std::vector<uint32_t> two(MAIN_SYMBOL_LIMIT + 1, 0);
        two[65] = 3;
        two[270] = 1;
        cases.push_back({"main-two-symbols", two, MAIN_SYMBOL_LIMIT});
        std::vector<uint32_t> one(LENGTH_SYMBOL_LIMIT + 1, 0);
        one[0] = 9;
        cases.push_back({"length-one-symbol", one, LENGTH_SYMBOL_LIMIT});
    }
    for (const Case& c : cases) {
        std::vector<uint8_t> lengths(c.freqs.size(), 0);
        limited_code_lengths(c.freqs.data(), int(c.freqs.size()), MAX_CODE_LENGTH, lengths.data());
        PackBitWriter bw;
        write_code_table(cx->tables, &bw, lengths.data(), c.limit);
        bw.put(0x5A5A5A5A, 32);  // symbols to decode after the table
        bw.align_to_word();
        Bytes seed{uint8_t(c.limit == LENGTH_SYMBOL_LIMIT ? 2 : 0)};
        seed.insert(seed.end(), bw.bytes.begin(), bw.bytes.end());
        save(out, std::string("read-") + c.name, seed);
    }
    // Direct builds: the worked length sets, an over-full one and one with
    // a length beyond the width.
    struct Build {
        const char* name;
        uint8_t mode;
        std::vector<uint8_t> lengths;
    };
    const std::vector<Build> builds = {
        {"build-2-2-3-3-3-3", 1, {2, 2, 3, 3, 3, 3}},
        {"build-0-3-0-3-2-3-3-2-0", 1, {0, 3, 0, 3, 2, 3, 3, 2, 0}},
        {"build-overfull", 1, {1, 1, 1}},
        {"build-too-long", 1, {1, 2, 12, 12}},
        {"build-all-zero", 1, {0, 0, 0, 0, 0}},
        {"build-pre-code", 3, {3, 3, 3, 3, 3, 3, 3, 3}},
    };
    for (const Build& b : builds) {
        Bytes seed{b.mode, uint8_t(b.lengths.size() - 1), 0};
        seed.insert(seed.end(), b.lengths.begin(), b.lengths.end());
        save(out, b.name, seed);
    }
}

void comment_seeds(const fs::path& out)
{
    struct Case {
        const char* name;
        std::string entry_name;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"short", "readme.txt", "A short comment."},
        {"repeats", "data.bin", "abcabcabcabcabc xyzxyz xyzxyz -- abcabc abc"},
        {"long-name", std::string(1900, 'n'), "tight room"},
    };
    for (const Case& c : cases) {
        Bytes packed;
        if (!pack_comment(c.text, file_comment_room(c.entry_name.size()), packed)) {
            std::fprintf(stderr, "comment packing failed: %s\n", c.name);
            failed = true;
            continue;
        }
        Bytes seed{uint8_t(c.entry_name.size()), uint8_t(c.entry_name.size() >> 8)};
        seed.insert(seed.end(), c.entry_name.begin(), c.entry_name.end());
        seed.push_back(uint8_t(packed.size()));
        seed.push_back(uint8_t(packed.size() >> 8));
        seed.insert(seed.end(), packed.begin(), packed.end());
        save(out, c.name, seed);
    }
    // A comment size larger than the room, and a name that leaves none.
    Bytes oversized{4, 0, 'n', 'a', 'm', 'e', 0xFF, 0xFF, 0x10, 0x00, 0x12, 0x34};
    save(out, "size-beyond-room", oversized);
    save(out, "no-room", Bytes{0xE6, 0x07, 1, 2, 3});
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    const fs::path root = argv[1];
    job_seeds(root / "job");
    volume_seeds(root / "volumes");
    code_table_seeds(root / "code_table");
    comment_seeds(root / "comment");
    return failed ? 1 : 0;
}
