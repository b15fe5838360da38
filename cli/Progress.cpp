#include "cli/Progress.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "host/StoreEnvironment.h"

std::string humanBytes(double bytes) {
    const char* units[] = {"B", "KB", "MB", "GB", "TB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

Progress::Progress(StoreEnvironment& environment, std::string label, unsigned segments,
                   const std::atomic<bool>& stopFlag)
    : environment_(environment), label_(std::move(label)), segments_(segments), stopFlag_(stopFlag),
      live_(::isatty(STDERR_FILENO) == 1) {
    thread_ = std::thread([this] { run(); });
}

Progress::~Progress() { finish(); }

std::string Progress::line(double seconds) const {
    const double items = static_cast<double>(environment_.linesWritten());
    const char* unit = segments_ ? "items" : "changes";
    char text[160];
    int length = std::snprintf(text, sizeof text, "%.0f %s, %s, %.0f %s/s, ", items, unit,
                               humanBytes(static_cast<double>(environment_.bytesWritten())).c_str(),
                               seconds > 0 ? items / seconds : 0.0, unit);
    if (length > 0 && static_cast<size_t>(length) < sizeof text) {
        if (segments_)
            std::snprintf(text + length, sizeof text - length, "segments done %u/%u", environment_.segmentsDone(),
                          segments_);
        else
            std::snprintf(text + length, sizeof text - length, "shards done %u", environment_.segmentsDone());
    }
    return text;
}

void Progress::run() {
    const auto start = std::chrono::steady_clock::now();
    const auto period = live_ ? std::chrono::milliseconds(500) : std::chrono::milliseconds(10000);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, period, [this] { return done_; })) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const char* stopping = stopFlag_.load() ? " (stopping)" : "";
        if (live_)
            std::fprintf(stderr, "\r%s: %s%s   ", label_.c_str(), line(seconds).c_str(), stopping);
        else
            std::fprintf(stderr, "%s: %s%s\n", label_.c_str(), line(seconds).c_str(), stopping);
        std::fflush(stderr);
    }
    if (live_) std::fprintf(stderr, "\n");
}

void Progress::finish() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (done_ && !thread_.joinable()) return;
        done_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}
