#pragma once

#include <cstddef>

constexpr size_t POSIX_PATH_CAPACITY = 4096;

// Copies an archive path with '\' turned into '/'; false when it is too long.
bool posix_path(const char* path, char (&out)[POSIX_PATH_CAPACITY]);
