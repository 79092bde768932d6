#include "tools/sfx_command.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>

#include "archive/pe_resource.h"
#include "extract/job.h"
#include "launcher/installer_worker.h"
#include "launcher/resource.h"
#include "platform/embedded.h"
#include "tools/pack_command.h"
#include "tools/pe_image.h"
#include "platform/host_path.h"
#include "tools/text_output.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr char STUB_FILE_NAME[] = "kelvo-stub.exe";
constexpr char ARCHIVE_TYPE[] = "ARCDATA";
constexpr char ARCHIVE_NAME[] = "Data";
constexpr int TITLE_CAPACITY = 400;  // what the splash window reads of string 1

bool read_whole(const std::string& path, Bytes* out)
{
    std::error_code ec;
    if (!fs::is_regular_file(host_path(path), ec))
        return false;
    std::ifstream in(host_path(path), std::ios::binary);
    if (!in)
        return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool equal_ignoring_case(const std::string& a, const char* b)
{
    if (a.size() != std::strlen(b))
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (fold(a[i]) != fold(b[i]))
            return false;
    }
    return true;
}

bool is_elf(const Bytes& b) { return b.size() >= 4 && std::memcmp(b.data(), "\x7f" "ELF", 4) == 0; }
bool is_mz(const Bytes& b) { return b.size() >= 2 && b[0] == 'M' && b[1] == 'Z'; }

// A single input that is a finished archive: named so, or beginning with a
// main header (its signature right behind the header's first fields).
bool looks_like_archive(const std::string& path)
{
    std::string ext = utf8_of(host_path(path).extension());
    if (equal_ignoring_case(ext, ".ace"))
        return true;
    std::ifstream in(host_path(path), std::ios::binary);
    char head[7 + ACE_SIGNATURE_LENGTH] = {};
    in.read(head, sizeof head);
    return in.gcount() == std::streamsize(sizeof head) &&
           std::memcmp(head + 7, ACE_SIGNATURE, ACE_SIGNATURE_LENGTH) == 0;
}

// The time stamp of the image: SOURCE_DATE_EPOCH when it is set, so that a
// build can stamp its release date, else 0; never the clock.
uint32_t image_time_stamp()
{
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (!epoch || !*epoch)
        return 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(epoch, &end, 10);
    if (*end != '\0' || v > 0xFFFFFFFFull)
        return 0;
    return uint32_t(v);
}

// Messages of the header walk go here instead of to the console.
class CapturingHost : public JobHost {
public:
    std::string message;
    void show_message(const char* text) override { message = text; }
    void volume_prompt(const char*) override {}
    int read_key() override { return -1; }
};

std::string find_stub(const SfxOptions& options, std::string* looked)
{
    if (!options.stub.empty())
        return options.stub;
    char self[4096];
    if (!platform_executable_path(self, sizeof self)) {
        *looked = "(the tool cannot tell where it is installed)";
        return "";
    }
    std::error_code ec;
    for (const std::string& candidate : stub_candidates(self)) {
        if (fs::is_regular_file(host_path(candidate), ec))
            return candidate;
        *looked += (looked->empty() ? "" : ", ") + candidate;
    }
    return "";
}

