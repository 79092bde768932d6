// Writes the archives the console tool's integration tests run on, with the
// source files they must give back, into one folder:
//
//   src/tree/...          the files and folders packed into the tree archives
//   src/flat/...          what e (no paths) gives for them
//   <name>.ace            archives (and .C00... volumes), listed in main()
//
// Every archive is made here, by the project's own writer and packer.
//
// The installer tests' payloads, whole or deliberately damaged (kelvo sfx
// refuses damaged archives, so these go into installers built around it):
//
//   make_archives --payload OUT.ace PATH... [options]
//
// A folder PATH gives what it holds, a file PATH itself, packed as kelvo a
// packs them (folder entries, times and attributes from disk). Options:
//   --filler NAME BYTES    an entry of generated text
//   --fillers COUNT BYTES  COUNT entries of numbered lines, fill0000.dat on:
//                          creating files is what costs an installer time
//   --damage-tail          flip a byte near the end, inside the last entry's
//                          data (its CRC check fails)
//   --damage-header N      flip a byte in the header of entry N (0: the
//                          first; folders count): the walk ends there
//   --native-stub STUB     write the native installer instead: STUB (the
//                          native launcher) with the archive appended
// Generated entries come after the packed ones, so that a damaged tail hits
// one of them and leaves the real files whole.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive/header.h"
#include "compress/archive_writer.h"
#include "compress/comment_packer.h"
#include "compress/packer.h"
#include "platform/embedded.h"
#include "tools/pack_command.h"

namespace fs = std::filesystem;

namespace {

struct Rng {
    uint64_t s;
    uint32_t next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return uint32_t(s >> 11);
    }
};

Bytes text_bytes(size_t size, uint64_t seed)
{
    static const char* words[] = {"archive", "volume", "header", "entry", "the", "a", "of", "and",
                                  "dictionary", "solid", "packed", "window", "table", "code", "to",
                                  "installer", "setup", "file", "folder", "\n", ", ", ". "};
    Rng r{seed};
    Bytes b;
    while (b.size() < size) {
        const char* w = words[r.next() % (sizeof words / sizeof *words)];
        for (const char* p = w; *p && b.size() < size; p++)
            b.push_back(uint8_t(*p));
        if (b.size() < size)
            b.push_back(' ');
    }
    return b;
}

Bytes random_bytes(size_t size, uint64_t seed)
{
    Rng r{seed};
    Bytes b(size);
    for (uint8_t& x : b)
        x = uint8_t(r.next());
    return b;
}

// Like an executable: runs of structure with repeats at varied distances.
Bytes structured_bytes(size_t size, uint64_t seed)
{
    Rng r{seed};
    Bytes b;
    while (b.size() < size) {
        uint32_t kind = r.next() % 4;
        if (kind == 0 || b.size() < 64) {
            for (int i = 0; i < 16 && b.size() < size; i++)
                b.push_back(uint8_t(r.next()));
        } else if (kind == 1) {
            for (int i = 0; i < 40 && b.size() < size; i++)
                b.push_back(0);
        } else {
            size_t distance = 1 + r.next() % std::min<size_t>(b.size(), 60000);
            size_t length = 3 + r.next() % 120;
            for (size_t i = 0; i < length && b.size() < size; i++)
                b.push_back(b[b.size() - distance]);
        }
    }
    return b;
}

struct TreeFile {
    std::string name;  // inside the archive, '\' between folders
    Bytes contents;
};

// The tree every "tree" archive holds (folders listed separately).
std::vector<TreeFile> tree_files()
{
    return {
        {"readme.txt", text_bytes(5000, 1)},
        {"empty.dat", {}},
        {"one.txt", {'!'}},
        {"docs\\guide.txt", text_bytes(60000, 2)},
        {"docs\\deep\\nested\\data.bin", random_bytes(70000, 3)},
        {"bin\\tool.exe", structured_bytes(300000, 4)},
        {"bin\\setup.exe", structured_bytes(90000, 5)},
    };
}

const std::vector<std::string> tree_folders = {"bin", "docs", "docs\\deep", "docs\\deep\\nested", "emptydir"};

