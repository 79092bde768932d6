#include "fuzz_support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>

#include "archive/packed.h"

#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

namespace fs = std::filesystem;

void fuzz_fail(const char* what, const char* file, int line)
{
    std::fprintf(stderr, "%s:%d: broken promise: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

FuzzContext::FuzzContext()
    : cx_(std::make_unique<JobContext>()),
      input_words_(INPUT_WORDS),
      scan_buffer_(SCAN_BUFFER_SIZE),
      output_block_(OUTPUT_BLOCK_SIZE),
      header_buffer_(HEADER_KEEP_SIZE)
{
    reset();
}

FuzzContext::~FuzzContext() { stream_release(cx_->stream); }

void FuzzContext::reset()
{
    stream_release(cx_->stream);
    JobHost* host = cx_->host;
    cx_.reset(new JobContext{});
    cx_->host = host;
    std::fill(input_words_.begin(), input_words_.end(), 0u);
    std::fill(scan_buffer_.begin(), scan_buffer_.end(), uint8_t(0));
    std::fill(output_block_.begin(), output_block_.end(), uint8_t(0));
    std::fill(header_buffer_.begin(), header_buffer_.end(), uint8_t(0));
    ExtractJob& job = cx_->job;
    job.input_words = input_words_.data();
    job.scan_buffer = scan_buffer_.data();
    job.output_block = output_block_.data();
    job.header_buffer = header_buffer_.data();
    job.output_handle = -1;
    crc_build_table(cx_->crc);
}

bool path_stays_inside(const char* path)
{
    if (path[0] == '\0')
        return false;
    if (path[0] == '\\' || path[0] == '/')
        return false;
    if (path[0] != '\0' && path[1] == ':')
        return false;
    int depth = 0;
    const char* start = path;
    for (const char* p = path;; p++) {
        if (*p == '\\' || *p == '/' || *p == '\0') {
            const size_t length = size_t(p - start);
            if (length == 2 && start[0] == '.' && start[1] == '.') {
                if (--depth < 0)
                    return false;
            } else if (!(length == 0 || (length == 1 && start[0] == '.'))) {
                depth++;
            }
            if (*p == '\0')
                return true;
            start = p + 1;
        }
    }
}

FuzzHost::FuzzHost(std::string folder) : folder_(std::move(folder)) {}

int FuzzHost::read_key()
{
    if (key_index_ < keys.size())
        return keys[key_index_++];
    return -1;
}

std::string FuzzHost::host_path(const char* path) const
{
    FUZZ_CHECK(!folder_.empty());  // t and l never touch files
    FUZZ_CHECK(path_stays_inside(path));
    return folder_ + "/" + path;
}

bool FuzzHost::path_exists(const char* path)
{
    for (const std::string& name : present) {
        if (name == path)
            return true;
    }
    if (folder_.empty())
        return false;
    // The engine may ask about anything it then leaves alone (an archive
    // name); only a path inside may be asked of the disk.
    return path_stays_inside(path) && JobHost::path_exists(host_path(path).c_str());
}

bool FuzzHost::make_directory(const char* path)
{
    FUZZ_CHECK(must_remove_.empty());
    return JobHost::make_directory(host_path(path).c_str());
}

bool FuzzHost::remove_directory(const char* path)
{
    FUZZ_CHECK(must_remove_.empty());
    return JobHost::remove_directory(host_path(path).c_str());
}

bool FuzzHost::delete_file(const char* path)
{
    FUZZ_CHECK(must_remove_.empty());
    return JobHost::delete_file(host_path(path).c_str());
}

int32_t FuzzHost::open_output(const char* path)
{
    FUZZ_CHECK(must_remove_.empty());
    FUZZ_CHECK(open_fd_ < 0);  // one output file at a time
    const int32_t fd = JobHost::open_output(host_path(path).c_str());
    if (fd >= 0) {
        open_fd_ = fd;
        open_path_ = path;
        files_opened++;
    }
    return fd;
}

int32_t FuzzHost::write_output(int32_t fd, const void* data, uint32_t count)
{
    FUZZ_CHECK(fd >= 0 && fd == open_fd_);
    FUZZ_CHECK(count <= OUTPUT_BLOCK_SIZE);
    written += count;
    return JobHost::write_output(fd, data, count);
}

void FuzzHost::close_output(int32_t fd)
{
    FUZZ_CHECK(fd >= 0 && fd == open_fd_);
    JobHost::close_output(fd);
    open_fd_ = -1;
    // A file that was being written when the job failed must not stay.
    if (cx && current_status(*cx) != STATUS_OK)
        must_remove_ = open_path_;
}

bool FuzzHost::remove_output(const char* path)
{
    FUZZ_CHECK(open_fd_ < 0);
    if (must_remove_ == path)
        must_remove_.clear();
    return JobHost::remove_output(host_path(path).c_str());
}

namespace {

// Blocks given back, kept for the next job: a fresh megabyte from the
// system costs a page fault per page, which was most of a run's time.
// While kept they are poisoned, so a use after release is still caught.
struct KeptBlock {
    void* block;
    size_t size;
};
struct KeptBlocks : std::vector<KeptBlock> {
    ~KeptBlocks()
    {
        for (const KeptBlock& k : *this)
            std::free(k.block);
    }
};
std::vector<KeptBlock>& kept_blocks()
{
    static KeptBlocks kept;
    return kept;
}

void* take_block(size_t size)
{
    std::vector<KeptBlock>& kept = kept_blocks();
    for (size_t i = 0; i < kept.size(); i++) {
        if (kept[i].size == size) {
            void* block = kept[i].block;
            kept.erase(kept.begin() + ptrdiff_t(i));
            ASAN_UNPOISON_MEMORY_REGION(block, size);
            // Never what the previous job left: the engine must not rely
            // on the contents of a fresh block.
            std::memset(block, 0xA5, size);
            return block;
        }
    }
    return std::malloc(size);
}

void keep_block(void* block, size_t size)
{
    std::vector<KeptBlock>& kept = kept_blocks();
    if (kept.size() >= 2 * FUZZ_MAX_BLOCKS) {
        std::free(block);
        return;
    }
    ASAN_POISON_MEMORY_REGION(block, size);
    kept.push_back({block, size});
}

}  // namespace

void* FuzzHost::allocate(size_t size)
{
    FUZZ_CHECK(size <= FUZZ_MAX_BLOCK_BYTES);
    FUZZ_CHECK(++blocks_ <= FUZZ_MAX_BLOCKS);
    bytes_out_ += size;
    FUZZ_CHECK(bytes_out_ <= FUZZ_MAX_TOTAL_BYTES);
    void* block = take_block(size);
    if (block)
        sizes_[block] = size;
    return block;
}

void FuzzHost::release(void* block)
{
    auto it = sizes_.find(block);
    FUZZ_CHECK(it != sizes_.end());  // only what this job obtained, once
    keep_block(block, it->second);
    sizes_.erase(it);
}

void FuzzHost::on_data(JobContext& job, uint32_t count)
{
    FUZZ_CHECK(count > 0 && count <= OUTPUT_BLOCK_SIZE);
    delivered += count;
    if (delivered > FUZZ_OUTPUT_BUDGET && !budget_hit) {
        budget_hit = true;
        on_interrupt(2);
        FUZZ_CHECK(current_status(job) == STATUS_INTERRUPTED);
    }
}

void FuzzHost::check_after_job() const
{
    FUZZ_CHECK(open_fd_ < 0);
    FUZZ_CHECK(must_remove_.empty());
    FUZZ_CHECK(sizes_.empty());
    FUZZ_CHECK(written <= delivered);
    // The budget stops a job within one portion.
    FUZZ_CHECK(delivered <= FUZZ_OUTPUT_BUDGET + OUTPUT_BLOCK_SIZE);
}

int32_t fuzz_run_job(JobContext& cx, const std::vector<std::string>& args)
{
    std::vector<const char*> argv;
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    extract_job_run(cx, int32_t(argv.size()), argv.data());
    const int32_t status = current_status(cx);
    static const int32_t known[] = {STATUS_OK,         STATUS_NO_MEMORY,     STATUS_CANCELLED,
                                    STATUS_VOLUME_OPEN_FAILED, STATUS_READ_FAILED, STATUS_WRITE_FAILED,
                                    STATUS_USAGE,      STATUS_CRC_ERROR,     STATUS_DECOMPRESSION_FAILED,
                                    STATUS_INTERRUPTED};
    FUZZ_CHECK(std::find(std::begin(known), std::end(known), status) != std::end(known));
    FUZZ_CHECK(cx.job.output_handle < 0);
    return status;
}

void fuzz_report(const std::vector<std::string>& args, int32_t status, const FuzzHost& host)
{
    static const bool verbose = std::getenv("KELVO_FUZZ_VERBOSE") != nullptr;
    if (!verbose)
        return;
    std::string line;
    for (const std::string& a : args)
        line += a + " ";
    std::fprintf(stderr, "%sstatus %d, %llu bytes delivered, %llu written to %d files, %d messages, %d prompts%s\n",
                 line.c_str(), int(status), (unsigned long long)host.delivered, (unsigned long long)host.written,
                 host.files_opened, host.messages, host.prompts, host.budget_hit ? ", stopped by the budget" : "");
}

namespace {

struct ScratchFolder {
    fs::path root;  // kelvo-fuzz-N: must stay holding only "x"
    fs::path folder;

    ScratchFolder()
    {
        std::random_device seed;
        std::mt19937_64 rng(seed() ^ uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()));
        for (int attempt = 0; attempt < 100 && root.empty(); attempt++) {
            fs::path p = fs::temp_directory_path() / ("kelvo-fuzz-" + std::to_string(rng()));
            std::error_code ec;
            if (fs::create_directory(p, ec))
                root = p;
        }
        FUZZ_CHECK(!root.empty());
        folder = root / "x";
        fs::create_directory(folder);
        text = folder.string();
    }
    ~ScratchFolder()
    {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    std::string text;
};

ScratchFolder& scratch()
{
    static ScratchFolder instance;
    return instance;
}

}  // namespace

const std::string& fuzz_scratch_folder() { return scratch().text; }

void fuzz_clear_scratch_folder()
{
    ScratchFolder& s = scratch();
    std::error_code ec;
    // Anything beside "x" would be a write outside the folder.
    for (const auto& entry : fs::directory_iterator(s.root, ec))
        FUZZ_CHECK(entry.path().filename() == "x");
    fs::remove_all(s.folder, ec);
    fs::create_directory(s.folder, ec);
    FUZZ_CHECK(!ec);
}

void split_volumes(const uint8_t* data, size_t size, const char* first_name, FuzzVolumeSet& set)
{
    set.names.clear();
    set.volumes.clear();
    std::vector<std::pair<size_t, size_t>> spans;
    size_t start = 0;
    for (;;) {
        const uint8_t* end = data + size;
        const uint8_t* hit = spans.size() + 1 < FUZZ_MAX_VOLUMES
                                 ? std::search(data + start, end, VOLUME_SEPARATOR,
                                               VOLUME_SEPARATOR + VOLUME_SEPARATOR_LENGTH)
                                 : end;
        const size_t stop = size_t(hit - data);
        spans.emplace_back(start, stop - start);
        if (hit == end)
            break;
        start = stop + VOLUME_SEPARATOR_LENGTH;
    }
    char name[NAME_CAPACITY] = {};
    std::strncpy(name, first_name, NAME_CAPACITY - 1);
    for (size_t i = 0; i < spans.size(); i++) {
        set.names.emplace_back(name);
        if (!next_volume_name(name))
            break;
    }
    for (size_t i = 0; i < set.names.size(); i++)
        set.volumes.push_back({set.names[i].c_str(), data + spans[i].first, uint32_t(spans[i].second)});
}

std::vector<uint8_t> join_volumes(const std::vector<std::vector<uint8_t>>& volumes)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < volumes.size(); i++) {
        if (i > 0)
            out.insert(out.end(), VOLUME_SEPARATOR, VOLUME_SEPARATOR + VOLUME_SEPARATOR_LENGTH);
        out.insert(out.end(), volumes[i].begin(), volumes[i].end());
    }
    return out;
}
