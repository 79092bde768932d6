// Threads and semaphores on Windows.
#include <windows.h>


#include "platform/platform.h"

namespace {

struct Start {
    void (*run)(void*);
    void* argument;
};

DWORD WINAPI thread_main(void* start_block)
{
    Start start = *static_cast<Start*>(start_block);
    platform_release(start_block);
    start.run(start.argument);
    return 0;
}

}  // namespace

bool platform_start_thread(PlatformThread* thread, void (*run)(void*), void* argument)
{
    Start* start = static_cast<Start*>(platform_allocate(sizeof(Start)));
    if (!start)
        return false;
    *start = Start{run, argument};
    HANDLE handle = CreateThread(nullptr, 0, thread_main, start, 0, nullptr);
    if (!handle) {
        platform_release(start);
        return false;
    }
    thread->impl = reinterpret_cast<intptr_t>(handle);
    return true;
}

void platform_join_thread(PlatformThread* thread)
{
    if (thread->impl == 0)
        return;
    HANDLE handle = reinterpret_cast<HANDLE>(thread->impl);
    WaitForSingleObject(handle, INFINITE);
    CloseHandle(handle);
    thread->impl = 0;
}

bool platform_create_semaphore(PlatformSemaphore* semaphore, uint32_t initial)
{
    HANDLE handle = CreateSemaphoreW(nullptr, LONG(initial), 0x7fffffff, nullptr);
    if (!handle)
        return false;
    semaphore->impl = reinterpret_cast<intptr_t>(handle);
    return true;
}

void platform_post_semaphore(PlatformSemaphore* semaphore)
{
    ReleaseSemaphore(reinterpret_cast<HANDLE>(semaphore->impl), 1, nullptr);
}

void platform_wait_semaphore(PlatformSemaphore* semaphore)
{
    WaitForSingleObject(reinterpret_cast<HANDLE>(semaphore->impl), INFINITE);
}

void platform_destroy_semaphore(PlatformSemaphore* semaphore)
{
    if (semaphore->impl == 0)
        return;
    CloseHandle(reinterpret_cast<HANDLE>(semaphore->impl));
    semaphore->impl = 0;
}
