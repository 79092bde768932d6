// kelvo_bench CORPUS_DIR [--level N] [--rounds R] [--no-solid]
//
// Packs every file below CORPUS_DIR into one archive in memory, then times,
// in alternation and in this one process:
//   - the engine decoding that archive from memory through its real path
//     (header walk, begin_entry, read_entry_data in 2048-byte portions, the
//     entry CRC), writing no files;
//   - zlib inflating the same bytes, concatenated in the same order and
//     deflated at level 9 as one stream.
// Throughputs are MB/s of the unpacked bytes (10^6 bytes a second); each
// decode figure is the best of the rounds. Both wall-clock and processor
// time are given: on a shared machine the wall clock counts other
// processes' time too, the processor time only this one's.
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "archive/header.h"
#include "archive/stream.h"
#include "compress/packer.h"
#include "decompress/comment.h"
#include "decompress/lz77.h"
#include "extract/job.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Stopwatch {
    Clock::time_point wall = Clock::now();
    std::clock_t cpu = std::clock();
    double wall_seconds() const { return std::chrono::duration<double>(Clock::now() - wall).count(); }
    double cpu_seconds() const { return static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC; }
};

struct EngineRun {
    uint64_t bytes = 0;
    uint32_t entries = 0;
    uint32_t crc_errors = 0;
    int32_t status = 0;
};

EngineRun engine_decode(const std::vector<uint8_t>& archive)
{
    EngineRun run;
    auto cx = std::make_unique<JobContext>();
    job_setup(*cx);
    std::strcpy(cx->job.archive_name, "bench.ACE");
    stream_bind_memory(cx->stream, archive.data(), static_cast<uint32_t>(archive.size()));
    if (current_status(*cx) == 0 && open_archive(*cx)) {
        uint8_t* block = cx->job.output_block;
        while (current_status(*cx) == 0 && read_header(*cx, 1)) {
            if (cx->reader.header.header_type != HEADER_TYPE_FILE)
                continue;
            decode_file_comment(*cx);
            begin_entry(*cx);
            uint32_t n;
            while (current_status(*cx) == 0 && (n = read_entry_data(*cx, block, OUTPUT_BLOCK_SIZE)) != 0)
                run.bytes += n;
            run.entries++;
            run.crc_errors += cx->lz.entry_crc != cx->reader.header.file.file_crc;
        }
        stream_close(cx->stream, cx->job.archive_handle);
    }
    run.status = current_status(*cx);
    job_teardown(*cx);
    stream_release(cx->stream);
    return run;
}

bool zlib_inflate(const std::vector<uint8_t>& packed, std::vector<uint8_t>& out)
{
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK)
        return false;
    zs.next_in = const_cast<Bytef*>(packed.data());
    zs.avail_in = static_cast<uInt>(packed.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    int rc = inflate(&zs, Z_FINISH);
    bool ok = rc == Z_STREAM_END && zs.total_out == out.size();
    inflateEnd(&zs);
    return ok;
}

