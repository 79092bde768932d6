// Whether the console tool talks to a person: a progress line is redrawn
// with carriage returns only on a console, never into a file or a pipe.
#include <windows.h>

#include "platform/platform.h"

namespace {

// GetConsoleMode succeeds only for a console buffer; _isatty would also
// say yes for the NUL device.
bool is_console(DWORD which)
{
    HANDLE handle = GetStdHandle(which);
    DWORD mode;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

}  // namespace

bool platform_stdout_is_terminal() { return is_console(STD_OUTPUT_HANDLE); }
bool platform_stdin_is_terminal() { return is_console(STD_INPUT_HANDLE); }
bool platform_stderr_is_terminal() { return is_console(STD_ERROR_HANDLE); }
