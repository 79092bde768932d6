// Finding a named resource inside a Windows executable, from its bytes: an
// installer carries its archive as the "ARCDATA"/"Data" resource, followed
// by other resources (the splash bitmap, the icon, the strings). Reading
// such a file as an archive means reading exactly that resource, not the
// whole file, so that nothing after the archive looks like a damaged header.
#pragma once

#include <cstdint>

// Reads count bytes at offset into buffer; the number read (fewer at the
// end of the data), or -1 on an error.
using PeReadAt = int32_t (*)(void* source, uint32_t offset, void* buffer, uint32_t count);

struct PeResourceSpan {
    uint32_t offset;  // in the file
    uint32_t size;
};

// Looks up the first language of the resource whose type and name are the
// given ASCII strings (compared without regard to case, as Windows does).
// False when the bytes are not a PE file, have no such resource, or its
// data does not lie wholly inside the file's length. Every offset read from
// the file is checked against that length; no loop runs longer than the
// directory entries the file's own bounds allow.
bool pe_find_named_resource(PeReadAt read, void* source, uint32_t file_length, const char* type,
                            const char* name, PeResourceSpan* span);

// The same over a block in memory.
bool pe_find_named_resource_in(const uint8_t* data, uint32_t length, const char* type, const char* name,
                               PeResourceSpan* span);