bool write_installer(const std::string& path, const Bytes& bytes)
{
    {
        std::ofstream out(host_path(path), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        out.close();
        if (!out) {
            std::error_code ignored;
            fs::remove(host_path(path), ignored);
            return false;
        }
    }
    std::error_code ignored;
    fs::permissions(host_path(path),
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                        fs::perms::others_exec,
                    ignored);
    return true;
}

// The Windows stub's resources with this installer's archive, strings,
// bitmap and icon; the rest as the stub has them.
int build_windows_installer(const SfxOptions& options, const Bytes& stub, const std::string& stub_path,
                            const Bytes& archive, Bytes* installer, FILE* err)
{
    std::vector<PeResource> resources;
    std::string error;
    if (!pe_read_resources(stub, &resources, &error)) {
        tool_fprintf(err, "kelvo: cannot use %s as the stub: %s\n", stub_path.c_str(), error.c_str());
        return STATUS_USAGE;
    }
    const PeResourceKey archive_type = PeResourceKey::named(ARCHIVE_TYPE);
    const PeResourceKey archive_name = PeResourceKey::named(ARCHIVE_NAME);
    bool has_archive = false;
    for (const PeResource& r : resources)
        has_archive = has_archive || (r.type == archive_type && r.name == archive_name);
    if (!has_archive) {
        tool_fprintf(err, "kelvo: %s is no installer stub: it has no ARCDATA/Data resource\n", stub_path.c_str());
        return STATUS_USAGE;
    }
    pe_put_resource(&resources, archive_type, archive_name, archive);
    const std::string title = options.title_given ? options.title : TEXT_TITLE;
    const std::string scratch = options.scratch_name_given ? options.scratch_name : TEXT_SCRATCH_NAME;
    if (!pe_set_string(&resources, STRING_TITLE, title, &error) ||
        !pe_set_string(&resources, STRING_SCRATCH_NAME, scratch, &error)) {
        tool_fprintf(err, "kelvo: %s\n", error.c_str());
        return STATUS_USAGE;
    }
    if (!options.splash.empty()) {
        Bytes file, bitmap;
        if (!read_whole(options.splash, &file)) {
            tool_fprintf(err, "kelvo: cannot read the splash bitmap %s\n", options.splash.c_str());
            return STATUS_READ_FAILED;
        }
        if (!pe_bitmap_from_bmp(file, SPLASH_WIDTH, SPLASH_HEIGHT, &bitmap, &error)) {
            tool_fprintf(err, "kelvo: --splash %s: %s\n", options.splash.c_str(), error.c_str());
            return STATUS_USAGE;
        }
        pe_put_resource(&resources, PeResourceKey::number(PE_TYPE_BITMAP), PeResourceKey::named(SPLASH_BITMAP_NAME),
                        std::move(bitmap));
    }
    if (!options.icon.empty()) {
        Bytes file;
        if (!read_whole(options.icon, &file)) {
            tool_fprintf(err, "kelvo: cannot read the icon %s\n", options.icon.c_str());
            return STATUS_READ_FAILED;
        }
        if (!pe_set_icon_group(&resources, MAIN_ICON_NAME, file, &error)) {
            tool_fprintf(err, "kelvo: --icon %s: %s\n", options.icon.c_str(), error.c_str());
            return STATUS_USAGE;
        }
    }
    std::vector<std::string> warnings;
    bool ok = pe_replace_resources(stub, resources, image_time_stamp(), installer, &error, &warnings);
    for (const std::string& w : warnings)
        tool_fprintf(err, "kelvo: warning: %s\n", w.c_str());
    if (!ok) {
        tool_fprintf(err, "kelvo: cannot rewrite the stub %s: %s\n", stub_path.c_str(), error.c_str());
        return STATUS_USAGE;
    }
    // What the console tool and the running installer will find.
    PeResourceSpan span{};
    if (!pe_find_named_resource_in(installer->data(), uint32_t(installer->size()), ARCHIVE_TYPE, ARCHIVE_NAME,
                                   &span) ||
        span.size != archive.size() ||
        !std::equal(archive.begin(), archive.end(), installer->begin() + span.offset)) {
        tool_fprintf(err, "kelvo: the rewritten stub does not give the archive back; nothing written\n");
        return STATUS_USAGE;
    }
    return STATUS_OK;
}

int build_native_installer(const SfxOptions& options, const Bytes& stub, const std::string& stub_path,
                           const Bytes& archive, Bytes* installer, FILE* err)
{
    if (options.title_given || options.scratch_name_given || !options.splash.empty() || !options.icon.empty()) {
        tool_fprintf(err, "kelvo: %s is the native launcher, which has no window, strings or icon to set; leave "
                          "out --title, --scratch-name, --splash and --icon\n",
                     stub_path.c_str());
        return STATUS_USAGE;
    }
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    if (embedded_payload_find(stub.data(), uint32_t(stub.size()), &data, &length)) {
        tool_fprintf(err, "kelvo: %s already carries an archive; use the launcher itself as the stub\n",
                     stub_path.c_str());
        return STATUS_USAGE;
    }
    if (stub.size() + archive.size() + EMBEDDED_TRAILER_SIZE > INT32_MAX) {
        tool_fprintf(err, "kelvo: the installer would be larger than 2 GiB\n");
        return STATUS_USAGE;
    }
    *installer = stub;
    installer->insert(installer->end(), archive.begin(), archive.end());
    uint32_t n = uint32_t(archive.size());
    for (int i = 0; i < 4; i++)
        installer->push_back(uint8_t(n >> (8 * i)));
    installer->insert(installer->end(), EMBEDDED_MAGIC, EMBEDDED_MAGIC + sizeof EMBEDDED_MAGIC);
    return STATUS_OK;
}

// The setup program the worker starts must be a file at the archive's top
// level: on Windows any case of its name, elsewhere exactly its name.
bool holds_setup(const std::vector<std::string>& names, bool windows)
{
    for (const std::string& name : names)
        if (windows ? equal_ignoring_case(name, INSTALLER_PROGRAM) : name == INSTALLER_PROGRAM)
            return true;
    return false;
}

}  // namespace

