// kelvo: the console tool. x, e, t, l and v run the extraction job exactly
// as the installer does, on an archive file, and print what happens; a packs
// files and folders into a new archive; sfx makes an installer of them.
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <vector>

#include "extract/job.h"
#include "platform/platform.h"
#include "tools/archive_info.h"
#include "tools/cli_options.h"
#include "tools/console_host.h"
#include "tools/pack_command.h"
#include "tools/sfx_command.h"

#ifndef KELVO_VERSION
#define KELVO_VERSION "0"
#endif

namespace {

int run_job_command(const ToolOptions& options, int argc, const char* const* argv)
{
    // The job sees element 0, the command letter and what follows it,
    // untouched: its argument rules decide, not the tool's.
    std::vector<const char*> job_argv;
    job_argv.push_back(argv[0]);
    if (options.command_index > 0)
        for (int i = options.command_index; i < argc; i++)
            job_argv.push_back(argv[i]);

    ConsoleCommand command =
        options.command_index > 0 ? console_command_of(argv[options.command_index]) : ConsoleCommand::OTHER;
    ConsoleHost host(command, stdout, stderr);
    host.set_quiet(options.quiet);
    host.set_progress(!options.quiet && !options.no_progress && platform_stdout_is_terminal());

    // The archive name the job will open, found the way the job finds it,
    // for a look at its main header beforehand (v shows it).
    ArchiveInfo info;
    std::string name;
    for (size_t i = 2; i < job_argv.size(); i++) {
        if (job_argv[i][0] != '-') {
            name = completed_archive_name(job_argv[i]);
            break;
        }
    }
    bool have_info = command != ConsoleCommand::OTHER && !name.empty() && read_archive_info(name, &info);
    host.set_archive_info(have_info ? &info : nullptr, name);
    if (have_info && info.volume_number != 0)
        std::fprintf(stderr, "kelvo: %s is volume %d of a set; nothing is done unless you start from its first volume\n",
                     name.c_str(), info.volume_number);

    // Tens of kilobytes of tables: on the heap.
    auto cx = std::make_unique<JobContext>();
    cx->host = &host;
    host.watch(cx.get());
    stream_bind_installer_files(cx->stream);
    extract_job_run(*cx, int32_t(job_argv.size()), job_argv.data());
    host.finish(*cx);
    return current_status(*cx);
}

}  // namespace

int main(int argc, char** argv)
{
    const char* const* args = argv;
    ToolOptions options = parse_tool_options(argc, args);
    if (!options.error.empty()) {
        std::fprintf(stderr, "kelvo: %s\n%s", options.error.c_str(), usage_text().c_str());
        return STATUS_USAGE;
    }
    if (options.help) {
        std::fputs(usage_text().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("kelvo %s\n", KELVO_VERSION);
        return 0;
    }
    if (options.command_index > 0 &&
        (!std::strcmp(args[options.command_index], "a") || !std::strcmp(args[options.command_index], "A"))) {
        PackCommandOptions pack = parse_pack_options(argc, args, options.command_index + 1);
        if (!pack.error.empty()) {
            std::fprintf(stderr, "kelvo: %s\n(kelvo --help shows the usage)\n", pack.error.c_str());
            return STATUS_USAGE;
        }
        // The file system library reports some failures by throwing (a name
        // the system's code page cannot hold, a folder removed while it is
        // walked); the tool ends with a read failure then, not an abort.
        try {
            return run_pack_command(pack, options.quiet, stdout, stderr);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "kelvo: %s\n", e.what());
            return STATUS_READ_FAILED;
        }
    }
    if (options.command_index > 0 && !std::strcmp(args[options.command_index], "sfx")) {
        SfxOptions sfx = parse_sfx_options(argc, args, options.command_index + 1);
        if (!sfx.error.empty()) {
            std::fprintf(stderr, "kelvo: %s\n(kelvo --help shows the usage)\n", sfx.error.c_str());
            return STATUS_USAGE;
        }
        try {
            return run_sfx_command(sfx, options.quiet, stdout, stderr);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "kelvo: %s\n", e.what());
            return STATUS_READ_FAILED;
        }
    }
    return run_job_command(options, argc, args);
}
