// Job initialisation from the host's management data: credentials, regions,
// throughputs, the tables to protect, and the job results directories.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

#include <rapidjson/document.h>

#include "agent/DynamoDBTESK.h"
#include "aws/AwsRequestService.h"
#include "text/BoundedJson.h"
#include "platform/FileUtil.h"

int DynamoDBUtil::Initialize(CProgramArgumentsPtr& args, bool expandContent) {
    std::string value;
    if (args) args->getValue("a", value);
    debug.log(0, "Initialize", "ApplicationID input [%s]", value.c_str());
    const size_t colon = value.find(':');
    if (colon == std::string::npos || value.find(':', colon + 1) != std::string::npos) {
        debug.log(-1, "Initialize", "Invalid application id, expected <varda-id>:<application-number> [%s]",
                  value.c_str());
        return 1;
    }
    // Base detection as the host writes ids: 0x for hexadecimal, a leading 0 for octal.
    const unsigned long varda = std::strtoul(value.substr(0, colon).c_str(), nullptr, 0);
    const unsigned long application = std::strtoul(value.substr(colon + 1).c_str(), nullptr, 0);
    return Initialize(varda, application, jobId, expandContent);
}

int DynamoDBUtil::Initialize(unsigned long varda, unsigned long application, int64_t job, bool expandContent) {
    if (varda != 0 || application != 0 || job != 0) {
        vardaId = varda;
        applicationId = application;
        jobId = job;
    }
    if (vardaId == 0 || applicationId == 0 || jobId < 1) {
        debug.log(-1, "Initialize", "Invalid parameters [appid:vardaid] [%lu:%lu] [jid:%lld]",
                  static_cast<unsigned long>(applicationId), static_cast<unsigned long>(vardaId),
                  static_cast<long long>(jobId));
        return 1;
    }
    const std::string management = ManagementData::loadError();
    if (!management.empty()) {
        debug.log(-1, "Initialize", "%s", management.c_str());
        return 1;
    }
    ApplicationId app(vardaId, applicationId);
    AmazonDynamoDBInstance instance(app.instanceId());
    const int clientResult = app.getClientName(clientName);
    if (clientResult != 0)
        debug.log(-1, "Initialize", "Failed to obtain client name from appId %lu", static_cast<unsigned long>(applicationId));
    if (InitFromInstanceProp(instance) != 0) return 1;
    if (InitFromSubclientProp(app, expandContent) != 0) return 1;
    const std::string focus = HXPI_Focus::getFocusClientName(true);
    if (focus.empty()) {
        debug.log(-1, "Initialize", "Invalid focus client name");
        return 1;
    }
    HXClient client(focus);
    if (client.lookup() != 0) {
        debug.log(-1, "Initialize", "Failed to lookup for client info for client name [%s]", focus.c_str());
        return 1;
    }
    std::string host;
    if (!client.getNetworkHostname(host) || host.empty()) {
        debug.log(-1, "Initialize", "Failed to get network hostname for client name [%s]", focus.c_str());
        return 1;
    }
    localHostName = host;
    debug.log(0, "Initialize", "Found local client host name [%s] for client name [%s]", host.c_str(), focus.c_str());
    if (CreateJobResultsDirectory() != 0) {
        debug.log(-1, "Initialize", "Failed to  create job results dir");
        return 1;
    }
    return clientResult;
}

int DynamoDBUtil::InitFromInstanceProp(AmazonDynamoDBInstance& instance) {
    const char* function = "InitFromInstanceProp";
    std::string access, encrypted;
    if (int code = instance.getAccessKey(access)) {
        debug.log(-1, function, "Failed to obtain access key, code %d", code);
        return 1;
    }
    if (int code = instance.getSecretKey(encrypted)) {
        debug.log(-1, function, "Failed to obtain secret access key, code %d", code);
        return 1;
    }
    if (int code = instance.getTemporaryReadThroughput(readThroughput)) {
        debug.log(-1, function, "Failed to obtain temporary read throughput, code %d", code);
        return 1;
    }
    if (int code = instance.getTemporaryWriteThroughput(writeThroughput)) {
        debug.log(-1, function, "Failed to obtain temporary write throughput, code %d", code);
        return 1;
    }
    std::string secret;
    if (!encrypted.empty()) {
        debug.log(2, function, "Instance uses credentials");
        char buffer[1024];
        unsigned int size = sizeof buffer;
        if (!HXPassword::decrypt(encrypted, buffer, &size)) {
            debug.log(-1, function, "Failed to decrypt the secret access key");
            return 1;
        }
        secret.assign(buffer, size);
        std::memset(buffer, 0, sizeof buffer);
    } else {
        debug.log(2, function, "Instance uses IAM role or STS assume role");
    }
    secretKey = secret;
    accessKey = access;
    regions.clear();
    if (int code = instance.getRegionEndPoints(regions)) {
        debug.log(-1, function, "Failed to obtain region endpoints, code %d", code);
    } else {
        bool hasDefault = false;
        for (const auto& region : regions) {
            debug.log(0, function, "Instance has region '%s'", region.c_str());
            hasDefault |= region == "default";
        }
        if (hasDefault) regions.clear();
    }
    credentials = AmazonCredentials();
    credentials.expiration = -1;
    credentials.accessKeyId = accessKey;
    credentials.secretAccessKey = secretKey;
    TeskLoggingEnvironment scratch("", stderrLogSink());
    if (!AwsRequestService::handleIAMRole(scratch, credentials)) {
        debug.log(-1, function, "Failed to obtain temporary credentials based on the IAM role");
        return 1;
    }
    return 0;
}

