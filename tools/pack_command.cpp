#include "tools/pack_command.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <random>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

#include "compress/archive_writer.h"
#include "compress/packer.h"
#include "compress/volume_stream.h"
#include "extract/job.h"
#include "platform/platform.h"
#include "tools/archive_info.h"
#include "platform/host_path.h"
#include "tools/listing.h"
#include "tools/text_output.h"

namespace fs = std::filesystem;

namespace {

uint32_t dos_time_of(const fs::path& path)
{
    std::error_code ec;
    fs::file_time_type t = fs::last_write_time(path, ec);
    if (ec)
        return encode_dos_time({1980, 1, 1, 0, 0, 0});
    std::time_t seconds = std::chrono::system_clock::to_time_t(std::chrono::file_clock::to_sys(t));
    std::tm local{};
    const std::tm* p = std::localtime(&seconds);
    if (!p)
        return encode_dos_time({1980, 1, 1, 0, 0, 0});
    local = *p;
    return encode_dos_time({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                            local.tm_sec});
}

uint32_t attributes_of(const fs::path& path, bool directory)
{
    uint32_t a = directory ? ATTR_DIRECTORY : 0x20;
    std::error_code ec;
    fs::perms p = fs::status(path, ec).permissions();
    // No write permission for the owner is what Windows calls read-only.
    if (!ec && (p & fs::perms::owner_write) == fs::perms::none)
        a |= 0x01;
    return a;
}

// The path's components as the archive writes them: '\' between folders.
// False for a component the unpacker could not give back as it was
// (a '\' inside a POSIX name would become a folder).
bool archive_name_of(const fs::path& relative, std::string* name)
{
    std::string s;
    for (const fs::path& part : relative) {
        std::string c = utf8_of(part);
        if (c.empty() || c == ".")
            continue;
        if (c.find('\\') != std::string::npos)
            return false;
        if (!s.empty())
            s += '\\';
        s += c;
    }
    *name = s;
    return !s.empty();
}

// The name inside the archive for a file or folder named on the command
// line: the path as given, less a drive, a leading '/' and "." components,
// as tar stores it. A path ending in "." ("dir/.", ".") names the folder's
// contents: they go to the top. A path that starts by climbing out of the
// current folder ("../docs") has no place inside the archive but its own
// name; ".." anywhere else is refused, as it could climb out of wherever
// the archive is unpacked.
bool stored_name_of_argument(const std::string& arg, std::string* name, std::string* error)
{
    std::string text = arg;
    if (text.size() >= 2 && text[1] == ':' && std::isalpha(static_cast<unsigned char>(text[0])))
        text.erase(0, 2);
    std::vector<std::string> parts;
    std::string part;
    bool climbs = false;
    for (size_t i = 0; i <= text.size(); i++) {
        const bool separator = i == text.size() || text[i] == '/'
#ifdef _WIN32
                               || text[i] == '\\'
#endif
            ;
        if (!separator) {
            part += text[i];
            continue;
        }
        if (part == "..") {
            bool leading = std::all_of(parts.begin(), parts.end(), [](const std::string& c) { return c == "."; });
            if (!leading && !climbs) {
                *error = "cannot store " + arg + ": \"..\" inside its path";
                return false;
            }
            climbs = true;
            parts.clear();
        } else if (!part.empty()) {
            parts.push_back(part);
        }
        part.clear();
    }
    name->clear();
    if (!parts.empty() && parts.back() == ".")
        return true;
    std::erase(parts, std::string("."));
    if (climbs && !parts.empty())
        parts.erase(parts.begin(), parts.end() - 1);
    for (const std::string& c : parts) {
        if (c.find('\\') != std::string::npos) {
            *error = "cannot store " + arg + ": '\\' in its name";
            return false;
        }
        if (!name->empty())
            *name += '\\';
        *name += c;
    }
    return true;
}

// "@LIST" arguments replaced by the names LIST holds, one a line (a '\r'
// before the line's end dropped, blank lines ignored).
bool expand_list_files(const std::vector<std::string>& given, std::vector<std::string>* out, std::string* error)
{
    for (const std::string& arg : given) {
        if (arg.size() < 2 || arg[0] != '@') {
            out->push_back(arg);
            continue;
        }
        const std::string list = arg.substr(1);
        std::ifstream in(host_path(list), std::ios::binary);
        if (!in) {
            *error = "cannot read the list " + list + ": " + std::generic_category().message(errno);
            return false;
        }
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.find_first_not_of(" \t") != std::string::npos)
                out->push_back(line);
        }
        if (in.bad()) {
            *error = "cannot read the list " + list;
            return false;
        }
    }
    return true;
}

