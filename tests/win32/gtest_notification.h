// Force-included into the Windows build of GoogleTest and the unit tests.
// The win32 thread model of mingw-w64's libstdc++ has no std::mutex or
// std::condition_variable, and GoogleTest's Notification (used only to
// start its own helper threads) is written with them. This stands in for
// it, so GoogleTest keeps its native Windows mutexes and death tests.
#pragma once

#include <atomic>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
public:
    Notification() = default;
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { notified_.store(true, std::memory_order_release); }
    void WaitForNotification()
    {
        while (!notified_.load(std::memory_order_acquire)) {
        }
    }

private:
    std::atomic<bool> notified_{false};
};

}  // namespace internal
}  // namespace testing
