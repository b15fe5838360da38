#include "backup/AwsDynamoDBFullBackupRunner.h"

#include <algorithm>

#include "dynamodb/AwsDynamoDBService.h"
#include "framework/HxThreadPool.h"
#include "framework/TeskPrototypeEnvironment.h"

bool AwsDynamoDBFullBackupRunner::execute(std::string tableName, GlobalTableMap& globalTables,
                                          int64_t readThroughput, unsigned threadCount,
                                          std::vector<std::string>* restartStrings, std::set<int>* segments) {
    // Building a service resolves the runner's credentials once (instance
    // profile, role), so the segment workers start from usable keys.
    AwsDynamoDBService service(credentials, *environment);
    {
        HxLockGuard guard(lock.get());
        segmentKeys.clear();
    }
    std::vector<std::string> restarts(threadCount);
    if (restartStrings) {
        if (restartStrings->size() != threadCount) {
            const std::string message = "Restart strings size does not match thread count";
            environment->log("execute", message);
            environment->setFailure(message);
            return false;
        }
        restarts = *restartStrings;
    }
    std::set<int> wanted;
    if (segments)
        wanted = *segments;
    else
        for (unsigned i = 1; i <= threadCount; ++i) wanted.insert(static_cast<int>(i));

    std::shared_ptr<TableDescription> description;
    if (!createDescription(tableName, threadCount, description, globalTables, true)) return false;

    const int64_t originalRead = description->provisionedThroughput.readCapacityUnits;
    bool raised = false;
    if (originalRead != 0 && originalRead < readThroughput) {
        bool refused = false;
        if (!changeReadThroughput(tableName, description, readThroughput, refused, "Changing")) return false;
        if (!waitForActiveTable(tableName)) return false;
        raised = true;
    }

    std::vector<std::unique_ptr<ScanArgs>> work;
    for (unsigned i = 0; i < threadCount; ++i) {
        if (!wanted.count(static_cast<int>(i) + 1)) continue;
        auto args = std::make_unique<ScanArgs>();
        args->lock = &lock;
        args->segmentKeys = &segmentKeys;
        args->credentials = &credentials;
        args->tableName = tableName;
        args->segment = static_cast<int>(i);
        args->totalSegments = static_cast<int>(threadCount);
        args->environment = environment;
        args->restartString = restarts[i];
        work.push_back(std::move(args));
    }
    {
        HxThreadPool pool;
        pool.initThreadPool(4294967295UL, 1, work.empty() ? 1 : work.size(), 1);
        environment->log("execute", "Starting scan\n");
        for (auto& args : work) pool.doWork(&AwsDynamoDBFullBackupRunner::scanThread, args.get());
        pool.waitForAllThreads(true, true, true, -1);
    }
    work.clear();
    environment->log("execute", "Write complete\n");

    if (raised) {
        // DynamoDB allows few decreases a day: a refused one is asked again
        // with growing pauses for up to an hour. A decrease that still does
        // not happen leaves the backup complete, with a warning.
        bool refused = false;
        bool lowered = changeReadThroughput(tableName, description, originalRead, refused, "Downgrading");
        uint64_t pauseMs = 60000, waitedMs = 0;
        while (!lowered && refused && waitedMs < 3600000) {
            environment->log("execute", "Decrease refused; asking again in " + std::to_string(pauseMs / 1000) + " s");
            environment->clock().sleepMs(pauseMs);
            waitedMs += pauseMs;
            pauseMs = std::min<uint64_t>(pauseMs * 2, 900000);
            lowered = changeReadThroughput(tableName, description, originalRead, refused, "Downgrading");
        }
        if (lowered) {
            if (!waitForActiveTable(tableName)) return false;
        } else {
            capacityWarning = "the read capacity of " + tableName + " [" + credentials.region + "] is still " +
                              std::to_string(readThroughput) + " and should be back to " +
                              std::to_string(originalRead) + (refused ? ": DynamoDB refused the decrease" : "") +
                              "; lower it when DynamoDB allows (aws dynamodb update-table --table-name " + tableName +
                              " --provisioned-throughput ReadCapacityUnits=" + std::to_string(originalRead) +
                              ",WriteCapacityUnits=" +
                              std::to_string(description->provisionedThroughput.writeCapacityUnits) + ")";
            environment->log("execute", "warning: " + capacityWarning);
        }
    }
    return !environment->hasFailed();
}

void* AwsDynamoDBFullBackupRunner::scanThread(void* argument) {
    auto* args = static_cast<ScanArgs*>(argument);
    TeskEnvironment& environment = *args->environment;
    AwsDynamoDBService service(*args->credentials, environment);
    std::shared_ptr<TeskOutput> owned;
    TeskOutput* output = args->output;
    if (!output) {
        owned = environment.openSegmentOutput(args->tableName, args->segment);
        output = owned.get();
    }
    if (!output) {
        const std::string message = "no output for segment " + std::to_string(args->segment) + " of " + args->tableName;
        environment.log("scanThread", message);
        environment.setFailure(message);
        return nullptr;
    }

    std::string key = args->restartString;
    do {
        const std::string start = key;
        std::string why;
        if (service.scanToStream(args->tableName, args->segment, args->totalSegments, start, output, key, &why) !=
            None) {
            const std::string message = "scanToStream failed for " + output->name() + (why.empty() ? "" : ": " + why);
            environment.log("scanThread", message);
            environment.setFailure(message);
            return nullptr;
        }
    } while (!key.empty() && !output->stopNow());

    HxLockGuard guard(args->lock ? args->lock->get() : nullptr);
    (*args->segmentKeys)[args->segment] = key;
    if (owned && !output->close(key)) {
        const std::string message = "close failed for " + output->name() + " and restart '" + key + "'";
        environment.log("scanThread", message);
        environment.setFailure(message);
        return nullptr;
    }
    args->completed = true;
    return nullptr;
}

bool AwsDynamoDBFullBackupRunner::executeLowLevel(ScanArgs* args) {
    scanThread(args);
    return args->completed;
}

bool AwsDynamoDBFullBackupRunner::changeReadThroughput(std::string tableName,
                                                       std::shared_ptr<TableDescription> description,
                                                       int64_t readUnits, bool& decreaseRefused, std::string verb) {
    AwsDynamoDBService service(credentials, *environment);
    environment->log("changeReadThroughput",
                     verb + " primary read throughput for " + tableName + " to " + std::to_string(readUnits) + "\n");
    auto outcome = service.updateTableThroughputs(
        tableName, ProvisionedThroughput{readUnits, description->provisionedThroughput.writeCapacityUnits});
    decreaseRefused = service.isProvisionedThroughputDecreaseError();
    return outcome.isSuccess();
}

bool AwsDynamoDBFullBackupRunner::waitForActiveTable(std::string tableName) {
    AwsDynamoDBService service(credentials, *environment);
    if (service.waitForActiveTable(tableName, 300)) return true;
    const std::string message = "Timed out waiting for " + tableName + " active";
    environment->log("waitForActiveTable", message);
    environment->setFailure(message);
    return false;
}

std::map<int, std::string> AwsDynamoDBFullBackupRunner::getSegmentKeys() const {
    HxLockGuard guard(lock.get());
    return segmentKeys;
}
