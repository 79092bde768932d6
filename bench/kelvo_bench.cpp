// kelvo_bench CORPUS_DIR [--tar FILE] [--level N] [--rounds R] [--no-solid] [--cache DIR] [--engine-only]
//
// Packs every file below CORPUS_DIR into one archive in memory, and the
// same content as one gzip stream at libdeflate's level 12 (the tar of the
// folder when --tar names it or CORPUS_DIR/../corpus.tar exists, else the
// files concatenated in packing order). Then it times, in alternation and
// in this one process:
//   - the engine decoding that archive from memory through its real path,
//     the test command (the job, the header walk, the entries' data in
//     2048-byte portions, every entry's CRC), writing no files;
//   - libdeflate decompressing the gzip stream into one reused buffer (the
//     reference the engine is measured against);
//   - zlib inflating the same gzip stream into that buffer;
//   - libdeflate decompressing each file as a gzip member of its own, in
//     packing order, into the buffer of the files (the archive's entries
//     each start a fresh bit stream with fresh code tables; these members
//     do the same, so that the per-entry costs are set against libdeflate's).
// Throughputs are MB/s of each one's unpacked bytes (10^6 bytes a second);
// each decode figure is the best of the rounds. Both wall-clock and
// processor time are given: on a shared machine the wall clock counts other
// processes' time too, the processor time only this one's. --cache DIR
// keeps the packed archive and the gzip stream between runs (delete the
// folder when the corpus or the packer changes). --engine-only times the
// engine alone (for a profiler's counts).
//
// Built without KELVO_BENCH_REFERENCES (the Windows builds, which have no
// libdeflate), it packs and decodes with the engine alone; its figures are
// then set against those of a 32-bit Linux build (preset bench32) on the
// same machine, since Wine runs 32-bit programs as 32-bit Linux processes.
#if KELVO_BENCH_REFERENCES
#include <libdeflate.h>
#include <zlib.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "archive/stream.h"
#include "compress/packer.h"
#include "extract/host.h"
#include "extract/job.h"

#if defined(_WIN32)
double process_cpu_seconds();  // win32/cpu_time.cpp
#else
static double process_cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }
#endif

