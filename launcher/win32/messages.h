// The message the worker posts to end the splash window's loop: its wparam
// is the process's exit code. (WM_DESTROY stays the window's real
// destruction: the user closed it while the worker was still busy.)
#pragma once

#include <windows.h>

constexpr UINT WM_KELVO_END = WM_APP + 1;