SfxOptions parse_sfx_options(int argc, const char* const* argv, int first)
{
    SfxOptions o;
    int i = first;
    for (; i < argc; i++) {
        const char* a = argv[i];
        std::string* target = nullptr;
        const char* spelled = nullptr;
        for (auto [name, field] : {std::pair{"--stub", &o.stub}, std::pair{"--title", &o.title},
                                   std::pair{"--scratch-name", &o.scratch_name}, std::pair{"--splash", &o.splash},
                                   std::pair{"--icon", &o.icon}}) {
            size_t n = std::strlen(name);
            if (std::strncmp(a, name, n) == 0 && (a[n] == '\0' || a[n] == '=')) {
                target = field;
                spelled = name;
            }
        }
        if (!target)
            break;
        size_t n = std::strlen(spelled);
        if (a[n] == '=') {
            *target = a + n + 1;
        } else if (i + 1 < argc) {
            *target = argv[++i];
        } else {
            o.error = std::string(spelled) + " needs a value";
            return o;
        }
        if (target == &o.title)
            o.title_given = true;
        if (target == &o.scratch_name)
            o.scratch_name_given = true;
        if ((target == &o.stub || target == &o.splash || target == &o.icon) && target->empty()) {
            o.error = std::string(spelled) + " needs a file name";
            return o;
        }
    }
    o.pack = parse_pack_options(argc, argv, i);
    if (!o.pack.error.empty()) {
        o.error = o.pack.error;
        // Its own options after the packer's are the likely slip.
        for (const char* own : {"--stub", "--title", "--scratch-name", "--splash", "--icon"})
            if (o.error.find(std::string("option ") + own) != std::string::npos)
                o.error += " (the installer's options stand before the packing options)";
        if (o.error.find("a needs an archive name") != std::string::npos ||
            o.error.find("nothing to pack") != std::string::npos)
            o.error = "sfx needs the installer's file name and the files or folders to pack";
        return o;
    }
    if (o.pack.volume_size != 0) {
        o.error = "an installer carries one archive: -v (volumes) cannot be used with sfx";
        return o;
    }
    if (o.scratch_name_given && !check_scratch_name(o.scratch_name, &o.error))
        return o;
    if (o.title_given && o.title.size() >= size_t(TITLE_CAPACITY)) {
        o.error = "--title is longer than the " + std::to_string(TITLE_CAPACITY - 1) + " bytes the window shows";
        return o;
    }
    return o;
}

