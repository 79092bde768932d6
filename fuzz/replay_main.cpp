// Runs a fuzz target over saved inputs without the fuzzer, so that an
// ordinary build replays the seed corpora and every regression input.
// Arguments: files, or folders whose files are run in name order.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

static bool run_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A separate copy of exactly the input's size, so that a read past its
    // end is caught by the sanitizers.
    std::vector<uint8_t> exact(bytes);
    exact.shrink_to_fit();
    LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
    return true;
}

int main(int argc, char** argv)
{
    size_t inputs = 0;
    bool ok = true;
    for (int i = 1; i < argc; i++) {
        const fs::path arg = argv[i];
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            std::vector<fs::path> files;
            for (const auto& entry : fs::directory_iterator(arg))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (const fs::path& f : files) {
                ok = run_file(f) && ok;
                inputs++;
            }
        } else if (fs::exists(arg, ec)) {
            ok = run_file(arg) && ok;
            inputs++;
        }
        // A folder that does not exist yet (no regression input so far) is
        // not an error.
    }
    std::printf("%zu inputs replayed\n", inputs);
    return ok ? 0 : 1;
}
