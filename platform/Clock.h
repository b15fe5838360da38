#pragma once
// The one seam through which the engine reads the time and waits.
// Signing time, back-off sleeps, table waits and credential expiry all go
// through a Clock, so tests can run them instantly and see what was asked.
// Thread safety: implementations must be safe to call from any thread.

#include <cstdint>
#include <mutex>
#include <vector>

class Clock {
public:
    virtual ~Clock() = default;
    // Whole seconds since the Unix epoch.
    virtual int64_t now() = 0;
    // Blocks the calling thread for `ms` milliseconds; 0 returns at once.
    virtual void sleepMs(uint64_t ms) = 0;
};

// The real clock: time() and nanosleep() resumed after signals.
class SystemClock : public Clock {
public:
    int64_t now() override;
    void sleepMs(uint64_t ms) override;
};

// The process-wide real clock. It holds no state, so sharing it is safe.
Clock& systemClock();

// A clock for tests: time stands still until set or slept past. Each sleep
// is recorded and advances the time by its length at once.
class ManualClock : public Clock {
public:
    explicit ManualClock(int64_t startSeconds = 1440938160) : nowMs_(startSeconds * 1000) {}
    int64_t now() override;
    void sleepMs(uint64_t ms) override;
    void set(int64_t seconds);
    void advanceMs(uint64_t ms);
    std::vector<uint64_t> sleeps() const;
    void clearSleeps();

private:
    mutable std::mutex mutex_;
    int64_t nowMs_;                // guarded by mutex_
    std::vector<uint64_t> sleeps_; // guarded by mutex_
};
