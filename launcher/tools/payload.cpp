#include "launcher/tools/payload.h"

#include <cstdio>

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
