// The console tool's command line as UTF-8. The C runtime builds argv in
// the ANSI code page, which cannot hold most names; the wide command line
// holds them all. Apart from the other files so that only programs that
// ask for it link the shell library.
#include <windows.h>

#include <shellapi.h>

#include <cstdlib>

#include "platform/platform.h"

void platform_utf8_arguments(int* argc, char*** argv)
{
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide)
        return;
    // Kept for the whole run, as argv is.
    char** utf8 = static_cast<char**>(std::calloc(size_t(count) + 1, sizeof(char*)));
    if (!utf8) {
        LocalFree(wide);
        return;
    }
    for (int i = 0; i < count; i++) {
        int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        utf8[i] = n > 0 ? static_cast<char*>(std::malloc(size_t(n))) : nullptr;
        if (!utf8[i] || WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, utf8[i], n, nullptr, nullptr) <= 0) {
            LocalFree(wide);
            return;  // the runtime's argv stays
        }
    }
    LocalFree(wide);
    *argc = count;
    *argv = utf8;
}