// Where the shell leaves wildcards to the program (cmd.exe does), '*' and
// '?' in an input's last component are matched here. A pattern that
// matches nothing is an error, as a missing file is: packing less than was
// asked for should not pass unnoticed.
bool expand_wildcards(std::vector<std::string>* arguments, std::string* error)
{
    std::vector<std::string> out;
    for (const std::string& arg : *arguments) {
        if (arg.find_first_of("*?") == std::string::npos) {
            out.push_back(arg);
            continue;
        }
        std::vector<std::string> matches;
        auto keep = [](const char* path, void* context) {
            static_cast<std::vector<std::string>*>(context)->push_back(path);
        };
        if (platform_expand_wildcard(arg.c_str(), keep, &matches) < 0) {
            out.push_back(arg);
            continue;
        }
        if (matches.empty()) {
            *error = "no file or folder matches " + arg;
            return false;
        }
        std::sort(matches.begin(), matches.end());
        out.insert(out.end(), matches.begin(), matches.end());
    }
    *arguments = std::move(out);
    return true;
}

// Whether a file on disk is the archive being written or one of its volumes.
struct OwnOutput {
    fs::path archive;  // absolute, normal
    bool volumes = false;

    bool matches(const fs::path& candidate) const
    {
        std::error_code ec;
        fs::path c = fs::absolute(candidate, ec).lexically_normal();
        if (ec)
            return false;
        if (c == archive)
            return true;
        if (!volumes || c.parent_path() != archive.parent_path() || c.stem() != archive.stem())
            return false;
        // Volume extensions: C00..C99, 100..999.
        std::string e = utf8_of(c.extension());
        if (e.size() != 4)
            return false;
        bool first_ok = e[1] == 'C' || e[1] == 'c' || (e[1] >= '1' && e[1] <= '9');
        return first_ok && std::isdigit(static_cast<unsigned char>(e[2])) &&
               std::isdigit(static_cast<unsigned char>(e[3]));
    }
};

void add_entry(std::vector<PackInput>* inputs, const fs::path& disk, const std::string& name, bool directory,
               uint64_t size)
{
    PackInput in;
    in.archive_name = name;
    in.disk_path = utf8_of(disk);
    in.directory = directory;
    in.file_time = dos_time_of(disk);
    in.attributes = attributes_of(disk, directory);
    in.size = size;
    inputs->push_back(std::move(in));
}

struct Walker {
    const PackCommandOptions& options;
    const OwnOutput& own;
    std::vector<PackInput>* inputs;
    std::vector<std::string>* warnings;
    std::string* error;

    // name: the folder's name inside the archive ("" for the top of ".").
    bool walk_folder(const fs::path& folder, const std::string& name)
    {
        std::error_code ec;
        std::vector<fs::directory_entry> children;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
            children.push_back(*it);
        if (ec) {
            *error = "cannot read the folder " + utf8_of(folder) + ": " + ec.message();
            return false;
        }
        std::sort(children.begin(), children.end(),
                  [](const fs::directory_entry& a, const fs::directory_entry& b) { return a.path() < b.path(); });
        for (const fs::directory_entry& child : children) {
            std::string leaf;
            if (!archive_name_of(child.path().filename(), &leaf)) {
                warnings->push_back("skipped " + utf8_of(child.path()) + ": '\\' in its name");
                continue;
            }
            std::string child_name = name.empty() ? leaf : name + "\\" + leaf;
            if (!add_path(child.path(), child_name))
                return false;
        }
        return true;
    }

    bool excluded(const std::string& name) const
    {
        for (const std::string& pattern : options.excludes) {
            if (name_matches(pattern, name))
                return true;
            for (size_t begin = 0; begin < name.size();) {
                size_t end = std::min(name.find('\\', begin), name.size());
                if (name_matches(pattern, name.substr(begin, end - begin)))
                    return true;
                begin = end + 1;
            }
        }
        return false;
    }

