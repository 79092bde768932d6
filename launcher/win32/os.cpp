// The launcher's Win32 side for the worker thread: temporary path, string
// resources, the scratch folder, the installer program and the clean-up.
#include <windows.h>

#include <cstring>

#include "launcher/os.h"

uint32_t platform_temp_path(char* buffer, uint32_t capacity)
{
    return GetTempPathA(capacity, buffer);
}

int platform_load_string(uint32_t id, char* buffer, int capacity)
{
    // The executable's own module: the instance WinMain receives.
    int n = LoadStringA(GetModuleHandleA(nullptr), id, buffer, capacity);
    if (n <= 0 && capacity > 0)
        buffer[0] = '\0';
    return n;
}

bool platform_make_scratch_directory(const char* path)
{
    // A folder left by an earlier run is reused with whatever it holds.
    CreateDirectoryA(path, nullptr);
    return true;
}

bool platform_set_current_directory(const char* path) { return SetCurrentDirectoryA(path) != 0; }

char platform_path_separator() { return '\\'; }

bool platform_run_and_wait(const char* program, char* command_line)
{
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    // The command line is the bare argument text: the child sees exactly
    // "-install -up" in GetCommandLine, with no program name before it.
    if (!CreateProcessA(program, command_line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process))
        return false;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exit_code;
    GetExitCodeProcess(process.hProcess, &exit_code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

bool platform_list_current_directory(PlatformVisitEntry visit, void* context)
{
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA("*", &found);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    do {
        bool is_directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (!visit(context, found.cFileName, is_directory))
            break;
    } while (FindNextFileA(find, &found));
    // An open search keeps the folder busy: close it before the folder goes.
    FindClose(find);
    return true;
}

namespace {

RemoveOutcome classify_failure(const char* path)
{
    DWORD error = GetLastError();
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION)
        return RemoveOutcome::HELD;
    if (error == ERROR_ACCESS_DENIED) {
        // Access denied is also the answer for a read-only file, which no
        // amount of waiting changes; a file whose image is still mapped
        // for a moment after its process ended gives it too.
        DWORD attributes = GetFileAttributesA(path);
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_READONLY))
            return RemoveOutcome::HELD;
    }
    return RemoveOutcome::FAILED;
}

}  // namespace

RemoveOutcome platform_delete_scratch_file(const char* name)
{
    if (DeleteFileA(name))
        return RemoveOutcome::REMOVED;
    return classify_failure(name);
}

RemoveOutcome platform_remove_scratch_directory(const char* path)
{
    if (RemoveDirectoryA(path))
        return RemoveOutcome::REMOVED;
    return classify_failure(path);
}

uint64_t platform_now_ms() { return GetTickCount64(); }
void platform_sleep_ms(uint32_t milliseconds) { Sleep(milliseconds); }

void platform_hide_window(void* window)
{
    if (window)
        ShowWindow(static_cast<HWND>(window), SW_HIDE);
}

void platform_end_window(void* window)
{
    if (window)
        PostMessageA(static_cast<HWND>(window), WM_DESTROY, 0, 0);
}
