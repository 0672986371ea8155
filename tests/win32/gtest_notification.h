// GoogleTest's thread-start notification for a cross build whose thread model has no
// std::mutex or std::condition_variable (MinGW-w64's win32 model). Only GoogleTest's own
// threading helpers use it; our tests run on one thread.
#ifndef TESTS_WIN32_GTEST_NOTIFICATION_H
#define TESTS_WIN32_GTEST_NOTIFICATION_H

#ifdef __cplusplus
#include <atomic>

namespace testing {
namespace internal {

class Notification {
  public:
    Notification() : notified_(false) {}
    Notification(const Notification &) = delete;
    Notification &operator=(const Notification &) = delete;
    void Notify() { notified_ = true; }
    void WaitForNotification() {
        while (!notified_) {
        }
    }

  private:
    std::atomic<bool> notified_;
};

} // namespace internal
} // namespace testing

#define GTEST_HAS_NOTIFICATION_ 1
#endif

#endif