std::string disk_name(std::string name)
{
    for (char& c : name)
        if (c == '\\')
            c = '/';
    return name;
}

std::string last_part(const std::string& name)
{
    size_t p = name.rfind('\\');
    return p == std::string::npos ? name : name.substr(p + 1);
}

bool fail(const std::string& what)
{
    std::fprintf(stderr, "make_archives: %s\n", what.c_str());
    return false;
}

bool write_file(const fs::path& path, const Bytes& bytes)
{
    fs::create_directories(path.parent_path());
    return write_bytes_file(path.string(), bytes) || fail("cannot write " + path.string());
}

bool write_sources(const fs::path& out)
{
    for (const std::string& d : tree_folders)
        fs::create_directories(out / "src/tree" / disk_name(d));
    for (const TreeFile& f : tree_files()) {
        if (!write_file(out / "src/tree" / disk_name(f.name), f.contents) ||
            !write_file(out / "src/flat" / last_part(f.name), f.contents))
            return false;
    }
    return true;
}

// ---- Archives made by the writer alone ------------------------------------

Bytes stored_tree_archive(bool solid, size_t junk)
{
    ArchiveWriter w;
    if (junk)
        w.raw(text_bytes(junk, 99));
    MainHeaderFields m;
    m.flags = solid ? FLAG_SOLID : 0;
    w.main_header(m);
    for (const std::string& d : tree_folders)
        w.directory(d);
    for (const TreeFile& f : tree_files())
        w.stored_file(f.name, f.contents);
    return w.take();
}

// Entries that break something, each between good ones.
Bytes failure_archive(const std::string& kind)
{
    ArchiveWriter w;
    w.main_header();
    w.stored_file("first.txt", text_bytes(3000, 10));
    Bytes bad = text_bytes(4000, 11);
    if (kind == "crc") {
        FileHeaderFields f = stored_fields("bad.txt", bad);
        f.file_crc ^= 0x00010000;
        w.file_entry(f, bad);
    } else if (kind == "method") {
        FileHeaderFields f = stored_fields("bad.txt", bad);
        f.method = 7;
        w.file_entry(f, bad);
    } else if (kind == "refused") {
        FileHeaderFields f = stored_fields("bad.txt", bad);
        f.flags |= FLAG_REFUSED;
        w.file_entry(f, bad);
    } else if (kind == "header") {
        size_t at = w.size();
        w.stored_file("bad.txt", bad);
        w.damage(at + 10, 0x01);  // inside the header's body: its CRC fails
    } else if (kind == "truncated") {
        w.stored_file("bad.txt", bad);
        Bytes b = w.take();
        b.resize(b.size() - 1000);
        return b;
    }
    w.stored_file("last.txt", text_bytes(2000, 12));
    return w.take();
}

// Names that would land outside the extraction folder, between good entries.
Bytes hostile_archive(bool solid)
{
    ArchiveWriter w;
    MainHeaderFields m;
    m.flags = solid ? FLAG_SOLID : 0;
    w.main_header(m);
    w.stored_file("before.txt", text_bytes(1000, 20));
    w.stored_file("\\kelvo_abs.txt", text_bytes(100, 21));
    w.stored_file("C:\\kelvo_drive.txt", text_bytes(100, 22));
    w.stored_file("..\\kelvo_up.txt", text_bytes(100, 23));
    w.stored_file("sub\\..\\..\\kelvo_up2.txt", text_bytes(100, 24));
    w.stored_file("sub/../../kelvo_slash.txt", text_bytes(100, 25));
    w.stored_file("after\\after.txt", text_bytes(1000, 26));
    return w.take();
}

