#include "framework/TeskPrototypeEnvironment.h"

TeskPrototypeEnvironment::TeskPrototypeEnvironment(std::string name, std::shared_ptr<LogSink> sink, Clock* clock)
    : TeskEnvironment(std::move(name), std::move(sink), clock) {}

std::string TeskPrototypeEnvironment::segmentName(const std::string& table, int segment) {
    return table + "/segment-" + std::to_string(segment);
}

std::string TeskPrototypeEnvironment::shardName(const std::string& shardId, int64_t time) {
    return "shard-" + shardId + "-" + std::to_string(time);
}

std::shared_ptr<TeskOutput> TeskPrototypeEnvironment::openOutput(const std::string& name) {
    auto output = std::make_shared<MemoryOutput>(name, keepsOutputData());
    std::lock_guard<std::mutex> guard(mutex_);
    outputs_[name] = output;
    return output;
}

std::shared_ptr<TeskInput> TeskPrototypeEnvironment::openInput(const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto input = inputs_.find(name);
    if (input != inputs_.end()) return std::make_shared<MemoryInput>(name, input->second);
    auto output = outputs_.find(name);
    if (output != outputs_.end()) return std::make_shared<MemoryInput>(name, output->second->data());
    return std::make_shared<MemoryInput>(name, std::string());
}

std::shared_ptr<TeskOutput> TeskPrototypeEnvironment::openSegmentOutput(const std::string& table, int segment) {
    return openOutput(segmentName(table, segment));
}
std::shared_ptr<TeskOutput> TeskPrototypeEnvironment::openShardOutput(const std::string&, const std::string& shardId,
                                                                      int64_t startTime) {
    return openOutput(shardName(shardId, startTime));
}
std::shared_ptr<TeskOutput> TeskPrototypeEnvironment::openMetadataOutput() { return openOutput(metadataName()); }
std::shared_ptr<TeskOutput> TeskPrototypeEnvironment::openDescriptionOutput() {
    return openOutput(descriptionName());
}
std::shared_ptr<TeskInput> TeskPrototypeEnvironment::openSegmentInput(const std::string& table, int segment) {
    return openInput(segmentName(table, segment));
}
std::shared_ptr<TeskInput> TeskPrototypeEnvironment::openShardInput(const std::string& shardId, int64_t time) {
    return openInput(shardName(shardId, time));
}
std::shared_ptr<TeskInput> TeskPrototypeEnvironment::openMetadataInput() { return openInput(metadataName()); }
std::shared_ptr<TeskInput> TeskPrototypeEnvironment::openDescriptionInput() { return openInput(descriptionName()); }

std::shared_ptr<MemoryOutput> TeskPrototypeEnvironment::output(const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto found = outputs_.find(name);
    return found == outputs_.end() ? nullptr : found->second;
}

void TeskPrototypeEnvironment::putInput(const std::string& name, std::string data) {
    std::lock_guard<std::mutex> guard(mutex_);
    inputs_[name] = std::move(data);
}

void TeskLoggingEnvironment::putDescriptionString(const std::string& description) {
    std::lock_guard<std::mutex> guard(descriptionMutex_);
    description_ = description;
    hasDescription_ = true;
}

std::shared_ptr<TeskInput> TeskLoggingEnvironment::openDescriptionInput() {
    {
        std::lock_guard<std::mutex> guard(descriptionMutex_);
        if (hasDescription_) return std::make_shared<MemoryInput>(descriptionName(), description_);
    }
    return TeskPrototypeEnvironment::openDescriptionInput();
}
