#pragma once
// An output the host pulls from. A producer thread, started by the first
// fillBuffer, runs initializeBackup and startBackup and writes with putString;
// the host drains the bytes with fillBuffer. The buffer is bounded: putString
// waits while it is full, so a slow host keeps memory flat.
// Thread safety: the producer side (putString, updateRestart, close, stopNow)
// and the host side (fillBuffer, requestStop, the getters) may run at once.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "framework/HxCriticalSectionH.h"
#include "framework/TeskEnvironment.h"
#include "framework/TeskOutput.h"

class TeskBufferedOutput : public TeskOutput {
public:
    static constexpr size_t kDefaultCapacity = 4u << 20;

    explicit TeskBufferedOutput(TeskEnvironment* environment, size_t capacity = kDefaultCapacity,
                                std::string name = "buffered output");
    // Abandons a producer that is still running and waits for it to end.
    // A subclass whose startBackup touches its own members must call
    // abandonProducer() in its own destructor, before those members go.
    ~TeskBufferedOutput() override;

    bool putString(const std::string& data) override;
    void updateRestart(const std::string& restart) override;
    bool flush() override { return true; }
    bool close(const std::string& restart) override;
    bool stopNow() override;

    // Copies up to `size` bytes into `buffer`. `filled` receives the count and
    // `finished` turns true once the producer has ended and all bytes were
    // taken. With `finished` true the result is the producer's: false when it
    // ended in failure (the bytes filled by that call are still valid).
    virtual bool fillBuffer(void* buffer, unsigned long size, unsigned long& filled, bool& finished);
    virtual bool initializeBackup() { return true; }
    // The producer's work; runs on the producer thread.
    virtual bool startBackup(bool) { return true; }
    // The restart text of the last data the host has taken.
    virtual std::string getSafeRestartString();
    // The restart text of the last data the producer has written.
    virtual std::string getRestartString();
    // With spanning on, fillBuffer waits until it can fill the whole buffer,
    // letting the producer run ahead of the capacity as far as the request.
    virtual void setBufferSpanning(bool spanning);
    virtual unsigned long getRemainingDataSize(bool& finished);
    // Also copies every byte the host takes into this file (diagnostics).
    virtual void setDebugOutputFile(const std::string& path);

    // Host: asks the producer to stop at its next safe point.
    void requestStop();

protected:
    // Makes putString fail from now on and waits for the producer to end.
    void abandonProducer();

    TeskEnvironment* environment;
    std::unique_ptr<HxCriticalSectionH> lock;
    std::string restartString; // where the producer starts; set before startBackup

private:
    void produce();
    void advanceSafeRestartLocked();
    void waitForProducer();

    const size_t capacity_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string buffer_;        // guarded by mutex_; bytes from readOffset_ are pending
    size_t readOffset_ = 0;     // guarded by mutex_
    uint64_t produced_ = 0;     // guarded by mutex_
    uint64_t consumed_ = 0;     // guarded by mutex_
    std::deque<std::pair<uint64_t, std::string>> pendingRestarts_; // guarded by mutex_
    std::string latestRestart_; // guarded by mutex_
    std::string safeRestart_;   // guarded by mutex_
    bool started_ = false;      // guarded by mutex_
    bool finished_ = false;     // guarded by mutex_
    bool producerOk_ = true;    // guarded by mutex_
    bool stopRequested_ = false; // guarded by mutex_
    bool abandoned_ = false;    // guarded by mutex_
    bool spanning_ = false;     // guarded by mutex_
    size_t wanted_ = 0;         // guarded by mutex_; a spanning request beyond the capacity
    std::string debugPath_;     // guarded by mutex_
    std::thread producer_;
};