void usage()
{
    std::fprintf(stderr, "usage: kelvo_bench CORPUS_DIR [--level N] [--rounds R] [--no-solid]\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        usage();
    std::string corpus = argv[1];
    PackOptions options;
    int rounds = 5;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--level" && i + 1 < argc)
            options.level = std::atoi(argv[++i]);
        else if (a == "--rounds" && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (a == "--no-solid")
            options.solid = false;
        else
            usage();
    }

    std::vector<PackItem> items;
    std::string error;
    if (!collect_items(corpus, "", false, items, &error)) {
        std::fprintf(stderr, "kelvo_bench: %s\n", error.c_str());
        return 1;
    }
    // Read the files once, so that packing is timed without the disk.
    std::vector<uint8_t> all;
    for (PackItem& it : items) {
        FILE* f = std::fopen(it.source_path.c_str(), "rb");
        if (!f) {
            std::fprintf(stderr, "kelvo_bench: cannot read %s\n", it.source_path.c_str());
            return 1;
        }
        std::vector<uint8_t> bytes;
        uint8_t buf[1 << 16];
        size_t got;
        while ((got = std::fread(buf, 1, sizeof buf, f)) > 0)
            bytes.insert(bytes.end(), buf, buf + got);
        std::fclose(f);
        all.insert(all.end(), bytes.begin(), bytes.end());
        it.data = std::move(bytes);
        it.source_path.clear();
    }
    const double total_mb = all.size() / 1e6;
    std::printf("corpus: %zu files, %llu bytes\n", items.size(), static_cast<unsigned long long>(all.size()));

    Stopwatch pack_watch;
    PackResult packed = pack_archive(items, options);
    const double pack_wall = pack_watch.wall_seconds(), pack_cpu = pack_watch.cpu_seconds();
    if (!packed.ok || packed.volumes.size() != 1) {
        std::fprintf(stderr, "kelvo_bench: packing failed: %s\n", packed.error.c_str());
        return 1;
    }
    const std::vector<uint8_t>& archive = packed.volumes[0];
    uint32_t stored = 0;
    for (const PackedEntryInfo& e : packed.entries)
        stored += e.method == 0 && e.unpacked_size > 0;

    Stopwatch zlib_watch;
    uLongf zlib_size = compressBound(static_cast<uLong>(all.size()));
    std::vector<uint8_t> zlib_packed(zlib_size);
    if (compress2(zlib_packed.data(), &zlib_size, all.data(), static_cast<uLong>(all.size()), 9) != Z_OK) {
        std::fprintf(stderr, "kelvo_bench: zlib compress2 failed\n");
        return 1;
    }
    const double zlib_wall = zlib_watch.wall_seconds(), zlib_cpu = zlib_watch.cpu_seconds();
    zlib_packed.resize(zlib_size);

    double engine_wall = 1e30, engine_cpu = 1e30, inflate_wall = 1e30, inflate_cpu = 1e30;
    std::vector<uint8_t> inflated(all.size());
    for (int r = 0; r < rounds; ++r) {
        Stopwatch engine_watch;
        EngineRun run = engine_decode(archive);
        engine_wall = std::min(engine_wall, engine_watch.wall_seconds());
        engine_cpu = std::min(engine_cpu, engine_watch.cpu_seconds());
        if (run.status != 0 || run.crc_errors != 0 || run.bytes != all.size()) {
            std::fprintf(stderr, "kelvo_bench: engine decode failed: status %d, %u CRC errors, %llu bytes\n",
                         run.status, run.crc_errors, static_cast<unsigned long long>(run.bytes));
            return 1;
        }
        Stopwatch inflate_watch;
        bool ok = zlib_inflate(zlib_packed, inflated);
        inflate_wall = std::min(inflate_wall, inflate_watch.wall_seconds());
        inflate_cpu = std::min(inflate_cpu, inflate_watch.cpu_seconds());
        if (!ok || inflated != all) {
            std::fprintf(stderr, "kelvo_bench: zlib inflate failed\n");
            return 1;
        }
    }

    std::printf("kelvo  level %d %s, dictionary 2^%d: %llu bytes (%.2f %%), %u entries stored\n", options.level,
                options.solid ? "solid" : "non-solid", packed.dict_bits,
                static_cast<unsigned long long>(archive.size()), 100.0 * archive.size() / all.size(), stored);
    std::printf("zlib   level 9, one stream:          %llu bytes (%.2f %%)\n",
                static_cast<unsigned long long>(zlib_size), 100.0 * zlib_size / all.size());
    std::printf("pack   (MB/s wall | cpu): kelvo %.2f | %.2f, zlib -9 %.2f | %.2f\n", total_mb / pack_wall,
                total_mb / pack_cpu, total_mb / zlib_wall, total_mb / zlib_cpu);
    std::printf("decode (MB/s wall | cpu, best of %d, alternating): kelvo %.1f | %.1f, zlib inflate %.1f | %.1f\n",
                rounds, total_mb / engine_wall, total_mb / engine_cpu, total_mb / inflate_wall,
                total_mb / inflate_cpu);
    return 0;
}
