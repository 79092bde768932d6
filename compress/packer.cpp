#include "compress/packer.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "archive/header.h"
#include "compress/archive_writer.h"
#include "compress/comment_packer.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t ATTR_ARCHIVE = 0x20;
constexpr size_t MAX_NAME_LENGTH = 2000;  // leaves the header room for a comment
// The main header's kept body bytes after its fixed part, less the
// comment size field; nothing here decodes that comment, so its text is
// held to the same bound.
constexpr int MAIN_COMMENT_ROOM = HEADER_KEEP_SIZE - MAIN_FIXED_SIZE - 2;
constexpr uint64_t MAX_STREAM_BYTES = 0xFFFFFFFFull - MAX_MATCH;

uint32_t dos_time_of(fs::file_time_type t)
{
    auto sys = std::chrono::file_clock::to_sys(t);
    auto secs = std::chrono::floor<std::chrono::seconds>(sys).time_since_epoch().count();
    if (secs < 315532800)  // before 1980: DOS times cannot say
        return dos_time(1980, 1, 1, 0, 0, 0);
    int64_t days = secs / 86400, rest = secs % 86400;
    // Civil date from days since 1970-01-01 (proleptic Gregorian).
    int64_t z = days + 719468;
    int64_t era = z / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    int year = static_cast<int>(yoe + era * 400 + (month <= 2));
    return dos_time(std::min(year, 2107), month, day, static_cast<int>(rest / 3600),
                    static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
}

bool read_file(const std::string& path, std::vector<uint8_t>& out, std::string* error)
{
    // Paths are UTF-8; a plain string would be read in the ANSI code page on Windows.
    std::ifstream in(fs::path(std::u8string(path.begin(), path.end())), std::ios::binary);
    if (!in) {
        if (error)
            *error = "cannot open " + path;
        return false;
    }
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    if (size < 0 || static_cast<uint64_t>(size) > MAX_STREAM_BYTES) {
        if (error)
            *error = "too large for an archive entry: " + path;
        return false;
    }
    out.resize(static_cast<size_t>(size));
    if (size > 0 && !in.read(reinterpret_cast<char*>(out.data()), size)) {
        if (error)
            *error = "cannot read " + path;
        return false;
    }
    return true;
}

// Names an unpacker must refuse: the packer does not make them. Absolute
// or drive-qualified names, empty components, and components of dots only
// ("..", and "." or "..." which Windows folds into them).
bool unsafe_name(const std::string& name)
{
    if (name.find(':') != std::string::npos)
        return true;
    size_t start = 0;
    for (;;) {
        size_t end = name.find('\\', start);
        std::string component = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (component.empty() || component.find_first_not_of('.') == std::string::npos)
            return true;
        if (end == std::string::npos)
            return false;
        start = end + 1;
    }
}

std::string archive_name_of(std::string name)
{
    std::replace(name.begin(), name.end(), '/', '\\');
    return name;
}

// One entry as it will be written.
struct PlannedEntry {
    std::string name;
    std::string comment;
    uint32_t attributes;
    uint32_t file_time;
    bool directory;
    uint64_t begin, end;  // its bytes in the stream
};

int bits_for(uint64_t size)
{
    int bits = MIN_DICT_BITS;
    while (bits < MAX_DICT_BITS && (uint64_t{1} << bits) < size)
        ++bits;
    return bits;
}

}  // namespace

uint32_t dos_time(int year, int month, int day, int hour, int minute, int second)
{
    uint32_t date = static_cast<uint32_t>(((year - 1980) << 9) | (month << 5) | day);
    uint32_t time = static_cast<uint32_t>((hour << 11) | (minute << 5) | (second / 2));
    return (date << 16) | time;
}

