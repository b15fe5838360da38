#pragma once
// An input the host pushes into. The first processBuffer starts a consumer
// thread that runs initializeRestore and startRestore, which reads whole
// lines with getLine; a line may span any number of pushes. The buffer is
// bounded: processBuffer waits while the consumer is behind.
// Thread safety: the host side (processBuffer, closeChunk, endOfData,
// waitForRestore) and the consumer side (getLine, getContents, error) may run
// at once; each side is used by one thread.

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

#include "framework/TeskInput.h"
#include "platform/Export.h"

class TeskBufferedInput : public TeskInput {
public:
    static constexpr size_t kDefaultCapacity = 4u << 20;

    DDB_EXPORT explicit TeskBufferedInput(size_t capacity = kDefaultCapacity, std::string name = "buffered input");
    // Ends the input as failed if the host did not, and waits for the consumer.
    // A subclass whose startRestore touches its own members must call
    // abandonConsumer() in its own destructor, before those members go.
    DDB_EXPORT ~TeskBufferedInput() override;

    bool error() override;
    bool getLine(std::string& line) override;
    void close() override;
    bool getContents(std::string& contents) override;

    // Host: hands over the next bytes. False when the consumer has ended and
    // will read no more.
    DDB_EXPORT virtual bool processBuffer(void* data, unsigned long size);
    virtual bool deferredProcessBuffer(bool) { return true; }
    virtual bool initializeRestore() { return true; }
    // The consumer's work; runs on the consumer thread.
    virtual bool startRestore(bool) { return true; }
    // One stored chunk ended; lines carry on into the next chunk.
    virtual bool closeChunk() { return true; }

    // Host: no more data. `failed` makes error() true for the consumer.
    // Virtual, as the other host calls are, so that a host that loaded the
    // module with dlopen reaches them through the object alone.
    DDB_EXPORT virtual void endOfData(bool failed = false);
    // Host: ends the input if needed, waits for the consumer and returns
    // the result of startRestore (false if it never started).
    DDB_EXPORT virtual bool waitForRestore();

protected:
    void abandonConsumer();

private:
    void startConsumerLocked();

    const size_t capacity_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string buffer_;         // guarded by mutex_; bytes from readOffset_ are pending
    size_t readOffset_ = 0;      // guarded by mutex_
    bool ended_ = false;         // guarded by mutex_
    bool failed_ = false;        // guarded by mutex_
    bool started_ = false;       // guarded by mutex_
    bool consumerDone_ = false;  // guarded by mutex_
    bool consumerOk_ = false;    // guarded by mutex_
    bool starved_ = false;       // consumer waits for more; guarded by mutex_
    std::thread consumer_;
};
