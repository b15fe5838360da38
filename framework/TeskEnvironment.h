#pragma once
// The job environment handed to services, runners and workers: logging,
// failure recording, the clock, and the outputs and inputs of one job.
// Thread safety: every operation may be called from any worker thread.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Clock.h"
#include "framework/LogSink.h"
#include "framework/TeskInput.h"
#include "framework/TeskOutput.h"

class TeskEnvironment {
public:
    explicit TeskEnvironment(std::string name, std::shared_ptr<LogSink> sink = stderrLogSink(),
                             Clock* clock = &systemClock());
    virtual ~TeskEnvironment() = default;
    TeskEnvironment(const TeskEnvironment&) = delete;
    TeskEnvironment& operator=(const TeskEnvironment&) = delete;

    // One log line naming the writing function. Never fails.
    virtual void log(const std::string& function, const std::string& text);

    // Outputs and inputs; a null pointer means the environment has none to give.
    virtual std::shared_ptr<TeskOutput> openSegmentOutput(const std::string& table, int segment);
    virtual std::shared_ptr<TeskOutput> openShardOutput(const std::string& table, const std::string& shardId,
                                                        int64_t startTime);
    virtual std::shared_ptr<TeskOutput> openMetadataOutput();
    virtual std::shared_ptr<TeskOutput> openDescriptionOutput();
    virtual std::shared_ptr<TeskInput> openSegmentInput(const std::string& table, int segment);
    virtual std::shared_ptr<TeskInput> openShardInput(const std::string& shardId, int64_t time);
    virtual std::shared_ptr<TeskInput> openMetadataInput();
    virtual std::shared_ptr<TeskInput> openDescriptionInput();

    // Records the job's failure reason; a later call replaces it.
    virtual void setFailure(const std::string& text);
    virtual bool hasFailed();
    std::string getFailure();

    const std::string& name() const { return name_; }
    Clock& clock() const { return *clock_; }
    // For hosts and tests that swap the clock before any worker starts.
    void setClock(Clock& clock) { clock_ = &clock; }
    void setLogSink(std::shared_ptr<LogSink> sink);
    std::shared_ptr<LogSink> logSink();

private:
    const std::string name_;
    Clock* clock_;
    std::mutex mutex_;
    std::shared_ptr<LogSink> sink_; // guarded by mutex_
    std::string failure_;           // guarded by mutex_
    bool failed_ = false;           // guarded by mutex_
};
