#include "framework/TeskBufferedInput.h"

TeskBufferedInput::TeskBufferedInput(size_t capacity, std::string name)
    : TeskInput(std::move(name)), capacity_(capacity == 0 ? 1 : capacity) {}

TeskBufferedInput::~TeskBufferedInput() { abandonConsumer(); }

void TeskBufferedInput::abandonConsumer() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!ended_) {
            ended_ = true;
            failed_ = true;
        }
    }
    changed_.notify_all();
    if (consumer_.joinable()) consumer_.join();
}

void TeskBufferedInput::startConsumerLocked() {
    if (started_) return;
    started_ = true;
    consumer_ = std::thread([this] {
        bool ok = initializeRestore() && startRestore(true);
        std::lock_guard<std::mutex> guard(mutex_);
        consumerOk_ = ok;
        consumerDone_ = true;
        changed_.notify_all();
    });
}

bool TeskBufferedInput::processBuffer(void* data, unsigned long size) {
    std::unique_lock<std::mutex> guard(mutex_);
    startConsumerLocked();
    changed_.wait(guard, [this] {
        return consumerDone_ || ended_ || starved_ || buffer_.size() - readOffset_ < capacity_;
    });
    if (consumerDone_ || ended_) return false;
    if (readOffset_ > 0 && readOffset_ >= buffer_.size() / 2) {
        buffer_.erase(0, readOffset_);
        readOffset_ = 0;
    }
    buffer_.append(static_cast<const char*>(data), size);
    changed_.notify_all();
    return true;
}

void TeskBufferedInput::endOfData(bool failed) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!ended_) {
        ended_ = true;
        failed_ = failed;
    }
    changed_.notify_all();
}

bool TeskBufferedInput::waitForRestore() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        startConsumerLocked();
    }
    endOfData(false);
    if (consumer_.joinable()) consumer_.join();
    std::lock_guard<std::mutex> guard(mutex_);
    return consumerOk_;
}

bool TeskBufferedInput::error() {
    std::lock_guard<std::mutex> guard(mutex_);
    return failed_;
}

bool TeskBufferedInput::getLine(std::string& line) {
    std::unique_lock<std::mutex> guard(mutex_);
    size_t scanned = 0; // pending bytes already searched, relative to readOffset_
    for (;;) {
        size_t newline = buffer_.find('\n', readOffset_ + scanned);
        if (newline != std::string::npos) {
            line.assign(buffer_, readOffset_, newline - readOffset_);
            readOffset_ = newline + 1;
            changed_.notify_all();
            return true;
        }
        if (ended_) {
            // A last line without its line feed is still a line, unless the
            // read failed: then it may be cut short and must not be used.
            if (readOffset_ < buffer_.size() && !failed_) {
                line.assign(buffer_, readOffset_, std::string::npos);
                readOffset_ = buffer_.size();
                return true;
            }
            return false;
        }
        scanned = buffer_.size() - readOffset_;
        // A line longer than the capacity needs the host to overshoot it.
        starved_ = true;
        changed_.notify_all();
        changed_.wait(guard, [&] { return ended_ || buffer_.size() - readOffset_ != scanned; });
        starved_ = false;
    }
}

bool TeskBufferedInput::getContents(std::string& contents) {
    std::unique_lock<std::mutex> guard(mutex_);
    starved_ = true;
    changed_.notify_all();
    changed_.wait(guard, [this] { return ended_; });
    starved_ = false;
    contents.assign(buffer_, readOffset_, std::string::npos);
    readOffset_ = buffer_.size();
    return !failed_;
}

void TeskBufferedInput::close() { endOfData(false); }