int DynamoDBUtil::InitFromSubclientProp(ApplicationId& application, bool expandContent) {
    const char* function = "InitFromSubclientProp";
    std::unique_ptr<Subclient> subclient = application.subclient();
    if (!subclient) {
        debug.log(-1, function, "No subclient");
        return 1;
    }
    const unsigned long id = static_cast<unsigned long>(subclient->id());
    if (expandContent) {
        CAmazonDynamoDBInfo info;
        std::vector<App::DynamoDBTable> tables;
        bool allTables = false;
        CZoError expanded = info.ExpandDynamoSubclientContent(subclient->id(), regions, tables, allTables);
        if (!expanded.ok()) {
            debug.log(-1, function, "DynamoDB content expansion for appId %lu failed with '%s'", id, expanded.text().c_str());
            return 1;
        }
        bool isDefault = false;
        if (int code = subclient->isDefaultSubclient(isDefault)) {
            debug.log(-1, function, "Default subclient check failed for appId %lu with code %d", id, code);
            return 1;
        }
        if (isDefault)
            debug.log(0, function, allTables ? "Default subclient contains all tables"
                                             : "Default subclient content is limited to a subset of the tables");
        debug.log(0, function, "DynamoDB content expanded to %d tables", static_cast<int>(tables.size()));
        for (const auto& table : tables)
            debug.log(0, function, "DynamoDB content region '%s' table '%s'", table.region.c_str(), table.tableName.c_str());
        if (!(isDefault && allTables)) {
            config.setTables(&tables);
        } else {
            // The default subclient takes every table no other subclient of its backup set protects.
            const uint64_t backupSet = application.backupSetId();
            if (backupSet == 0) {
                debug.log(-1, function, "No backup set for appId %lu", id);
                return 1;
            }
            std::vector<uint64_t> ids;
            std::vector<std::string> names;
            if (int code = ClientApplicationList::getSubclientList(ids, names, application.getAppType(), backupSet,
                                                                    nullptr, 15)) {
                debug.log(-1, function, "getSubclientList failed for appId %lu bkpSetId %lu with code %d", id,
                          static_cast<unsigned long>(backupSet), code);
                return 1;
            }
            std::set<std::string> excluded;
            for (uint64_t other : ids) {
                if (other == subclient->id()) continue;
                std::vector<App::DynamoDBTable> theirs;
                bool theirAll = false;
                CZoError result = info.ExpandDynamoSubclientContent(other, regions, theirs, theirAll);
                if (!result.ok()) {
                    debug.log(-1, function, "DynamoDB content expansion for appId %lu failed with '%s'",
                              static_cast<unsigned long>(other), result.text().c_str());
                    return 1;
                }
                debug.log(0, function, "DynamoDB content for appId %lu expanded to %d tables",
                          static_cast<unsigned long>(other), static_cast<int>(theirs.size()));
                for (const auto& table : theirs) {
                    debug.log(0, function, "DynamoDB appId %lu content region '%s' table '%s'",
                              static_cast<unsigned long>(other), table.region.c_str(), table.tableName.c_str());
                    std::string pair;
                    toRegionTablePair(table.region, table.tableName, pair);
                    excluded.insert(pair);
                }
            }
            std::vector<App::DynamoDBTable> kept;
            for (const auto& table : tables) {
                std::string pair;
                toRegionTablePair(table.region, table.tableName, pair);
                if (excluded.count(pair))
                    debug.log(0, function, "DynamoDB non-default content region '%s' table '%s' is filtered out",
                              table.region.c_str(), table.tableName.c_str());
                else
                    kept.push_back(table);
            }
            debug.log(0, function, "%d content tables are filtered out from the original set of %d tables, leaving %d",
                      static_cast<int>(tables.size() - kept.size()), static_cast<int>(tables.size()),
                      static_cast<int>(kept.size()));
            config.setTables(&kept);
        }
    }
    std::string text;
    if (int code = subclient->getConfigXML(text)) {
        debug.log(-1, function, "Error obtaining DynamoDB config XML (retCode=%d, xml='%s')", code, text.c_str());
        return 1;
    }
    if (text.empty()) {
        debug.log(-1, function, "DynamoDB config XML is empty, using default values");
    } else {
        rapidjson::Document document;
        if (!parseBoundedJson(document, text) || !document.IsObject()) {
            debug.log(-1, function, "DynamoDB config XML unserialize failed (retCode=%d, xml='%s')", 1, text.c_str());
            return 1;
        }
        auto read = [&document](const char* name, int64_t fallback) {
            auto found = document.FindMember(name);
            return found != document.MemberEnd() && found->value.IsInt64() ? found->value.GetInt64() : fallback;
        };
        config.setIncrementalSupported(read("incrementalSupported", 1) != 0);
        config.setChunkSizeMB(static_cast<int>(read("chunkSizeMB", config.getChunkSizeMB())));
        config.setTemporaryReadThroughput(read("temporaryReadThroughput", 0));
        config.setTemporaryWriteThroughput(read("temporaryWriteThroughput", 0));
    }
    readThroughput = config.getTemporaryReadThroughput();
    return 0;
}

