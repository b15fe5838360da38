#include "agent/DynamoRemoteFileRestoreFactory.h"

#include <cstdlib>
#include <vector>

#include "agent/DynamoDBTESK.h"
#include "dynamodb/TableDescription.h"
#include "restore/AwsDynamoDBPathDecoder.h"
#include "restore/BufferedRestore.h"

DynamoRemoteFileRestoreFactory::DynamoRemoteFileRestoreFactory(std::shared_ptr<LogSink> sink)
    : environment("", sink ? sink : stderrLogSink()), sink(sink), debug(sink) {}

CZoError DynamoRemoteFileRestoreFactory::Initialize(int64_t jobId) {
    std::string xml;
    EvRstTaskPtr task = EvRstTask::open(jobId);
    if (!task || !task->getXMLOptions(xml))
        return CZO_ERROR(1627, "Failed to retrieve XML options from restore rstTask");
    RestoreJobOptions options;
    if (!RestoreJobOptions::unserialize(xml, options))
        return CZO_ERROR(1627, "Failed to unserialize restore job options [%s]", xml.c_str());
    if (!options.hasCloudAppsRestoreOptions) return CZO_ERROR(1627, "CloudAppsRestoreOptions not found");
    restoreOptions = options.dynamoDbRestoreOptions;
    return CZoError();
}

CZoError DynamoRemoteFileRestoreFactory::Process(CloudConnectionDetails& details, const std::string& fileName,
                                                 bool& skip) {
    // Exactly "/region/table/F<job>/<scan or shard>/<chunk>": an empty first
    // component and five more.
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = fileName.find('/', start)) != std::string::npos; start = at + 1)
        parts.push_back(fileName.substr(start, at - start));
    parts.push_back(fileName.substr(start));
    if (parts.size() != 6) {
        debug.log(3, "Process", "Skipping '%s'", fileName.c_str());
        currentInput = std::make_shared<BufferedRestoreIgnoreData>();
        ignoring = true;
        return CZoError();
    }
    // The directory must match whole: segment 30 is not in segment 3's directory.
    if (!ignoring && !currentDirectory.empty() && fileName.compare(0, currentDirectory.size() + 1, currentDirectory + "/") == 0) {
        skip = true;
        return CZoError();
    }
    ignoring = false;
    const size_t slash = fileName.rfind('/');
    if (slash == std::string::npos) return CZO_ERROR(87, "%s is not a valid filename", fileName.c_str());
    // The directory counts as prepared only once its input is: after a
    // failure the next file of it must not be fed into no input at all.
    currentDirectory.clear();
    const std::string directory = fileName.substr(0, slash);

    const std::string& sourceRegion = parts[1];
    const std::string& sourceTable = parts[2];
    const char kind = parts[3].empty() ? '\0' : parts[3][0];
    const int scanNumber = std::atoi(parts[4].c_str());
    const std::string& shardId = parts[4];
    std::string destinationRegion, destinationTable;
    for (const auto& mapping : restoreOptions.destinationTables) {
        if (mapping.source.region == sourceRegion && mapping.source.tableName == sourceTable) {
            destinationRegion = mapping.destination.region;
            destinationTable = mapping.destination.tableName;
            break;
        }
    }
    if (destinationRegion.empty() || destinationTable.empty())
        return CZO_ERROR(87, "Failed to get destination(%s/%s) for source(%s/%s)", destinationRegion.c_str(),
                         destinationTable.c_str(), sourceRegion.c_str(), sourceTable.c_str());

    currentInput.reset();
    DynamoDBUtil util(sink);
    if (int result = util.InitializeForRestore(details.destinationInstanceId))
        return CZO_ERROR(result, "Failed to initialize the restore destination instance %lu",
                         static_cast<unsigned long>(details.destinationInstanceId));
    AmazonCredentials credentials = util.getCredentials();
    credentials.region = destinationRegion;

    if (kind == 'F') {
        auto input = std::make_shared<BufferedRestoreFromFull>();
        debug.log(3, "Process", "Initialized %s %s %d", destinationTable.c_str(), destinationRegion.c_str(), scanNumber);
        if (!input->initialize(&credentials, sourceTable, destinationTable, environment, scanNumber))
            return CZO_ERROR(774, "Restore during full backup buffered input inits failed");
        currentInput = input;
        currentDirectory = directory;
        return CZoError();
    }
    auto input = std::make_shared<BufferedRestoreFromIncremental>(nullptr, std::make_shared<IncrementalArgsMap>());
    debug.log(3, "Process", "Initialized incr %s %s %s", destinationTable.c_str(), destinationRegion.c_str(),
              shardId.c_str());
    std::string option;
    IdxMetadata::DynamoDBMetadata metadata;
    if (!CExtendedOptions(details.extendedOptions).getOption(sourceRegion + ":" + sourceTable, option) ||
        !IdxMetadata::DynamoDBMetadata::unserialize(option, metadata))
        return CZO_ERROR(1627, "Failed to unserialize DynamoDBMetadata");
    std::shared_ptr<TableDescription> description = DynamoDBUtil::parseDescriptionJson(metadata.description);
    if (!input->initialize(&credentials, destinationTable, shardId, &environment, 0, description->keySchema, {}))
        return CZO_ERROR(774, "Restore during inc backup buffered input inits failed");
    currentInput = input;
    currentDirectory = directory;
    return CZoError();
}

extern "C" CloudDBRemoteFileFactory* GetRemoteFileFactory() { return new DynamoRemoteFileRestoreFactory(); }
