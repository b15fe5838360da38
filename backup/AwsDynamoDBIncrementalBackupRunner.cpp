#include "backup/AwsDynamoDBIncrementalBackupRunner.h"

#include "backup/BufferedIncrementalBackup.h"
#include "backup/PullIntoFile.h"
#include "dynamodb/AwsDynamoDBService.h"
#include "host/HxThreadPool.h"
#include "host/TeskPrototypeEnvironment.h"

namespace {

bool fail(TeskEnvironment& environment, const char* function, const std::string& message) {
    environment.log(function, message);
    environment.setFailure(message);
    return false;
}

} // namespace

std::unique_ptr<ProcessShardArgs> makeShardArgs(AmazonCredentials* credentials, const std::string& streamArn,
                                                const std::string& tableName, const Shard& shard, int64_t startTime,
                                                std::unique_ptr<HxCriticalSectionH>* lock,
                                                std::map<std::string, std::string>* shardStates,
                                                TeskEnvironment* environment, const std::string& restart) {
    auto args = std::make_unique<ProcessShardArgs>();
    args->credentials = credentials;
    args->streamArn = streamArn;
    args->tableName = tableName;
    args->shardId = shard.shardId;
    args->parentShardId = shard.parentShardId;
    args->startingSequenceNumber = shard.startingSequenceNumber;
    args->endingSequenceNumber = shard.endingSequenceNumber;
    args->startTime = startTime;
    args->lock = lock;
    args->shardStates = shardStates;
    args->environment = environment;
    args->restartString = restart == "empty" ? "" : restart;
    return args;
}

AwsDynamoDBIncrementalBackupRunner::AwsDynamoDBIncrementalBackupRunner(AmazonCredentials credentials,
                                                                       TeskEnvironment& environment)
    : AwsDynamoDBBackupRunner(std::move(credentials), environment),
      streamDescription(std::make_shared<StreamDescription>()) {}

AwsDynamoDBIncrementalBackupRunner::~AwsDynamoDBIncrementalBackupRunner() { clearArgsList(); }

void AwsDynamoDBIncrementalBackupRunner::clearArgsList() { shardArgs.clear(); }

std::map<std::string, std::string> AwsDynamoDBIncrementalBackupRunner::getShardStates() const {
    HxLockGuard guard(lock.get());
    return shardStates;
}

bool AwsDynamoDBIncrementalBackupRunner::initialize(std::string tableName, GlobalTableMap& globalTables,
                                                    TeskInput* previousMetadata,
                                                    std::shared_ptr<TableDescription>& description,
                                                    FailureCause& cause, bool descriptionOnly, unsigned threadCount) {
    cause = kNone;
    startTime = environment->clock().now();
    previousContext.clear();
    {
        HxLockGuard guard(lock.get());
        shardStates.clear();
    }
    clearArgsList();
    AwsDynamoDBService service(credentials, *environment);

    if (previousMetadata) {
        std::string text;
        std::string line;
        bool first = true;
        while (previousMetadata->getLine(line)) {
            if (!first) text += "\n";
            text += line;
            first = false;
        }
        if (previousMetadata->error()) {
            cause = kMetadata;
            return fail(*environment, "initialize", "Failed to read ref time information from the last incremental");
        }
        rapidjson::Document document;
        document.Parse(text.c_str(), text.size());
        if (!document.HasParseError() && document.IsObject()) {
            auto context = document.FindMember("context");
            if (context != document.MemberEnd() && context->value.IsObject())
                for (const auto& entry : context->value.GetObject())
                    if (entry.value.IsString()) previousContext[entry.name.GetString()] = entry.value.GetString();
        }
    }

    if (!createDescription(tableName, threadCount, description, globalTables, true)) {
        cause = kDescription;
        return fail(*environment, "initialize", "Error: Table description failed. The table may not exist.");
    }
    if (descriptionOnly) return true;

    if (description->latestStreamArn.empty()) {
        cause = kStream;
        return fail(*environment, "initialize", "Error: Stream does not exist for table");
    }
    auto stream = service.describeStream(description->latestStreamArn);
    streamErrorCode = stream.errorType;
    streamErrorMessage = stream.errorMessage;
    streamDescription = stream.isSuccess() ? stream.result : std::make_shared<StreamDescription>();
    if (streamDescription->streamViewType != "NEW_AND_OLD_IMAGES" && streamDescription->streamViewType != "NEW_IMAGE") {
        cause = kStream;
        return fail(*environment, "initialize",
                    "Error: this stream does not have new images. Modifications cannot be saved.");
    }
    if (streamDescription->streamStatus != "ENABLED") {
        cause = kStream;
        return fail(*environment, "initialize",
                    "Error: the stream is not enabled! If any changes to the table were made since it was disabled, "
                    "this backup would surely miss them.");
    }

    for (const Shard& shard : streamDescription->shards) {
        std::string state = "empty";
        auto previous = previousContext.find(shard.shardId);
        if (previous == previousContext.end()) {
            environment->log("initialize", "Shard " + shard.shardId + " is empty, will be backed up from the beginning");
        } else {
            state = previous->second;
            environment->log("initialize", "Shard " + shard.shardId + " will be backed up starting at " + state);
        }
        if (state == "finished") {
            HxLockGuard guard(lock.get());
            shardStates[shard.shardId] = "finished";
            environment->log("initialize", "Shard " + shard.shardId + " is finished, will be skipped");
            continue;
        }
        shardArgs.push_back(makeShardArgs(&credentials, description->latestStreamArn, tableName, shard, startTime,
                                          &lock, &shardStates, environment, state));
    }
    return true;
}

