#pragma once
// Shows a long command's progress on stderr: a live line on a terminal, a
// plain line every 10 s otherwise. What the line says comes from the caller.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class StoreEnvironment;

class Progress {
public:
    // `describe` gets the seconds since the start and returns the line's text;
    // it is called from the display thread, so it must read thread-safe state.
    using Describe = std::function<std::string(double seconds)>;

    Progress(std::string label, Describe describe, const std::atomic<bool>* stopFlag = nullptr);
    ~Progress();
    // Stops the display and ends a live line.
    void finish();
    // The line as it stands now, for the summary.
    std::string line() const;

private:
    void run();
    double seconds() const;

    const std::string label_;
    const Describe describe_;
    const std::atomic<bool>* stopFlag_;
    const bool live_;
    const std::chrono::steady_clock::time_point start_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false; // guarded by mutex_
    std::thread thread_;
};

// "N items, X MB, R items/s, segments done a/b" (or "shards done n" when
// `segments` is 0) for a backup writing into `environment`.
Progress::Describe describeBackup(const StoreEnvironment& environment, unsigned segments);

// "<what> X of Y (P%), R/s" for work that reads `total` bytes, `done` of
// them so far.
Progress::Describe describeBytes(std::string what, const std::atomic<uint64_t>& done, uint64_t total);

std::string humanBytes(double bytes);
std::string rate(double count, double seconds);
