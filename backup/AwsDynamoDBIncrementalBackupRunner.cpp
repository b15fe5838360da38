#include "backup/AwsDynamoDBIncrementalBackupRunner.h"

#include <set>

#include "dynamodb/AwsDynamoDBService.h"
#include "text/JsonText.h"
#include "text/BoundedJson.h"
#include "framework/HxThreadPool.h"
#include "framework/TeskPrototypeEnvironment.h"
#include "text/UtcTime.h"

namespace {

bool fail(TeskEnvironment& environment, const char* function, const std::string& message) {
    environment.log(function, message);
    environment.setFailure(message);
    return false;
}

// Records of a shard that can no longer be read: the incremental cannot show
// that it holds every change, so it must not count as complete.
bool gap(TeskEnvironment& environment, const std::string& table, const std::string& shardId,
         const std::string& position, const std::string& why) {
    return fail(environment, "gap",
                "incremental backup of " + table + " is not continuous: records of shard " + shardId +
                    (position.empty() ? std::string(" from its oldest record") : " after sequence number " + position) +
                    " " + why + ", so changes in that stretch may be missing. What was read is kept. "
                    "Take a new full backup: the next incremental then starts a new chain from it");
}

bool hasType(const std::string& text, const char* type) { return text.find(type) != std::string::npos; }

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
    previousStream.clear();
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
        if (parseBoundedJson(document, text) && document.IsObject()) {
            auto context = document.FindMember("context");
            if (context != document.MemberEnd() && context->value.IsObject())
                for (const auto& entry : context->value.GetObject())
                    if (entry.value.IsString()) previousContext[entry.name.GetString()] = entry.value.GetString();
            previousStream = json_text::stringMember(document, "stream");
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

    const std::string lineage = streamDescription->lineageProblem();
    if (!lineage.empty()) {
        cause = kStream;
        return fail(*environment, "initialize",
                    "the stream of " + tableName + " cannot be read in order: " + lineage);
    }

    // Writes made while a table had no stream, or between a stream switched
    // off and a new one, are in no stream at all.
    const std::string& streamArn = description->latestStreamArn;
    const bool newStream = !previousStream.empty() && previousStream != streamArn;
    if (newStream)
        fail(*environment, "gap",
             "incremental backup of " + tableName + " is not continuous: the previous incremental read stream " +
                 previousStream + ", the table now has " + streamArn +
                 ", so changes made while no stream was enabled are in no backup. Take a new full backup: the next "
                 "incremental then starts a new chain from it");
    if (streamRequiredSince > 0 && streamDescription->creationTime > streamRequiredSince)
        fail(*environment, "gap",
             "incremental backup of " + tableName + " is not continuous: its stream was created at " +
                 utcText(streamDescription->creationTime) + ", after the full backup it continues began (" +
                 utcText(streamRequiredSince) +
                 "), so changes made in between are in no stream. Take a new full backup: the next incremental then "
                 "starts a new chain from it");

    // A shard the last run was still reading that has left the stream took
    // its unread records with it; so did a parent that neither run saw.
    std::set<std::string> listed;
    for (const Shard& shard : streamDescription->shards) listed.insert(shard.shardId);
    // (After a change of stream, that the old one's shards are gone says nothing more.)
    for (const auto& entry : previousContext)
        if (!newStream && entry.second != "finished" && !listed.count(entry.first))
            gap(*environment, tableName, entry.first, entry.second == "empty" ? "" : entry.second,
                "are no longer in the stream (trimmed after the stream's 24-hour retention)");
    if (!previousContext.empty() && !newStream)
        for (const Shard& shard : streamDescription->shards)
            if (!shard.parentShardId.empty() && !previousContext.count(shard.shardId) &&
                !listed.count(shard.parentShardId) && !previousContext.count(shard.parentShardId))
                gap(*environment, tableName, shard.parentShardId, "",
                    "(the parent of " + shard.shardId + ") were never read and are gone from the stream");

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
        if (iterator.errorType == ResourceNotFound || hasType(iterator.errorMessage, "Shard does not exist"))
            gap(environment, args->tableName, id, args->restartString, "are gone: the shard no longer exists");
        else if (hasType(iterator.errorMessage, "TrimmedDataAccessException"))
            gap(environment, args->tableName, id, args->restartString,
                "were trimmed before they were read (past the stream's 24-hour retention)");
        else
            fail(environment, "processShard",
                 "Failed to get shard iterator for " + id + " of " + args->tableName + ": " + iterator.errorMessage);
        return nullptr;
    }
    std::string lastSequence = args->restartString;
    int64_t recordTime = 0;
    int emptyCount = 0;
    int renewals = 0;
    bool stoppedEarly = false;
    std::string shardIterator = *iterator.result;
    bool lost = false;
    while (!shardIterator.empty()) {
        if (args->startTime <= recordTime || emptyCount > 49) {
            stoppedEarly = true;
            break;
        }
        std::string sequence;
        int count = 0;
        AmazonError error = None;
        AmazonResponse response =
            service.getRecordsToStream(shardIterator, output, shardIterator, sequence, recordTime, count, error);
        if (error != None) {
            // A page that came back whole holds the table's data: it stays out of the log and the error.
            std::string why = response.httpCode != 200 ? response.body : output->failure();
            if (why.empty()) why = "the answer is not a GetRecords page it can use";
            environment.log("processShard", "getRecordsToStream failed for '" + output->name() + "': " + why);
            // An iterator lasts 15 minutes; a new one from the last record read loses nothing.
            if (hasType(response.body, "ExpiredIteratorException") && ++renewals <= 3) {
                auto renewed = service.getShardIterator(args->streamArn, id, lastSequence);
                if (renewed.isSuccess()) {
                    shardIterator = *renewed.result;
                    continue;
                }
                response.body = renewed.errorMessage;
                why = "renewing its expired iterator failed: " + renewed.errorMessage;
            }
            if (AwsDynamoDBService::isResourceNotFoundError(response.body) ||
                hasType(response.body, "ResourceNotFoundException"))
                gap(environment, args->tableName, id, lastSequence, "are gone: the shard vanished while it was read");
            else if (hasType(response.body, "TrimmedDataAccessException"))
                gap(environment, args->tableName, id, lastSequence,
                    "were trimmed before they were read (past the stream's 24-hour retention)");
            else
                fail(environment, "processShard", "getRecordsToStream failed for '" + output->name() + "': " + why);
            lost = true;
            break;
        }
        if (count == 0) {
            ++emptyCount;
        } else {
            lastSequence = sequence;
            emptyCount = 0;
        }
        if (output->stopNow()) {
            environment.log("processShard", "Incremental terminates for shard " + id + " and stopNow true");
            stoppedEarly = true;
            break;
        }
    }
    environment.log("processShard", "Incremental terminates for shard " + id + " emptyCount " +
                                        std::to_string(emptyCount) + " shardIter '" + shardIterator + "'");
    // A closed shard read to its end needs no more reading, ever; one that
    // failed keeps its position, and what was read before the failure.
    if (!lost && !stoppedEarly)
        state = "finished";
    else
        state = lastSequence.empty() ? "empty" : lastSequence;

    HxLockGuard guard(args->lock ? args->lock->get() : nullptr);
    (*args->shardStates)[id] = state;
    if (state == "finished")
        environment.log("processShard", "Shard " + id + " is marked finished");
    else if (state == "empty")
        environment.log("processShard", "Shard " + id + " is marked empty");
    else
        environment.log("processShard", "Shard " + id + " has restartString " + state);
    if (owned && !output->close(state)) {
        fail(environment, "processShard", "close failed for " + output->name());
        return nullptr;
    }
    args->completed = !lost;
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
