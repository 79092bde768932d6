#include "support/decode_support.h"

#include <cstring>

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

class RingLimitHost : public TestHost {
public:
    size_t limit = 0;
    void* allocate(size_t size) override { return size > limit ? nullptr : TestHost::allocate(size); }
};

void walk(TestJob& t, DecodedArchive& result)
{
    JobContext& cx = t.cx;
    allocate_dictionary(cx);
    result.opened = current_status(cx) == 0 && open_archive(cx) == 1;
    if (result.opened) {
        result.solid = cx.reader.archive_solid != 0;
        while (current_status(cx) == 0 && read_header(cx, 1)) {
            const AceHeader& h = cx.reader.header;
            if (h.header_type != HEADER_TYPE_FILE)
                continue;
            DecodedEntry e;
            const AceFileHeader& f = h.file;
            size_t name_length = std::min<size_t>(f.name_length, FILE_VARIABLE_SIZE);
            e.name.assign(reinterpret_cast<const char*>(f.variable), name_length);
            e.attributes = f.file_attributes;
            e.method = f.method;
            e.parameter = f.parameter;
            e.file_crc = f.file_crc;
            if (h.header_flags & FLAG_COMMENT) {
                e.has_comment = true;
                decode_file_comment(cx);
                size_t at = name_length + 2;
                if (at < FILE_VARIABLE_SIZE) {
                    const char* text = reinterpret_cast<const char*>(f.variable + at);
                    e.comment.assign(text, strnlen(text, FILE_VARIABLE_SIZE - at));
                }
            }
            begin_entry(cx);
            uint8_t* block = cx.job.output_block;
            while (current_status(cx) == 0) {
                uint32_t n = read_entry_data(cx, block, OUTPUT_BLOCK_SIZE);
                if (n == 0)
                    break;
                e.portions.push_back(n);
                e.data.insert(e.data.end(), block, block + n);
            }
            // The header record may now hold a later volume's piece; the
            // CRC to compare is the same in every piece.
            e.entry_crc = cx.lz.entry_crc;
            e.crc_ok = e.entry_crc == e.file_crc;
            result.entries.push_back(std::move(e));
        }
        stream_close(cx.stream, cx.job.archive_handle);
    }
    result.status = current_status(cx);
    result.messages = static_cast<TestHost*>(cx.host)->messages;
    if (cx.dict.dict_bytes != nullptr)
        cx.host->release(cx.dict.dict_bytes);
    cx.dict.dict_bytes = nullptr;
}

}  // namespace

DecodedArchive decode_archive(const Bytes& archive, int ring_bits)
{
    DecodedArchive result;
    RingLimitHost host;
    host.limit = size_t{1} << ring_bits;
    TestJob t;
    t.cx.host = &host;
    t.use_memory(archive);
    walk(t, result);
    return result;
}

DecodedArchive decode_volumes(const std::vector<Bytes>& volumes)
{
    DecodedArchive result;
    TempDir dir;
    std::string first = dir.file("set.ACE");
    if (!write_volume_files(first, volumes))
        return result;
    TestJob t;
    t.use_files(first);
    t.cx.packed.volume_prompt_mode = PROMPT_NEVER;
    walk(t, result);
    return result;
}
