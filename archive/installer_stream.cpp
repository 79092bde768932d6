// Reading an installer's archive from the installer file itself: the
// archive is its "ARCDATA"/"Data" resource, and the resources after it
// (bitmap, icon, strings) are no part of the archive. A native installer
// carries it appended, marked by the trailer of platform/embedded.h: the
// launcher ahead of it is larger than the signature search looks.
#include <cstring>

#include "archive/pe_resource.h"
#include "archive/stream.h"
#include "platform/embedded.h"

namespace {

int32_t read_open_file(void* file, uint32_t offset, void* buffer, uint32_t count)
{
    return platform_read_at(static_cast<PlatformReadFile*>(file), offset, buffer, count);
}

// Any file that is neither kind of installer is read whole.
void locate_embedded_archive(ArchiveStream& stream)
{
    PeResourceSpan span{};
    if (pe_find_named_resource(read_open_file, &stream.file, stream.stream_length, "ARCDATA", "Data", &span)) {
        stream.file_base = span.offset;
        stream.stream_length = span.size;
        return;
    }
    uint8_t trailer[EMBEDDED_TRAILER_SIZE];
    uint32_t length = stream.stream_length;
    if (length < EMBEDDED_TRAILER_SIZE ||
        platform_read_at(&stream.file, length - EMBEDDED_TRAILER_SIZE, trailer, EMBEDDED_TRAILER_SIZE) !=
            int32_t(EMBEDDED_TRAILER_SIZE))
        return;
    uint32_t size = uint32_t(trailer[0]) | uint32_t(trailer[1]) << 8 | uint32_t(trailer[2]) << 16 |
                    uint32_t(trailer[3]) << 24;
    if (std::memcmp(trailer + 4, EMBEDDED_MAGIC, sizeof EMBEDDED_MAGIC) == 0 &&
        size <= length - EMBEDDED_TRAILER_SIZE) {
        stream.file_base = length - EMBEDDED_TRAILER_SIZE - size;
        stream.stream_length = size;
    }
}

}  // namespace

void stream_bind_installer_files(ArchiveStream& stream)
{
    stream_bind_files(stream);
    stream.locate_archive = locate_embedded_archive;
}
