#pragma once
// The host's management data, as our host keeps it: one JSON document (the
// file named by DDB_MANAGEMENT, or one a host or test installs) describing
// clients, applications, instances, subclients and backup sets:
//   {"focusClient":"c1", "jobResultsRoot":"/var/ddb/results",
//    "clients":{"c1":{"id":7,"shortName":"c1","hostName":"host1"}},
//    "applications":{"2:17":{"instance":5,"client":"c1","subclient":17,"backupSet":3,"appType":64,
//                             "subclientDirectory":"/var/ddb/subclients/17"}},
//    "instances":{"5":{"accessKey":"AKID","secretKey":"<base64>","readThroughput":100,
//                      "writeThroughput":50,"regions":["us-east-1"]}},
//    "subclients":{"17":{"default":false,"allTables":false,"tables":[{"region":"r","table":"t"}],
//                        "config":"{\"chunkSizeMB\":8}"}},
//    "backupSets":{"3":{"subclients":[17,18]}}}
// Secret keys are kept base64-encoded: an encoding, not encryption, so the
// file must be readable by the agent only.
// Thread safety: the installed document is guarded and read-only once set.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "management/CZoError.h"
#include "framework/HostMessages.h"

class ManagementData {
public:
    // The document in use: the installed one, else DDB_MANAGEMENT's file
    // (read once), else an empty one.
    static std::shared_ptr<const rapidjson::Document> current();
    // Why DDB_MANAGEMENT's file could not be used (unreadable, or not a
    // JSON object: with the byte where its text goes wrong); empty when it
    // was, or when none is named. Jobs refuse to start while it is set.
    static std::string loadError();
    // Installs a document from text; false when it is not a JSON object.
    static bool install(const std::string& text);
    static void clear();
};

class AmazonDynamoDBInstance {
public:
    explicit AmazonDynamoDBInstance(uint64_t id) : id_(id) {}
    int getAccessKey(std::string& key) const;
    int getSecretKey(std::string& encrypted) const;
    int getTemporaryReadThroughput(int64_t& value) const;
    int getTemporaryWriteThroughput(int64_t& value) const;
    int getRegionEndPoints(std::vector<std::string>& regions) const;
    // The instance's entry; `holder` keeps the document alive while it is read.
    const rapidjson::Value* entry(std::shared_ptr<const rapidjson::Document>& holder) const;

private:
    uint64_t id_;
};

class Subclient {
public:
    explicit Subclient(uint64_t id) : id_(id) {}
    uint64_t id() const { return id_; }
    int isDefaultSubclient(bool& isDefault) const;
    int getConfigXML(std::string& text) const;

private:
    uint64_t id_;
};

class ApplicationId {
public:
    ApplicationId(uint64_t vardaId, uint64_t applicationId) : vardaId_(vardaId), applicationId_(applicationId) {}
    bool exists() const;
    uint64_t instanceId() const;
    // 0 with the client's name, non-zero when the application has none.
    int getClientName(std::string& name) const;
    // Null when the application has no subclient.
    std::unique_ptr<Subclient> subclient() const;
    uint64_t backupSetId() const; // 0: none
    int getAppType() const;
    std::string subclientDirectory() const;

private:
    uint64_t vardaId_;
    uint64_t applicationId_;
};

class CAmazonDynamoDBInfo {
public:
    CZoError ExpandDynamoSubclientContent(uint64_t subclientId, const std::vector<std::string>& regions,
                                          std::vector<App::DynamoDBTable>& tables, bool& allTables);
};

class ClientApplicationList {
public:
    static int getSubclientList(std::vector<uint64_t>& ids, std::vector<std::string>& names, int appType,
                                uint64_t backupSetId, const char* reserved, int flags);
};

class HXPassword {
public:
    // Decodes a stored secret into `buffer` (at most *size bytes); *size
    // receives its length. False for text that is not a stored secret.
    static bool decrypt(const std::string& encrypted, char* buffer, unsigned int* size);
};

class HXPI_Focus {
public:
    static std::string getFocusClientName(bool);
};

class HXClient {
public:
    explicit HXClient(std::string name) : name_(std::move(name)) {}
    int lookup() const; // 0 when the client is known
    bool getNetworkHostname(std::string& host) const;
    bool getClientId(int64_t& id) const;
    bool getShortName(std::string& name) const;

private:
    std::string name_;
};

class HXPI_CommClient {
public:
    static std::string getJobResultsDirectory(const std::string& clientName);
};

// The subclient directory of an application; -1 on failure.
int GetSubclientDirAndFiles(uint64_t vardaId, uint64_t applicationId, std::vector<std::string>& files, int, const char*);