    bool add_path(const fs::path& path, const std::string& name)
    {
        if (!name.empty() && excluded(name))
            return true;
        std::error_code ec;
        // Links to folders are not followed (they may loop); links to files
        // are packed as the files they lead to.
        fs::file_status link = fs::symlink_status(path, ec);
        fs::file_status st = fs::status(path, ec);
        if (fs::is_symlink(link) && !fs::exists(st)) {
            warnings->push_back("skipped " + utf8_of(path) + ": a link to nothing");
            return true;
        }
        if (ec) {
            *error = "cannot read " + utf8_of(path) + ": " + ec.message();
            return false;
        }
        if (name.size() >= size_t(NAME_CAPACITY)) {
            warnings->push_back("skipped " + utf8_of(path) + ": its name inside the archive is too long");
            return true;
        }
        if (fs::is_directory(st)) {
            if (fs::is_symlink(link)) {
                warnings->push_back("skipped " + utf8_of(path) + ": a link to a folder");
                return true;
            }
            if (options.directory_entries && !name.empty())
                add_entry(inputs, path, name, true, 0);
            return walk_folder(path, name);
        }
        if (!fs::is_regular_file(st)) {
            warnings->push_back("skipped " + utf8_of(path) + ": not a file or folder");
            return true;
        }
        if (own.matches(path))
            return true;
        uint64_t size = fs::file_size(path, ec);
        if (ec) {
            *error = "cannot read " + utf8_of(path) + ": " + ec.message();
            return false;
        }
        if (size > 0xFFFFFFFFu) {
            *error = utf8_of(path) + " is 4 GiB or larger, more than an entry can hold";
            return false;
        }
        add_entry(inputs, path, name, false, size);
        return true;
    }
};

}  // namespace

bool collect_inputs(const PackCommandOptions& options, std::vector<PackInput>* inputs, std::string* error,
                    std::vector<std::string>* warnings)
{
    OwnOutput own;
    std::error_code ec;
    own.archive = fs::absolute(host_path(completed_archive_name(options.archive)), ec).lexically_normal();
    own.volumes = options.volume_size != 0;
    Walker walker{options, own, inputs, warnings, error};
    std::vector<std::string> arguments;
    if (!expand_list_files(options.inputs, &arguments, error) || !expand_wildcards(&arguments, error))
        return false;
    for (const std::string& arg : arguments) {
        fs::path p = host_path(arg);
        if (!fs::exists(fs::symlink_status(p, ec))) {
            *error = "no such file or folder: " + arg;
            return false;
        }
        std::string name;
        if (!stored_name_of_argument(arg, &name, error))
            return false;
        if (name.empty() && !fs::is_directory(p)) {
            *error = "cannot name " + arg + " inside the archive";
            return false;
        }
        if (!walker.add_path(p, name))
            return false;
    }
    // Two inputs under one name would leave only one of them on the way
    // out; the same file reached twice ("dir dir/a.txt") is packed once.
    std::vector<PackInput> unique;
    std::map<std::string, size_t> seen;
    for (PackInput& in : *inputs) {
        auto [it, fresh] = seen.emplace(in.archive_name, unique.size());
        if (fresh) {
            unique.push_back(std::move(in));
            continue;
        }
        const PackInput& first = unique[it->second];
        if (host_path(first.disk_path).lexically_normal() == host_path(in.disk_path).lexically_normal() &&
            first.directory == in.directory)
            continue;
        *error = "both " + first.disk_path + " and " + in.disk_path + " would be stored as " + in.archive_name;
        return false;
    }
    *inputs = std::move(unique);
    if (inputs->empty()) {
        *error = "nothing to pack";
        return false;
    }
    return true;
}

namespace {

volatile std::sig_atomic_t interrupted = 0;

void note_interrupt(int) { interrupted = 1; }

std::FILE* open_for_writing(const char* path) { return platform_fopen(path, "wb"); }

// A name beside target that no file has: TARGET.tmpXXXX.
std::string temporary_name(const std::string& target)
{
    static std::mt19937 random(std::random_device{}() ^
                               uint32_t(std::chrono::steady_clock::now().time_since_epoch().count()));
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    for (;;) {
        std::string name = target + ".tmp";
        for (int i = 0; i < 4; i++)
            name += digits[random() % 36];
        // Where the folder cannot be looked into, creating the file says why.
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(host_path(name), ec)))
            return name;
    }
}

