// Whether the console tool talks to a person: a progress line is redrawn
// with carriage returns only on a terminal, never into a file or a pipe.
#include <unistd.h>

#include "platform/platform.h"

bool platform_stdout_is_terminal() { return isatty(STDOUT_FILENO) == 1; }
bool platform_stdin_is_terminal() { return isatty(STDIN_FILENO) == 1; }
bool platform_stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }
