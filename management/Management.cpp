#include "management/Management.h"

#include <openssl/evp.h>
#include <rapidjson/error/en.h>

#include <cstdlib>
#include <mutex>

#include "platform/FileUtil.h"

namespace {

std::mutex documentMutex;
std::shared_ptr<const rapidjson::Document>& installed() { // guarded by documentMutex
    static std::shared_ptr<const rapidjson::Document> document;
    return document;
}
std::string& fileError() { // guarded by documentMutex
    static std::string error;
    return error;
}

// Why `text` is not a JSON object, or empty.
std::string parseProblem(const std::string& text) {
    rapidjson::Document document;
    document.Parse(text.c_str(), text.size());
    if (document.HasParseError())
        return std::string("it is not valid JSON at byte ") + std::to_string(document.GetErrorOffset()) + ": " +
               rapidjson::GetParseError_En(document.GetParseError());
    return document.IsObject() ? "" : "it is not a JSON object";
}

std::shared_ptr<rapidjson::Document> parse(const std::string& text) {
    auto document = std::make_shared<rapidjson::Document>();
    document->Parse(text.c_str(), text.size());
    if (document->HasParseError() || !document->IsObject()) return nullptr;
    return document;
}

const rapidjson::Value* member(const rapidjson::Value* object, const std::string& name) {
    if (!object || !object->IsObject()) return nullptr;
    auto found = object->FindMember(rapidjson::StringRef(name.c_str(), name.size()));
    return found == object->MemberEnd() ? nullptr : &found->value;
}

const rapidjson::Value* section(const rapidjson::Document& document, const char* kind, const std::string& key) {
    return member(member(&document, kind), key);
}

std::string text(const rapidjson::Value* object, const char* name) {
    const rapidjson::Value* value = member(object, name);
    return value && value->IsString() ? value->GetString() : "";
}

int64_t number(const rapidjson::Value* object, const char* name, int64_t fallback = 0) {
    const rapidjson::Value* value = member(object, name);
    return value && value->IsInt64() ? value->GetInt64() : fallback;
}

} // namespace

std::shared_ptr<const rapidjson::Document> ManagementData::current() {
    std::lock_guard<std::mutex> guard(documentMutex);
    if (!installed()) {
        std::string content;
        const char* path = std::getenv("DDB_MANAGEMENT");
        std::shared_ptr<rapidjson::Document> document;
        fileError().clear();
        if (path && *path) {
            if (!file_util::readFile(path, content))
                fileError() = "the management file " + std::string(path) + " (DDB_MANAGEMENT) cannot be read: " +
                              file_util::lastErrorText();
            else if (!(document = parse(content)))
                fileError() = "the management file " + std::string(path) + " (DDB_MANAGEMENT) is unusable: " +
                              parseProblem(content);
        }
        if (!document) document = parse("{}");
        installed() = document;
    }
    return installed();
}

bool ManagementData::install(const std::string& content) {
    auto document = parse(content);
    if (!document) return false;
    std::lock_guard<std::mutex> guard(documentMutex);
    installed() = document;
    return true;
}

void ManagementData::clear() {
    std::lock_guard<std::mutex> guard(documentMutex);
    installed().reset();
    fileError().clear();
}

std::string ManagementData::loadError() {
    current();
    std::lock_guard<std::mutex> guard(documentMutex);
    return fileError();
}

const rapidjson::Value* AmazonDynamoDBInstance::entry(std::shared_ptr<const rapidjson::Document>& holder) const {
    holder = ManagementData::current();
    return section(*holder, "instances", std::to_string(id_));
}

namespace {

// Reads one value of an instance; 2 when the instance is unknown.
template <class Read>
int readInstance(const AmazonDynamoDBInstance& instance, Read read) {
    std::shared_ptr<const rapidjson::Document> holder;
    const rapidjson::Value* found = instance.entry(holder);
    if (!found) return 2;
    return read(found);
}

} // namespace

int AmazonDynamoDBInstance::getAccessKey(std::string& key) const {
    return readInstance(*this, [&](const rapidjson::Value* v) { key = text(v, "accessKey"); return 0; });
}

int AmazonDynamoDBInstance::getSecretKey(std::string& encrypted) const {
    return readInstance(*this, [&](const rapidjson::Value* v) { encrypted = text(v, "secretKey"); return 0; });
}

int AmazonDynamoDBInstance::getTemporaryReadThroughput(int64_t& value) const {
    return readInstance(*this, [&](const rapidjson::Value* v) { value = number(v, "readThroughput"); return 0; });
}

int AmazonDynamoDBInstance::getTemporaryWriteThroughput(int64_t& value) const {
    return readInstance(*this, [&](const rapidjson::Value* v) { value = number(v, "writeThroughput"); return 0; });
}

int AmazonDynamoDBInstance::getRegionEndPoints(std::vector<std::string>& regions) const {
    return readInstance(
        *this,
        [&](const rapidjson::Value* v) {
            const rapidjson::Value* list = member(v, "regions");
            if (!list || !list->IsArray()) return 2;
            for (const auto& region : list->GetArray())
                if (region.IsString()) regions.push_back(region.GetString());
            return 0;
        });
}

int Subclient::isDefaultSubclient(bool& isDefault) const {
    auto holder = ManagementData::current();
    const rapidjson::Value* subclient = section(*holder, "subclients", std::to_string(id_));
    if (!subclient) return 2;
    const rapidjson::Value* flag = member(subclient, "default");
    isDefault = flag && flag->IsBool() && flag->GetBool();
    return 0;
}

int Subclient::getConfigXML(std::string& config) const {
    auto holder = ManagementData::current();
    const rapidjson::Value* subclient = section(*holder, "subclients", std::to_string(id_));
    if (!subclient) return 2;
    config = text(subclient, "config");
    return 0;
}

namespace {
const rapidjson::Value* application(const rapidjson::Document& document, uint64_t vardaId, uint64_t applicationId) {
    return section(document, "applications", std::to_string(vardaId) + ":" + std::to_string(applicationId));
}
} // namespace

bool ApplicationId::exists() const {
    auto holder = ManagementData::current();
    return application(*holder, vardaId_, applicationId_) != nullptr;
}

uint64_t ApplicationId::instanceId() const {
    auto holder = ManagementData::current();
    return static_cast<uint64_t>(number(application(*holder, vardaId_, applicationId_), "instance"));
}

int ApplicationId::getClientName(std::string& name) const {
    auto holder = ManagementData::current();
    name = text(application(*holder, vardaId_, applicationId_), "client");
    return name.empty() ? 3 : 0;
}

std::unique_ptr<Subclient> ApplicationId::subclient() const {
    auto holder = ManagementData::current();
    const int64_t id = number(application(*holder, vardaId_, applicationId_), "subclient");
    return id > 0 ? std::make_unique<Subclient>(static_cast<uint64_t>(id)) : nullptr;
}

uint64_t ApplicationId::backupSetId() const {
    auto holder = ManagementData::current();
    return static_cast<uint64_t>(number(application(*holder, vardaId_, applicationId_), "backupSet"));
}

int ApplicationId::getAppType() const {
    auto holder = ManagementData::current();
    return static_cast<int>(number(application(*holder, vardaId_, applicationId_), "appType"));
}

std::string ApplicationId::subclientDirectory() const {
    auto holder = ManagementData::current();
    return text(application(*holder, vardaId_, applicationId_), "subclientDirectory");
}

CZoError CAmazonDynamoDBInfo::ExpandDynamoSubclientContent(uint64_t subclientId, const std::vector<std::string>&,
                                                           std::vector<App::DynamoDBTable>& tables, bool& allTables) {
    auto holder = ManagementData::current();
    const rapidjson::Value* subclient = section(*holder, "subclients", std::to_string(subclientId));
    if (!subclient) return CZO_ERROR(1168, "subclient %llu not found", static_cast<unsigned long long>(subclientId));
    const rapidjson::Value* all = member(subclient, "allTables");
    allTables = all && all->IsBool() && all->GetBool();
    tables.clear();
    const rapidjson::Value* list = member(subclient, "tables");
    if (list && list->IsArray())
        for (const auto& entry : list->GetArray()) tables.push_back({text(&entry, "region"), text(&entry, "table")});
    return CZoError();
}

int ClientApplicationList::getSubclientList(std::vector<uint64_t>& ids, std::vector<std::string>& names, int,
                                            uint64_t backupSetId, const char*, int) {
    auto holder = ManagementData::current();
    const rapidjson::Value* list = member(section(*holder, "backupSets", std::to_string(backupSetId)), "subclients");
    if (!list || !list->IsArray()) return 2;
    for (const auto& id : list->GetArray()) {
        if (!id.IsUint64()) continue;
        ids.push_back(id.GetUint64());
        names.push_back("subclient-" + std::to_string(id.GetUint64()));
    }
    return 0;
}

bool HXPassword::decrypt(const std::string& encrypted, char* buffer, unsigned int* size) {
    if (!buffer || !size || encrypted.size() % 4 != 0) return false;
    std::string decoded(encrypted.size() / 4 * 3 + 1, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&decoded[0]),
                                       reinterpret_cast<const unsigned char*>(encrypted.data()),
                                       static_cast<int>(encrypted.size()));
    if (length < 0) return false;
    size_t padding = 0;
    while (padding < 2 && padding < encrypted.size() && encrypted[encrypted.size() - 1 - padding] == '=') ++padding;
    const size_t real = static_cast<size_t>(length) - padding;
    if (real > *size) return false;
    std::copy(decoded.begin(), decoded.begin() + static_cast<long>(real), buffer);
    *size = static_cast<unsigned int>(real);
    return true;
}

std::string HXPI_Focus::getFocusClientName(bool) { return text(ManagementData::current().get(), "focusClient"); }

int HXClient::lookup() const {
    auto holder = ManagementData::current();
    return section(*holder, "clients", name_) ? 0 : 2;
}

bool HXClient::getNetworkHostname(std::string& host) const {
    auto holder = ManagementData::current();
    host = text(section(*holder, "clients", name_), "hostName");
    return !host.empty();
}

bool HXClient::getClientId(int64_t& id) const {
    auto holder = ManagementData::current();
    const rapidjson::Value* client = section(*holder, "clients", name_);
    if (!client) return false;
    id = number(client, "id");
    return true;
}

bool HXClient::getShortName(std::string& name) const {
    auto holder = ManagementData::current();
    name = text(section(*holder, "clients", name_), "shortName");
    return !name.empty();
}

std::string HXPI_CommClient::getJobResultsDirectory(const std::string&) {
    return text(ManagementData::current().get(), "jobResultsRoot");
}

int GetSubclientDirAndFiles(uint64_t vardaId, uint64_t applicationId, std::vector<std::string>& files, int,
                            const char*) {
    const std::string directory = ApplicationId(vardaId, applicationId).subclientDirectory();
    if (directory.empty()) return -1;
    files.assign(1, directory);
    return 0;
}