void print_entry_line(FILE* out, const PackedEntryInfo& e)
{
    if (e.directory) {
        tool_fprintf(out, "Adding %s ... folder\n", e.name.c_str());
        return;
    }
    tool_fprintf(out, "Adding %s ... %u -> %u (%s, %s)\n", e.name.c_str(), e.unpacked_size, e.packed_size,
                 format_ratio(e.packed_size, e.unpacked_size).c_str(), method_name(e.method).c_str());
}

// Volumes written under temporary names beside their own (NAME.tmpXXXX),
// renamed when all are written, removed when the run fails.
class TemporaryVolumes : public FileVolumes {
public:
    TemporaryVolumes(const std::string& first, PackFileOpener open) : FileVolumes(first, open) {}
    ~TemporaryVolumes() override { discard(); }

    // Renames every volume to its name; on failure removes the rest.
    bool commit(bool replace, std::string* error)
    {
        if (!close()) {
            *error = this->error();
            return false;
        }
        for (; renamed_ < paths().size(); renamed_++) {
            const std::string& from = paths()[renamed_];
            const std::string& to = names()[renamed_];
            std::error_code ec;
            fs::rename(host_path(from), host_path(to), ec);
            if (ec && replace && fs::exists(fs::symlink_status(host_path(to)))) {
                // Where a rename does not replace a file, the old one goes first.
                std::error_code removed;
                if (fs::remove(host_path(to), removed))
                    fs::rename(host_path(from), host_path(to), ec = {});
            }
            if (ec) {
                *error = "cannot write " + to + ": " + ec.message();
                if (renamed_ > 0)
                    *error += " (" + std::to_string(renamed_) + " of " + std::to_string(paths().size()) +
                              " volumes were written)";
                discard();
                return false;
            }
        }
        return true;
    }

    void discard()
    {
        close();
        std::error_code ec;
        for (size_t i = renamed_; i < paths().size(); i++)
            fs::remove(host_path(paths()[i]), ec);
        renamed_ = paths().size();
    }

protected:
    std::string path_for(const std::string& name) override { return temporary_name(name); }
    bool stop_requested() override { return interrupted != 0; }

private:
    size_t renamed_ = 0;
};

// Progress while packing: a line on standard error, when that is a
// terminal, redrawn a few times a second; "Adding NAME" for each entry as
// it is written.
class PackProgress : public PackObserver {
public:
    PackProgress(bool quiet, FILE* out, FILE* err, bool line)
        : quiet_(quiet), out_(out), err_(err), line_(line)
    {
    }

    void progress(uint64_t done, uint64_t total) override
    {
        if (!line_)
            return;
        auto now = std::chrono::steady_clock::now();
        if (shown_ && done < total && now - drawn_ < std::chrono::milliseconds(250))
            return;
        drawn_ = now;
        char text[96];
        int percent = total ? static_cast<int>(done * 100 / total) : 100;
        int width = std::snprintf(text, sizeof text, "Packing %.1f of %.1f MB (%d%%)", done / 1e6, total / 1e6, percent);
        // Spaces over what a longer line before left.
        std::fprintf(err_, "\r%s%*s", text, int(shown_width_ > size_t(width) ? shown_width_ - size_t(width) : 0), "");
        std::fflush(err_);
        shown_ = true;
        shown_width_ = size_t(width);
    }

    void entry_done(const PackedEntryInfo& entry) override
    {
        if (quiet_)
            return;
        clear();
        print_entry_line(out_, entry);
        std::fflush(out_);
    }

    bool cancelled() override { return interrupted != 0; }

    void clear()
    {
        if (!shown_)
            return;
        std::fprintf(err_, "\r%s\r", std::string(shown_width_, ' ').c_str());
        std::fflush(err_);
        shown_ = false;
        shown_width_ = 0;
    }

private:
    bool quiet_;
    FILE* out_;
    FILE* err_;
    bool line_;
    bool shown_ = false;
    size_t shown_width_ = 0;
    std::chrono::steady_clock::time_point drawn_{};
};

}  // namespace