// The tree packed by the packer: LZ77 entries (and stored ones where
// packing does not pay, like the random data.bin), folders as entries.
PackResult packed_tree(bool solid, uint32_t volume_size, bool comments)
{
    std::vector<PackItem> items;
    for (const std::string& d : tree_folders) {
        PackItem item;
        item.name = d;
        item.directory = true;
        item.file_time = dos_time(2001, 9, 9, 1, 46, 40);
        items.push_back(item);
    }
    for (const TreeFile& f : tree_files()) {
        PackItem item;
        item.name = f.name;
        item.data = f.contents;
        item.file_time = dos_time(2024, 5, 17, 13, 45, 22);
        if (comments) {
            Bytes words = text_bytes(200, f.contents.size());
            item.comment = "comment of " + f.name + ": " + std::string(words.begin(), words.end());
        }
        items.push_back(item);
    }
    PackOptions o;
    o.solid = solid;
    o.volume_size = volume_size;
    if (comments)
        o.archive_comment = "Kelvo test archive with comments";
    return pack_archive(items, o);
}

// Entries whose listing is known to the byte: times, attributes, a name
// with control characters, a comment, a split entry.
std::vector<Bytes> listing_volumes()
{
    MainHeaderFields m;
    m.creation_time = dos_time(1999, 12, 31, 23, 59, 58);
    Bytes comment;
    pack_comment("archive comment", 2000, comment);
    m.comment = comment;
    VolumeSetWriter v(m);
    Bytes hello = text_bytes(1000, 40);
    FileHeaderFields a = stored_fields("hello.txt", hello);
    a.file_time = dos_time(2024, 5, 17, 13, 45, 22);
    a.file_attributes = 0x01 | 0x02 | 0x04 | 0x20;
    Bytes file_comment;
    pack_comment("a file comment", file_comment_room(a.name.size()), file_comment);
    a.comment = file_comment;
    v.entry(a, hello);
    Bytes bell = {'b'};
    FileHeaderFields b = stored_fields(std::string("esc\x1b[31mred\x07.txt"), bell);
    b.file_time = dos_time(1980, 1, 1, 0, 0, 0);
    v.entry(b, bell);
    Bytes big = random_bytes(3000, 41);
    FileHeaderFields c = stored_fields("split.bin", big);
    c.file_time = dos_time(2107, 12, 31, 23, 59, 58);
    v.split_entry(c, big, {1000, 1500, 500});
    return v.finish();
}

bool write_volume_set(const fs::path& out, const std::string& name, const std::vector<Bytes>& volumes)
{
    return write_volume_files((out / name).string(), volumes) || fail("cannot write " + name);
}

// ---- Installer payloads ----------------------------------------------------

// Numbered lines ("entry 12 line 7"): many small entries that differ from
// each other, like a folder of small data files.
Bytes numbered_lines(size_t size, uint32_t entry)
{
    Bytes out;
    out.reserve(size);
    char line[48];
    for (uint32_t n = 0; out.size() < size; n++) {
        int length = std::snprintf(line, sizeof line, "entry %u line %u\n", entry, n);
        for (int i = 0; i < length && out.size() < size; i++)
            out.push_back(uint8_t(line[i]));
    }
    return out;
}

bool damage_tail(Bytes& archive)
{
    constexpr size_t TAIL = 16;
    if (archive.size() < 4096)
        return false;
    archive[archive.size() - TAIL] ^= 0xFF;
    return true;
}

// Inverts the flags of the header of file entry `index`, so that its check
// fails. False when the archive has no such entry.
bool damage_header(Bytes& archive, size_t index)
{
    // Each header: CRC (2), body size (2), then the body: type (1),
    // flags (2) and, with FLAG_DATA_SIZE, the size of the data after it.
    auto le16 = [&](size_t at) { return size_t(archive[at]) | size_t(archive[at + 1]) << 8; };
    size_t files = 0;
    for (size_t at = 0; at + 7 <= archive.size();) {
        size_t next = at + 4 + le16(at + 2);
        uint16_t flags = uint16_t(le16(at + 5));
        if ((flags & FLAG_DATA_SIZE) && at + 11 <= archive.size())
            next += le16(at + 7) | le16(at + 9) << 16;
        if (archive[at + 4] == HEADER_TYPE_FILE && files++ == index) {
            archive[at + 5] ^= 0xFF;
            return true;
        }
        at = next;
    }
    return false;
}

