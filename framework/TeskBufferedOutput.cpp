#include "framework/TeskBufferedOutput.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

TeskBufferedOutput::TeskBufferedOutput(TeskEnvironment* environment, size_t capacity, std::string name)
    : TeskOutput(std::move(name)), environment(environment), lock(std::make_unique<HxCriticalSectionH>()),
      capacity_(capacity == 0 ? 1 : capacity) {}

TeskBufferedOutput::~TeskBufferedOutput() { abandonProducer(); }

void TeskBufferedOutput::abandonProducer() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        abandoned_ = true;
        stopRequested_ = true;
    }
    changed_.notify_all();
    waitForProducer();
}

void TeskBufferedOutput::waitForProducer() {
    if (producer_.joinable()) producer_.join();
}

bool TeskBufferedOutput::putString(const std::string& data) {
    std::unique_lock<std::mutex> guard(mutex_);
    // One write may overshoot the capacity, so a page larger than the buffer
    // still goes through; the next write waits for the host to catch up.
    // A spanning host that asks for more than the capacity raises it to its
    // request while it waits: otherwise each would wait for the other.
    changed_.wait(guard,
                  [this] { return abandoned_ || buffer_.size() - readOffset_ < std::max(capacity_, wanted_); });
    if (abandoned_) return false;
    if (readOffset_ > 0 && readOffset_ >= buffer_.size() / 2) {
        buffer_.erase(0, readOffset_);
        readOffset_ = 0;
    }
    buffer_ += data;
    produced_ += data.size();
    changed_.notify_all();
    return true;
}

void TeskBufferedOutput::updateRestart(const std::string& restart) {
    std::lock_guard<std::mutex> guard(mutex_);
    latestRestart_ = restart;
    pendingRestarts_.emplace_back(produced_, restart);
}

bool TeskBufferedOutput::close(const std::string& restart) {
    std::lock_guard<std::mutex> guard(mutex_);
    restartString = restart;
    return true;
}

bool TeskBufferedOutput::stopNow() {
    std::lock_guard<std::mutex> guard(mutex_);
    return stopRequested_;
}

void TeskBufferedOutput::requestStop() {
    std::lock_guard<std::mutex> guard(mutex_);
    stopRequested_ = true;
}

void TeskBufferedOutput::produce() {
    bool ok = initializeBackup() && startBackup(true);
    std::lock_guard<std::mutex> guard(mutex_);
    producerOk_ = ok;
    finished_ = true;
    changed_.notify_all();
}

bool TeskBufferedOutput::fillBuffer(void* buffer, unsigned long size, unsigned long& filled, bool& finished) {
    filled = 0;
    finished = false;
    std::unique_lock<std::mutex> guard(mutex_);
    if (!started_) {
        started_ = true;
        safeRestart_ = restartString;
        latestRestart_ = restartString;
        producer_ = std::thread([this] { produce(); });
    }
    if (spanning_ && size > capacity_) {
        wanted_ = size;
        changed_.notify_all();
    }
    changed_.wait(guard, [&] {
        size_t pending = buffer_.size() - readOffset_;
        return finished_ || (spanning_ ? pending >= size : pending > 0);
    });
    wanted_ = 0;
    size_t count = std::min<size_t>(size, buffer_.size() - readOffset_);
    if (count > 0) {
        std::memcpy(buffer, buffer_.data() + readOffset_, count);
        if (!debugPath_.empty()) {
            if (FILE* debug = std::fopen(debugPath_.c_str(), "ab")) {
                std::fwrite(buffer_.data() + readOffset_, 1, count, debug);
                std::fclose(debug);
            }
        }
        readOffset_ += count;
        consumed_ += count;
        filled = count;
        changed_.notify_all();
    }
    advanceSafeRestartLocked();
    finished = finished_ && readOffset_ == buffer_.size();
    if (finished) {
        guard.unlock();
        waitForProducer();
        guard.lock();
        return producerOk_;
    }
    return true;
}

void TeskBufferedOutput::advanceSafeRestartLocked() {
    // A restart recorded at or before the bytes the host holds is safe.
    while (!pendingRestarts_.empty() && pendingRestarts_.front().first <= consumed_) {
        safeRestart_ = std::move(pendingRestarts_.front().second);
        pendingRestarts_.pop_front();
    }
}

std::string TeskBufferedOutput::getSafeRestartString() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!started_) return restartString;
    advanceSafeRestartLocked();
    return safeRestart_;
}

std::string TeskBufferedOutput::getRestartString() {
    std::lock_guard<std::mutex> guard(mutex_);
    return started_ ? latestRestart_ : restartString;
}

void TeskBufferedOutput::setBufferSpanning(bool spanning) {
    std::lock_guard<std::mutex> guard(mutex_);
    spanning_ = spanning;
}

unsigned long TeskBufferedOutput::getRemainingDataSize(bool& finished) {
    std::lock_guard<std::mutex> guard(mutex_);
    finished = finished_ && readOffset_ == buffer_.size();
    return static_cast<unsigned long>(buffer_.size() - readOffset_);
}

void TeskBufferedOutput::setDebugOutputFile(const std::string& path) {
    std::lock_guard<std::mutex> guard(mutex_);
    debugPath_ = path;
}
