// The header walk across volumes: the volumes of one set, served from
// memory under the names the volume switch derives (fuzz.ACE, fuzz.C00,
// ...), walked by l and decoded by t, once with -y and once through the
// prompt with a short script of keys.
//
// Input: the volumes, first to last, separated by VOLUME_SEPARATOR.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz_support.h"

namespace {

void run_one(const FuzzVolumeSet& set, const std::vector<std::string>& args, std::vector<int> keys)
{
    FuzzHost host;
    host.keys = std::move(keys);
    host.present = set.names;
    auto cx = std::make_unique<JobContext>();
    cx->host = &host;
    host.cx = cx.get();
    stream_bind_volumes(cx->stream, set.volumes.data(), uint32_t(set.volumes.size()));
    fuzz_report(args, fuzz_run_job(*cx, args), host);
    host.check_after_job();
    FUZZ_CHECK(host.written == 0 && host.files_opened == 0);
    // Each switch prompts at most until the script ends, and a set has
    // no more names than volumes to switch to.
    FUZZ_CHECK(host.prompts <= int(host.keys.size()) + int(set.volumes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > (size_t(1) << 24))
        return 0;
    FuzzVolumeSet set;
    split_volumes(data, size, "fuzz.ACE", set);
    run_one(set, {"kelvo", "l", "-y", "fuzz"}, {});
    run_one(set, {"kelvo", "t", "-y", "fuzz"}, {});
    // Asked before every volume: a key to ignore, yes, then the end of input.
    run_one(set, {"kelvo", "l", "fuzz"}, {'?', 'y', 'Y'});
    return 0;
}