namespace {

using Clock = std::chrono::steady_clock;

struct Stopwatch {
    Clock::time_point wall = Clock::now();
    double cpu = process_cpu_seconds();
    double wall_seconds() const { return std::chrono::duration<double>(Clock::now() - wall).count(); }
    double cpu_seconds() const { return process_cpu_seconds() - cpu; }
};

struct EngineRun {
    uint64_t bytes = 0;
    uint32_t entries = 0;
    uint32_t crc_errors = 0;
    int32_t status = 0;
};

// The test command over the archive in memory, counting what its events
// report: the same path as `kelvo t`, less the console's printing.
class CountingHost : public JobHost {
public:
    explicit CountingHost(EngineRun& run) : run_(run) {}
    void on_entry_end(JobContext&, const EntryEvent& event) override
    {
        run_.bytes += event.bytes;
        run_.entries++;
        run_.crc_errors += event.result == EntryResult::CRC_MISMATCH;
    }
    void show_message(const char*) override {}  // the verdict is in the counts

private:
    EngineRun& run_;
};

EngineRun engine_decode(const std::vector<uint8_t>& archive)
{
    EngineRun run;
    CountingHost host(run);
    auto cx = std::make_unique<JobContext>();
    cx->host = &host;
    stream_bind_memory(cx->stream, archive.data(), static_cast<uint32_t>(archive.size()));
    const char* argv[] = {"bench", "t", "bench.ACE"};
    extract_job_run(*cx, 3, argv);
    run.status = current_status(*cx);
    return run;
}

#if KELVO_BENCH_REFERENCES
// Inflates a gzip stream (window bits 15 + 16).
bool zlib_inflate(const std::vector<uint8_t>& packed, std::vector<uint8_t>& out)
{
    z_stream zs{};
    if (inflateInit2(&zs, 15 + 16) != Z_OK)
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

bool libdeflate_decode(libdeflate_decompressor* d, const std::vector<uint8_t>& packed, std::vector<uint8_t>& out)
{
    size_t got = 0;
    return libdeflate_gzip_decompress(d, packed.data(), packed.size(), out.data(), out.size(), &got) ==
               LIBDEFLATE_SUCCESS &&
           got == out.size();
}

// Every file as a gzip member of its own, the members one after the other.
std::vector<uint8_t> gzip_members(const std::vector<PackItem>& items)
{
    std::vector<uint8_t> members;
    libdeflate_compressor* c = libdeflate_alloc_compressor(12);
    for (const PackItem& it : items) {
        if (it.directory)
            continue;
        const size_t at = members.size();
        members.resize(at + libdeflate_gzip_compress_bound(c, it.data.size()));
        const size_t n = libdeflate_gzip_compress(c, it.data.data(), it.data.size(), members.data() + at,
                                                  members.size() - at);
        members.resize(at + n);
        if (n == 0) {
            members.clear();
            break;
        }
    }
    libdeflate_free_compressor(c);
    return members;
}

// The members into out, each where the one before it ended; every file
// is its own member, so out ends up holding the files concatenated.
bool libdeflate_decode_members(libdeflate_decompressor* d, const std::vector<uint8_t>& members,
                               std::vector<uint8_t>& out)
{
    size_t in = 0, at = 0;
    while (in < members.size()) {
        size_t used = 0, got = 0;
        if (libdeflate_gzip_decompress_ex(d, members.data() + in, members.size() - in, out.data() + at,
                                          out.size() - at, &used, &got) != LIBDEFLATE_SUCCESS)
            return false;
        in += used;
        at += got;
    }
    return at == out.size();
}
#endif

bool read_file(const std::string& path, std::vector<uint8_t>& bytes)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    bytes.clear();
    uint8_t buf[1 << 16];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0)
        bytes.insert(bytes.end(), buf, buf + got);
    std::fclose(f);
    return true;
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// The best of the rounds, and the processor time of all of them: under
// Wine the process times come in steps of 10 ms or more, a good part of
// one decode, so the mean is the steadier figure there.
struct Best {
    double wall = 1e30;
    double cpu = 1e30;
    double cpu_total = 0;
    int rounds = 0;
    void take(const Stopwatch& w)
    {
        const double c = w.cpu_seconds();
        wall = std::min(wall, w.wall_seconds());
        cpu = std::min(cpu, c);
        cpu_total += c;
        rounds++;
    }
    double cpu_mean() const { return rounds ? cpu_total / rounds : 1e30; }
};

void usage()
{
    std::fprintf(stderr,
                 "usage: kelvo_bench CORPUS_DIR [--tar FILE] [--level N] [--rounds R] [--no-solid] [--cache DIR] [--engine-only]\n");
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
    std::string tar_path = corpus + "/../corpus.tar";
    std::string cache;
    [[maybe_unused]] bool engine_only = false;  // for profilers: the engine's decodes alone
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--tar" && i + 1 < argc)
            tar_path = argv[++i];
        else if (a == "--cache" && i + 1 < argc)
            cache = argv[++i];
        else if (a == "--level" && i + 1 < argc)
            options.level = std::atoi(argv[++i]);
        else if (a == "--rounds" && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (a == "--no-solid")
            options.solid = false;
        else if (a == "--engine-only")
            engine_only = true;
        else
            usage();
    }

    std::vector<PackItem> items;
    std::string error;
    if (!collect_items(corpus, "", false, items, &error)) {
        std::fprintf(stderr, "kelvo_bench: %s\n", error.c_str());
        return 1;
    }
    // In the order kelvo a packs a solid archive in.
    if (options.solid) {
        std::vector<PackItem> ordered;
        for (size_t place : order_by_type(items))
            ordered.push_back(std::move(items[place]));
        items = std::move(ordered);
    }
    // Read the files once, so that packing is timed without the disk.
    std::vector<uint8_t> all;
    for (PackItem& it : items) {
        std::vector<uint8_t> bytes;
        if (!read_file(it.source_path, bytes)) {
            std::fprintf(stderr, "kelvo_bench: cannot read %s\n", it.source_path.c_str());
            return 1;
        }
        all.insert(all.end(), bytes.begin(), bytes.end());
        it.data = std::move(bytes);
        it.source_path.clear();
    }
    std::vector<uint8_t> content;
    const bool have_tar = read_file(tar_path, content);
    if (!have_tar)
        content = all;
    std::printf("corpus: %zu files, %llu bytes; gzip content: %s, %llu bytes\n", items.size(),
                static_cast<unsigned long long>(all.size()), have_tar ? tar_path.c_str() : "the files concatenated",
                static_cast<unsigned long long>(content.size()));

    const std::string archive_cache = cache.empty() ? "" : cache + "/kelvo.ace";
    const std::string gzip_cache = cache.empty() ? "" : cache + "/content.gz";
    const std::string members_cache = cache.empty() ? "" : cache + "/members.gz";
    std::vector<uint8_t> archive, gzip, members;
#if KELVO_BENCH_REFERENCES
    const bool cached = !cache.empty() && read_file(archive_cache, archive) && read_file(gzip_cache, gzip);
#else
    const bool cached = !cache.empty() && read_file(archive_cache, archive);
#endif
    if (cached) {
        std::printf("packed archive and gzip stream taken from %s\n", cache.c_str());
    } else {
        Stopwatch pack_watch;
        PackResult packed = pack_archive(items, options);
        const double pack_wall = pack_watch.wall_seconds(), pack_cpu = pack_watch.cpu_seconds();
        if (!packed.ok || packed.volumes.size() != 1) {
            std::fprintf(stderr, "kelvo_bench: packing failed: %s\n", packed.error.c_str());
            return 1;
        }
        archive = std::move(packed.volumes[0]);
        uint32_t stored = 0;
        for (const PackedEntryInfo& e : packed.entries)
            stored += e.method == 0 && e.unpacked_size > 0;
        const double files_mb = all.size() / 1e6;
        std::printf("kelvo  level %d %s, dictionary 2^%d: %llu bytes (%.2f %% of the files), %u entries stored\n",
                    options.level, options.solid ? "solid" : "non-solid", packed.dict_bits,
                    static_cast<unsigned long long>(archive.size()), 100.0 * archive.size() / all.size(), stored);
#if KELVO_BENCH_REFERENCES
        Stopwatch zlib_watch;
        uLongf zlib_size = compressBound(static_cast<uLong>(all.size()));
        std::vector<uint8_t> zlib_packed(zlib_size);
        if (compress2(zlib_packed.data(), &zlib_size, all.data(), static_cast<uLong>(all.size()), 9) != Z_OK) {
            std::fprintf(stderr, "kelvo_bench: zlib compress2 failed\n");
            return 1;
        }
        const double zlib_wall = zlib_watch.wall_seconds(), zlib_cpu = zlib_watch.cpu_seconds();

        Stopwatch gzip_watch;
        libdeflate_compressor* c = libdeflate_alloc_compressor(12);
        gzip.resize(libdeflate_gzip_compress_bound(c, content.size()));
        gzip.resize(libdeflate_gzip_compress(c, content.data(), content.size(), gzip.data(), gzip.size()));
        libdeflate_free_compressor(c);
        const double gzip_wall = gzip_watch.wall_seconds(), gzip_cpu = gzip_watch.cpu_seconds();
        if (gzip.empty()) {
            std::fprintf(stderr, "kelvo_bench: libdeflate compression failed\n");
            return 1;
        }
        const double content_mb = content.size() / 1e6;
        std::printf("zlib   level 9, files as one stream: %llu bytes (%.2f %%)\n",
                    static_cast<unsigned long long>(zlib_size), 100.0 * zlib_size / all.size());
        std::printf("libdeflate level 12 gzip:            %llu bytes (%.2f %% of its content)\n",
                    static_cast<unsigned long long>(gzip.size()), 100.0 * gzip.size() / content.size());
        std::printf("pack   (MB/s wall | cpu): kelvo %.2f | %.2f, zlib -9 %.2f | %.2f, libdeflate -12 %.2f | %.2f\n",
                    files_mb / pack_wall, files_mb / pack_cpu, files_mb / zlib_wall, files_mb / zlib_cpu,
                    content_mb / gzip_wall, content_mb / gzip_cpu);
        if (!cache.empty() && !(write_file(archive_cache, archive) && write_file(gzip_cache, gzip)))
            std::fprintf(stderr, "kelvo_bench: cannot write the cache in %s\n", cache.c_str());
#else
        std::printf("pack   (MB/s wall | cpu): kelvo %.2f | %.2f\n", files_mb / pack_wall, files_mb / pack_cpu);
        if (!cache.empty() && !write_file(archive_cache, archive))
            std::fprintf(stderr, "kelvo_bench: cannot write the cache in %s\n", cache.c_str());
#endif
    }
#if KELVO_BENCH_REFERENCES
    // Made apart from the rest, so that a cache from before it still serves.
    if (!engine_only && !(!cache.empty() && read_file(members_cache, members))) {
        members = gzip_members(items);
        if (members.empty() && !all.empty()) {
            std::fprintf(stderr, "kelvo_bench: libdeflate compression failed\n");
            return 1;
        }
        if (!cache.empty() && !write_file(members_cache, members))
            std::fprintf(stderr, "kelvo_bench: cannot write the cache in %s\n", cache.c_str());
    }
#endif
    std::printf("sizes: kelvo archive %llu bytes, gzip -12 %llu bytes, a gzip -12 member per file %llu bytes\n",
                static_cast<unsigned long long>(archive.size()), static_cast<unsigned long long>(gzip.size()),
                static_cast<unsigned long long>(members.size()));

    Best engine, deflate, inflate, per_file;
#if KELVO_BENCH_REFERENCES
    std::vector<uint8_t> out(content.size()), files_out(all.size());
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
#endif
    for (int r = 0; r < rounds; ++r) {
        Stopwatch engine_watch;
        EngineRun run = engine_decode(archive);
        engine.take(engine_watch);
        if (run.status != 0 || run.crc_errors != 0 || run.bytes != all.size()) {
            std::fprintf(stderr, "kelvo_bench: engine decode failed: status %d, %u CRC errors, %llu bytes\n",
                         run.status, run.crc_errors, static_cast<unsigned long long>(run.bytes));
            return 1;
        }
#if KELVO_BENCH_REFERENCES
        if (engine_only)
            continue;
        Stopwatch deflate_watch;
        bool ok = libdeflate_decode(d, gzip, out);
        deflate.take(deflate_watch);
        if (!ok || out != content) {
            std::fprintf(stderr, "kelvo_bench: libdeflate decompression failed\n");
            return 1;
        }
        std::fill(out.begin(), out.end(), uint8_t(0));
        Stopwatch inflate_watch;
        ok = zlib_inflate(gzip, out);
        inflate.take(inflate_watch);
        if (!ok || out != content) {
            std::fprintf(stderr, "kelvo_bench: zlib inflate failed\n");
            return 1;
        }
        Stopwatch members_watch;
        ok = libdeflate_decode_members(d, members, files_out);
        per_file.take(members_watch);
        if (!ok || files_out != all) {
            std::fprintf(stderr, "kelvo_bench: libdeflate failed on the members\n");
            return 1;
        }
        std::fill(files_out.begin(), files_out.end(), uint8_t(0));
#endif
    }
#if KELVO_BENCH_REFERENCES
    libdeflate_free_decompressor(d);
#endif

    const double files_mb = all.size() / 1e6, content_mb = content.size() / 1e6;
    const double k_wall = files_mb / engine.wall, k_cpu = files_mb / engine.cpu;
    std::printf("decode (MB/s of unpacked bytes, wall | cpu, best of %d, alternating):\n", rounds);
    std::printf("  kelvo            %7.1f | %7.1f\n", k_wall, k_cpu);
#if KELVO_BENCH_REFERENCES
    if (engine_only) {
        std::printf("by the mean processor time of the rounds: kelvo %.1f\n", files_mb / engine.cpu_mean());
        return 0;
    }
    const double l_wall = content_mb / deflate.wall, l_cpu = content_mb / deflate.cpu;
    const double z_wall = content_mb / inflate.wall, z_cpu = content_mb / inflate.cpu;
    std::printf("  libdeflate gzip  %7.1f | %7.1f\n", l_wall, l_cpu);
    const double p_wall = files_mb / per_file.wall, p_cpu = files_mb / per_file.cpu;
    std::printf("  zlib inflate     %7.1f | %7.1f\n", z_wall, z_cpu);
    std::printf("  libdeflate, a member per file %7.1f | %7.1f\n", p_wall, p_cpu);
    std::printf("ratio kelvo / libdeflate: %.2f (wall) | %.2f (cpu); kelvo / zlib: %.2f | %.2f\n", k_wall / l_wall,
                k_cpu / l_cpu, k_wall / z_wall, k_cpu / z_cpu);
    std::printf("ratio kelvo / libdeflate with a member per file: %.2f (wall) | %.2f (cpu)\n", k_wall / p_wall,
                k_cpu / p_cpu);
    const double k_mean = files_mb / engine.cpu_mean(), l_mean = content_mb / deflate.cpu_mean();
    const double p_mean = files_mb / per_file.cpu_mean();
    std::printf("by the mean processor time of the rounds: kelvo %.1f, libdeflate %.1f, zlib %.1f, libdeflate a member "
                "per file %.1f; kelvo / libdeflate %.2f, kelvo / libdeflate a member per file %.2f\n",
                k_mean, l_mean, content_mb / inflate.cpu_mean(), p_mean, k_mean / l_mean, k_mean / p_mean);
#else
    (void)content_mb;
    std::printf("by the mean processor time of the rounds: kelvo %.1f\n", files_mb / engine.cpu_mean());
#endif
    return 0;
}
