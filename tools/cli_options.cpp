#include "tools/cli_options.h"

#include <cstring>

#include "extract/job.h"
#include "platform/platform.h"

namespace {

bool starts_with(const char* s, const char* prefix) { return std::strncmp(s, prefix, std::strlen(prefix)) == 0; }

// Value of an option given as "-d 16", "-d16", "--dict 16" or "--dict=16".
// Advances i past a separate value. Returns false when the value is missing.
bool option_value(int argc, const char* const* argv, int& i, const char* spelled, std::string* value)
{
    const char* a = argv[i];
    size_t n = std::strlen(spelled);
    if (a[n] == '=') {
        *value = a + n + 1;
        return true;
    }
    if (a[n] != '\0' && spelled[1] != '-') {  // -d16
        *value = a + n;
        return true;
    }
    if (i + 1 >= argc)
        return false;
    *value = argv[++i];
    return true;
}

bool is_option(const char* a, const char* short_name, const char* long_name)
{
    for (const char* spelled : {short_name, long_name}) {
        if (!spelled)
            continue;
        size_t n = std::strlen(spelled);
        if (std::strncmp(a, spelled, n) == 0 && (a[n] == '\0' || a[n] == '=' || spelled[1] != '-'))
            return true;
    }
    return false;
}

}  // namespace

ToolOptions parse_tool_options(int argc, const char* const* argv)
{
    ToolOptions o;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (a[0] != '-') {
            o.command_index = i;
            return o;
        }
        if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h") || !std::strcmp(a, "-?"))
            o.help = true;
        else if (!std::strcmp(a, "--version") || !std::strcmp(a, "-V"))
            o.version = true;
        else if (!std::strcmp(a, "--quiet") || !std::strcmp(a, "-q"))
            o.quiet = true;
        else if (!std::strcmp(a, "--no-progress"))
            o.no_progress = true;
        else {
            o.error = std::string("unknown option ") + a + " (options of the tool stand before the command)";
            return o;
        }
    }
    return o;
}

ExtractCommandOptions parse_extract_options(int argc, const char* const* argv, int command_index)
{
    ExtractCommandOptions o;
    bool names_only = false;  // after "--"
    for (int i = command_index + 1; i < argc; i++) {
        const char* a = argv[i];
        if (names_only || a[0] != '-') {
            if (o.archive.empty())
                o.archive = a;
            else
                o.patterns.push_back(a);
            continue;
        }
        std::string value;
        if (!std::strcmp(a, "--")) {
            names_only = true;
        } else if (a[1] == 'y' || a[1] == 'Y') {
            // -y, -Y and -yes are one switch.
            o.yes = true;
        } else if (is_option(a, "-o", "--output")) {
            if (!option_value(argc, argv, i, a[1] == '-' ? "--output" : "-o", &value) || value.empty()) {
                o.error = "-o needs a folder";
                return o;
            }
            o.output_dir = value;
        } else if (!std::strcmp(a, "-aoa") || !std::strcmp(a, "--overwrite")) {
            o.overwrite = OverwritePolicy::ALWAYS;
        } else if (!std::strcmp(a, "-aos") || !std::strcmp(a, "--skip-existing")) {
            o.overwrite = OverwritePolicy::NEVER;
        } else if (!std::strcmp(a, "-u") || !std::strcmp(a, "--update")) {
            o.overwrite = OverwritePolicy::UPDATE;
        } else if (!std::strcmp(a, "--json")) {
            const char letter = char(argv[command_index][0] | 0x20);
            if (letter != 'l' && letter != 'v') {
                o.error = "--json lists: it goes with l or v";
                return o;
            }
            o.json = true;
        } else {
            bool tool_option = !std::strcmp(a, "-q") || !std::strcmp(a, "--quiet") || !std::strcmp(a, "--no-progress") ||
                               !std::strcmp(a, "-h") || !std::strcmp(a, "--help") || !std::strcmp(a, "-V") ||
                               !std::strcmp(a, "--version");
            o.error = std::string("unknown switch ") + a + " after the command" +
                      (tool_option ? "; options of the tool go before it" : "");
            return o;
        }
    }
    if (o.archive.empty())
        o.error = "no archive name after the command";
    return o;
}

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool same_char(char a, char b)
{
    if (is_separator(a) && is_separator(b))
        return true;
#ifdef _WIN32
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return lower(a) == lower(b);
#else
    return a == b;
#endif
}

// Wildcards over pattern[p..] and name[n..]; * and ? stop at separators.
bool wild_match(const std::string& pattern, size_t p, const std::string& name, size_t n)
{
    while (p < pattern.size()) {
        char c = pattern[p];
        if (c == '*') {
            for (size_t k = n;; k++) {
                if (wild_match(pattern, p + 1, name, k))
                    return true;
                if (k >= name.size() || is_separator(name[k]))
                    return false;
            }
        }
        if (n >= name.size())
            return false;
        if (c == '?' ? is_separator(name[n]) : !same_char(c, name[n]))
            return false;
        p++;
        n++;
    }
    return n == name.size();
}

}  // namespace

bool name_matches(const std::string& pattern, const std::string& name)
{
    std::string p = pattern;
    while (p.size() > 1 && is_separator(p.back()))
        p.pop_back();
    if (wild_match(p, 0, name, 0))
        return true;
    // A folder named by the pattern selects everything inside it.
    for (size_t i = 0; i < name.size(); i++)
        if (is_separator(name[i]) && wild_match(p, 0, name.substr(0, i), 0))
            return true;
    return false;
}

bool parse_size(const std::string& text, uint64_t* bytes)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    uint64_t value = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) {
        value = value * 10 + uint64_t(text[i] - '0');
        if (value > (uint64_t(1) << 32))
            return false;
    }
    uint64_t unit = 1;
    if (i < text.size()) {
        switch (text[i]) {
        case 'k': case 'K': unit = 1024; break;
        case 'm': case 'M': unit = 1024 * 1024; break;
        case 'g': case 'G': unit = 1024 * 1024 * 1024; break;
        default: return false;
        }
        i++;
        if (i < text.size() && (text[i] == 'b' || text[i] == 'B'))
            i++;
    }
    if (i != text.size())
        return false;
    value *= unit;
    if (value == 0 || value > 0x7FFFFFFF)
        return false;
    *bytes = value;
    return true;
}

bool parse_dictionary(const std::string& text, int* bits)
{
    bool plain = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    if (plain && text.size() <= 2) {
        int b = std::stoi(text);
        if (b < 10 || b > 20)
            return false;
        *bits = b;
        return true;
    }
    uint64_t bytes;
    if (!parse_size(text, &bytes))
        return false;
    for (int b = 10; b <= 20; b++) {
        if (bytes == uint64_t(1) << b) {
            *bits = b;
            return true;
        }
    }
    return false;
}

