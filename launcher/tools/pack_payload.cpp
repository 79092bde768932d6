// kelvo-pack: makes an installer's payload archive at build time.
//
//   kelvo-pack [options] OUT.ace PATH...
//
// A file PATH becomes an entry under its bare name; a folder PATH gives
// its contents, with names relative to it ('\' between parts), sorted.
// Options:
//   --filler NAME BYTES   an entry of generated text-like bytes
//   --fillers COUNT BYTES COUNT entries of numbered lines, fill0000.dat on: creating
//                         files is what costs an installer time, so this
//                         makes payloads that take a while to unpack
//   --damage-tail         flip a byte near the end of the archive, inside
//                         the last entry's data (a damaged payload)
//   --damage-header N     flip a byte in the header of entry N (0: the
//                         first): the walk ends there (a damaged payload
//                         whose earlier entries are whole)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "launcher/tools/payload.h"

namespace fs = std::filesystem;

namespace {

bool read_whole(const fs::path& path, Bytes& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool add_path(const fs::path& path, std::vector<PayloadEntry>& entries)
{
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        std::vector<fs::path> files;
        for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::end(it);
             it.increment(ec))
            if (it->is_regular_file())
                files.push_back(it->path());
        if (ec)
            return false;
        std::sort(files.begin(), files.end());
        for (const fs::path& f : files) {
            PayloadEntry e;
            e.name = fs::relative(f, path).generic_string();
            std::replace(e.name.begin(), e.name.end(), '/', '\\');
            if (!read_whole(f, e.contents))
                return false;
            entries.push_back(std::move(e));
        }
        return true;
    }
    PayloadEntry e;
    e.name = path.filename().string();
    if (!read_whole(path, e.contents))
        return false;
    entries.push_back(std::move(e));
    return true;
}

int usage()
{
    std::fprintf(stderr, "usage: kelvo-pack [--filler NAME BYTES] [--fillers COUNT BYTES] [--damage-tail] [--damage-header N] OUT.ace PATH...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<PayloadEntry> entries;
    bool damage_tail = false;
    long damage_header = -1;
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; i++) {
        if (std::strcmp(argv[i], "--damage-tail") == 0) {
            damage_tail = true;
        } else if (std::strcmp(argv[i], "--damage-header") == 0 && i + 1 < argc) {
            damage_header = std::strtol(argv[++i], nullptr, 10);
        } else if (std::strcmp(argv[i], "--filler") == 0 && i + 2 < argc) {
            PayloadEntry e;
            e.name = argv[i + 1];
            e.contents = filler_bytes(std::strtoul(argv[i + 2], nullptr, 10), entries.size() + 1);
            entries.push_back(std::move(e));
            i += 2;
        } else if (std::strcmp(argv[i], "--fillers") == 0 && i + 2 < argc) {
            unsigned long count = std::strtoul(argv[i + 1], nullptr, 10);
            size_t size = std::strtoul(argv[i + 2], nullptr, 10);
            for (unsigned long k = 0; k < count; k++) {
                char name[32];
                std::snprintf(name, sizeof name, "fill%04lu.dat", k);
                PayloadEntry e;
                e.name = name;
                e.contents = numbered_lines(size, static_cast<uint32_t>(k));
                entries.push_back(std::move(e));
            }
            i += 2;
        } else {
            return usage();
        }
    }
    if (argc - i < 2)
        return usage();
    const char* out_path = argv[i++];
    std::vector<PayloadEntry> listed;
    for (; i < argc; i++)
        if (!add_path(argv[i], listed)) {
            std::fprintf(stderr, "kelvo-pack: cannot read %s\n", argv[i]);
            return 1;
        }
    // Named files first, generated fillers last: a damaged tail then hits a
    // filler and leaves the real files whole.
    listed.insert(listed.end(), entries.begin(), entries.end());

    Bytes archive = pack_payload(listed);
    if (archive.empty())
        return 1;
    if (damage_tail && !damage_payload_tail(archive)) {
        std::fprintf(stderr, "kelvo-pack: archive too small to damage\n");
        return 1;
    }
    if (damage_header >= 0 && !damage_payload_header(archive, size_t(damage_header))) {
        std::fprintf(stderr, "kelvo-pack: no entry %ld to damage\n", damage_header);
        return 1;
    }
    std::ofstream out(out_path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(archive.data()), static_cast<std::streamsize>(archive.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "kelvo-pack: cannot write %s\n", out_path);
        return 1;
    }
    return 0;
}