bool check_scratch_name(const std::string& name, std::string* error)
{
    auto refuse = [&](const std::string& why) {
        *error = "--scratch-name " + name + ": " + why;
        return false;
    };
    if (name.empty())
        return refuse("an empty name would make the temporary folder itself the scratch folder");
    if (name == "." || name == "..")
        return refuse("it must name a folder inside the temporary folder, not the folder itself or its parent");
    if (name.size() >= size_t(SCRATCH_NAME_CAPACITY)) {
        // (Appended: GCC 12 warns falsely of overlapping copies in a
        // literal + to_string + literal chain here.)
        std::string why = "longer than ";
        why.append(std::to_string(SCRATCH_NAME_CAPACITY - 1)).append(" characters");
        return refuse(why);
    }
    for (char c : name) {
        if (c == '/' || c == '\\' || c == ':')
            return refuse("a path separator or drive; give one folder name");
        if (uint8_t(c) < 0x20 || uint8_t(c) >= 0x7F || std::strchr("<>\"|?*", c))
            return refuse("only printable ASCII characters that Windows allows in names");
    }
    // Windows drops trailing dots and spaces: the folder made would not be
    // the one named.
    if (name.back() == '.' || name.back() == ' ')
        return refuse("a name ending in a dot or a space");
    return true;
}

std::vector<std::string> stub_candidates(const std::string& executable_path)
{
    fs::path dir = host_path(executable_path).parent_path();
    return {utf8_of(dir / STUB_FILE_NAME),
            utf8_of((dir / ".." / "share" / "kelvo" / STUB_FILE_NAME).lexically_normal())};
}

bool check_archive(const Bytes& archive, std::vector<std::string>* file_names, std::string* error)
{
    if (archive.size() > 0x7FFFFFFF) {
        *error = "the archive is larger than 2 GiB";
        return false;
    }
    CapturingHost host;
    auto cx = std::make_unique<JobContext>();
    cx->host = &host;
    if (!job_obtain_buffers(*cx)) {
        *error = "out of memory";
        return false;
    }
    crc_build_table(cx->crc);
    std::strcpy(cx->job.archive_name, "kelvo.ACE");
    stream_bind_memory(cx->stream, archive.data(), uint32_t(archive.size()));
    bool ok = false;
    if (!open_archive(*cx)) {
        *error = "not a readable archive" + (host.message.empty() ? std::string() : " (" + host.message + ")");
    } else if (cx->reader.archive_volume_number != 0) {
        *error = "a later volume of a set; an installer carries one whole archive";
    } else {
        // Where each header should start: right behind the previous one's
        // data. The walk must end exactly at the end of the bytes.
        ok = true;
        for (;;) {
            int64_t next = int64_t(cx->stream.stream_position) + cx->reader.packed_remaining;
            if (!read_header(*cx, 1)) {
                if (next != int64_t(archive.size())) {
                    *error = "a damaged header at byte " + std::to_string(next) + " of " +
                             std::to_string(archive.size());
                    ok = false;
                }
                break;
            }
            const AceHeader& h = cx->reader.header;
            if (h.header_type != HEADER_TYPE_FILE)
                continue;
            if (h.header_flags & FLAG_CONTINUED_NEXT) {
                *error = "an entry continues in a further volume; an installer carries one whole archive";
                ok = false;
                break;
            }
            if (!(h.file.file_attributes & ATTR_DIRECTORY)) {
                size_t length = std::min<size_t>(h.file.name_length, FILE_VARIABLE_SIZE);
                file_names->emplace_back(reinterpret_cast<const char*>(h.file.variable), length);
            }
        }
        stream_close(cx->stream, cx->job.archive_handle);
    }
    stream_release(cx->stream);
    job_release_buffers(*cx);
    return ok;
}

