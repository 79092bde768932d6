#include "compress/packer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <system_error>

#include "archive/crc.h"
#include "archive/header.h"
#include "compress/archive_writer.h"
#include "compress/comment_packer.h"
#include "compress/stream_window.h"
#include "platform/host_path.h"
#include "platform/platform.h"
#include "compress/volume_stream.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t ATTR_ARCHIVE = 0x20;
constexpr size_t MAX_NAME_LENGTH = 2000;  // leaves the header room for a comment
// The main header's kept body bytes after its fixed part, less the
// comment size field; nothing here decodes that comment, so its text is
// held to the same bound.
constexpr int MAIN_COMMENT_ROOM = HEADER_KEEP_SIZE - MAIN_FIXED_SIZE - 2;
constexpr uint64_t MAX_ENTRY_BYTES = 0xFFFFFFFFull;
// A packed entry must be smaller than its stored form by a
// STORED_MIN_GAIN_DIVISOR-th of its size, or it is stored.
constexpr uint64_t STORED_MIN_GAIN_DIVISOR = 128;
// Stored bytes and progress reports go in steps of this.
constexpr uint64_t STEP_BYTES = uint64_t{1} << 18;

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
    const PackItem* item;
    std::string name;
    uint32_t attributes;
    uint32_t file_time;
    uint64_t begin, end;  // its bytes in the stream
};

// Every entry's bytes end to end, read as the window asks for them: the
// files one after the other, each opened when it is reached. A file is
// read up to the size it had when the archive was planned; one that has
// become shorter fails the run. The contents' CRCs are taken on the way.
class EntrySource : public ByteSource {
public:
    explicit EntrySource(const std::vector<PlannedEntry>& entries) : entries_(entries), crcs_(entries.size(), CRC_INIT)
    {
        crc_build_table(crc_tables_);
    }
    ~EntrySource() override { close_file(); }

    size_t read(uint8_t* dst, size_t n) override
    {
        size_t total = 0;
        while (total < n && current_ < entries_.size() && error_.empty()) {
            const PlannedEntry& e = entries_[current_];
            const uint64_t size = e.end - e.begin;
            if (done_ == size) {
                close_file();
                ++current_;
                done_ = 0;
                continue;
            }
            size_t want = static_cast<size_t>(std::min<uint64_t>(n - total, size - done_));
            size_t got = 0;
            if (e.item->source_path.empty()) {
                std::memcpy(dst + total, e.item->data.data() + done_, want);
                got = want;
            } else {
                if (!file_) {
                    file_ = platform_fopen(e.item->source_path.c_str(), "rb");
                    if (!file_) {
                        error_ = "cannot open " + e.item->source_path + ": " + std::strerror(errno);
                        break;
                    }
                }
                got = std::fread(dst + total, 1, want, file_);
                if (got == 0) {
                    error_ = std::ferror(file_) ? "cannot read " + e.item->source_path + ": " + std::strerror(errno)
                                                : "cannot read " + e.item->source_path + ": it became shorter while it was packed";
                    break;
                }
            }
            // The engine's CRC (eight bytes a step, or carry-less folding): a
            // byte at a time it was 1 % of packing time at level 6.
            crcs_[current_] = crc_update(crc_tables_, crcs_[current_], dst + total, got);
            done_ += got;
            total += got;
        }
        return total;
    }
    bool failed() const override { return !error_.empty(); }
    std::string error() const override { return error_; }
    uint32_t crc(size_t entry) const { return crcs_[entry]; }

private:
    void close_file()
    {
        if (file_)
            std::fclose(file_);
        file_ = nullptr;
    }
    const std::vector<PlannedEntry>& entries_;
    std::vector<uint32_t> crcs_;
    AceCrc crc_tables_;
    size_t current_ = 0;
    uint64_t done_ = 0;
    std::FILE* file_ = nullptr;
    std::string error_;
};

int bits_for(uint64_t size)
{
    int bits = MIN_DICT_BITS;
    while (bits < MAX_DICT_BITS && (uint64_t{1} << bits) < size)
        ++bits;
    return bits;
}

}  // namespace

