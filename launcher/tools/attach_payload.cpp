// kelvo-attach STUB ARCHIVE OUTPUT: a native installer is the stub's bytes,
// the archive's bytes and the trailer that lets the running program find
// them again (platform/embedded.h).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/embedded.h"

namespace {

bool read_whole(const char* path, std::vector<char>& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: kelvo-attach STUB ARCHIVE OUTPUT\n");
        return 2;
    }
    std::vector<char> stub, archive;
    if (!read_whole(argv[1], stub) || !read_whole(argv[2], archive)) {
        std::fprintf(stderr, "kelvo-attach: cannot read %s or %s\n", argv[1], argv[2]);
        return 1;
    }
    // The length field is 32 bits and the reader keeps the whole image in
    // a 32-bit length too.
    if (archive.size() + stub.size() + EMBEDDED_TRAILER_SIZE > INT32_MAX) {
        std::fprintf(stderr, "kelvo-attach: archive too large\n");
        return 1;
    }
    uint32_t n = static_cast<uint32_t>(archive.size());
    char trailer[EMBEDDED_TRAILER_SIZE] = {char(n & 0xFF), char(n >> 8 & 0xFF), char(n >> 16 & 0xFF),
                                           char(n >> 24 & 0xFF)};
    for (int i = 0; i < 8; i++)
        trailer[4 + i] = EMBEDDED_MAGIC[i];

    std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
    out.write(stub.data(), static_cast<std::streamsize>(stub.size()));
    out.write(archive.data(), static_cast<std::streamsize>(archive.size()));
    out.write(trailer, sizeof trailer);
    out.close();
    if (!out) {
        std::fprintf(stderr, "kelvo-attach: cannot write %s\n", argv[3]);
        return 1;
    }
    namespace fs = std::filesystem;
    std::error_code ignored;
    fs::permissions(argv[3], fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec, ignored);
    return 0;
}
