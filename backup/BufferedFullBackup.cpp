#include "backup/BufferedFullBackup.h"

#include "aws/AwsRequestService.h"
#include "backup/PullIntoFile.h"
#include "framework/DefaultEnvironments.h"
#include "framework/TeskPrototypeEnvironment.h"

BufferedFullBackup::BufferedFullBackup() : TeskBufferedOutput(&dummyEnvFull(), kDefaultCapacity, "full backup") {}

// The producer scans into this object's members: stop it before they go.
BufferedFullBackup::~BufferedFullBackup() { abandonProducer(); }

bool BufferedFullBackup::initialize(AmazonCredentials givenCredentials, TeskEnvironment* givenEnvironment,
                                    const std::string& tableName, int segment, int totalSegments,
                                    const std::string& restart) {
    credentials = std::move(givenCredentials);
    // The given environment, so that a credential failure reaches this job's log.
    if (!AwsRequestService::handleIAMRole(*givenEnvironment, credentials)) return false;
    args = std::make_shared<ScanArgs>();
    args->lock = &lock;
    args->segmentKeys = &segmentKeys;
    args->credentials = &credentials;
    args->tableName = tableName;
    args->segment = segment;
    args->totalSegments = totalSegments;
    args->environment = givenEnvironment;
    args->restartString = restart;
    args->output = this;
    name_ = tableName + "/segment-" + std::to_string(segment);
    TeskBufferedOutput::close(restart);
    environment = givenEnvironment;
    return true;
}

bool BufferedFullBackup::startBackup(bool) {
    if (!args) return false;
    args->restartString = getRestartString();
    args->completed = false;
    return AwsDynamoDBFullBackupRunner::executeLowLevel(args.get());
}

// The runner's check of the buffered path, pulled into a file. It lives
// here so that the runner does not depend on the buffered output built on it.
void AwsDynamoDBFullBackupRunner::testBufferedMode(std::string tableName, std::string fileName) {
    TeskPrototypeEnvironment scratch("", stderrLogSink(), &environment->clock());
    BufferedFullBackup buffered;
    buffered.initialize(credentials, &scratch, tableName, 0, 1, "");
    pullIntoFile(buffered, fileName, *environment);
}