bool collect_items(const std::string& path, const std::string& name_in_archive, bool directory_entries,
                   std::vector<PackItem>& items, std::string* error)
{
    std::error_code ec;
    fs::file_status st = fs::status(path, ec);
    if (ec || !fs::exists(st)) {
        if (error)
            *error = "not found: " + path;
        return false;
    }
    std::string name = archive_name_of(name_in_archive);
    if (!fs::is_directory(st)) {
        PackItem item;
        item.name = name;
        item.source_path = path;
        items.push_back(std::move(item));
        return true;
    }
    if (directory_entries && !name.empty()) {
        PackItem item;
        item.name = name;
        item.directory = true;
        auto t = fs::last_write_time(path, ec);
        item.file_time = ec ? 0 : dos_time_of(t);
        items.push_back(std::move(item));
    }
    std::vector<fs::path> children;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
        children.push_back(it->path());
    if (ec) {
        if (error)
            *error = "cannot list " + path;
        return false;
    }
    std::sort(children.begin(), children.end());
    for (const fs::path& child : children) {
        std::string child_name = child.filename().string();
        std::string inner = name.empty() ? child_name : name + "\\" + child_name;
        if (!collect_items(child.string(), inner, directory_entries, items, error))
            return false;
    }
    return true;
}

PackResult pack_archive(const std::vector<PackItem>& given, const PackOptions& options)
{
    PackResult result;
    auto fail = [&](const std::string& why) {
        result.ok = false;
        result.error = why;
        result.volumes.clear();
        result.entries.clear();
        return result;
    };

    // Folders on disk become their files first; the caller's items are not
    // copied (their bytes may be many).
    std::deque<PackItem> expanded;
    std::vector<const PackItem*> items;
    for (const PackItem& item : given) {
        std::error_code ec;
        if (!item.source_path.empty() && fs::is_directory(item.source_path, ec)) {
            std::vector<PackItem> found;
            std::string error;
            if (!collect_items(item.source_path, item.name, options.directory_entries, found, &error))
                return fail(error);
            for (PackItem& f : found) {
                expanded.push_back(std::move(f));
                items.push_back(&expanded.back());
            }
        } else {
            items.push_back(&item);
        }
    }

    // Lay every entry's bytes end to end: the stream the window runs over.
    std::vector<uint8_t> stream;
    std::vector<PlannedEntry> planned;
    for (const PackItem* item_pointer : items) {
        const PackItem& item = *item_pointer;
        PlannedEntry e;
        e.name = archive_name_of(item.name);
        if (e.name.empty() || e.name.size() > MAX_NAME_LENGTH ||
            (options.refuse_unsafe_names && unsafe_name(e.name)))
            return fail("unusable entry name: \"" + e.name.substr(0, 64) + "\"");
        e.comment = item.comment;
        e.directory = item.directory;
        e.attributes = item.attributes ? item.attributes : (item.directory ? ATTR_DIRECTORY : ATTR_ARCHIVE);
        e.file_time = item.file_time;
        e.begin = stream.size();
        if (!item.directory) {
            if (!item.source_path.empty()) {
                std::vector<uint8_t> bytes;
                std::string error;
                if (!read_file(item.source_path, bytes, &error))
                    return fail(error);
                if (e.file_time == 0) {
                    std::error_code ec;
                    auto t = fs::last_write_time(item.source_path, ec);
                    if (!ec)
                        e.file_time = dos_time_of(t);
                }
                if (stream.size() + bytes.size() > MAX_STREAM_BYTES)
                    return fail("the contents are too large for one archive");
                stream.insert(stream.end(), bytes.begin(), bytes.end());
            } else {
                if (stream.size() + item.data.size() > MAX_STREAM_BYTES)
                    return fail("the contents are too large for one archive");
                stream.insert(stream.end(), item.data.begin(), item.data.end());
            }
        }
        e.end = stream.size();
        planned.push_back(std::move(e));
    }

    // No window need be larger than what it can ever hold: a smaller one
    // lets a decoder short of memory read the archive.
    uint64_t reach = 0;
    if (options.solid) {
        reach = stream.size();
    } else {
        for (const PlannedEntry& e : planned)
            reach = std::max(reach, e.end - e.begin);
    }
    int dict_bits = std::clamp(options.dict_bits, MIN_DICT_BITS, MAX_DICT_BITS);
    dict_bits = std::min(dict_bits, bits_for(reach));
    result.dict_bits = dict_bits;

    LzEncoder encoder;
    if (!options.store_only) {
        LzEncoderOptions lz;
        lz.dict_bits = dict_bits;
        lz.level = options.level;
        lz.max_block_symbols = options.max_block_symbols;
        lz.adaptive_blocks = options.adaptive_blocks;
        lz_encoder_init(encoder, lz, stream.data(), stream.size());
    }

    MainHeaderFields main;
    main.flags = options.solid ? FLAG_SOLID : 0;
    main.version_needed = 20;
    main.version_made = 20;
    uint32_t newest = 0;
    for (const PlannedEntry& e : planned)
        newest = std::max(newest, e.file_time);
    main.creation_time = options.creation_time ? options.creation_time : newest;
    if (!options.archive_comment.empty()) {
        Bytes packed;
        if (!pack_comment(options.archive_comment, MAIN_COMMENT_ROOM, MAIN_COMMENT_ROOM, packed))
            return fail("the archive comment is too long");
        main.comment = packed;
    }
    VolumeSetWriter writer(main, options.volume_size);

    const int level = std::clamp(options.level, MIN_LEVEL, MAX_LEVEL);
    for (const PlannedEntry& e : planned) {
        const uint8_t* bytes = stream.data() + e.begin;
        const size_t size = static_cast<size_t>(e.end - e.begin);
        FileHeaderFields fields;
        fields.name = e.name;
        fields.flags = options.solid ? FLAG_SOLID : 0;
        fields.unpacked_size = static_cast<uint32_t>(size);
        fields.file_time = e.file_time;
        fields.file_attributes = e.attributes;
        fields.file_crc = writer_crc32(bytes, size);
        fields.quality = static_cast<uint8_t>(options.store_only ? 0 : level);
        fields.parameter = static_cast<uint16_t>(dict_bits - MIN_DICT_BITS);
        if (!e.comment.empty()) {
            Bytes packed;
            if (!pack_comment(e.comment, file_comment_room(e.name.size()),
                              file_comment_packed_room(e.name.size()), packed))
                return fail("the comment of " + e.name + " is too long");
            fields.comment = packed;
        }

        Bytes packed;
        uint64_t farthest = 0;
        fields.method = METHOD_STORED;
        if (!options.store_only && size > 0) {
            if (!options.solid || e.begin == 0)
                lz_start_stream(encoder, options.solid ? 0 : e.begin);
            // Packed even when it will be stored: that puts its bytes in the
            // window, as the decoder's ring will hold them.
            packed = lz_encode_entry(encoder, e.begin, e.end);
            farthest = encoder.last_max_distance;
            if (packed.size() < size || !options.allow_stored_fallback)
                fields.method = METHOD_LZ77;
        }
        if (fields.method == METHOD_STORED)
            packed.assign(bytes, bytes + size);
        result.entries.push_back({e.name, static_cast<uint32_t>(size), static_cast<uint32_t>(packed.size()),
                                  fields.method, fields.method == METHOD_LZ77 ? farthest : 0});
        writer.entry(fields, packed);
    }
    result.volumes = writer.finish();
    result.ok = true;
    return result;
}

PackResult pack_archive_to_files(const std::vector<PackItem>& items, const PackOptions& options,
                                 const std::string& path, std::vector<std::string>* written_paths)
{
    PackResult result = pack_archive(items, options);
    if (!result.ok)
        return result;
    std::string first = path;
    size_t slash = first.find_last_of("/\\");
    size_t component = slash == std::string::npos ? 0 : slash + 1;
    if (first.find('.', component) == std::string::npos)
        first += ".ACE";
    if (!write_volume_files(first, result.volumes)) {
        result.ok = false;
        result.error = "cannot write " + first;
        return result;
    }
    if (written_paths)
        *written_paths = volume_names(first, result.volumes.size());
    return result;
}
