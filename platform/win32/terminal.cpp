// Whether the console tool talks to a person: a progress line is redrawn
// with carriage returns only on a console, never into a file or a pipe.
#include <windows.h>

#include "platform/platform.h"

bool platform_stdout_is_terminal()
{
    // GetConsoleMode succeeds only for a console screen buffer; _isatty
    // would also say yes for the NUL device.
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode;
    return output != nullptr && output != INVALID_HANDLE_VALUE && GetConsoleMode(output, &mode) != 0;
}