PackCommandOptions parse_pack_options(int argc, const char* const* argv, int first)
{
    PackCommandOptions o;
    int i = first;
    auto fail = [&](const std::string& why) {
        o.error = why;
        return o;
    };
    for (; i < argc; i++) {
        const char* a = argv[i];
        if (!std::strcmp(a, "--")) {
            i++;
            break;
        }
        if (a[0] != '-' || a[1] == '\0')
            break;
        std::string v;
        if (!std::strcmp(a, "-s") || !std::strcmp(a, "--store") || !std::strcmp(a, "-m0")) {
            o.store_only = true;
        } else if (starts_with(a, "-m") && a[2] >= '1' && a[2] <= '9' && a[3] == '\0') {
            o.level = a[2] - '0';
            o.store_only = false;
        } else if (!std::strcmp(a, "--solid")) {
            o.solid = true;
        } else if (!std::strcmp(a, "--non-solid") || !std::strcmp(a, "-n")) {
            o.solid = false;
        } else if (!std::strcmp(a, "--keep-order")) {
            o.keep_order = true;
        } else if (!std::strcmp(a, "-o") || !std::strcmp(a, "--overwrite")) {
            o.overwrite = true;
        } else if (!std::strcmp(a, "--no-dirs")) {
            o.directory_entries = false;
        } else if (is_option(a, "-d", "--dictionary")) {
            if (!option_value(argc, argv, i, starts_with(a, "--") ? "--dictionary" : "-d", &v))
                return fail("-d needs a value");
            if (!parse_dictionary(v, &o.dictionary_bits))
                return fail("bad dictionary size " + v + " (10..20 bits, or a power of two from 1k to 1m)");
        } else if (is_option(a, "-v", "--volume-size")) {
            if (!option_value(argc, argv, i, starts_with(a, "--") ? "--volume-size" : "-v", &v))
                return fail("-v needs a size");
            if (!parse_size(v, &o.volume_size))
                return fail("bad volume size " + v);
        } else if (is_option(a, "-c", "--comment")) {
            if (!option_value(argc, argv, i, starts_with(a, "--") ? "--comment" : "-c", &v))
                return fail("-c needs a text");
            o.comment = v;
        } else if (is_option(a, "-x", "--exclude")) {
            if (!option_value(argc, argv, i, starts_with(a, "--") ? "--exclude" : "-x", &v) || v.empty())
                return fail("-x needs a pattern");
            o.excludes.push_back(v);
        } else if (is_option(a, nullptr, "--file-comment")) {
            if (!option_value(argc, argv, i, "--file-comment", &v))
                return fail("--file-comment needs NAME=TEXT");
            size_t eq = v.find('=');
            if (eq == std::string::npos || eq == 0)
                return fail("--file-comment needs NAME=TEXT, got " + v);
            std::string name = v.substr(0, eq);
            for (char& c : name)
                if (c == '/')
                    c = '\\';
            o.file_comments.emplace_back(name, v.substr(eq + 1));
        } else {
            return fail(std::string("unknown packing option ") + a);
        }
    }
    if (i >= argc)
        return fail("a needs an archive name and the files or folders to pack");
    o.archive = argv[i++];
    for (; i < argc; i++)
        o.inputs.push_back(argv[i]);
    if (o.inputs.empty())
        return fail("nothing to pack: give files or folders after the archive name");
    return o;
}

std::string completed_archive_name(const std::string& name)
{
    // A name too long to complete is passed on as it is; the job refuses it.
    char completed[NAME_CAPACITY];
    if (!complete_archive_name(name.c_str(), completed))
        return name;
    return completed;
}

std::string resolved_archive_name(const std::string& name)
{
    std::string completed = completed_archive_name(name);
    if (completed.size() >= NAME_CAPACITY)
        return completed;
    char matched[NAME_CAPACITY];
    std::memcpy(matched, completed.c_str(), completed.size() + 1);
    platform_match_name_case(matched);
    if (!platform_path_exists(matched) && completed != name && platform_path_exists(name.c_str()))
        return name;
    return matched;
}

