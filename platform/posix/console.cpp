// POSIX console: fatal messages on standard error, the volume prompt's
// key read and bell, and the interrupt signal.
#include <signal.h>
#include <sys/mman.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

void platform_show_fatal(const char* text)
{
    std::fflush(stdout);
    std::fprintf(stderr, "Fatal: %s\n", text);
    std::fflush(stderr);
}

int platform_read_key()
{
    std::fflush(stdout);
    struct termios saved;
    bool raw = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (raw) {
        struct termios t = saved;
        t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &t);
    }
    // An interrupt (the only signal the tool handles) ends the wait: the
    // handler has already stopped the job, and no key is to be waited for.
    unsigned char c = 0;
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (raw)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    return n == 1 ? c : -1;
}

void platform_write_stdout_char(int c) { std::fputc(c, stdout); }

void platform_show_prompt(const char* text)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
}
void platform_flush_stdout() { std::fflush(stdout); }

void platform_install_interrupt(void (*handler)(int))
{
    struct sigaction sa = {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
}

void* platform_allocate(size_t size) { return std::malloc(size); }
void platform_release(void* block) { std::free(block); }

void* platform_allocate_large(size_t size)
{
    // Aligned to a huge page, so that every whole one inside can be one.
    constexpr size_t HUGE_PAGE = size_t{2} << 20;
    if (size < HUGE_PAGE)
        return std::calloc(size != 0 ? size : 1, 1);
    void* block = nullptr;
    if (posix_memalign(&block, HUGE_PAGE, size) != 0)
        return nullptr;
#ifdef MADV_HUGEPAGE
    madvise(block, size, MADV_HUGEPAGE);  // a hint: without it the pages are small
#endif
    std::memset(block, 0, size);
    return block;
}

void platform_release_large(void* block) { std::free(block); }

// The arguments are the bytes the shell passed: UTF-8 names stay UTF-8.
void platform_utf8_arguments(int*, char***) {}
void platform_write_text(std::FILE* stream, const char* text, size_t length) { std::fwrite(text, 1, length, stream); }