std::vector<size_t> order_by_type(const std::vector<PackItem>& items)
{
    struct Keyed {
        std::string extension, stem;
        size_t place;
    };
    const auto lower = [](std::string s) {
        for (char& c : s)
            if (c >= 'A' && c <= 'Z')
                c = char(c - 'A' + 'a');
        return s;
    };
    std::vector<size_t> order;
    std::vector<Keyed> files;
    for (size_t i = 0; i < items.size(); i++) {
        const std::string& name = items[i].name;
        if (items[i].directory) {
            order.push_back(i);
            continue;
        }
        const size_t slash = name.find_last_of("\\/");
        const std::string leaf = name.substr(slash == std::string::npos ? 0 : slash + 1);
        const size_t dot = leaf.rfind('.');
        // ".profile" is a name, not an extension.
        if (dot == std::string::npos || dot == 0)
            files.push_back({std::string(), lower(leaf), i});
        else
            files.push_back({lower(leaf.substr(dot + 1)), lower(leaf.substr(0, dot)), i});
    }
    std::stable_sort(files.begin(), files.end(), [](const Keyed& a, const Keyed& b) {
        return a.extension != b.extension ? a.extension < b.extension : a.stem < b.stem;
    });
    for (const Keyed& f : files)
        order.push_back(f.place);
    return order;
}

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
    fs::file_status st = fs::status(host_path(path), ec);
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
        auto t = fs::last_write_time(host_path(path), ec);
        item.file_time = ec ? 0 : dos_time_of(t);
        items.push_back(std::move(item));
    }
    std::vector<fs::path> children;
    for (fs::directory_iterator it(host_path(path), ec), end; !ec && it != end; it.increment(ec))
        children.push_back(it->path());
    if (ec) {
        if (error)
            *error = "cannot list " + path;
        return false;
    }
    std::sort(children.begin(), children.end());
    for (const fs::path& child : children) {
        std::string child_name = utf8_of(child.filename());
        std::string inner = name.empty() ? child_name : name + "\\" + child_name;
        if (!collect_items(utf8_of(child), inner, directory_entries, items, error))
            return false;
    }
    return true;
}

