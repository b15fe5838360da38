#pragma once
// Environments that keep a job's outputs and inputs in memory by name, so a
// test or a small host can read what a backup wrote and feed what a restore
// reads. An input that was not put explicitly is served from the output of
// the same name, so a backup can be restored from the same environment.

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "framework/MemoryStreams.h"
#include "framework/TeskEnvironment.h"

class TeskPrototypeEnvironment : public TeskEnvironment {
public:
    explicit TeskPrototypeEnvironment(std::string name, std::shared_ptr<LogSink> sink = stderrLogSink(),
                                      Clock* clock = &systemClock());

    std::shared_ptr<TeskOutput> openSegmentOutput(const std::string& table, int segment) override;
    std::shared_ptr<TeskOutput> openShardOutput(const std::string& table, const std::string& shardId,
                                                int64_t startTime) override;
    std::shared_ptr<TeskOutput> openMetadataOutput() override;
    std::shared_ptr<TeskOutput> openDescriptionOutput() override;
    std::shared_ptr<TeskInput> openSegmentInput(const std::string& table, int segment) override;
    std::shared_ptr<TeskInput> openShardInput(const std::string& shardId, int64_t time) override;
    std::shared_ptr<TeskInput> openMetadataInput() override;
    std::shared_ptr<TeskInput> openDescriptionInput() override;

    // The names under which outputs and inputs are kept.
    static std::string segmentName(const std::string& table, int segment);
    static std::string shardName(const std::string& shardId, int64_t time);
    static const char* metadataName() { return "metadata.json"; }
    static const char* descriptionName() { return "description.json"; }

    // The output last opened under `name`, or null.
    std::shared_ptr<MemoryOutput> output(const std::string& name);
    // Data that the input of that name delivers from now on.
    void putInput(const std::string& name, std::string data);

protected:
    std::shared_ptr<TeskOutput> openOutput(const std::string& name);
    std::shared_ptr<TeskInput> openInput(const std::string& name);
    virtual bool keepsOutputData() const { return true; }

private:
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<MemoryOutput>> outputs_; // guarded by mutex_
    std::map<std::string, std::string> inputs_;                    // guarded by mutex_
};

// Counts what is written and keeps none of it, for runs that only measure.
class TeskPrototypeEnvironmentDropOutputData : public TeskPrototypeEnvironment {
public:
    using TeskPrototypeEnvironment::TeskPrototypeEnvironment;

protected:
    bool keepsOutputData() const override { return false; }
};

// Adds a description text handed in by the host, which openDescriptionInput
// then delivers in place of any stored one.
class TeskLoggingEnvironment : public TeskPrototypeEnvironment {
public:
    using TeskPrototypeEnvironment::TeskPrototypeEnvironment;
    void putDescriptionString(const std::string& description);
    std::shared_ptr<TeskInput> openDescriptionInput() override;

private:
    std::mutex descriptionMutex_;
    bool hasDescription_ = false; // guarded by descriptionMutex_
    std::string description_;     // guarded by descriptionMutex_
};