// The launcher, the archive and the trailer that lets the running program
// find the archive again: what kelvo sfx writes for a native stub.
bool append_to_stub(const std::string& stub_path, const Bytes& archive, Bytes* installer)
{
    std::ifstream in(stub_path, std::ios::binary);
    if (!in)
        return false;
    installer->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad())
        return false;
    installer->insert(installer->end(), archive.begin(), archive.end());
    for (int i = 0; i < 4; i++)
        installer->push_back(uint8_t(archive.size() >> (8 * i)));
    installer->insert(installer->end(), EMBEDDED_MAGIC, EMBEDDED_MAGIC + sizeof EMBEDDED_MAGIC);
    return true;
}

int payload_usage()
{
    std::fprintf(stderr, "usage: make_archives --payload OUT.ace PATH... [--filler NAME BYTES] "
                         "[--fillers COUNT BYTES] [--damage-tail] [--damage-header N] [--native-stub STUB]\n");
    return 2;
}

int make_payload(int argc, char** argv)
{
    // Generated entries get a fixed time: the archive is the same from run
    // to run, and every stamp is a valid date.
    const uint32_t generated_time = dos_time(2024, 5, 17, 13, 45, 22);
    PackCommandOptions options;  // kelvo a's defaults: solid, folder entries
    std::vector<PackItem> generated;
    bool tail = false;
    long header = -1;
    std::string native_stub;
    auto add_generated = [&](const std::string& name, Bytes contents) {
        PackItem item;
        item.name = name;
        item.data = std::move(contents);
        item.file_time = generated_time;
        generated.push_back(std::move(item));
    };
    for (int i = 2; i < argc; i++) {
        const char* a = argv[i];
        if (!std::strcmp(a, "--damage-tail")) {
            tail = true;
        } else if (!std::strcmp(a, "--damage-header") && i + 1 < argc) {
            header = std::strtol(argv[++i], nullptr, 10);
        } else if (!std::strcmp(a, "--native-stub") && i + 1 < argc) {
            native_stub = argv[++i];
        } else if (!std::strcmp(a, "--filler") && i + 2 < argc) {
            add_generated(argv[i + 1], text_bytes(std::strtoul(argv[i + 2], nullptr, 10), generated.size() + 1));
            i += 2;
        } else if (!std::strcmp(a, "--fillers") && i + 2 < argc) {
            unsigned long count = std::strtoul(argv[i + 1], nullptr, 10);
            size_t size = std::strtoul(argv[i + 2], nullptr, 10);
            for (unsigned long k = 0; k < count; k++) {
                char name[32];
                std::snprintf(name, sizeof name, "fill%04lu.dat", k);
                add_generated(name, numbered_lines(size, uint32_t(k)));
            }
            i += 2;
        } else if (a[0] == '-' && a[1] == '-') {
            return payload_usage();
        } else if (options.archive.empty()) {
            options.archive = a;
        } else {
            // A folder's contents at the top, as "kelvo a OUT folder/." packs them.
            options.inputs.push_back(fs::is_directory(a) ? (fs::path(a) / ".").string() : std::string(a));
        }
    }
    if (options.inputs.empty())
        return payload_usage();
    PackPlan plan;
    if (plan_pack(options, stderr, &plan) != 0)
        return 1;
    // The folders the generated names lie in get entries of their own, as
    // packing them from disk would give.
    std::set<std::string> folders;
    for (const PackItem& item : plan.items)
        if (item.directory)
            folders.insert(item.name);
    for (const PackItem& g : generated) {
        for (size_t cut = g.name.find('\\'); cut != std::string::npos; cut = g.name.find('\\', cut + 1)) {
            std::string folder = g.name.substr(0, cut);
            if (!folders.insert(folder).second)
                continue;
            PackItem item;
            item.name = folder;
            item.directory = true;
            item.file_time = generated_time;
            plan.items.push_back(std::move(item));
        }
        plan.items.push_back(g);
    }
    PackResult packed = pack_archive(plan.items, plan.pack);
    if (!packed.ok || packed.volumes.size() != 1) {
        fail(packed.ok ? "more than one volume" : packed.error);
        return 1;
    }
    Bytes& archive = packed.volumes[0];
    if (tail && !damage_tail(archive)) {
        fail("the archive is too small to damage its tail");
        return 1;
    }
    if (header >= 0 && !damage_header(archive, size_t(header))) {
        fail("no entry " + std::to_string(header) + " to damage");
        return 1;
    }
    if (native_stub.empty()) {
        if (!write_bytes_file(options.archive, archive)) {
            fail("cannot write " + options.archive);
            return 1;
        }
        return 0;
    }
    Bytes installer;
    if (!append_to_stub(native_stub, archive, &installer)) {
        fail("cannot read the stub " + native_stub);
        return 1;
    }
    if (!write_bytes_file(options.archive, installer)) {
        fail("cannot write " + options.archive);
        return 1;
    }
    std::error_code ec;
    fs::permissions(options.archive, fs::perms::owner_all, fs::perm_options::add, ec);
    return ec ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && !std::strcmp(argv[1], "--payload"))
        return make_payload(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_archives OUTPUT-FOLDER\n       make_archives --payload OUT.ace PATH... [options]\n");
        return 2;
    }
    fs::path out = argv[1];
    fs::create_directories(out);
    if (!write_sources(out))
        return 1;

    std::vector<std::pair<std::string, Bytes>> archives = {
        {"stored.ace", stored_tree_archive(false, 0)},
        {"stored-solid.ace", stored_tree_archive(true, 0)},
        {"junk.ace", stored_tree_archive(false, 20000)},
        {"crc.ace", failure_archive("crc")},
        {"method.ace", failure_archive("method")},
        {"refused.ace", failure_archive("refused")},
        {"damaged-header.ace", failure_archive("header")},
        {"truncated.ace", failure_archive("truncated")},
        {"not-an-archive.ace", random_bytes(5000, 30)},
        {"hostile.ace", hostile_archive(false)},
        {"hostile-solid.ace", hostile_archive(true)},
    };
    // What the hostile archives' safe entries must give back.
    if (!write_file(out / "src/hostile/before.txt", text_bytes(1000, 20)) ||
        !write_file(out / "src/hostile/after/after.txt", text_bytes(1000, 26)) ||
        !write_file(out / "src/hostile/kelvo_up2.txt", text_bytes(100, 24)))
        return 1;
    for (const auto& [name, bytes] : archives)
        if (!write_file(out / name, bytes))
            return 1;

    // A set of stored volumes, and a set that starts at its second volume.
    {
        MainHeaderFields m;
        VolumeSetWriter v(m, 120000);
        for (const std::string& d : tree_folders) {
            FileHeaderFields f = stored_fields(d, {});
            f.file_attributes = ATTR_DIRECTORY;
            v.entry(f, {});
        }
        for (const TreeFile& f : tree_files())
            v.stored_file(f.name, f.contents);
        std::vector<Bytes> volumes = v.finish();
        if (!write_volume_set(out, "stored-vol.ace", volumes))
            return 1;
        MainHeaderFields second;
        second.volume_number = 1;
        if (!write_file(out / "second-volume.ace", ArchiveWriter().main_header(second).stored_file("x.txt", {'x'}).take()))
            return 1;
    }
    struct Packed {
        const char* name;
        bool solid;
        uint32_t volume_size;
        bool comments;
    } packed[] = {
        {"lz-solid.ace", true, 0, false},
        {"lz-nonsolid.ace", false, 0, false},
        {"lz-comments.ace", true, 0, true},
        {"lz-vol.ace", true, 60000, false},
        {"lz-vol-nonsolid.ace", false, 60000, false},
    };
    for (const Packed& p : packed) {
        PackResult r = packed_tree(p.solid, p.volume_size, p.comments);
        if (!r.ok) {
            fail(std::string(p.name) + ": " + r.error);
            return 1;
        }
        if (!write_volume_set(out, p.name, r.volumes))
            return 1;
    }
    if (!write_volume_set(out, "listing.ace", listing_volumes()))
        return 1;
    return 0;
}
