# Cross build for 64-bit Windows with mingw-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KELVO_MINGW_PREFIX x86_64-w64-mingw32)
# The win32 thread model: no winpthread DLL or static blob; the engine needs no C++ threads.
set(CMAKE_C_COMPILER ${KELVO_MINGW_PREFIX}-gcc-win32)
set(CMAKE_CXX_COMPILER ${KELVO_MINGW_PREFIX}-g++-win32)
set(CMAKE_RC_COMPILER ${KELVO_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KELVO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Tests and tools built for the host run under Wine.
# (Debian keeps the 64-bit loader out of PATH.)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
