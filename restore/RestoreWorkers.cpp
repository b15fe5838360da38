// The restore workers: full-backup segments become batches of puts; an
// incremental shard's changes become batches of puts and deletes, keeping
// the last change per key, and a shard's children start once it is done.

#include <algorithm>

#include <rapidjson/document.h>

#include "dynamodb/AwsDynamoDBService.h"
#include "text/JsonText.h"
#include "framework/KeyString.h"
#include "restore/AwsDynamoDBRestoreRunner.h"

namespace {

constexpr size_t kBatchLimit = 25;   // BatchWriteItem's limit per call
constexpr int kMaxBatchFailures = 8; // after the request layer's own retries
constexpr uint64_t kMaxPauseMs = 5000;
constexpr size_t kSpareLineBytes = 64 * 1024;

// Sends batches for one worker, pausing with growing delays while DynamoDB
// leaves entries unprocessed or a call fails, and giving up (with a recorded
// failure) when calls keep failing: an entry is never dropped silently.
template <class Batch>
class BatchSender {
public:
    BatchSender(AwsDynamoDBService& service, TeskEnvironment& environment, std::string table)
        : service_(service), environment_(environment), table_(std::move(table)) {}

    // Sends while the batch is full (or, with `drain`, until it is empty).
    template <class Send>
    bool flush(Batch& batch, bool drain, Send send) {
        while (!batch.empty() && (drain || batch.size() >= kBatchLimit)) {
            auto outcome = send(batch);
            if (outcome.isSuccess()) {
                // Entries left unprocessed mean DynamoDB is busy: back off
                // before they go out again, more each time, until one goes through whole.
                keep(batch);
                batch = std::move(*outcome.result);
                failures_ = 0;
                if (batch.empty())
                    pauseMs_ = 0;
                else
                    pause();
                continue;
            }
            // The request layer has already retried throttling and server
            // errors; what else fails (a rejected item, a missing table)
            // will not succeed by sending it again.
            const bool busy = outcome.errorType == Throttling || outcome.errorType == ProvisionedThroughputExceeded ||
                              outcome.errorType == LimitExceeded;
            if (++failures_ > kMaxBatchFailures || !busy) {
                const std::string message = "BatchWriteItem to " + table_ + " failed " + std::to_string(failures_) +
                                            " times, giving up on " + std::to_string(batch.size()) +
                                            " entries: " + outcome.errorMessage;
                environment_.log("restoreWorker", message);
                environment_.setFailure(message);
                batch.clear();
                gaveUp_ = true;
                return false;
            }
            pause();
        }
        return true;
    }
    bool gaveUp() const { return gaveUp_; }

    // A line buffer of a batch already sent, with its memory: lines are
    // read into these instead of into fresh allocations.
    std::string spareLine() {
        if (spare_.empty()) return std::string();
        std::string line = std::move(spare_.back());
        spare_.pop_back();
        return line;
    }

private:
    // At most one batch's worth, and none of an outsized item's buffers:
    // the spares never hold more memory than a batch of usual items.
    void keep(std::vector<std::string>& sent) {
        for (auto& line : sent)
            if (spare_.size() < kBatchLimit && line.capacity() <= kSpareLineBytes) spare_.push_back(std::move(line));
    }
    template <class Other>
    void keep(Other&) {}

    void pause() {
        pauseMs_ = pauseMs_ == 0 ? 50 : std::min(pauseMs_ * 2, kMaxPauseMs);
        environment_.clock().sleepMs(pauseMs_);
    }

    AwsDynamoDBService& service_;
    TeskEnvironment& environment_;
    std::string table_;
    uint64_t pauseMs_ = 0;
    int failures_ = 0;
    bool gaveUp_ = false;
    std::vector<std::string> spare_;
};

// The item with its hash key replaced by the string text + "_" + n.
std::string multipliedItem(const std::string& line, const std::string& hashKey, int n) {
    rapidjson::Document item;
    if (!json_text::parseObject(item, line)) return line;
    auto key = item.FindMember(rapidjson::StringRef(hashKey.c_str(), hashKey.size()));
    if (key == item.MemberEnd() || !key->value.IsObject()) return line;
    std::string text;
    for (const char* type : {"N", "S", "B"}) {
        auto found = key->value.FindMember(type);
        if (found != key->value.MemberEnd() && found->value.IsString()) {
            text = found->value.GetString();
            break;
        }
    }
    text += "_" + std::to_string(n);
    rapidjson::Value replacement(rapidjson::kObjectType);
    replacement.AddMember("S", rapidjson::Value(text.c_str(), static_cast<rapidjson::SizeType>(text.size()),
                                                item.GetAllocator()),
                          item.GetAllocator());
    key->value = replacement;
    return json_text::compact(item);
}

} // namespace

void* AwsDynamoDBRestoreRunner::fullRestoreThread(void* argument) {
    auto* args = static_cast<FullRestoreArgs*>(argument);
    TeskEnvironment& environment = *args->environment;
    AwsDynamoDBService service(*args->credentials, environment);
    args->succeeded = false;
    if (args->verbose) environment.log("fullRestoreThread", "Replaying full backup scan number " + std::to_string(args->segment));
    std::shared_ptr<TeskInput> owned;
    TeskInput* input = args->input;
    if (!input) {
        owned = environment.openSegmentInput(args->sourceTable, args->segment);
        input = owned.get();
    }
    if (!input) {
        const std::string message = "no data for scan segment " + std::to_string(args->segment) + " of " + args->sourceTable;
        environment.log("fullRestoreThread", message);
        environment.setFailure(message);
        return nullptr;
    }
    const bool multiply = !args->keySchema.empty() && args->itemMultiplier >= 2;
    std::vector<std::string> batch;
    BatchSender<std::vector<std::string>> sender(service, environment, args->destinationTable);
    auto send = [&](const std::vector<std::string>& items) { return service.batchPutItems(args->destinationTable, items); };
    std::string line;
    while (input->getLine(line)) {
        if (line.empty()) {
            environment.log("fullRestoreThread", "Empty line");
            continue;
        }
        if (!multiply) {
            // The line's own buffer goes into the batch: one copy fewer.
            batch.push_back(std::move(line));
            line = sender.spareLine();
            sender.flush(batch, false, send);
            continue;
        }
        for (int n = 1; n <= args->itemMultiplier; ++n) {
            batch.push_back(multipliedItem(line, args->keySchema[0], n));
            sender.flush(batch, false, send);
        }
    }
    sender.flush(batch, true, send);
    args->succeeded = !input->error() && !sender.gaveUp();
    return nullptr;
}

void* AwsDynamoDBRestoreRunner::incrementalRestoreThread(void* argument) {
    auto* args = static_cast<IncrementalRestoreArgs*>(argument);
    TeskEnvironment& environment = *args->environment;
    AwsDynamoDBService service(*args->credentials, environment);
    args->succeeded = false;
    if (args->verbose) environment.log("incrementalRestoreThread", "Replaying incremental backup " + args->shardId);
    std::shared_ptr<TeskInput> owned;
    TeskInput* input = args->input;
    if (!input) {
        owned = environment.openShardInput(args->shardId, args->time);
        input = owned.get();
    }
    if (args->keySchema.empty()) {
        // Batching by key would give every change the same key and keep only
        // the last of each batch.
        const std::string message = "no key schema to replay the changes of shard " + args->shardId + " into " +
                                    args->destinationTable;
        environment.log("incrementalRestoreThread", message);
        environment.setFailure(message);
        return nullptr;
    }
    std::map<std::string, WriteRequest> batch;
    BatchSender<std::map<std::string, WriteRequest>> sender(service, environment, args->destinationTable);
    auto send = [&](const std::map<std::string, WriteRequest>& entries) {
        return service.batchWriteItems(args->destinationTable, args->keySchema, entries);
    };
    std::string line;
    while (input && input->getLine(line)) {
        if (line.size() < 8) continue;
        std::string item = line.substr(8);
        const bool remove = line.compare(0, 8, "REMOVE: ") == 0;
        std::string key = keyString(item, args->keySchema);
        // Only the last change of a key within a batch is sent.
        batch.erase(key);
        batch.emplace(std::move(key), WriteRequest{remove ? 2 : 1, std::move(item)});
        sender.flush(batch, false, send);
    }
    sender.flush(batch, true, send);

    if (args->pool) {
        if (args->lock) {
            args->lock->enter(true);
            args->lock->leave();
        }
        for (const auto& child : args->children) {
            auto found = args->argsMap->find(child);
            if (found != args->argsMap->end()) args->pool->doWork(&AwsDynamoDBRestoreRunner::incrementalRestoreThread, found->second);
        }
    }
    args->succeeded = input && !input->error() && !sender.gaveUp();
    if (!input) {
        const std::string message = "no data for shard " + args->shardId;
        environment.log("incrementalRestoreThread", message);
        environment.setFailure(message);
    }
    return nullptr;
}

bool AwsDynamoDBRestoreRunner::executeFullRestoreLowLevel(FullRestoreArgs* args) {
    fullRestoreThread(args);
    return args->succeeded;
}

bool AwsDynamoDBRestoreRunner::executeIncrementalRestoreLowLevel(IncrementalRestoreArgs* args) {
    incrementalRestoreThread(args);
    return args->succeeded;
}

IncrementalRestoreArgs::IncrementalRestoreArgs(AmazonCredentials* credentials, std::string destinationTable,
                                               std::string shardId, TeskEnvironment* environment, int64_t time,
                                               std::vector<std::string> keySchema,
                                               std::shared_ptr<IncrementalArgsMap> argsMap,
                                               std::vector<std::string> children, std::shared_ptr<HxThreadPool> pool,
                                               HxCriticalSectionH* lock)
    : credentials(credentials), destinationTable(std::move(destinationTable)), shardId(std::move(shardId)),
      environment(environment), time(time), keySchema(std::move(keySchema)), argsMap(argsMap.get()),
      children(std::move(children)), pool(std::move(pool)), lock(lock) {
    IncrementalRestoreArgs*& slot = (*this->argsMap)[this->shardId];
    if (slot != this) delete slot;
    slot = this;
}

bool AwsDynamoDBRestoreRunner::prepareIncrementalRestore(HxCriticalSectionH* lock, std::shared_ptr<HxThreadPool> pool,
                                                         AmazonCredentials credentials, TeskEnvironment* incremental,
                                                         const std::string& destinationTable,
                                                         std::shared_ptr<IncrementalArgsMap> argsMap,
                                                         std::vector<std::string>& roots) {
    std::string text;
    std::shared_ptr<TeskInput> input = incremental->openMetadataInput();
    if (!input || !input->getContents(text)) {
        const std::string message = "Unable to read metadata file for incremental " + incremental->name();
        environment->log("prepareIncrementalRestore", message);
        environment->setFailure(message);
        return false;
    }
    rapidjson::Document metadata;
    if (!json_text::parseObject(metadata, text)) {
        // Skipping the incremental would silently lose its changes.
        const std::string message = "The metadata file of incremental " + incremental->name() + " is not valid JSON";
        environment->log("prepareIncrementalRestore", message);
        environment->setFailure(message);
        return false;
    }
    const int64_t time = json_text::int64Member(metadata, "time");
    std::vector<std::string> queue;
    auto rootList = metadata.FindMember("roots");
    if (rootList != metadata.MemberEnd() && rootList->value.IsArray())
        for (const auto& root : rootList->value.GetArray())
            if (root.IsString()) {
                queue.push_back(root.GetString());
                roots.push_back(root.GetString());
            }
    auto childMap = metadata.FindMember("children");
    // The credentials outlive the workers: the map's owner keeps a copy.
    auto shared = std::make_shared<AmazonCredentials>(std::move(credentials));
    heldCredentials.push_back(shared);
    const std::vector<std::string> keySchema = sourceDescription ? sourceDescription->keySchema : std::vector<std::string>();
    for (size_t next = 0; next < queue.size(); ++next) {
        const std::string id = queue[next];
        std::vector<std::string> children;
        if (childMap != metadata.MemberEnd() && childMap->value.IsObject()) {
            auto list = childMap->value.FindMember(rapidjson::StringRef(id.c_str(), id.size()));
            if (list != childMap->value.MemberEnd() && list->value.IsArray())
                for (const auto& child : list->value.GetArray())
                    if (child.IsString()) {
                        queue.push_back(child.GetString());
                        children.push_back(child.GetString());
                    }
        }
        new IncrementalRestoreArgs(shared.get(), destinationTable, id, incremental, time, keySchema, argsMap,
                                   std::move(children), pool, lock);
    }
    return true;
}

void AwsDynamoDBRestoreRunner::cleanupAllArgs(std::shared_ptr<IncrementalArgsMap> argsMap) {
    for (auto& entry : *argsMap) delete entry.second;
    argsMap->clear();
}
