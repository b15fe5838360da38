#include "cli/Progress.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "store/StoreEnvironment.h"

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

std::string rate(double count, double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", seconds > 0 ? count / seconds : 0.0);
    return text;
}

Progress::Describe describeBackup(const StoreEnvironment& environment, unsigned segments) {
    return [&environment, segments](double seconds) {
        const double items = static_cast<double>(environment.linesWritten());
        const std::string unit = segments ? "items" : "changes";
        std::string text = std::to_string(environment.linesWritten()) + " " + unit + ", " +
                           humanBytes(static_cast<double>(environment.bytesWritten())) + ", " + rate(items, seconds) +
                           " " + unit + "/s, ";
        if (segments)
            text += "segments done " + std::to_string(environment.segmentsDone()) + "/" + std::to_string(segments);
        else
            text += "shards done " + std::to_string(environment.segmentsDone());
        return text;
    };
}

Progress::Progress(std::string label, Describe describe, const std::atomic<bool>* stopFlag)
    : label_(std::move(label)), describe_(std::move(describe)), stopFlag_(stopFlag),
      live_(::isatty(STDERR_FILENO) == 1), start_(std::chrono::steady_clock::now()) {
    thread_ = std::thread([this] { run(); });
}

Progress::~Progress() { finish(); }

double Progress::seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

std::string Progress::line() const { return describe_(seconds()); }

void Progress::run() {
    const auto period = live_ ? std::chrono::milliseconds(500) : std::chrono::milliseconds(10000);
    std::unique_lock<std::mutex> lock(mutex_);
    bool shown = false;
    while (!wake_.wait_for(lock, period, [this] { return done_; })) {
        const char* stopping = stopFlag_ && stopFlag_->load() ? " (stopping)" : "";
        if (live_)
            std::fprintf(stderr, "\r%s: %s%s   ", label_.c_str(), line().c_str(), stopping);
        else
            std::fprintf(stderr, "%s: %s%s\n", label_.c_str(), line().c_str(), stopping);
        std::fflush(stderr);
        shown = true;
    }
    // Work done before the first line leaves no empty line behind.
    if (live_ && shown) std::fprintf(stderr, "\n");
}

void Progress::finish() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        done_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

Progress::Describe describeBytes(std::string what, const std::atomic<uint64_t>& done, uint64_t total) {
    return [what = std::move(what), &done, total](double seconds) {
        const uint64_t read = done.load();
        return what + " " + humanBytes(static_cast<double>(read)) + " of " + humanBytes(static_cast<double>(total)) +
               " (" + std::to_string(total ? read * 100 / total : 100) + "%), " +
               humanBytes(seconds > 0 ? static_cast<double>(read) / seconds : 0) + "/s";
    };
}
