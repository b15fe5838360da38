#include "framework/MemoryStreams.h"

bool MemoryOutput::putString(const std::string& data) {
    if (refuse_) return false;
    std::lock_guard<std::mutex> guard(mutex_);
    if (keepData_) data_ += data;
    bytes_ += data.size();
    ++puts_;
    return true;
}

void MemoryOutput::updateRestart(const std::string& restart) {
    std::lock_guard<std::mutex> guard(mutex_);
    restart_ = restart;
}

bool MemoryOutput::close(const std::string& restart) {
    std::lock_guard<std::mutex> guard(mutex_);
    restart_ = restart;
    closed_ = true;
    return true;
}

std::string MemoryOutput::data() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return data_;
}
std::string MemoryOutput::restart() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return restart_;
}
bool MemoryOutput::closed() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return closed_;
}
uint64_t MemoryOutput::bytes() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return bytes_;
}
uint64_t MemoryOutput::putCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return puts_;
}

bool MemoryInput::getLine(std::string& line) {
    if (position_ >= data_.size()) return false;
    size_t end = data_.find('\n', position_);
    if (end == std::string::npos) end = data_.size();
    line.assign(data_, position_, end - position_);
    position_ = end + 1;
    return true;
}

bool MemoryInput::getContents(std::string& contents) {
    contents.assign(data_, position_ < data_.size() ? position_ : data_.size(), std::string::npos);
    position_ = data_.size();
    return true;
}