std::string usage_text()
{
    return "Usage:\n"
           "  kelvo [options] x|e|t|l|v [switches] ARCHIVE [NAME...]\n"
           "  kelvo [options] a [packing options] ARCHIVE FILE-OR-FOLDER...\n"
           "  kelvo [options] sfx [installer options] [packing options] OUTPUT.exe FILE-OR-FOLDER...\n"
           "\n"
           "Commands:\n"
           "  x  extract with paths        e  extract without paths\n"
           "  t  test (decode and check)   l  list      v  list verbosely\n"
           "  a  pack files and folders into a new archive\n"
           "  sfx  make an installer: pack as a does (or take one finished archive as it is)\n"
           "       and put the archive into a copy of the installer stub\n"
           "  ARCHIVE without an extension gets .ACE (unless only the name as given exists).\n"
           "  NAMEs select entries: a stored name, a folder (all it holds), or a pattern\n"
           "  with * and ? (which stay within one folder); / and \\ both separate.\n"
           "\n"
           "Switches of x, e, t, l and v (after the command, before or after ARCHIVE):\n"
           "  -y                     never ask for a volume (a missing one ends the run)\n"
           "  -o DIR, --output=DIR   extract into DIR (made when missing)\n"
           "  -aoa, --overwrite      replace files that are already there\n"
           "  -aos, --skip-existing  keep files that are already there\n"
           "  -u, --update           replace only files older than the entry\n"
           "  --json                 (l, v) one JSON document instead of the table: entries\n"
           "                         with name, size, packed, time (ISO 8601), attributes,\n"
           "                         crc, method, dictionary, flags, volumes and comment\n"
           "  Without -aoa, -aos or -u, kelvo asks on a terminal and replaces otherwise.\n"
           "  Volumes that are there are opened without asking; a missing one is asked for.\n"
           "  Files get their stored times (and on Windows their attributes) back;\n"
           "  the format keeps no Unix permissions.\n"
           "\n"
           "Options (before the command):\n"
           "  -q, --quiet        print no line per entry\n"
           "      --no-progress  no progress bar on a terminal\n"
           "  -h, --help         this text\n"
           "  -V, --version      the version\n"
           "\n"
           "Packing options (after a):\n"
           "  -s, -m0                store only, do not compress\n"
           "  -m1 .. -m9             effort, from fast to thorough (default -m6)\n"
           "  -d BITS|SIZE           dictionary: 10..20 bits, or 1k..1m (default 1m)\n"
           "  -n, --non-solid        each file on its own (default: solid)\n"
           "  --keep-order           solid: files in the order found, not grouped by type\n"
           "  -v SIZE                split into volumes of SIZE bytes (k, m suffixes); later\n"
           "                         volumes of an older set of the same name are removed\n"
           "                         (and named) once the pack has succeeded\n"
           "  -c, --comment TEXT     archive comment\n"
           "  --file-comment NAME=TEXT  comment for the entry NAME (as stored)\n"
           "  --no-dirs              no entries for folders, only files\n"
           "  -o, --overwrite        replace an existing archive\n"
           "  -x, --exclude PATTERN  leave out what PATTERN (* and ?) matches: the stored\n"
           "                         name, or the name of the file or of a folder on its way\n"
           "                         (-x '*.o' -x .git); may be repeated\n"
           "  @LIST                  (in place of a file) the names in the file LIST, one a\n"
           "                         line; blank lines are ignored (\"./@x\" for a file @x)\n"
           "  Files and folders are stored under their paths as given (dir1/a.txt stays\n"
           "  dir1\\a.txt), less a drive, a leading '/' and \"./\"; a path that starts with\n"
           "  \"../\" under its own name; \"..\" inside a path is refused. A folder is packed\n"
           "  with all it holds; \"dir/.\" (and \".\") puts what it holds at the top. Two\n"
           "  inputs stored under one name are refused. Links to folders, links to nothing\n"
           "  and special files are skipped with a warning. Names inside the archive use\n"
           "  '\\' between folders.\n"
           "  The archive (and its volumes) is written under a temporary name and renamed\n"
           "  when complete: a failed or interrupted pack leaves nothing behind.\n"
           "  On Windows, * and ? in an input's last component are matched by kelvo\n"
           "  (cmd.exe leaves them); a pattern that matches nothing is an error.\n"
           "\n"
           "Installer options (after sfx, before the packing options):\n"
           "  --stub FILE            the stub: kelvo-stub.exe (found beside kelvo or in\n"
           "                         ../share/kelvo), or the native launcher kelvo-installer\n"
           "                         for a Linux installer (the archive is appended)\n"
           "  --title TEXT           the splash window's title (default \"Initializing...\")\n"
           "  --scratch-name NAME    the scratch folder setup.exe runs in (default kelvo08.tmp),\n"
           "                         made inside a fresh private folder under the temporary folder\n"
           "  --splash FILE.bmp      the splash bitmap, 321 x 81 pixels\n"
           "  --icon FILE.ico        the program's icon\n"
           "  The payload must hold setup.exe at its top level. The same inputs give the same\n"
           "  bytes (the image's time stamp is SOURCE_DATE_EPOCH, or 0). Sign the installer\n"
           "  after it is made: a stub's own signature is dropped.\n"
           "\n"
           "Names: kelvo a stores UTF-8. A stored name (or comment) that is well-formed\n"
           "  UTF-8 is read as UTF-8, any other as the DOS code page 437; both builds make\n"
           "  the same file names from one archive (UTF-8 on Linux, Unicode on Windows).\n"
           "\n"
           "Exit codes: 0 ok, 1 out of memory, 3 cancelled, 5 volume missing or damaged,\n"
           "  6 read error, 7 write error, unsafe names or an entry not written,\n"
           "  8 usage, an archive that cannot be opened, damaged archive data (a damaged\n"
           "  header, an archive cut short) or NAMEs that match nothing,\n"
           "  9 CRC error, 10 unknown method or refused entry, 255 interrupted.\n";
}