bool AwsDynamoDBIncrementalBackupRunner::execute(std::string tableName, GlobalTableMap& globalTables,
                                                 TeskInput* previousMetadata, unsigned threadCount) {
    std::shared_ptr<TableDescription> description;
    FailureCause cause = kNone;
    if (!initialize(tableName, globalTables, previousMetadata, description, cause, false,
                    threadCount == 0 ? 1 : threadCount))
        return false;
    if (threadCount == 0) threadCount = static_cast<unsigned>(streamDescription->shards.size());
    {
        HxThreadPool pool;
        pool.initThreadPool(4294967295UL, 1, threadCount == 0 ? 1 : threadCount, 1);
        for (auto& args : shardArgs) pool.doWork(&AwsDynamoDBIncrementalBackupRunner::processShard, args.get());
        pool.waitForAllThreads(true, true, true, -1);
    }
    if (!createMetadataOutput(true)) return false;
    return !environment->hasFailed();
}

void* AwsDynamoDBIncrementalBackupRunner::processShard(void* argument) {
    auto* args = static_cast<ProcessShardArgs*>(argument);
    TeskEnvironment& environment = *args->environment;
    AwsDynamoDBService service(*args->credentials, environment);
    args->completed = false;
    const std::string& id = args->shardId;
    if (args->verbose) environment.log("processShard", "Starting shard: " + id);

    std::shared_ptr<TeskOutput> owned;
    TeskOutput* output = args->output;
    if (!output) {
        owned = environment.openShardOutput(args->tableName, id, args->startTime);
        output = owned.get();
    }
    if (!output) {
        fail(environment, "processShard", "no output for shard " + id + " of " + args->tableName);
        return nullptr;
    }
    if (args->restartString == "empty") args->restartString.clear();

    std::string state;
    auto iterator = service.getShardIterator(args->streamArn, id, args->restartString);
    if (!iterator.isSuccess()) {
        if (iterator.errorMessage.find("Shard does not exist") == std::string::npos) {
            fail(environment, "processShard", "Failed to get shard iterator for " + id);
            return nullptr;
        }
        environment.log("processShard", "Nonexistent shard " + id + " will be treated as fully backed up");
        state = "finished";
    } else {
        std::string lastSequence = args->restartString;
        int64_t recordTime = 0;
        int emptyCount = 0;
        std::string shardIterator = *iterator.result;
        while (!shardIterator.empty()) {
            if (args->startTime <= recordTime) break;
            if (emptyCount > 49) break;
            std::string sequence;
            int count = 0;
            AmazonError error = None;
            AmazonResponse response =
                service.getRecordsToStream(shardIterator, output, shardIterator, sequence, recordTime, count, error);
            if (error != None) {
                const std::string message = "getRecordsToStream failed for '" + output->name() + "'";
                environment.log("processShard", message);
                if (AwsDynamoDBService::isResourceNotFoundError(response.body)) {
                    args->completed = true;
                    environment.log("processShard", "Shard has disappeared, assuming that any changed data has "
                                                    "moved to another shard after resharding");
                } else {
                    environment.setFailure(message);
                }
                return nullptr;
            }
            if (count == 0) {
                ++emptyCount;
            } else {
                lastSequence = sequence;
                emptyCount = 0;
            }
            if (output->stopNow()) {
                environment.log("processShard", "Incremental terminates for shard " + id + " and stopNow true");
                break;
            }
        }
        environment.log("processShard", "Incremental terminates for shard " + id + " emptyCount " +
                                            std::to_string(emptyCount) + " shardIter '" + shardIterator + "'");
        state = lastSequence.empty() ? "empty" : lastSequence;
    }

    HxLockGuard guard(args->lock ? args->lock->get() : nullptr);
    (*args->shardStates)[id] = state;
    if (state == "finished")
        environment.log("processShard", "Shard " + id + " is marked finished");
    else if (state == "empty")
        environment.log("processShard", "Shard " + id + " is marked empty");
    else
        environment.log("processShard", "Shard " + id + " has restartString " + state);
    if (!owned) {
        args->completed = true;
    } else if (output->close(state)) {
        args->completed = true;
    } else {
        fail(environment, "processShard", "close failed for " + output->name());
    }
    return nullptr;
}

bool AwsDynamoDBIncrementalBackupRunner::executeLowLevel(ProcessShardArgs* args) {
    processShard(args);
    return args->completed;
}

bool AwsDynamoDBIncrementalBackupRunner::createMetadataOutput(bool withContext) {
    std::shared_ptr<TeskOutput> output = environment->openMetadataOutput();
    metadataText = streamDescription->treeToJson(startTime, withContext ? getShardStates()
                                                                        : std::map<std::string, std::string>()) +
                   "\n";
    if (output && output->putString(metadataText) && output->close("")) return true;
    return fail(*environment, "createMetadataOutput", "Failed to write metadata.json file");
}

void AwsDynamoDBIncrementalBackupRunner::testBufferedMode(std::string tableName, std::string fileName,
                                                          std::string streamArn, Shard shard, int64_t time) {
    TeskPrototypeEnvironment scratch("", stderrLogSink(), &environment->clock());
    BufferedIncrementalBackup buffered;
    buffered.initialize(credentials, &scratch, streamArn, tableName, shard, time, "");
    pullIntoFile(buffered, fileName, *environment);
}
