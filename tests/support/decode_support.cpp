#include "support/decode_support.h"

#include <cstdint>
#include <cstring>
#include <memory>

#include "archive/header.h"
#include "archive/packed.h"
#include "archive/stream.h"
#include "decompress/comment.h"
#include "decompress/lz77.h"
#include "extract/job.h"
#include "support/test_host.h"

bool DecodedArchive::all_ok() const
{
    if (!opened || status != 0)
        return false;
    for (const DecodedEntry& e : entries)
        if (!e.crc_ok)
            return false;
    return true;
}

const DecodedEntry* DecodedArchive::find(const std::string& name) const
{
    for (const DecodedEntry& e : entries)
        if (e.name == name)
            return &e;
    return nullptr;
}

namespace {

// Collects what the test command delivers: each entry as it begins, its
// portions as the decoder hands them over, its checksum as it ends.
// allocation_limit caps every allocation (the ring's included).
class DecodeHost : public TestHost {
public:
    size_t allocation_limit = SIZE_MAX;
    DecodedArchive* result = nullptr;

    void* allocate(size_t size) override
    {
        return size > allocation_limit ? nullptr : TestHost::allocate(size);
    }
    void on_archive_opened(JobContext& cx) override
    {
        result->opened = true;
        result->solid = cx.reader.archive_solid != 0;
    }
    void on_entry(JobContext& cx, const char*) override
    {
        const AceHeader& h = cx.reader.header;
        const AceFileHeader& f = h.file;
        DecodedEntry e;
        size_t name_length = std::min<size_t>(f.name_length, FILE_VARIABLE_SIZE);
        e.name.assign(reinterpret_cast<const char*>(f.variable), name_length);
        e.attributes = f.file_attributes;
        e.method = f.method;
        e.parameter = f.parameter;
        e.file_crc = f.file_crc;
        if (h.header_flags & FLAG_COMMENT) {
            // The job has decoded it in place before the entry begins.
            e.has_comment = true;
            size_t at = name_length + 2;
            if (at < FILE_VARIABLE_SIZE) {
                const char* text = reinterpret_cast<const char*>(f.variable + at);
                e.comment.assign(text, strnlen(text, FILE_VARIABLE_SIZE - at));
            }
        }
        result->entries.push_back(std::move(e));
    }
    bool reads_decoded_bytes() override { return true; }
    void on_data(JobContext& cx, uint32_t count) override
    {
        DecodedEntry& e = result->entries.back();
        e.portions.push_back(count);
        e.data.insert(e.data.end(), cx.job.output_block, cx.job.output_block + count);
    }
    void on_entry_end(JobContext&, const EntryEvent& event) override
    {
        DecodedEntry& e = result->entries.back();
        e.entry_crc = event.crc;
        e.crc_ok = e.entry_crc == e.file_crc;
    }
};

// `t` over the archive the stream serves under name.
void decode(JobContext& cx, DecodeHost& host, const char* name, DecodedArchive& result)
{
    host.result = &result;
    cx.host = &host;
    const char* argv[] = {"decode", "t", "-y", name};
    extract_job_run(cx, 4, argv);
    result.status = current_status(cx);
    result.messages = host.messages;
}

}  // namespace

DecodedArchive decode_archive(const Bytes& archive, int ring_bits)
{
    DecodedArchive result;
    DecodeHost host;
    host.allocation_limit = size_t{1} << ring_bits;
    auto cx = std::make_unique<JobContext>();
    stream_bind_memory(cx->stream, archive.data(), uint32_t(archive.size()));
    decode(*cx, host, "test.ACE", result);
    return result;
}

DecodedArchive decode_volumes(const std::vector<Bytes>& volumes)
{
    DecodedArchive result;
    TempDir dir;
    std::string first = dir.file("set.ACE");
    if (!write_volume_files(first, volumes))
        return result;
    DecodeHost host;
    auto cx = std::make_unique<JobContext>();
    stream_bind_files(cx->stream);
    decode(*cx, host, first.c_str(), result);
    return result;
}
