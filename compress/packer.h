// Packing whole archives: a list of items (a name inside the archive and
// the contents, given as bytes or as a file or folder on disk) and options
// in; the archive out, as one byte vector per volume or as files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "compress/lz_encoder.h"

struct PackItem {
    std::string name;             // name inside the archive; '/' becomes '\'
    std::vector<uint8_t> data;    // the contents, when source_path is empty
    std::string source_path;      // a file to read, or a folder to take whole
    bool directory = false;       // a directory entry of its own (no contents)
    uint32_t attributes = 0;      // 0: 0x20 for files, 0x10 for directories
    uint32_t file_time = 0;       // DOS date and time; 0 takes the file's, if any
    std::string comment;          // packed into the entry's header
};

struct PackOptions {
    bool solid = true;                 // the window runs on across entries
    int dict_bits = MAX_DICT_BITS;     // 10..20; smaller when the data is smaller
    bool store_only = false;           // no LZ77 at all
    int level = DEFAULT_LEVEL;         // effort, MIN_LEVEL..MAX_LEVEL
    uint32_t volume_size = 0;          // most bytes per volume; 0: one volume
    bool directory_entries = false;    // folders taken from disk get entries too
    std::string archive_comment;       // packed into the main header
    uint32_t creation_time = 0;        // 0: the newest entry's time
    // Refuse names an unpacker must refuse (absolute, drive-qualified,
    // empty or dot-only components). Off by default: tests build archives
    // with such names on purpose; a tool packing a user's files sets it.
    bool refuse_unsafe_names = false;
    // Tests shape the block structure through these.
    uint32_t max_block_symbols = MAX_BLOCK_SYMBOLS;
    bool adaptive_blocks = true;
    bool allow_stored_fallback = true;  // store entries that packing would grow or barely shrink
};

struct PackedEntryInfo {
    std::string name;
    uint32_t unpacked_size = 0;
    uint32_t packed_size = 0;
    uint8_t method = 0;
    uint64_t farthest_match = 0;  // longest distance a match of it copies from
    bool directory = false;
};

struct PackResult {
    bool ok = false;
    std::string error;  // why not, when !ok
    std::vector<std::vector<uint8_t>> volumes;  // pack_archive's; the streaming pack leaves it empty
    size_t volume_count = 0;
    std::vector<PackedEntryInfo> entries;
    int dict_bits = 0;  // what the entries' parameter says
};

// What a caller sees of a pack in progress.
class PackObserver {
public:
    virtual ~PackObserver() = default;
    // Bytes of the contents packed so far, of total; a few times a MiB.
    virtual void progress(uint64_t done, uint64_t total) { (void)done, (void)total; }
    // An entry has been written.
    virtual void entry_done(const PackedEntryInfo& entry) { (void)entry; }
    // True stops the pack; it fails with "interrupted".
    virtual bool cancelled() { return false; }
};

class VolumeOutput;

// Packs as it reads: files are read through a window of a few MiB and
// each entry goes to output as soon as it is packed (its packed data held
// in memory up to 1 MiB, beyond that written behind a header rewritten at
// the end), so memory does not grow with the input. On failure output
// may hold part of an archive: the caller discards it.
PackResult pack_archive_streaming(const std::vector<PackItem>& items, const PackOptions& options,
                                  VolumeOutput& output, PackObserver* observer = nullptr);

// The same into memory, one byte vector per volume.
PackResult pack_archive(const std::vector<PackItem>& items, const PackOptions& options);

// Packs and writes the volumes: path as given (".ACE" appended when its
// last component has no extension), then .C00, .C01, ... beside it. The
// names written are returned in written_paths.
PackResult pack_archive_to_files(const std::vector<PackItem>& items, const PackOptions& options,
                                 const std::string& path, std::vector<std::string>* written_paths = nullptr);

// The items for a file or folder on disk: a folder gives every file below
// it (and, with directory_entries, an entry per folder), named
// name_in_archive + '\' + relative path; files in name order.
bool collect_items(const std::string& path, const std::string& name_in_archive, bool directory_entries,
                   std::vector<PackItem>& items, std::string* error);

// The order a solid archive packs best in, as places in items: directory
// entries first, as they stand (each still before what it holds), then
// the files grouped by extension and, within one, by name without it,
// ignoring case and folders, so that alike files (bin\x.dll beside
// bin64\x.dll) lie within one dictionary's reach. Ties keep their order.
// ASCII case only, so that every build of the packer makes one archive.
std::vector<size_t> order_by_type(const std::vector<PackItem>& items);

// DOS date and time (local fields as given) from a calendar date.
uint32_t dos_time(int year, int month, int day, int hour, int minute, int second);
