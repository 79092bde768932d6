// The archive as a read-only stream of bytes, served through five
// file-like operations. Everything above it knows nothing of where the
// bytes live: a block in memory, the program's own resource, or a file on
// disk opened by name (so that a volume switch opens the next file).
#pragma once

#include <cstdint>

#include "platform/platform.h"

enum class StreamBacking : uint8_t {
    NONE,      // unbound: every open fails
    MEMORY,    // a block the caller bound; every open serves it again
    RESOURCE,  // the program's embedded archive ("ARCDATA"/"Data")
    FILE,      // the file named at open time
    VOLUMES,   // blocks in memory, each under a name; an open serves the one asked for
};

constexpr int32_t STREAM_OPEN_FAILED = -1;
constexpr int STREAM_MODE_BINARY = 0x8000;

// One block of a VOLUMES backing: a whole volume held in memory.
struct MemoryVolume {
    const char* name;
    const uint8_t* data;
    uint32_t length;
};

struct StreamStat {
    uint32_t size;
};

struct ArchiveStream {
    const uint8_t* stream_data = nullptr;
    uint32_t stream_length = 0;
    int32_t stream_position = 0;

    StreamBacking backing = StreamBacking::NONE;
    const uint8_t* memory_data = nullptr;  // MEMORY: the bound block
    uint32_t memory_length = 0;
    PlatformReadFile file{};               // FILE: the file now open (stream_data unused)
    uint32_t file_base = 0;                // FILE: where the archive starts in it
    // FILE: narrows a file just opened to the archive it holds (file_base
    // and stream_length); null reads every file whole.
    void (*locate_archive)(ArchiveStream& stream) = nullptr;
    const MemoryVolume* volumes = nullptr; // VOLUMES: the set, owned by the caller
    uint32_t volume_count = 0;
};

// Binding chooses what later opens serve.
void stream_bind_memory(ArchiveStream& stream, const void* data, uint32_t length);
void stream_bind_resource(ArchiveStream& stream);
void stream_bind_files(ArchiveStream& stream);
// Files by name as above, but an installer (a Windows executable with an
// "ARCDATA"/"Data" resource) is read as that resource alone.
void stream_bind_installer_files(ArchiveStream& stream);
// A set of volumes in memory: an open finds the block by its exact name
// and fails for any other, as a file that is not there would. The set must
// outlive the stream's use.
void stream_bind_volumes(ArchiveStream& stream, const MemoryVolume* volumes, uint32_t count);
// Closes the file a FILE backing has open; the job calls it once at its end.
void stream_release(ArchiveStream& stream);

// Returns a handle, or STREAM_OPEN_FAILED (-1).
intptr_t stream_open(ArchiveStream& stream, const char* name, int mode, int permission);
int stream_close(ArchiveStream& stream, intptr_t handle);
int32_t stream_read(ArchiveStream& stream, intptr_t handle, void* buffer, uint32_t count);
int stream_size(ArchiveStream& stream, intptr_t handle, StreamStat* status);
int32_t stream_seek(ArchiveStream& stream, intptr_t handle, int32_t offset, int origin);
