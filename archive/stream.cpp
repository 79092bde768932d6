#include "archive/stream.h"

#include <cstring>

// Positions are signed 32-bit values, but every sum is taken through
// unsigned 32-bit arithmetic: the result wraps (seek(-3, 1) at 2 gives -1)
// and no input can overflow a signed int.
static inline int32_t wrap_add(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// Positions cannot express more than this, so no block may be longer.
static constexpr uint32_t STREAM_MAX_LENGTH = 0x7FFFFFFFu;

static void stream_unbind_data(ArchiveStream& stream)
{
    stream.stream_data = nullptr;
    stream.stream_length = 0;
    stream.stream_position = 0;
}

void stream_bind_memory(ArchiveStream& stream, const void* data, uint32_t length)
{
    stream_release(stream);
    stream.backing = StreamBacking::MEMORY;
    stream.memory_data = static_cast<const uint8_t*>(data);
    stream.memory_length = length > STREAM_MAX_LENGTH ? STREAM_MAX_LENGTH : length;
}

void stream_bind_resource(ArchiveStream& stream)
{
    stream_release(stream);
    stream.backing = StreamBacking::RESOURCE;
}

void stream_bind_files(ArchiveStream& stream)
{
    stream_release(stream);
    stream.backing = StreamBacking::FILE;
    stream.locate_archive = nullptr;
}

void stream_bind_volumes(ArchiveStream& stream, const MemoryVolume* volumes, uint32_t count)
{
    stream_release(stream);
    stream.backing = StreamBacking::VOLUMES;
    stream.volumes = volumes;
    stream.volume_count = count;
}

void stream_release(ArchiveStream& stream)
{
    if (stream.file.impl != -1) {
        platform_close_read(&stream.file);
        stream_unbind_data(stream);
    }
}

// The handle identifies nothing; it only has to differ from -1.
static intptr_t stream_handle(const ArchiveStream& stream)
{
    return reinterpret_cast<intptr_t>(&stream);
}

intptr_t stream_open(ArchiveStream& stream, const char* name, int, int)
{
    switch (stream.backing) {
    case StreamBacking::MEMORY:
        stream.stream_data = stream.memory_data;
        stream.stream_length = stream.memory_length;
        break;
    case StreamBacking::RESOURCE: {
        const uint8_t* data = nullptr;
        uint32_t length = 0;
        if (!platform_embedded_archive(&data, &length))
            return STREAM_OPEN_FAILED;
        stream.stream_data = data;
        stream.stream_length = length > STREAM_MAX_LENGTH ? STREAM_MAX_LENGTH : length;
        break;
    }
    case StreamBacking::FILE: {
        // The previous volume's file goes first; a failed open leaves the
        // stream empty.
        platform_close_read(&stream.file);
        stream_unbind_data(stream);
        if (!name || !platform_open_read(name, &stream.file))
            return STREAM_OPEN_FAILED;
        stream.stream_length = stream.file.length > STREAM_MAX_LENGTH ? STREAM_MAX_LENGTH : stream.file.length;
        stream.file_base = 0;
        if (stream.locate_archive)
            stream.locate_archive(stream);
        break;
    }
    case StreamBacking::VOLUMES: {
        // Like the file backing, a failed open leaves the stream empty.
        stream_unbind_data(stream);
        const MemoryVolume* found = nullptr;
        for (uint32_t i = 0; name && i < stream.volume_count; i++) {
            if (stream.volumes[i].name && std::strcmp(stream.volumes[i].name, name) == 0) {
                found = &stream.volumes[i];
                break;
            }
        }
        if (!found)
            return STREAM_OPEN_FAILED;
        stream.stream_data = found->data;
        stream.stream_length = found->length > STREAM_MAX_LENGTH ? STREAM_MAX_LENGTH : found->length;
        break;
    }
    case StreamBacking::NONE:
    default:
        return STREAM_OPEN_FAILED;
    }
    stream.stream_position = 0;
    return stream_handle(stream);
}

int stream_close(ArchiveStream&, intptr_t) { return 0; }

int32_t stream_read(ArchiveStream& stream, intptr_t, void* buffer, uint32_t count)
{
    int32_t pos = stream.stream_position;
    if (pos < 0 || static_cast<uint32_t>(pos) >= stream.stream_length)
        return 0;
    uint32_t available = stream.stream_length - static_cast<uint32_t>(pos);
    uint32_t n = count < available ? count : available;
    if (stream.backing == StreamBacking::FILE) {
        // The file may have become shorter since it was opened: what it
        // still holds arrives, and the position moves by that much.
        int32_t got = n ? platform_read_at(&stream.file, stream.file_base + static_cast<uint32_t>(pos), buffer, n) : 0;
        if (got < 0)
            return -1;
        n = static_cast<uint32_t>(got);
    } else if (n) {
        std::memcpy(buffer, stream.stream_data + pos, n);
    }
    stream.stream_position = wrap_add(pos, static_cast<int32_t>(n));
    return static_cast<int32_t>(n);
}

int stream_size(ArchiveStream& stream, intptr_t, StreamStat* status)
{
    status->size = stream.stream_length;
    return 0;
}

int32_t stream_seek(ArchiveStream& stream, intptr_t, int32_t offset, int origin)
{
    switch (origin) {
    case 0:
        stream.stream_position = offset;
        break;
    case 1:
        stream.stream_position = wrap_add(stream.stream_position, offset);
        break;
    case 2:
        stream.stream_position = static_cast<int32_t>(stream.stream_length - static_cast<uint32_t>(offset));
        break;
    default:
        break;
    }
    return stream.stream_position;
}
