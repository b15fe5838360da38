#pragma once
// The host thread pool the runners put their workers on. Up to the thread
// count of items run at once; running items may queue more items, and
// waitForAllThreads returns only once every item, queued late or not, ended.
// Thread safety: doWork may be called from any thread, including workers.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

class HxThreadPool {
public:
    using Entry = void* (*)(void*);

    HxThreadPool() = default;
    ~HxThreadPool();
    HxThreadPool(const HxThreadPool&) = delete;
    HxThreadPool& operator=(const HxThreadPool&) = delete;

    // Starts `threads` workers (at least 1). The limits and flag are accepted
    // for the host's calling convention; the thread count is what counts.
    bool initThreadPool(unsigned long maxItems, unsigned long minThreads, unsigned long threads, int flag);
    // Queues one item. Items queued before initThreadPool wait for it.
    void doWork(Entry entry, void* argument);
    // Blocks until nothing is queued or running. `timeoutMs` < 0 waits without
    // limit; otherwise returns false when the time ran out first.
    bool waitForAllThreads(bool, bool, bool, long timeoutMs);

private:
    void workerLoop();

    std::mutex mutex_;
    std::condition_variable workAvailable_;
    std::condition_variable allDone_;
    std::deque<std::pair<Entry, void*>> queue_; // guarded by mutex_
    size_t unfinished_ = 0;                     // queued + running; guarded by mutex_
    bool stopping_ = false;                     // guarded by mutex_
    std::vector<std::thread> threads_;          // touched only by the owning thread
};
