// What the main header of an archive says, read before the job runs with a
// context of its own, so that the job's run stays exactly as it would be
// without the tool around it.
#pragma once

#include <cstdint>
#include <string>

struct ArchiveInfo {
    bool solid = false;
    int volume_number = 0;
    uint8_t version_needed = 0;
    uint8_t version_made = 0;
    uint8_t host_system = 0;
    uint32_t creation_time = 0;
    std::string info_text;
    bool has_comment = false;
    std::string comment;  // decoded, control characters shown as '?'
    std::string info_raw, comment_raw;  // as stored_text gives them (for JSON)
};

// False when the file cannot be opened or holds no valid main header; shows
// nothing (the job will say why).
bool read_archive_info(const std::string& completed_name, ArchiveInfo* info);

struct AceHeader;

// The packed comment of the main header held in the record, decoded with
// the file comment decoder in a scratch context of its own, where a file
// comment with an empty name would stand. False when it has none.
bool decode_main_comment(const AceHeader& main_header, std::string* text, std::string* raw = nullptr);