int write_archive_volumes(const std::vector<std::vector<uint8_t>>& volumes, const std::string& first,
                          uint64_t volume_limit, bool replace, std::vector<std::string>* written,
                          std::string* error, PackFileOpener open)
{
    // A volume must hold its main header, an entry's header and a byte of
    // the entry; below that the packer overfills every volume.
    for (const std::vector<uint8_t>& v : volumes) {
        if (volume_limit && v.size() > volume_limit) {
            *error = "a volume size of " + std::to_string(volume_limit) +
                     " bytes is too small to hold a volume's headers and a byte of an entry";
            return STATUS_USAGE;
        }
    }
    std::vector<std::string> names = volume_names(first, volumes.size());
    if (names.size() != volumes.size()) {
        *error = "a volume size of " + std::to_string(volume_limit) + " bytes needs " +
                 std::to_string(volumes.size()) + " volumes, more than there are names for (" +
                 std::to_string(names.size()) + "); choose a larger size";
        return STATUS_USAGE;
    }

    interrupted = 0;
    platform_install_interrupt(note_interrupt);
    TemporaryVolumes files(first, open ? open : open_for_writing);
    bool ok = true;
    for (size_t i = 0; ok && i < volumes.size(); i++) {
        ok = files.open_volume(i);
        // In pieces, so that an interrupt stops a large volume soon.
        const size_t piece = size_t(1) << 20;
        for (size_t done = 0; ok && done < volumes[i].size(); done += piece)
            ok = files.write(volumes[i].data() + done, std::min(piece, volumes[i].size() - done));
    }
    bool stopped = files.stopped() || (ok && interrupted);
    if (ok && interrupted)
        ok = false;
    if (!ok)
        *error = stopped ? "interrupted" : files.error();
    ok = ok && files.commit(replace, error);
    platform_install_interrupt(SIG_DFL);
    if (!ok) {
        files.discard();
        return stopped ? STATUS_INTERRUPTED : STATUS_WRITE_FAILED;
    }
    *written = files.names();
    return STATUS_OK;
}

std::vector<std::string> remove_stale_volumes(const std::string& first, size_t written)
{
    std::vector<std::string> removed;
    for (size_t i = written;; i++) {
        std::vector<std::string> names = volume_names(first, i + 1);
        if (names.size() != i + 1)
            break;
        // Found in another case too, as the unpacker finds volumes.
        std::vector<char> name(names[i].begin(), names[i].end());
        name.push_back('\0');
        platform_match_name_case(name.data());
        // Only a volume of an archive, and the one that would come next:
        // any other file of that name is not the older set's.
        ArchiveInfo info;
        if (!read_archive_info(name.data(), &info) || info.volume_number != int(i & 0xFF))
            break;
        std::error_code ec;
        if (!fs::remove(host_path(name.data()), ec))
            break;
        removed.push_back(name.data());
    }
    return removed;
}

int pack_status_of_error(const std::string& error)
{
    if (error.rfind("cannot write", 0) == 0)
        return STATUS_WRITE_FAILED;
    if (error.rfind("cannot", 0) == 0 || error.rfind("not found", 0) == 0)
        return STATUS_READ_FAILED;
    return STATUS_USAGE;
}

int plan_pack(const PackCommandOptions& options, FILE* err, PackPlan* plan)
{
    std::string error;
    std::vector<std::string> warnings;
    bool ok = collect_inputs(options, &plan->inputs, &error, &warnings);
    for (const std::string& w : warnings)
        tool_fprintf(err, "kelvo: %s\n", w.c_str());
    if (!ok) {
        tool_fprintf(err, "kelvo: %s\n", error.c_str());
        return STATUS_USAGE;
    }

    std::vector<bool> comment_used(options.file_comments.size());
    for (const PackInput& in : plan->inputs) {
        PackItem item;
        item.name = in.archive_name;
        item.source_path = in.directory ? std::string() : in.disk_path;
        item.directory = in.directory;
        item.attributes = in.attributes;
        item.file_time = in.file_time;
        for (size_t i = 0; i < options.file_comments.size(); i++) {
            if (options.file_comments[i].first == in.archive_name) {
                item.comment = options.file_comments[i].second;
                comment_used[i] = true;
            }
        }
        plan->items.push_back(std::move(item));
    }
    // Only a solid archive gains: its matches reach across entries.
    if (options.solid && !options.keep_order) {
        std::vector<PackInput> inputs;
        std::vector<PackItem> items;
        for (size_t place : order_by_type(plan->items)) {
            inputs.push_back(std::move(plan->inputs[place]));
            items.push_back(std::move(plan->items[place]));
        }
        plan->inputs = std::move(inputs);
        plan->items = std::move(items);
    }
    for (size_t i = 0; i < options.file_comments.size(); i++) {
        if (!comment_used[i]) {
            tool_fprintf(err, "kelvo: --file-comment names %s, which is not packed\n",
                         options.file_comments[i].first.c_str());
            return STATUS_USAGE;
        }
    }

    PackOptions& pack = plan->pack;
    pack.solid = options.solid;
    pack.dict_bits = options.dictionary_bits;
    pack.store_only = options.store_only;
    if (options.level)
        pack.level = options.level;
    pack.volume_size = uint32_t(options.volume_size);
    pack.directory_entries = options.directory_entries;
    pack.archive_comment = options.comment;
    return STATUS_OK;
}

