#pragma once
// Shows a running backup's progress on stderr: a live line on a terminal,
// a plain line every few seconds otherwise.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class StoreEnvironment;

class Progress {
public:
    // `segments` 0: an incremental, whose shard count is not known up front.
    Progress(StoreEnvironment& environment, std::string label, unsigned segments, const std::atomic<bool>& stopFlag);
    ~Progress();
    // Stops the display and ends a live line.
    void finish();
    // "N items, X MB, R items/s, segments a/b" for the summary.
    std::string line(double seconds) const;

private:
    void run();

    StoreEnvironment& environment_;
    const std::string label_;
    const unsigned segments_;
    const std::atomic<bool>& stopFlag_;
    const bool live_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false; // guarded by mutex_
    std::thread thread_;
};

std::string humanBytes(double bytes);
