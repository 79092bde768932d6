// Reading an installer's archive from the installer file itself: the
// archive is its "ARCDATA"/"Data" resource, and the resources after it
// (bitmap, icon, strings) are no part of the archive.
#include "archive/pe_resource.h"
#include "archive/stream.h"

namespace {

int32_t read_open_file(void* file, uint32_t offset, void* buffer, uint32_t count)
{
    return platform_read_at(static_cast<const PlatformReadFile*>(file), offset, buffer, count);
}

// Any file that is not such an installer, an executable with an appended
// archive among them, is read whole.
void locate_embedded_archive(ArchiveStream& stream)
{
    PeResourceSpan span{};
    if (pe_find_named_resource(read_open_file, &stream.file, stream.stream_length, "ARCDATA", "Data", &span)) {
        stream.file_base = span.offset;
        stream.stream_length = span.size;
    }
}

}  // namespace

void stream_bind_installer_files(ArchiveStream& stream)
{
    stream_bind_files(stream);
    stream.locate_archive = locate_embedded_archive;
}
