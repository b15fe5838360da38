#include "platform/Clock.h"

#include <cerrno>
#include <ctime>

int64_t SystemClock::now() { return static_cast<int64_t>(::time(nullptr)); }

void SystemClock::sleepMs(uint64_t ms) {
    if (ms == 0) return;
    timespec request{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
    timespec remaining{};
    // A signal cuts nanosleep short; the rest of the wait is still owed.
    while (::nanosleep(&request, &remaining) == -1 && errno == EINTR) request = remaining;
}

Clock& systemClock() {
    static SystemClock clock;
    return clock;
}

int64_t ManualClock::now() {
    std::lock_guard<std::mutex> guard(mutex_);
    return nowMs_ / 1000;
}

void ManualClock::sleepMs(uint64_t ms) {
    std::lock_guard<std::mutex> guard(mutex_);
    sleeps_.push_back(ms);
    nowMs_ += static_cast<int64_t>(ms);
}

void ManualClock::set(int64_t seconds) {
    std::lock_guard<std::mutex> guard(mutex_);
    nowMs_ = seconds * 1000;
}

void ManualClock::advanceMs(uint64_t ms) {
    std::lock_guard<std::mutex> guard(mutex_);
    nowMs_ += static_cast<int64_t>(ms);
}

std::vector<uint64_t> ManualClock::sleeps() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return sleeps_;
}

void ManualClock::clearSleeps() {
    std::lock_guard<std::mutex> guard(mutex_);
    sleeps_.clear();
}
