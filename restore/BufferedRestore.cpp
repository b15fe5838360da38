#include "restore/BufferedRestore.h"

#include "aws/AwsRequestService.h"
#include "restore/AwsDynamoDBRestoreRunner.h"

// The consumer writes through this object's members: stop it before they go.
BufferedRestoreFromFull::~BufferedRestoreFromFull() { abandonConsumer(); }

bool BufferedRestoreFromFull::initialize(AmazonCredentials* givenCredentials, const std::string& sourceTable,
                                         const std::string& destinationTable, TeskEnvironment& environment,
                                         int segment) {
    credentials = *givenCredentials;
    if (!AwsRequestService::handleIAMRole(environment, credentials)) return false;
    args = std::make_shared<FullRestoreArgs>();
    args->credentials = &credentials;
    args->destinationTable = destinationTable;
    args->sourceTable = sourceTable;
    args->environment = &environment;
    args->segment = segment;
    args->input = this;
    return true;
}

bool BufferedRestoreFromFull::startRestore(bool verbose) {
    if (!args) return false;
    args->verbose = verbose;
    return AwsDynamoDBRestoreRunner::executeFullRestoreLowLevel(args.get());
}

BufferedRestoreFromIncremental::BufferedRestoreFromIncremental(std::shared_ptr<HxThreadPool> pool,
                                                               std::shared_ptr<IncrementalArgsMap> argsMap)
    : pool(std::move(pool)), argsMap(std::move(argsMap)) {}

BufferedRestoreFromIncremental::~BufferedRestoreFromIncremental() {
    abandonConsumer();
    // A map no one else holds (the file-by-file restore makes one per input)
    // dies with this input, and the arguments in it with it.
    if (argsMap && argsMap.use_count() == 1) AwsDynamoDBRestoreRunner::cleanupAllArgs(argsMap);
}

bool BufferedRestoreFromIncremental::initialize(AmazonCredentials* givenCredentials,
                                                const std::string& destinationTable, const std::string& shardId,
                                                TeskEnvironment* environment, int64_t time,
                                                const std::vector<std::string>& keySchema,
                                                const std::vector<std::string>& children) {
    // Changes are batched by key; without the key schema every change would
    // share one key and all but the last of each batch would be dropped.
    if (keySchema.empty()) {
        environment->log("BufferedRestoreFromIncremental",
                         "no key schema for the changes of shard " + shardId + " into " + destinationTable);
        environment->setFailure("the table description holds no key schema: the changes of shard " + shardId +
                                " cannot be replayed into " + destinationTable);
        return false;
    }
    credentials = *givenCredentials;
    if (!AwsRequestService::handleIAMRole(*environment, credentials)) return false;
    args = new IncrementalRestoreArgs(&credentials, destinationTable, shardId, environment, time, keySchema, argsMap,
                                      children, pool, nullptr);
    args->input = this;
    return true;
}

bool BufferedRestoreFromIncremental::startRestore(bool verbose) {
    if (!args) return false;
    args->verbose = verbose;
    return AwsDynamoDBRestoreRunner::executeIncrementalRestoreLowLevel(args);
}
