// The C runtime's clock() counts wall time on Windows: the processor time
// of the process comes from the system instead.
#include <windows.h>

#include <cstdint>

double process_cpu_seconds()
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    auto seconds = [](const FILETIME& t) {
        return double((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) * 1e-7;  // 100 ns units
    };
    return seconds(kernel) + seconds(user);
}
