// Windows console and messages: the fatal message (a box for the GUI
// installer, a line on standard error for console programs), the volume
// prompt's key read and bell, the interrupt signal and memory.
#include <windows.h>

#include <conio.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/win32/wide.h"

namespace {

// Whether this program was linked for the console subsystem. Read from
// the module's own header rather than from GetConsoleWindow: under Wine a
// console program started from a terminal has no console window, and a
// GUI program started there does inherit standard handles.
bool is_console_program()
{
#ifdef KELVO_GUI_PROGRAM
    // Built into a program linked for the GUI subsystem alone (the
    // installer stub): the answer is known, and the console code drops out.
    return false;
#endif
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

// Standard output's or error's console, when the stream goes to one.
HANDLE console_of(std::FILE* stream)
{
    HANDLE handle = nullptr;
    if (stream == stdout)
        handle = GetStdHandle(STD_OUTPUT_HANDLE);
    else if (stream == stderr)
        handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode))
        return nullptr;
    return handle;
}

void write_text(std::FILE* stream, const char* text, size_t length)
{
    HANDLE console = console_of(stream);
    if (!console) {
        // A file or a pipe gets the UTF-8 bytes.
        std::fwrite(text, 1, length, stream);
        return;
    }
    // A console shows any script only through the wide call; what the
    // stream holds goes first, so that the order stays.
    std::fflush(stream);
    wchar_t wide[1024];
    while (length > 0) {
        size_t piece = length < 1024 ? length : 1024;
        // Never cut a character in two.
        if (piece < length)
            while (piece > 1 && (static_cast<unsigned char>(text[piece]) & 0xC0) == 0x80)
                piece--;
        int n = MultiByteToWideChar(CP_UTF8, 0, text, int(piece), wide, 1024);
        DWORD written;
        if (n > 0)
            WriteConsoleW(console, wide, DWORD(n), &written, nullptr);
        text += piece;
        length -= piece;
    }
}

}  // namespace

void platform_write_text(std::FILE* stream, const char* text, size_t length) { write_text(stream, text, length); }

void platform_show_fatal(const char* text)
{
    // Always visible to a debugger, and to tests under WINEDEBUG=+debugstr.
    OutputDebugStringA(text);
    if (is_console_program()) {
        std::fflush(stdout);
        std::fputs("Fatal: ", stderr);
        write_text(stderr, text, std::strlen(text));
        std::fputc('\n', stderr);
        std::fflush(stderr);
        return;
    }
    // The text may name files: UTF-8, shown through the wide call.
    wchar_t* wide = nullptr;
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (n > 0)
        wide = static_cast<wchar_t*>(std::malloc(size_t(n) * sizeof(wchar_t)));
    if (wide && MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, n) > 0)
        MessageBoxW(nullptr, wide, L"Fatal", MB_OK | MB_ICONERROR);
    else
        MessageBoxA(nullptr, text, "Fatal", MB_OK | MB_ICONERROR);
    std::free(wide);
}

void platform_show_prompt(const char* text)
{
    // Only a console user can answer; a GUI program's prompt gives up at
    // once (platform_read_key), so there is nobody to tell.
    if (!is_console_program())
        return;
    std::fflush(stdout);
    write_text(stderr, text, std::strlen(text));
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
// Large pages need a privilege that programs seldom have: small ones.
void* platform_allocate_large(size_t size) { return std::calloc(size != 0 ? size : 1, 1); }
void platform_release_large(void* block) { std::free(block); }
