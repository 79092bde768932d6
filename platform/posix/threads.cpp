// Threads and semaphores on POSIX: pthreads and unnamed semaphores.
#include <pthread.h>
#include <semaphore.h>

#include <cerrno>
#include <cstdlib>

#include "platform/platform.h"

namespace {

struct Start {
    void (*run)(void*);
    void* argument;
};

void* thread_main(void* start_block)
{
    Start start = *static_cast<Start*>(start_block);
    platform_release(start_block);
    start.run(start.argument);
    return nullptr;
}

}  // namespace

bool platform_start_thread(PlatformThread* thread, void (*run)(void*), void* argument)
{
    Start* start = static_cast<Start*>(platform_allocate(sizeof(Start)));
    if (!start)
        return false;
    *start = Start{run, argument};
    pthread_t id;
    if (pthread_create(&id, nullptr, thread_main, start) != 0) {
        platform_release(start);
        return false;
    }
    static_assert(sizeof(pthread_t) <= sizeof(intptr_t));
    thread->impl = static_cast<intptr_t>(id);
    return true;
}

void platform_join_thread(PlatformThread* thread)
{
    if (thread->impl == 0)
        return;
    pthread_join(static_cast<pthread_t>(thread->impl), nullptr);
    thread->impl = 0;
}

bool platform_create_semaphore(PlatformSemaphore* semaphore, uint32_t initial)
{
    sem_t* s = static_cast<sem_t*>(std::malloc(sizeof(sem_t)));
    if (!s || sem_init(s, 0, initial) != 0) {
        std::free(s);
        return false;
    }
    semaphore->impl = reinterpret_cast<intptr_t>(s);
    return true;
}

void platform_post_semaphore(PlatformSemaphore* semaphore)
{
    sem_post(reinterpret_cast<sem_t*>(semaphore->impl));
}

void platform_wait_semaphore(PlatformSemaphore* semaphore)
{
    // A signal handler (the interrupt) may cut a wait short: it goes on.
    while (sem_wait(reinterpret_cast<sem_t*>(semaphore->impl)) != 0 && errno == EINTR) {
    }
}

void platform_destroy_semaphore(PlatformSemaphore* semaphore)
{
    if (semaphore->impl == 0)
        return;
    sem_t* s = reinterpret_cast<sem_t*>(semaphore->impl);
    sem_destroy(s);
    std::free(s);
    semaphore->impl = 0;
}
