#pragma once
// Where the job log goes. A sink receives whole formatted lines and must be
// safe to call from many threads at once.

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(const std::string& line) = 0;
};

// Writes to stderr, to a file, or both. Lines are written whole, one per call.
class StreamLogSink : public LogSink {
public:
    // `toStderr` false and an empty `filePath` give a sink that discards.
    StreamLogSink(bool toStderr, const std::string& filePath = "");
    ~StreamLogSink() override;
    StreamLogSink(const StreamLogSink&) = delete;
    StreamLogSink& operator=(const StreamLogSink&) = delete;
    void write(const std::string& line) override;
    // False when a file was asked for and could not be opened.
    bool ok() const { return ok_; }

private:
    std::mutex mutex_;
    bool toStderr_;
    FILE* file_ = nullptr; // guarded by mutex_
    bool ok_ = true;
};

// Keeps every line in memory; for tests and for hosts that show the log later.
class MemoryLogSink : public LogSink {
public:
    void write(const std::string& line) override;
    std::vector<std::string> lines() const;
    std::string all() const;
    bool contains(const std::string& text) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_; // guarded by mutex_
};

// The shared stderr sink used when a host names none.
std::shared_ptr<LogSink> stderrLogSink();
