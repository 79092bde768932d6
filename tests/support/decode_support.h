// Reads an archive back through the engine itself: the test command (t),
// whose events hand over every entry, its comment and its contents portion
// by portion as the decoder delivers them; nothing is written. Round-trip
// tests compare what comes out with what went in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "compress/archive_writer.h"

struct DecodedEntry {
    std::string name;
    Bytes data;
    uint32_t attributes = 0;
    uint8_t method = 0;
    uint16_t parameter = 0;
    uint32_t file_crc = 0;
    uint32_t entry_crc = 0;  // the decoder's running CRC at the entry's end
    bool crc_ok = false;
    bool has_comment = false;
    std::string comment;  // decoded in place, up to its terminating zero
    std::vector<uint32_t> portions;  // sizes read_entry_data returned
};

struct DecodedArchive {
    bool opened = false;
    bool solid = false;
    int32_t status = 0;  // the job's status at its end (9 when a checksum failed)
    std::vector<DecodedEntry> entries;
    std::vector<std::string> messages;

    // True when the walk ended cleanly and every entry's CRC matched.
    bool all_ok() const;
    const DecodedEntry* find(const std::string& name) const;
};

// One archive held in memory. ring_bits caps the decoder's ring (its
// allocation of anything larger fails), so that a match reaching further
// back than the archive's dictionary would decode wrong bytes.
DecodedArchive decode_archive(const Bytes& archive, int ring_bits = 20);
// A volume set (first volume first), written to a temporary directory and
// walked with the volume prompt switched off.
DecodedArchive decode_volumes(const std::vector<Bytes>& volumes);
