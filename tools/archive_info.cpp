#include "tools/archive_info.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "decompress/comment.h"
#include "extract/job.h"
#include "tools/listing.h"

namespace {

// The job will report whatever goes wrong; the look beforehand stays silent.
class SilentHost : public JobHost {
public:
    void show_message(const char*) override {}
    void volume_prompt(const char*) override {}
    int read_key() override { return -1; }
};

// A context with the storage the header reader and the comment decoder
// use, owned here and nowhere near the job's own.
struct ScratchJob {
    SilentHost host;
    std::unique_ptr<JobContext> cx = std::make_unique<JobContext>();
    bool ready = false;

    ScratchJob()
    {
        cx->host = &host;
        ready = job_obtain_buffers(*cx);
        crc_build_table(cx->crc);
    }
    ~ScratchJob()
    {
        stream_release(cx->stream);
        job_release_buffers(*cx);
    }
};

}  // namespace

bool decode_main_comment(const AceHeader& h, std::string* text, std::string* raw)
{
    if (!(h.header_flags & FLAG_COMMENT) || h.header_size < MAIN_FIXED_SIZE)
        return false;
    // Only the kept part of the body reached the variable area.
    int kept = std::min<int>(h.header_size, HEADER_KEEP_SIZE) - MAIN_FIXED_SIZE;
    int at = h.main.info_length;
    if (at + 2 > kept)
        return false;
    const uint8_t* v = h.main.variable;
    uint16_t comment_size = uint16_t(v[at] | v[at + 1] << 8);
    if (comment_size == 0)
        return false;
    int present = std::min<int>(comment_size, kept - at - 2);

    ScratchJob scratch;
    if (!scratch.ready)
        return false;
    AceHeader& f = scratch.cx->reader.header;
    std::memset(&f, 0, sizeof f);
    f.header_type = HEADER_TYPE_FILE;
    f.header_flags = FLAG_COMMENT;
    f.header_size = uint16_t(FILE_FIXED_SIZE + 2 + present);
    f.file.name_length = 0;
    f.file.variable[0] = uint8_t(comment_size);
    f.file.variable[1] = uint8_t(comment_size >> 8);
    std::memcpy(f.file.variable + 2, v + at + 2, size_t(present));
    decode_file_comment(*scratch.cx);
    return decoded_comment_of(f, text, raw);
}

bool read_archive_info(const std::string& completed_name, ArchiveInfo* info)
{
    if (completed_name.size() >= size_t(NAME_CAPACITY))
        return false;
    ScratchJob scratch;
    if (!scratch.ready)
        return false;
    JobContext& cx = *scratch.cx;
    std::memcpy(cx.job.archive_name, completed_name.c_str(), completed_name.size() + 1);
    stream_bind_installer_files(cx.stream);
    if (!open_archive(cx))
        return false;
    const AceHeader& h = cx.reader.header;
    *info = ArchiveInfo{};
    info->solid = cx.reader.archive_solid != 0;
    info->volume_number = cx.reader.archive_volume_number;
    info->version_needed = h.main.version_needed;
    info->version_made = h.main.version_made;
    info->host_system = h.main.host_system;
    info->creation_time = h.main.creation_time;
    int kept = std::min<int>(h.header_size, HEADER_KEEP_SIZE) - MAIN_FIXED_SIZE;
    int info_length = std::min<int>(h.main.info_length, std::max(kept, 0));
    info->info_text = printable_text(h.main.variable, size_t(info_length));
    info->info_raw = stored_text(h.main.variable, size_t(info_length));
    info->has_comment = decode_main_comment(h, &info->comment, &info->comment_raw);
    stream_close(cx.stream, cx.job.archive_handle);
    return true;
}
