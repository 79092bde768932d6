// Host paths are UTF-8 strings, as the platform layer takes
// them. The file system library reads a plain string in the system's code
// page on Windows: these go through its UTF-8 forms instead (the same
// bytes on POSIX).
#pragma once

#include <filesystem>
#include <string>

inline std::filesystem::path host_path(const std::string& utf8)
{
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string utf8_of(const std::filesystem::path& path)
{
    const std::u8string s = path.u8string();
    return std::string(s.begin(), s.end());
}
