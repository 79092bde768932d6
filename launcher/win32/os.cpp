// The launcher's Win32 side for the worker thread: temporary path, string
// resources, random names, the private folder, the installer program and the clean-up.
#include <windows.h>

#include <cstring>

#include "launcher/os.h"
#include "platform/win32/wide.h"

uint32_t platform_temp_path(char* buffer, uint32_t capacity)
{
    // In UTF-8, as every path the engine's platform layer takes.
    wchar_t wide[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, wide);
    if (n == 0 || n > MAX_PATH)
        return 0;
    int length = utf8_from_wide(wide, buffer, int(capacity > 0x7FFFFFFF ? 0x7FFFFFFF : capacity));
    // Too small a buffer: the size it would need, as GetTempPath says it.
    return length > 0 ? uint32_t(length) : capacity + 1;
}

int platform_load_string(uint32_t id, char* buffer, int capacity)
{
    // The executable's own module: the instance WinMain receives.
    // As UTF-8, the platform layer's encoding of names: the scratch folder's
    // name (string 2) is one.
    // Cut to fit, as LoadString does, but never inside a character.
    if (capacity <= 0)
        return 0;
    wchar_t wide[MAX_PATH + 1];
    char utf8[3 * MAX_PATH + 1];
    int n = LoadStringW(GetModuleHandleA(nullptr), id, wide, MAX_PATH + 1);
    n = n > 0 ? utf8_from_wide(wide, utf8, int(sizeof utf8)) : 0;
    if (n > capacity - 1) {
        n = capacity - 1;
        while (n > 0 && (uint8_t(utf8[n]) & 0xC0) == 0x80)
            n--;
    }
    for (int i = 0; i < n; i++)
        buffer[i] = utf8[i];
    buffer[n] = '\0';
    return n;
}

// advapi32's RtlGenRandom: the system's cryptographic generator, in a
// library the stub links anyway for the access list below (bcrypt.dll
// would be one more import).
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

bool platform_random_bytes(void* buffer, uint32_t count)
{
    return SystemFunction036(buffer, count) != 0;
}

namespace {

constexpr DWORD HIDE_WAIT_MS = 1000;

// An access list that grants the current user everything, inherited by
// what is made inside, and nobody else anything.
struct PrivateAccess {
    SECURITY_ATTRIBUTES attributes;
    SECURITY_DESCRIPTOR descriptor;
    alignas(8) uint8_t user[256];  // TOKEN_USER with its SID
    alignas(8) uint8_t acl[512];
};

bool make_private_access(PrivateAccess& access)
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    DWORD size = 0;
    BOOL got = GetTokenInformation(token, TokenUser, access.user, sizeof access.user, &size);
    CloseHandle(token);
    if (!got)
        return false;
    PSID sid = reinterpret_cast<TOKEN_USER*>(access.user)->User.Sid;
    auto* acl = reinterpret_cast<PACL>(access.acl);
    if (!InitializeAcl(acl, sizeof access.acl, ACL_REVISION) ||
        !AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS,
                               sid))
        return false;
    // Protected: nothing is inherited from the temporary folder above.
    if (!InitializeSecurityDescriptor(&access.descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&access.descriptor, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&access.descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return false;
    access.attributes.nLength = sizeof access.attributes;
    access.attributes.lpSecurityDescriptor = &access.descriptor;
    access.attributes.bInheritHandle = FALSE;
    return true;
}

}  // namespace

MakeOutcome platform_make_private_directory(const char* path)
{
    PrivateAccess access;
    if (!make_private_access(access))
        return MakeOutcome::FAILED;
    // CreateDirectory fails on anything that stands at the path (a folder,
    // a file, a junction): what it makes is new.
    if (!CreateDirectoryW(WidePath(path).get(), &access.attributes)) {
        DWORD error = GetLastError();
        return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? MakeOutcome::EXISTS
                                                                           : MakeOutcome::FAILED;
    }
    return MakeOutcome::MADE;
}

