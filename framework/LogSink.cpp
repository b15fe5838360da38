#include "framework/LogSink.h"

StreamLogSink::StreamLogSink(bool toStderr, const std::string& filePath) : toStderr_(toStderr) {
    if (!filePath.empty()) {
        file_ = std::fopen(filePath.c_str(), "a");
        ok_ = file_ != nullptr;
    }
}

StreamLogSink::~StreamLogSink() {
    if (file_) std::fclose(file_);
}

void StreamLogSink::write(const std::string& line) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (toStderr_) {
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fputc('\n', stderr);
    }
    if (file_) {
        std::fwrite(line.data(), 1, line.size(), file_);
        std::fputc('\n', file_);
        std::fflush(file_);
    }
}

void MemoryLogSink::write(const std::string& line) {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.push_back(line);
}

std::vector<std::string> MemoryLogSink::lines() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
}

std::string MemoryLogSink::all() const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::string text;
    for (const auto& line : lines_) text += line + "\n";
    return text;
}

bool MemoryLogSink::contains(const std::string& text) const {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& line : lines_)
        if (line.find(text) != std::string::npos) return true;
    return false;
}

void MemoryLogSink::clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.clear();
}

std::shared_ptr<LogSink> stderrLogSink() {
    static std::shared_ptr<LogSink> sink = std::make_shared<StreamLogSink>(true);
    return sink;
}
