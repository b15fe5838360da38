#include "backup/BufferedIncrementalBackup.h"

#include "aws/AwsRequestService.h"
#include "backup/PullIntoFile.h"
#include "framework/DefaultEnvironments.h"
#include "framework/TeskPrototypeEnvironment.h"

BufferedIncrementalBackup::BufferedIncrementalBackup()
    : TeskBufferedOutput(&dummyEnvIncr(), kDefaultCapacity, "incremental backup") {}

// The producer reads into this object's members: stop it before they go.
BufferedIncrementalBackup::~BufferedIncrementalBackup() { abandonProducer(); }

bool BufferedIncrementalBackup::initialize(AmazonCredentials givenCredentials, TeskEnvironment* givenEnvironment,
                                           const std::string& streamArn, const std::string& tableName,
                                           const Shard& shard, int64_t time, const std::string& restart) {
    credentials = std::move(givenCredentials);
    // The given environment, so that a credential failure reaches this job's log.
    if (!AwsRequestService::handleIAMRole(*givenEnvironment, credentials)) return false;
    args = makeShardArgs(&credentials, streamArn, tableName, shard, time, &lock, &shardStates, givenEnvironment,
                         restart);
    args->output = this;
    name_ = tableName + "/" + shard.shardId;
    TeskBufferedOutput::close(restart == "empty" ? "" : restart);
    environment = givenEnvironment;
    return true;
}

bool BufferedIncrementalBackup::startBackup(bool verbose) {
    if (!args) return false;
    args->restartString = getRestartString();
    args->verbose = verbose;
    return AwsDynamoDBIncrementalBackupRunner::executeLowLevel(args.get());
}

// The runner's check of the buffered path, pulled into a file. It lives
// here so that the runner does not depend on the buffered output built on it.
void AwsDynamoDBIncrementalBackupRunner::testBufferedMode(std::string tableName, std::string fileName,
                                                          std::string streamArn, Shard shard, int64_t time) {
    TeskPrototypeEnvironment scratch("", stderrLogSink(), &environment->clock());
    BufferedIncrementalBackup buffered;
    buffered.initialize(credentials, &scratch, streamArn, tableName, shard, time, "");
    pullIntoFile(buffered, fileName, *environment);
}