int run_sfx_command(const SfxOptions& options, bool quiet, FILE* out, FILE* err)
{
    const std::string& output = options.pack.archive;
    std::string looked;
    std::string stub_path = find_stub(options, &looked);
    if (stub_path.empty()) {
        tool_fprintf(err, "kelvo: no installer stub: looked for %s; name one with --stub FILE\n", looked.c_str());
        return STATUS_USAGE;
    }
    Bytes stub;
    if (!read_whole(stub_path, &stub)) {
        tool_fprintf(err, "kelvo: cannot read the stub %s\n", stub_path.c_str());
        return STATUS_READ_FAILED;
    }
    const bool windows = is_mz(stub);
    if (!windows && !is_elf(stub)) {
        tool_fprintf(err, "kelvo: %s is neither a Windows executable nor a native (ELF) launcher\n",
                     stub_path.c_str());
        return STATUS_USAGE;
    }
    std::error_code ec;
    if (!options.pack.overwrite && fs::exists(fs::symlink_status(host_path(output), ec))) {
        tool_fprintf(err, "kelvo: %s exists; remove it first, or make it with --overwrite\n", output.c_str());
        return STATUS_USAGE;
    }

    // The archive: a finished one taken as it is, or the inputs packed as
    // kelvo a packs them.
    Bytes archive;
    bool given = options.pack.inputs.size() == 1 && fs::is_regular_file(host_path(options.pack.inputs[0]), ec) &&
                 looks_like_archive(options.pack.inputs[0]);
    PackPlan plan;
    PackResult packed;
    if (given) {
        const PackCommandOptions defaults;
        const PackCommandOptions& o = options.pack;
        if (o.solid != defaults.solid || o.keep_order != defaults.keep_order || o.store_only != defaults.store_only ||
            o.level != defaults.level || o.dictionary_bits != defaults.dictionary_bits ||
            o.directory_entries != defaults.directory_entries ||
            !o.comment.empty() || !o.file_comments.empty())
            tool_fprintf(err, "kelvo: warning: %s is a finished archive, taken as it is: the packing options do "
                              "not apply\n",
                         o.inputs[0].c_str());
        if (!read_whole(options.pack.inputs[0], &archive)) {
            tool_fprintf(err, "kelvo: cannot read %s\n", options.pack.inputs[0].c_str());
            return STATUS_READ_FAILED;
        }
    } else {
        int status = plan_pack(options.pack, err, &plan);
        if (status != STATUS_OK)
            return status;
        packed = pack_archive(plan.items, plan.pack);
        if (!packed.ok) {
            tool_fprintf(err, "kelvo: %s\n", packed.error.c_str());
            return pack_status_of_error(packed.error);
        }
        if (packed.volumes.size() != 1) {
            tool_fprintf(err, "kelvo: the packer gave %zu volumes; an installer carries one\n", packed.volumes.size());
            return STATUS_USAGE;
        }
        archive = std::move(packed.volumes[0]);
    }
    std::vector<std::string> names;
    std::string error;
    if (!check_archive(archive, &names, &error)) {
        tool_fprintf(err, "kelvo: %s: %s\n", given ? options.pack.inputs[0].c_str() : "the packed archive",
                     error.c_str());
        return STATUS_USAGE;
    }
    if (!holds_setup(names, windows)) {
        tool_fprintf(err, "kelvo: the payload holds no %s at its top level; the installer would have nothing to "
                          "start\n",
                     INSTALLER_PROGRAM);
        return STATUS_USAGE;
    }

    Bytes installer;
    int status = windows ? build_windows_installer(options, stub, stub_path, archive, &installer, err)
                         : build_native_installer(options, stub, stub_path, archive, &installer, err);
    if (status != STATUS_OK)
        return status;
    if (!write_installer(output, installer)) {
        tool_fprintf(err, "kelvo: cannot write %s\n", output.c_str());
        return STATUS_WRITE_FAILED;
    }
    if (!given)
        print_pack_summary(options.pack, plan, packed, {"the installer's archive"}, quiet, out);
    tool_fprintf(out, "Made %s: %zu bytes (stub %s, %zu bytes; archive %zu bytes)\n", output.c_str(),
                 installer.size(), stub_path.c_str(), stub.size(), archive.size());
    std::fflush(out);
    return STATUS_OK;
}
