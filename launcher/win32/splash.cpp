// The splash window: the program's entry, its only window and the message
// loop. The worker runs on a thread of its own, started when the window is
// created, and ends the process with its exit code when it is done; the
// loop ends the process only when the window is closed first, or cannot
// be made.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <new>

#include "launcher/installer_worker.h"
#include "launcher/resource.h"
#include "launcher/splash_geometry.h"

namespace {

constexpr wchar_t SPLASH_CLASS_NAME[] = L"Tavrin_773init";
constexpr int TITLE_CAPACITY = 400;

// Everything the window keeps. It lives in splash_main's frame, which
// outlasts the message loop and so the process; the window procedure finds
// it through the window's user data, the worker through its thread
// parameter.
struct SplashWindow {
    HINSTANCE module_instance;
    HWND window;
    HBITMAP splash_bitmap;
    HDC memory_context;
    SplashDrag drag;
};

DWORD WINAPI installer_worker_main(LPVOID parameter)
{
    auto* splash = static_cast<SplashWindow*>(parameter);
    InstallerWorker worker;
    WorkerHost host;
    host.window = splash->window;
    return static_cast<DWORD>(installer_worker_run(worker, host));
}

SplashRect to_splash_rect(const RECT& r) { return {r.left, r.top, r.right, r.bottom}; }

LRESULT CALLBACK splash_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    auto* splash = reinterpret_cast<SplashWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM_CREATE: {
        splash = static_cast<SplashWindow*>(reinterpret_cast<CREATESTRUCTA*>(lparam)->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(splash));
        // The worker may need the handle as soon as it runs: set it first.
        splash->window = window;
        HANDLE thread = CreateThread(nullptr, 0, installer_worker_main, splash, 0, nullptr);
        // Without its worker the window would wait for ever: refuse the
        // creation instead, which ends the program like any failure to
        // create the window.
        if (!thread)
            return -1;
        CloseHandle(thread);
        return 0;
    }
    case WM_DESTROY:
        // Destroyed while the worker still runs: the user closed it.
        PostQuitMessage(EXIT_CLOSED);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        if (splash && splash->memory_context) {
            const RECT& r = paint.rcPaint;
            BitBlt(dc, r.left, r.top, r.right - r.left, r.bottom - r.top, splash->memory_context, r.left,
                   r.top, SRCCOPY);
        }
        EndPaint(window, &paint);
        return 0;
    }
    case WM_LBUTTONDOWN:
        if (!splash)
            break;
        drag_begin(splash->drag, static_cast<uint32_t>(lparam));
        SetCapture(window);
        return 0;
    case WM_MOUSEMOVE: {
        if (!splash)
            break;
        RECT now;
        SplashRect moved;
        if (GetWindowRect(window, &now) &&
            drag_move(splash->drag, (wparam & MK_LBUTTON) != 0, static_cast<uint32_t>(lparam),
                      to_splash_rect(now), &moved))
            MoveWindow(window, moved.left, moved.top, moved.right - moved.left, moved.bottom - moved.top,
                       TRUE);
        return 0;
    }
    case WM_LBUTTONUP:
        if (!splash)
            break;
        drag_end(splash->drag);
        ReleaseCapture();
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

int splash_main(HINSTANCE instance, HINSTANCE, LPSTR, int show_state)
{
    SplashWindow splash = {};

    // A Unicode window: the title (string 1) may hold any character.
    WNDCLASSW window_class = {};
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = splash_window_procedure;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconA(instance, MAIN_ICON_NAME);
    window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    window_class.lpszClassName = SPLASH_CLASS_NAME;
    RegisterClassW(&window_class);

    int screen_height = GetSystemMetrics(SM_CYSCREEN);
    int screen_width = GetSystemMetrics(SM_CXSCREEN);

    splash.module_instance = instance;
    wchar_t title[TITLE_CAPACITY];
    if (LoadStringW(instance, STRING_TITLE, title, TITLE_CAPACITY) <= 0)
        title[0] = '\0';

    SplashPoint at = splash_origin(screen_width, screen_height);
    HWND window = CreateWindowExW(0, SPLASH_CLASS_NAME, title, WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX, at.x,
                                  at.y, SPLASH_WIDTH, SPLASH_HEIGHT, nullptr, nullptr, instance, &splash);
    if (!window)
        return EXIT_SET_UP_FAILED;

    // Both live until the process ends.
    splash.splash_bitmap = LoadBitmapA(instance, SPLASH_BITMAP_NAME);
    splash.memory_context = CreateCompatibleDC(nullptr);
    if (splash.memory_context && splash.splash_bitmap)
        SelectObject(splash.memory_context, splash.splash_bitmap);
    // The window handle was remembered during WM_CREATE, before the worker
    // started: writing it again here would race with the worker's read.

    ShowWindow(window, show_state);
    UpdateWindow(window);

    HMENU system_menu = GetSystemMenu(window, FALSE);
    RemoveMenu(system_menu, SC_SIZE, MF_BYCOMMAND);
    RemoveMenu(system_menu, SC_MAXIMIZE, MF_BYCOMMAND);

    MSG message;
    BOOL got;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) != 0) {
        if (got == -1)
            return EXIT_SET_UP_FAILED;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

}  // namespace

// Without the C runtime's start-up there is no exit-handler list: the one
// handler the stub registers (the destructor of the engine's default job
// host, a function-local static) would never have run anyway, since the
// process ends through ExitProcess.
extern "C" int __cdecl atexit(void (__cdecl*)(void)) { return 0; }

// The stub creates no object with new; the deleting destructors of classes
// with virtual destructors still name these. Defined here, they keep the
// C++ library out of the stub.
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

// The program's entry, called by the system loader with no C runtime
// start-up before it: the stub is linked without one (see
// launcher/CMakeLists.txt). Nothing here needs it: the stub has no static
// constructors, no thread-local data and no command-line arguments, and
// the C library it calls (msvcrt.dll) sets itself up when it is loaded.
extern "C" void kelvo_stub_start()
{
    // Before anything can load a library: later loads (those the system
    // makes on our behalf included) search System32 only, never the
    // installer's own folder, where a downloaded DLL may sit beside it.
    // Windows before 8 without its update lacks the call.
    using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);
    if (HMODULE kernel = GetModuleHandleA("kernel32.dll")) {
        auto set_directories = reinterpret_cast<SetDefaultDllDirectoriesCall>(
            reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
        if (set_directories)
            set_directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    // The show state the process was started with, as WinMain would have
    // been given it.
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    int show_state = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
    // The loop's end is the program's end, even while the worker is still
    // unpacking: leave at once, never returning into the loader's thread
    // start-up beside a thread that is still at work.
    ExitProcess(static_cast<UINT>(splash_main(GetModuleHandleA(nullptr), nullptr, nullptr, show_state)));
}
