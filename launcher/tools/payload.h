// Payload archives for installers: what kelvo-pack writes, shared with the
// tests that build native installers of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct PayloadEntry {
    std::string name;  // archive name, '\' between parts
    Bytes contents;
};

// A solid archive of the entries, in order.
Bytes pack_payload(const std::vector<PayloadEntry>& entries);

// Text-like bytes from a small word list, the same for the same seed:
// packs well enough to keep archives small and still costs the decoder
// real work.
Bytes filler_bytes(size_t size, uint32_t seed);

// Numbered lines ("entry 12 line 7") of the given size: many small
// entries that differ from each other, like a folder of small data files.
Bytes numbered_lines(size_t size, uint32_t entry);

// Inverts one byte a little before the end, inside the last entry's data.
// False when the archive is too small for that.
bool damage_payload_tail(Bytes& archive);

// Inverts a byte inside the header of file entry `index` (0: the first),
// so that its check fails and the walk ends there. False when the archive
// has no such entry.
bool damage_payload_header(Bytes& archive, size_t index);
