#include "tools/pack_command.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "compress/packer.h"
#include "extract/job.h"
#include "tools/listing.h"

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
        std::string c = part.string();
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
        std::string e = c.extension().string();
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
    in.disk_path = disk.string();
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
            *error = "cannot read the folder " + folder.string() + ": " + ec.message();
            return false;
        }
        std::sort(children.begin(), children.end(),
                  [](const fs::directory_entry& a, const fs::directory_entry& b) { return a.path() < b.path(); });
        for (const fs::directory_entry& child : children) {
            std::string leaf;
            if (!archive_name_of(child.path().filename(), &leaf)) {
                warnings->push_back("skipped " + child.path().string() + ": '\\' in its name");
                continue;
            }
            std::string child_name = name.empty() ? leaf : name + "\\" + leaf;
            if (!add_path(child.path(), child_name))
                return false;
        }
        return true;
    }

    bool add_path(const fs::path& path, const std::string& name)
    {
        std::error_code ec;
        // Links to folders are not followed (they may loop); links to files
        // are packed as the files they lead to.
        fs::file_status link = fs::symlink_status(path, ec);
        fs::file_status st = fs::status(path, ec);
        if (ec) {
            *error = "cannot read " + path.string() + ": " + ec.message();
            return false;
        }
        if (name.size() >= size_t(NAME_CAPACITY)) {
            warnings->push_back("skipped " + path.string() + ": its name inside the archive is too long");
            return true;
        }
        if (fs::is_directory(st)) {
            if (fs::is_symlink(link)) {
                warnings->push_back("skipped " + path.string() + ": a link to a folder");
                return true;
            }
            if (options.directory_entries && !name.empty())
                add_entry(inputs, path, name, true, 0);
            return walk_folder(path, name);
        }
        if (!fs::is_regular_file(st)) {
            warnings->push_back("skipped " + path.string() + ": not a file or folder");
            return true;
        }
        if (own.matches(path))
            return true;
        uint64_t size = fs::file_size(path, ec);
        if (ec) {
            *error = "cannot read " + path.string() + ": " + ec.message();
            return false;
        }
        if (size > 0xFFFFFFFFu) {
            *error = path.string() + " is 4 GiB or larger, more than an entry can hold";
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
    own.archive = fs::absolute(completed_archive_name(options.archive), ec).lexically_normal();
    own.volumes = options.volume_size != 0;
    Walker walker{options, own, inputs, warnings, error};
    for (const std::string& arg : options.inputs) {
        fs::path p(arg);
        if (!fs::exists(fs::symlink_status(p, ec))) {
            *error = "no such file or folder: " + arg;
            return false;
        }
        // The name inside the archive starts at the argument's last
        // component: "a/b/docs" packs docs\..., "." packs what it holds.
        fs::path normal = p.lexically_normal();
        std::string last;
        if (normal.has_filename())
            last = normal.filename().string();
        else if (normal.has_parent_path())
            last = normal.parent_path().filename().string();
        std::string name;
        // "docs/." packs what docs holds, as "." does (normalising would
        // have turned it into "docs/").
        bool dot_last = p.filename() == ".";
        if (dot_last || last.empty() || last == "." || last == "..") {
            name = "";
        } else if (!archive_name_of(fs::path(last), &name)) {
            *error = "cannot store " + arg + ": '\\' in its name";
            return false;
        }
        if (name.empty() && !fs::is_directory(p)) {
            *error = "cannot name " + arg + " inside the archive";
            return false;
        }
        if (!walker.add_path(p, name))
            return false;
    }
    if (inputs->empty()) {
        *error = "nothing to pack";
        return false;
    }
    return true;
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
        std::fprintf(err, "kelvo: %s\n", w.c_str());
    if (!ok) {
        std::fprintf(err, "kelvo: %s\n", error.c_str());
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
    for (size_t i = 0; i < options.file_comments.size(); i++) {
        if (!comment_used[i]) {
            std::fprintf(err, "kelvo: --file-comment names %s, which is not packed\n",
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
                        const std::vector<std::string>& written, bool quiet, FILE* out)
{
    uint64_t total = 0, packed = 0;
    uint32_t files = 0;
    for (const PackedEntryInfo& e : result.entries) {
        total += e.unpacked_size;
        packed += e.packed_size;
        bool directory = false;
        for (const PackInput& in : plan.inputs)
            if (in.archive_name == e.name)
                directory = in.directory;
        if (!directory)
            files++;
        if (!quiet)
            std::fprintf(out, "Adding %s ... %s\n", e.name.c_str(),
                         directory ? "folder"
                                   : (std::to_string(e.unpacked_size) + " -> " + std::to_string(e.packed_size) +
                                      " (" + format_ratio(e.packed_size, e.unpacked_size) + ", " +
                                      method_name(e.method) + ")")
                                         .c_str());
    }
    std::fprintf(out, "Packed %u %s (%llu bytes) into %llu bytes (%s), %s, dictionary %s", files,
                 files == 1 ? "file" : "files", (unsigned long long)total, (unsigned long long)packed,
                 format_ratio(packed, total).c_str(), options.solid ? "solid" : "not solid",
                 format_binary_size(uint64_t(1) << result.dict_bits).c_str());
    if (written.size() > 1)
        std::fprintf(out, ", %zu volumes: %s ... %s\n", written.size(), written.front().c_str(),
                     written.back().c_str());
    else
        std::fprintf(out, ": %s\n", written.empty() ? completed_archive_name(options.archive).c_str()
                                                    : written.front().c_str());
    std::fflush(out);
}

int run_pack_command(const PackCommandOptions& options, bool quiet, FILE* out, FILE* err)
{
    PackPlan plan;
    int status = plan_pack(options, err, &plan);
    if (status != STATUS_OK)
        return status;
    std::string archive = completed_archive_name(options.archive);
    std::error_code ec;
    if (!options.overwrite && fs::exists(fs::symlink_status(archive, ec))) {
        std::fprintf(err, "kelvo: %s exists; remove it first, or pack with --overwrite\n", archive.c_str());
        return STATUS_USAGE;
    }

    std::vector<std::string> written;
    PackResult result = pack_archive_to_files(plan.items, plan.pack, archive, &written);
    if (!result.ok) {
        std::fprintf(err, "kelvo: %s\n", result.error.c_str());
        return pack_status_of_error(result.error);
    }
    print_pack_summary(options, plan, result, written, quiet, out);
    return STATUS_OK;
}
