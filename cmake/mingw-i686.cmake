# Cross build for 32-bit Windows with mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KELVO_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# Tests and tools built for the host run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
