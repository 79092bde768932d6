// The demo payload's setup.exe: a stand-in for a real product's installer.
// It shows what the installer handed it: the command line exactly as
// received, its current folder and the files it sees there. With
// KELVO_SETUP_REPORT naming a file it writes the same into that file and
// shows nothing (for scripts and tests); KELVO_SETUP_DELAY_MS then makes it
// linger before it writes its last line, so a caller can tell whether it
// was waited for, and KELVO_SETUP_EXIT_CODE gives the exit code it ends
// with (the installer passes it on).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string environment(const char* name)
{
    char value[1024];
    DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

std::string describe()
{
    std::string text = "command-line=";
    text += GetCommandLineA();
    text += "\r\nfolder=";
    char folder[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(MAX_PATH, folder);
    text += n > 0 && n < MAX_PATH ? folder : "?";
    text += "\r\n";
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA("*", &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            text += (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? "folder=" : "file=";
            text += name + "\r\n";
        } while (FindNextFileA(find, &found));
        FindClose(find);
    }
    // The installer hides its splash window before it starts us.
    HWND splash = FindWindowA("Tavrin_773init", nullptr);
    text += "splash-window=";
    text += !splash ? "none" : IsWindowVisible(splash) ? "visible" : "hidden";
    text += "\r\n";
    std::string token = environment("KELVO_SETUP_TOKEN");
    if (!token.empty())
        text += "token=" + token + "\r\n";
    return text;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    std::string text = describe();
    std::string report = environment("KELVO_SETUP_REPORT");
    if (report.empty()) {
        MessageBoxA(nullptr, text.c_str(), "Kelvo demo setup", MB_OK | MB_ICONINFORMATION);
        return 0;
    }
    FILE* out = std::fopen(report.c_str(), "wb");
    if (!out)
        return 1;
    std::fputs(text.c_str(), out);
    std::fflush(out);
    int delay_ms = std::atoi(environment("KELVO_SETUP_DELAY_MS").c_str());
    if (delay_ms > 0)
        Sleep(static_cast<DWORD>(delay_ms));
    std::fputs("finished\r\n", out);
    std::fclose(out);
    return std::atoi(environment("KELVO_SETUP_EXIT_CODE").c_str());
}