bool platform_set_current_directory(const char* path) { return SetCurrentDirectoryW(WidePath(path).get()) != 0; }

char platform_path_separator() { return '\\'; }

bool platform_run_and_wait(const char* program, char* command_line, uint32_t* exit_code)
{
    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    // The command line is the bare argument text: the child sees exactly
    // "-install -up" in GetCommandLine, with no program name before it.
    WidePath wide_program(program);
    WidePath wide_command_line(command_line);
    if (!CreateProcessW(wide_program.get(), wide_command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process))
        return false;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    if (!GetExitCodeProcess(process.hProcess, &code))
        code = 1;
    *exit_code = code;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

bool platform_list_directory(const char* path, PlatformVisitEntry visit, void* context)
{
    char pattern[MAX_PATH * 3 + 3];
    size_t n = std::strlen(path);
    if (n + 3 > sizeof pattern)
        return false;
    std::memcpy(pattern, path, n);
    std::memcpy(pattern + n, "\\*", 3);
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(WidePath(pattern).get(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    do {
        // A junction or a folder link is a folder with a reparse point:
        // it is removed as itself, never entered.
        DWORD a = found.dwFileAttributes;
        bool is_folder = (a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT);
        char name[MAX_PATH * 3 + 1];
        if (utf8_from_wide(found.cFileName, name, sizeof name) == 0)
            continue;
        if (!visit(context, name, is_folder))
            break;
    } while (FindNextFileW(find, &found));
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
        DWORD attributes = GetFileAttributesW(WidePath(path).get());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_READONLY))
            return RemoveOutcome::HELD;
    }
    return RemoveOutcome::FAILED;
}

}  // namespace

RemoveOutcome platform_delete_scratch_file(const char* path)
{
    WidePath wide(path);
    // Nearly all are plain files, which go at the first try. DeleteFile
    // takes a file link itself away and refuses folders (and links to
    // folders) and read-only files: those are looked at only then.
    if (DeleteFileW(wide.get()))
        return RemoveOutcome::REMOVED;
    DWORD attributes = GetFileAttributesW(wide.get());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return RemoveOutcome::FAILED;
    // A folder link or junction: RemoveDirectory takes the link away and
    // leaves its target alone. A real folder is not a file.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return RemoveOutcome::FAILED;
        return RemoveDirectoryW(wide.get()) ? RemoveOutcome::REMOVED : classify_failure(path);
    }
    // Read-only files would stay for ever; the attribute of a file link is
    // the link's own, so this touches no target.
    if ((attributes & FILE_ATTRIBUTE_READONLY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        SetFileAttributesW(wide.get(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    if (DeleteFileW(wide.get()))
        return RemoveOutcome::REMOVED;
    return classify_failure(path);
}

RemoveOutcome platform_remove_scratch_directory(const char* path)
{
    if (RemoveDirectoryW(WidePath(path).get()))
        return RemoveOutcome::REMOVED;
    return classify_failure(path);
}

uint32_t platform_now_ms() { return GetTickCount(); }
void platform_sleep_ms(uint32_t milliseconds) { Sleep(milliseconds); }

void platform_hide_window(void* window)
{
    if (!window)
        return;
    HWND splash = static_cast<HWND>(window);
    // Asked of the window's thread without waiting for it to finish: under
    // X without a window manager, Wine holds the thread that hides a
    // window for up to 2 s, waiting for the manager's answer. The window
    // counts as hidden (all setup.exe can look at) as soon as that thread
    // takes the request; it is waited for, within a bound.
    ShowWindowAsync(splash, SW_HIDE);
    const DWORD asked = GetTickCount();
    while (IsWindowVisible(splash) && GetTickCount() - asked < HIDE_WAIT_MS)
        Sleep(1);
}

// From the worker's thread, not by a message to the window's loop: that
// thread may still be inside the hiding above, and the exit code is known.
void platform_end_window(void* window, int32_t exit_code)
{
    if (window)
        ExitProcess(static_cast<UINT>(exit_code));
}