void print_pack_summary(const PackCommandOptions& options, const PackPlan& plan, const PackResult& result,
                        const std::vector<std::string>& written, bool quiet, FILE* out, bool entries_printed)
{
    (void)plan;
    uint64_t total = 0, packed = 0;
    uint32_t files = 0;
    for (const PackedEntryInfo& e : result.entries) {
        total += e.unpacked_size;
        packed += e.packed_size;
        if (!e.directory)
            files++;
        if (!quiet && !entries_printed)
            print_entry_line(out, e);
    }
    tool_fprintf(out, "Packed %u %s (%llu bytes) into %llu bytes (%s), %s, dictionary %s", files,
                 files == 1 ? "file" : "files", (unsigned long long)total, (unsigned long long)packed,
                 format_ratio(packed, total).c_str(), options.solid ? "solid" : "not solid",
                 format_binary_size(uint64_t(1) << result.dict_bits).c_str());
    if (written.size() > 1)
        tool_fprintf(out, ", %zu volumes: %s ... %s\n", written.size(), written.front().c_str(),
                     written.back().c_str());
    else
        tool_fprintf(out, ": %s\n", written.empty() ? completed_archive_name(options.archive).c_str()
                                                    : written.front().c_str());
    std::fflush(out);
}

int run_pack_command(const PackCommandOptions& options, bool quiet, FILE* out, FILE* err, bool progress_line)
{
    PackPlan plan;
    int status = plan_pack(options, err, &plan);
    if (status != STATUS_OK)
        return status;
    std::string archive = completed_archive_name(options.archive);
    std::error_code ec;
    if (!options.overwrite && fs::exists(fs::symlink_status(host_path(archive), ec))) {
        tool_fprintf(err, "kelvo: %s exists; remove it first, or pack with --overwrite\n", archive.c_str());
        return STATUS_USAGE;
    }

    // The archive goes to disk as it is made, under temporary names.
    interrupted = 0;
    platform_install_interrupt(note_interrupt);
    TemporaryVolumes files(archive, open_for_writing);
    PackProgress progress(quiet, out, err, progress_line && err == stderr && platform_stderr_is_terminal());
    PackResult result = pack_archive_streaming(plan.items, plan.pack, files, &progress);
    progress.clear();
    std::string error = result.error;
    if (result.ok && !files.commit(options.overwrite, &error))
        result.ok = false;
    const bool stopped = files.stopped() || interrupted;
    platform_install_interrupt(SIG_DFL);
    if (!result.ok) {
        files.discard();
        tool_fprintf(err, "kelvo: %s\n", error.c_str());
        if (stopped)
            return STATUS_INTERRUPTED;
        if (!files.error().empty())
            return error.rfind("cannot", 0) == 0 ? STATUS_WRITE_FAILED : STATUS_USAGE;
        return pack_status_of_error(error);
    }
    print_pack_summary(options, plan, result, files.names(), quiet, out, true);
    std::vector<std::string> removed = remove_stale_volumes(archive, files.names().size());
    if (!removed.empty())
        tool_fprintf(err, "kelvo: removed %zu %s left by an older archive of this name: %s%s%s\n", removed.size(),
                     removed.size() == 1 ? "volume" : "volumes", removed.front().c_str(),
                     removed.size() > 1 ? " ... " : "", removed.size() > 1 ? removed.back().c_str() : "");
    return STATUS_OK;
}
