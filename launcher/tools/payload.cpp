#include "launcher/tools/payload.h"

#include "compress/archive_writer.h"

Bytes pack_payload(const std::vector<PayloadEntry>& entries)
{
    ArchiveWriter w;
    w.main_header();
    for (const PayloadEntry& e : entries)
        w.stored_file(e.name, e.contents);
    return w.take();
}

Bytes filler_bytes(size_t size, uint32_t seed)
{
    static const char* const WORDS[] = {
        "install", "folder", "setup",   "archive", "window",  "program", "update", "version",
        "data",    "file",   "product", "licence", "options", "value",   "key",    "system",
    };
    Bytes out;
    out.reserve(size);
    uint32_t state = seed * 2654435761u + 1;
    while (out.size() < size) {
        state = state * 1103515245u + 12345u;
        const char* word = WORDS[(state >> 16) & 15];
        for (const char* p = word; *p && out.size() < size; p++)
            out.push_back(static_cast<uint8_t>(*p));
        if (out.size() < size)
            out.push_back((state >> 24) % 11 == 0 ? '\n' : ' ');
        if (out.size() < size && (state >> 8) % 7 == 0)
            out.push_back(static_cast<uint8_t>('0' + (state >> 4) % 10));
    }
    return out;
}

bool damage_payload_tail(Bytes& archive)
{
    constexpr size_t TAIL = 16;
    if (archive.size() < 4096)
        return false;
    archive[archive.size() - TAIL] ^= 0xFF;
    return true;
}
