// kelvo: the console tool. x, e, t, l and v run the extraction job exactly
// as the installer does, on an archive file, and print what happens; a packs
// files and folders into a new archive; sfx makes an installer of them.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <vector>

#include "extract/job.h"
#include "extract/output.h"
#include "extract/write_behind.h"
#include "platform/platform.h"
#include "tools/archive_info.h"
#include "tools/cli_options.h"
#include "tools/console_host.h"
#include "platform/host_path.h"
#include "tools/listing_host.h"
#include "tools/pack_command.h"
#include "tools/sfx_command.h"
#include "tools/text_output.h"

#ifndef KELVO_VERSION
#define KELVO_VERSION "0"
#endif
#ifndef KELVO_COMMIT
#define KELVO_COMMIT ""
#endif

namespace {

int run_job_command(const ToolOptions& options, int argc, const char* const* argv)
{
    ConsoleCommand command =
        options.command_index > 0 ? console_command_of(argv[options.command_index]) : ConsoleCommand::OTHER;
    // The job sees element 0, the command letter, "-y" when asked for and
    // the archive name; the tool's own switches and the names to select
    // are the tool's. Anything else goes to the job as it is: its argument
    // rules decide.
    ExtractCommandOptions extract;
    std::vector<const char*> job_argv;
    job_argv.push_back(argv[0]);
    if (command == ConsoleCommand::OTHER) {
        if (options.command_index > 0)
            for (int i = options.command_index; i < argc; i++)
                job_argv.push_back(argv[i]);
    } else {
        extract = parse_extract_options(argc, argv, options.command_index);
        if (!extract.error.empty()) {
            tool_fprintf(stderr, "kelvo: bad command line: %s\n(kelvo --help shows the usage)\n", extract.error.c_str());
            return STATUS_USAGE;
        }
        job_argv.push_back(argv[options.command_index]);
        if (extract.yes)
            job_argv.push_back("-y");
    }

    std::unique_ptr<ConsoleJobHost> console = make_console_host(command, stdout, stderr);
    ConsoleJobHost& host = *console;
    host.set_quiet(options.quiet);
    host.set_progress(!options.quiet && !options.no_progress && platform_stdout_is_terminal());
    host.set_patterns(extract.patterns);
    if (command == ConsoleCommand::EXTRACT || command == ConsoleCommand::EXTRACT_FLAT)
        static_cast<ConsoleHost&>(host).set_overwrite(extract.overwrite, platform_stdin_is_terminal());
    if (command == ConsoleCommand::LIST || command == ConsoleCommand::LIST_VERBOSE)
        static_cast<ListingHost&>(host).set_json(extract.json);

    // The archive name the job will open, found the way the job finds it,
    // for a look at its main header beforehand (v shows it).
    std::string given = extract.archive;
    std::string name;
    if (command != ConsoleCommand::OTHER) {
        if (!extract.output_dir.empty()) {
            // The archive is named from here, the files land there.
            std::error_code ec;
            given = utf8_of(std::filesystem::absolute(host_path(given), ec));
            std::filesystem::create_directories(host_path(extract.output_dir), ec);
            std::filesystem::current_path(host_path(extract.output_dir), ec);
            if (ec) {
                tool_fprintf(stderr, "kelvo: cannot use %s as the output folder: %s\n", extract.output_dir.c_str(),
                             ec.message().c_str());
                return STATUS_WRITE_FAILED;
            }
        }
        name = resolved_archive_name(given);
        // The job would call a file that is not there "Damaged archive".
        FILE* archive = platform_fopen(name.c_str(), "rb");
        if (!archive) {
            const int why = errno;
            if (extract.json) {
                // Even then a listing in JSON is a document: empty, incomplete.
                host.set_archive_info(nullptr, name);
                static_cast<ListingHost&>(host).print_json_end(false);
            }
            tool_fprintf(stderr, "kelvo: cannot open %s: %s\nkelvo: exit code %d (%s)\n", name.c_str(),
                         std::strerror(why), int(STATUS_USAGE), "cannot open the archive");
            return STATUS_USAGE;
        }
        std::fclose(archive);
        job_argv.push_back(given.c_str());
    }
    host.set_given_archive_name(given);
    ArchiveInfo info;
    bool have_info = command != ConsoleCommand::OTHER && read_archive_info(name, &info);
    host.set_archive_info(have_info ? &info : nullptr, name);
    if (have_info && info.volume_number != 0)
        tool_fprintf(stderr, "kelvo: %s is volume %d of a set; nothing is done unless you start from its first volume\n",
                     name.c_str(), info.volume_number);

    // Tens of kilobytes of tables: on the heap.
    auto cx = std::make_unique<JobContext>();
    // A volume that is there is opened without asking; the prompt is for
    // one that is missing.
    cx->packed.volume_prompt_mode = PROMPT_WHEN_MISSING;
    // The files are written in blocks, not portion by portion, by a second
    // thread while the next blocks are decoded.
    auto writer = std::make_unique<WriteBehindHost>(host, *cx);
    cx->host = writer.get();
    stream_bind_installer_files(cx->stream);
    extract_job_run(*cx, int32_t(job_argv.size()), job_argv.data());
    return host.finish(*cx);
}

}  // namespace

int main(int argc, char** argv)
{
    // Names on the command line, as everywhere in the tool, are UTF-8.
    platform_utf8_arguments(&argc, &argv);
    const char* const* args = argv;
    ToolOptions options = parse_tool_options(argc, args);
    if (!options.error.empty()) {
        tool_fprintf(stderr, "kelvo: %s\n%s", options.error.c_str(), usage_text().c_str());
        return STATUS_USAGE;
    }
    if (options.help) {
        tool_fputs(usage_text().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        if (KELVO_COMMIT[0])
            std::printf("kelvo %s (commit %s)\n", KELVO_VERSION, KELVO_COMMIT);
        else
            std::printf("kelvo %s\n", KELVO_VERSION);
        return 0;
    }
    if (options.command_index > 0 &&
        (!std::strcmp(args[options.command_index], "a") || !std::strcmp(args[options.command_index], "A"))) {
        PackCommandOptions pack = parse_pack_options(argc, args, options.command_index + 1);
        if (!pack.error.empty()) {
            tool_fprintf(stderr, "kelvo: %s\n(kelvo --help shows the usage)\n", pack.error.c_str());
            return STATUS_USAGE;
        }
        // The file system library reports some failures by throwing (a name
        // the system's code page cannot hold, a folder removed while it is
        // walked); the tool ends with a read failure then, not an abort.
        try {
            return run_pack_command(pack, options.quiet, stdout, stderr, !options.no_progress);
        } catch (const std::exception& e) {
            tool_fprintf(stderr, "kelvo: %s\n", e.what());
            return STATUS_READ_FAILED;
        }
    }
    if (options.command_index > 0 && !std::strcmp(args[options.command_index], "sfx")) {
        SfxOptions sfx = parse_sfx_options(argc, args, options.command_index + 1);
        if (!sfx.error.empty()) {
            tool_fprintf(stderr, "kelvo: %s\n(kelvo --help shows the usage)\n", sfx.error.c_str());
            return STATUS_USAGE;
        }
        try {
            return run_sfx_command(sfx, options.quiet, stdout, stderr);
        } catch (const std::exception& e) {
            tool_fprintf(stderr, "kelvo: %s\n", e.what());
            return STATUS_READ_FAILED;
        }
    }
    return run_job_command(options, argc, args);
}
