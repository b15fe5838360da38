#pragma once
// Outputs and inputs held in memory, used by the prototype environments.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "framework/TeskInput.h"
#include "framework/TeskOutput.h"

// Keeps what was written, the latest restart text and how it was closed.
// Written by one producer; read by anyone once the producer is done (the
// accessors lock, so reading while writing is safe too).
class MemoryOutput : public TeskOutput {
public:
    explicit MemoryOutput(std::string name, bool keepData = true) : TeskOutput(std::move(name)), keepData_(keepData) {}
    bool putString(const std::string& data) override;
    void updateRestart(const std::string& restart) override;
    bool flush() override { return true; }
    bool close(const std::string& restart) override;
    bool stopNow() override { return stop_.load(); }

    std::string data() const;
    std::string restart() const;
    bool closed() const;
    uint64_t bytes() const;
    uint64_t putCount() const;
    // Host controls for tests: ask the producer to stop, or refuse data.
    void requestStop() { stop_ = true; }
    void refuseData(bool refuse) { refuse_ = refuse; }

private:
    const bool keepData_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> refuse_{false};
    mutable std::mutex mutex_;
    std::string data_;     // guarded by mutex_
    std::string restart_;  // guarded by mutex_
    bool closed_ = false;  // guarded by mutex_
    uint64_t bytes_ = 0;   // guarded by mutex_
    uint64_t puts_ = 0;    // guarded by mutex_
};

// Reads a text that was handed over whole.
class MemoryInput : public TeskInput {
public:
    MemoryInput(std::string name, std::string data) : TeskInput(std::move(name)), data_(std::move(data)) {}
    bool error() override { return false; }
    bool getLine(std::string& line) override;
    bool getContents(std::string& contents) override;

private:
    std::string data_;
    size_t position_ = 0;
};