int DynamoDBUtil::InitializeForRestore(unsigned long destinationInstanceId) {
    if (destinationInstanceId == 0) {
        debug.log(-1, "InitializeForRestore", "Invalid destination instance id input");
        return 1;
    }
    const std::string management = ManagementData::loadError();
    if (!management.empty()) {
        debug.log(-1, "InitializeForRestore", "%s", management.c_str());
        return 1;
    }
    AmazonDynamoDBInstance instance(destinationInstanceId);
    return InitFromInstanceProp(instance);
}

int DynamoDBUtil::CreateJobResultsDirectory() {
    const char* function = "CreateJobResultsDirectory";
    const std::string focus = HXPI_Focus::getFocusClientName(true);
    const std::string root = HXPI_CommClient::getJobResultsDirectory(focus);
    if (root.empty()) {
        debug.log(-1, function, "Failed to fetch job results directory for clientname [%s]", focus.c_str());
        return 1;
    }
    const std::string jobPath = root + "/HX_JobResults/2/0/" + std::to_string(jobId);
    std::vector<std::string> files;
    if (GetSubclientDirAndFiles(vardaId, applicationId, files, 1, nullptr) == -1) {
        debug.log(-1, function, "GetSubclientDirAndFiles call failed");
        return 1;
    }
    if (applicationId == 0 || vardaId == 0 || jobId < 1) {
        debug.log(-1, function, "Failed to fetch job results. Invalid subclientid:vardaid inputs for clientname [%s]",
                  focus.c_str());
        return 1;
    }
    jobResultsPath = jobPath;
    subclientDirectory = files.front();
    if (!file_util::makeDirectories(subclientDirectory).empty()) {
        debug.log(-1, function, "Failed to create subclient directory [%s]", subclientDirectory.c_str());
        return 1;
    }
    if (!file_util::makeDirectories(jobResultsPath).empty()) {
        debug.log(-1, function, "Failed to create job results directory [%s]", jobResultsPath.c_str());
        return 1;
    }
    // The job's raw results store: a file our host keeps beside the results.
    if (!file_util::writeAtomically(jobResultsPath + "/JobResults.raw", "").empty()) {
        debug.log(-1, function, "Failed to create job results State file in [%s]", jobResultsPath.c_str());
        return 1;
    }
    return 0;
}

int DynamoDBUtil::GetArgv(const char* commandLine, char**& argv) {
    std::vector<std::string> arguments;
    std::istringstream in(commandLine ? commandLine : "");
    for (std::string argument; in >> argument;) arguments.push_back(argument);
    argv = new char*[arguments.size() + 1];
    for (size_t i = 0; i < arguments.size(); ++i) argv[i] = strdup(arguments[i].c_str());
    argv[arguments.size()] = nullptr;
    return static_cast<int>(arguments.size());
}

void DynamoDBUtil::DeleteArgv(char**& argv) {
    if (!argv) return;
    for (char** argument = argv; *argument; ++argument) std::free(*argument);
    delete[] argv;
    argv = nullptr;
}

int DynamoDBUtil::ExecCmd(const std::string& command, std::string& output, std::string& errors, bool) {
    errors.clear();
    output.clear();
    const std::string full = command + " 2>&1";
    FILE* pipe = ::popen(full.c_str(), "r");
    if (!pipe) return -1;
    char chunk[4096];
    while (size_t got = std::fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, got);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string DynamoDBUtil::getLocalHostName() {
    char name[256] = {0};
    if (::gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

void DynamoDBUtil::criticalEvent(TeskEnvironment& environment, const std::string& text) {
    environment.log("criticalEvent", "event 0x4800006A (critical): " + text);
}

bool DynamoDBUtil::GetHxClientEntityForHost(const std::string& host, HxEntities::ClientEntity& entity) {
    HXClient client(host);
    int64_t id = 0;
    std::string name;
    if (!client.getClientId(id) || !client.getShortName(name)) return false;
    entity.clientId = id;
    entity.clientName = name;
    return true;
}
