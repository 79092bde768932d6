# Cross build for 64-bit Windows with mingw-w64: the same sources, for
# machines whose kernel runs no 32-bit code (so no 32-bit Wine).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KELVO_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# Tests and tools built for the host run under 64-bit Wine (Debian keeps
# its loader out of PATH).
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
