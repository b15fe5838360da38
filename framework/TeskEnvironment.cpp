#include "framework/TeskEnvironment.h"

#include <ctime>

TeskEnvironment::TeskEnvironment(std::string name, std::shared_ptr<LogSink> sink, Clock* clock)
    : name_(std::move(name)), clock_(clock), sink_(std::move(sink)) {}

void TeskEnvironment::log(const std::string& function, const std::string& text) {
    time_t now = static_cast<time_t>(clock_->now());
    tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    // Several engine messages end in a line feed of their own; one line each.
    size_t end = text.size();
    while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r')) --end;
    std::string line;
    line.reserve(48 + name_.size() + function.size() + end);
    line.append(stamp).append(" [").append(name_).append("] ").append(function).append(": ").append(text, 0, end);
    std::shared_ptr<LogSink> sink;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        sink = sink_;
    }
    if (sink) sink->write(line);
}

std::shared_ptr<LogSink> TeskEnvironment::logSink() {
    std::lock_guard<std::mutex> guard(mutex_);
    return sink_;
}

void TeskEnvironment::setLogSink(std::shared_ptr<LogSink> sink) {
    std::lock_guard<std::mutex> guard(mutex_);
    sink_ = std::move(sink);
}

std::shared_ptr<TeskOutput> TeskEnvironment::openSegmentOutput(const std::string&, int) { return nullptr; }
std::shared_ptr<TeskOutput> TeskEnvironment::openShardOutput(const std::string&, const std::string&, int64_t) {
    return nullptr;
}
std::shared_ptr<TeskOutput> TeskEnvironment::openMetadataOutput() { return nullptr; }
std::shared_ptr<TeskOutput> TeskEnvironment::openDescriptionOutput() { return nullptr; }
std::shared_ptr<TeskInput> TeskEnvironment::openSegmentInput(const std::string&, int) { return nullptr; }
std::shared_ptr<TeskInput> TeskEnvironment::openShardInput(const std::string&, int64_t) { return nullptr; }
std::shared_ptr<TeskInput> TeskEnvironment::openMetadataInput() { return nullptr; }
std::shared_ptr<TeskInput> TeskEnvironment::openDescriptionInput() { return nullptr; }

void TeskEnvironment::setFailure(const std::string& text) {
    std::lock_guard<std::mutex> guard(mutex_);
    failure_ = text;
    failed_ = true;
}

bool TeskEnvironment::hasFailed() {
    std::lock_guard<std::mutex> guard(mutex_);
    return failed_;
}

std::string TeskEnvironment::getFailure() {
    std::lock_guard<std::mutex> guard(mutex_);
    return failure_;
}
