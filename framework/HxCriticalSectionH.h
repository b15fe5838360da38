#pragma once
// The lock the engine guards its small shared state with.

#include <mutex>

class HxCriticalSectionH {
public:
    // With `wait` true, blocks until the lock is held and returns true;
    // with false, returns at once whether the lock was taken.
    bool enter(bool wait) {
        if (wait) {
            mutex_.lock();
            return true;
        }
        return mutex_.try_lock();
    }
    void leave() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

// Holds an optional lock for one scope; a null lock means no locking.
class HxLockGuard {
public:
    explicit HxLockGuard(HxCriticalSectionH* lock) : lock_(lock) {
        if (lock_) lock_->enter(true);
    }
    ~HxLockGuard() {
        if (lock_) lock_->leave();
    }
    HxLockGuard(const HxLockGuard&) = delete;
    HxLockGuard& operator=(const HxLockGuard&) = delete;

private:
    HxCriticalSectionH* lock_;
};