PackResult pack_archive_streaming(const std::vector<PackItem>& given, const PackOptions& options, VolumeOutput& output,
                                  PackObserver* observer)
{
    PackResult result;
    auto fail = [&](const std::string& why) {
        result.ok = false;
        result.error = why;
        result.volumes.clear();
        result.entries.clear();
        return result;
    };
    PackObserver quiet;
    PackObserver& watch = observer ? *observer : quiet;

    // Folders on disk become their files first; the caller's items are not
    // copied (their bytes may be many).
    std::deque<PackItem> expanded;
    std::vector<const PackItem*> items;
    for (const PackItem& item : given) {
        std::error_code ec;
        if (!item.source_path.empty() && fs::is_directory(host_path(item.source_path), ec)) {
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

    // The stream the window runs over: every entry's bytes end to end, laid
    // out by the files' sizes now.
    std::vector<PlannedEntry> planned;
    planned.reserve(items.size());
    uint64_t stream_size = 0;
    for (const PackItem* item_pointer : items) {
        const PackItem& item = *item_pointer;
        PlannedEntry e;
        e.item = &item;
        e.name = archive_name_of(item.name);
        if (e.name.empty() || e.name.size() > MAX_NAME_LENGTH ||
            (options.refuse_unsafe_names && unsafe_name(e.name)))
            return fail("unusable entry name: \"" + e.name.substr(0, 64) + "\"");
        e.attributes = item.attributes ? item.attributes : (item.directory ? ATTR_DIRECTORY : ATTR_ARCHIVE);
        e.file_time = item.file_time;
        uint64_t size = 0;
        if (!item.directory) {
            if (!item.source_path.empty()) {
                std::error_code ec;
                size = fs::file_size(host_path(item.source_path), ec);
                if (ec)
                    return fail("cannot open " + item.source_path + ": " + ec.message());
                if (e.file_time == 0) {
                    auto t = fs::last_write_time(host_path(item.source_path), ec);
                    if (!ec)
                        e.file_time = dos_time_of(t);
                }
            } else {
                size = item.data.size();
            }
            if (size > MAX_ENTRY_BYTES)
                return fail("too large for an archive entry: " + e.name);
        }
        e.begin = stream_size;
        stream_size += size;
        e.end = stream_size;
        planned.push_back(std::move(e));
    }

    // No window need be larger than what it can ever hold: a smaller one
    // lets a decoder short of memory read the archive.
    uint64_t reach = 0;
    if (options.solid) {
        reach = stream_size;
    } else {
        for (const PlannedEntry& e : planned)
            reach = std::max(reach, e.end - e.begin);
    }
    int dict_bits = std::clamp(options.dict_bits, MIN_DICT_BITS, MAX_DICT_BITS);
    dict_bits = std::min(dict_bits, bits_for(reach));
    result.dict_bits = dict_bits;

    EntrySource source(planned);
    StreamWindow window(source);
    LzEncoder encoder;
    if (!options.store_only) {
        LzEncoderOptions lz;
        lz.dict_bits = dict_bits;
        lz.level = options.level;
        lz.max_block_symbols = options.max_block_symbols;
        lz.adaptive_blocks = options.adaptive_blocks;
        if (!lz_encoder_init(encoder, lz, window))
            return fail("out of memory for the match tables");
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
    VolumeStreamWriter writer(output, main, options.volume_size);
    auto write_failed = [&] {
        std::string why = source.failed() ? source.error() : writer.error();
        return fail(why.empty() ? "interrupted" : why);
    };

    const int level = std::clamp(options.level, MIN_LEVEL, MAX_LEVEL);
    uint64_t reported = 0;
    auto report = [&](uint64_t done) {
        if (done >= reported + STEP_BYTES || done == stream_size) {
            reported = done;
            watch.progress(done, stream_size);
        }
    };
    watch.progress(0, stream_size);
    for (size_t index = 0; index < planned.size(); ++index) {
        const PlannedEntry& e = planned[index];
        if (watch.cancelled())
            return fail("interrupted");
        const uint64_t size = e.end - e.begin;
        FileHeaderFields fields;
        fields.name = e.name;
        fields.flags = options.solid ? FLAG_SOLID : 0;
        fields.unpacked_size = static_cast<uint32_t>(size);
        fields.file_time = e.file_time;
        fields.file_attributes = e.attributes;
        fields.quality = static_cast<uint8_t>(options.store_only ? 0 : level);
        fields.parameter = static_cast<uint16_t>(dict_bits - MIN_DICT_BITS);
        fields.method = METHOD_STORED;
        if (!e.item->comment.empty()) {
            Bytes packed;
            if (!pack_comment(e.item->comment, file_comment_room(e.name.size()),
                              file_comment_packed_room(e.name.size()), packed))
                return fail("the comment of " + e.name + " is too long");
            fields.comment = packed;
        }
        const bool lz = !options.store_only && size > 0;
        if (lz)
            fields.method = METHOD_LZ77;  // until the end says otherwise
        if (!writer.begin_entry(fields))
            return write_failed();

        uint64_t farthest = 0;
        if (lz) {
            if (!options.solid || e.begin == 0)
                lz_start_stream(encoder, options.solid ? 0 : e.begin);
            // Packed even when it will be stored: that puts its bytes in the
            // window, as the decoder's ring will hold them.
            bool ok = lz_encode_entry(encoder, e.begin, e.end, [&](const uint8_t* bytes, size_t n) {
                report(encoder.position);
                return !watch.cancelled() && writer.data(bytes, n);
            });
            if (!ok)
                return write_failed();
            farthest = encoder.last_max_distance;
            // Stored when packing saves less than a 128th of it, while its
            // bytes are still held (they are: a packed form that large is of
            // an entry within the window's history). Such an entry is
            // nearly all literals, which decode several times slower than
            // stored bytes copy, for a saving of under 0.8 %.
            if (options.allow_stored_fallback && writer.buffered() &&
                writer.held().size() >= size - size / STORED_MIN_GAIN_DIVISOR &&
                window.base() <= e.begin) {
                writer.replace_held(Bytes(window.at(e.begin), window.at(e.end)));
                fields.method = METHOD_STORED;
            }
        } else {
            for (uint64_t pos = e.begin; pos < e.end; pos += STEP_BYTES) {
                uint64_t step_end = std::min(e.end, pos + STEP_BYTES);
                if (!window.prepare(pos, step_end) || watch.cancelled() ||
                    !writer.data(window.at(pos), static_cast<size_t>(step_end - pos)))
                    return write_failed();
                report(step_end);
            }
        }
        fields.file_crc = source.crc(index);
        if (!writer.end_entry(fields))
            return write_failed();
        PackedEntryInfo info{e.name, static_cast<uint32_t>(size), static_cast<uint32_t>(writer.entry_packed_size()),
                             fields.method, fields.method == METHOD_LZ77 ? farthest : 0, e.item->directory};
        watch.entry_done(info);
        result.entries.push_back(std::move(info));
        report(e.end);
    }
    if (!writer.finish())
        return write_failed();
    result.volume_count = writer.volume_count();
    result.ok = true;
    return result;
}

PackResult pack_archive(const std::vector<PackItem>& items, const PackOptions& options)
{
    MemoryVolumes volumes;
    PackResult result = pack_archive_streaming(items, options, volumes, nullptr);
    if (result.ok)
        result.volumes = std::move(volumes.volumes);
    return result;
}

PackResult pack_archive_to_files(const std::vector<PackItem>& items, const PackOptions& options,
                                 const std::string& path, std::vector<std::string>* written_paths)
{
    std::string first = path;
    size_t slash = first.find_last_of("/\\");
    size_t component = slash == std::string::npos ? 0 : slash + 1;
    if (first.find('.', component) == std::string::npos)
        first += ".ACE";
    FileVolumes files(first);
    PackResult result = pack_archive_streaming(items, options, files, nullptr);
    if (result.ok && written_paths)
        *written_paths = files.paths();
    return result;
}
