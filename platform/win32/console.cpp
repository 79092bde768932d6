// Windows console and messages: the fatal message (a box for the GUI
// installer, a line on standard error for console programs), the volume
// prompt's key read and bell, the interrupt signal and memory.
#include <windows.h>

#include <conio.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace {

// Whether this program was linked for the console subsystem. Read from
// the module's own header rather than from GetConsoleWindow: under Wine a
// console program started from a terminal has no console window, and a
// GUI program started there does inherit standard handles.
bool is_console_program()
{
    const auto* base = reinterpret_cast<const unsigned char*>(GetModuleHandleA(nullptr));
    if (!base)
        return false;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return false;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE)
        return false;
    return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

}  // namespace

void platform_show_fatal(const char* text)
{
    // Always visible to a debugger, and to tests under WINEDEBUG=+debugstr.
    OutputDebugStringA(text);
    if (is_console_program()) {
        std::fflush(stdout);
        std::fputs("Fatal: ", stderr);
        std::fputs(text, stderr);
        std::fputc('\n', stderr);
        std::fflush(stderr);
        return;
    }
    MessageBoxA(nullptr, text, "Fatal", MB_OK | MB_ICONERROR);
}

void platform_show_prompt(const char* text)
{
    // Only a console user can answer; a GUI program's prompt gives up at
    // once (platform_read_key), so there is nobody to tell.
    if (!is_console_program())
        return;
    std::fflush(stdout);
    std::fputs(text, stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

int platform_read_key()
{
    // A GUI program has nobody to ask: answer at once so the prompt ends.
    if (!is_console_program())
        return -1;
    std::fflush(stdout);
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE)
        return -1;
    DWORD mode;
    if (GetConsoleMode(input, &mode)) {
        // A real console: the next key, without echo.
        int c = _getch();
        return c == EOF ? -1 : c & 0xFF;
    }
    // Redirected input (a pipe or a file): one byte, -1 at its end.
    unsigned char c;
    DWORD got = 0;
    if (!ReadFile(input, &c, 1, &got, nullptr) || got != 1)
        return -1;
    return c;
}

void platform_write_stdout_char(int c) { std::fputc(c, stdout); }
void platform_flush_stdout() { std::fflush(stdout); }

void platform_install_interrupt(void (*handler)(int))
{
    // The runtime delivers Ctrl+C to the handler on a thread of its own.
    std::signal(SIGINT, handler);
}

void* platform_allocate(size_t size) { return std::malloc(size); }
void platform_release(void* block) { std::free(block); }
