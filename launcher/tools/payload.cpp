#include "launcher/tools/payload.h"

#include <cstdio>

#include "archive/header.h"
#include "compress/packer.h"

Bytes pack_payload(const std::vector<PayloadEntry>& entries)
{
    std::vector<PackItem> items;
    items.reserve(entries.size());
    for (const PayloadEntry& e : entries) {
        PackItem item;
        item.name = e.name;
        item.data = e.contents;
        items.push_back(std::move(item));
    }
    PackOptions options;  // solid, the largest dictionary that pays
    PackResult result = pack_archive(items, options);
    if (!result.ok || result.volumes.size() != 1) {
        std::fprintf(stderr, "kelvo-pack: %s\n", result.ok ? "more than one volume" : result.error.c_str());
        return {};
    }
    return std::move(result.volumes[0]);
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

Bytes numbered_lines(size_t size, uint32_t entry)
{
    Bytes out;
    out.reserve(size);
    char line[48];
    for (uint32_t n = 0; out.size() < size; n++) {
        int length = std::snprintf(line, sizeof line, "entry %u line %u\n", entry, n);
        for (int i = 0; i < length && out.size() < size; i++)
            out.push_back(static_cast<uint8_t>(line[i]));
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

bool damage_payload_header(Bytes& archive, size_t index)
{
    // Each header: CRC (2), body size (2), then the body: type (1),
    // flags (2) and, with FLAG_DATA_SIZE, the size of the data after it.
    auto le16 = [&](size_t at) { return size_t(archive[at]) | size_t(archive[at + 1]) << 8; };
    size_t files = 0;
    for (size_t at = 0; at + 7 <= archive.size();) {
        size_t next = at + 4 + le16(at + 2);
        uint16_t flags = uint16_t(le16(at + 5));
        if ((flags & FLAG_DATA_SIZE) && at + 11 <= archive.size())
            next += le16(at + 7) | le16(at + 9) << 16;
        if (archive[at + 4] == HEADER_TYPE_FILE && files++ == index) {
            archive[at + 5] ^= 0xFF;
            return true;
        }
        at = next;
    }
    return false;
}
