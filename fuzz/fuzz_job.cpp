// The whole job on one archive held in memory: t with a host that may not
// touch a file, then x (or e, for inputs of odd length) into a scratch
// folder with every path, write and allocation checked as it happens
// (FuzzHost).
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz_support.h"

namespace {

int32_t run_one(const uint8_t* data, size_t size, const char* command, const std::string& folder)
{
    FuzzHost host(folder);
    auto cx = std::make_unique<JobContext>();
    cx->host = &host;
    host.cx = cx.get();
    // No console: the volume prompt gets the end of input and gives up.
    stream_bind_memory(cx->stream, data, uint32_t(size));
    const std::vector<std::string> args = {"kelvo", command, "fuzz"};
    const int32_t status = fuzz_run_job(*cx, args);
    fuzz_report(args, status, host);
    host.check_after_job();
    if (folder.empty())
        FUZZ_CHECK(host.written == 0 && host.files_opened == 0);
    // A run ends in success only when nothing it met went wrong.
    if (status == STATUS_OK)
        FUZZ_CHECK(!host.budget_hit && cx->job.crc_failed == 0);
    return status;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > (size_t(1) << 24))
        return 0;
    const int32_t tested = run_one(data, size, "t", {});
    const int32_t extracted = run_one(data, size, size % 2 ? "e" : "x", fuzz_scratch_folder());
    fuzz_clear_scratch_folder();
    // Which header ends the walk, and the bytes each entry decodes to, do
    // not depend on where the bytes go; so the archive opens or fails to
    // open alike.
    FUZZ_CHECK((tested == STATUS_USAGE) == (extracted == STATUS_USAGE));
    return 0;
}
