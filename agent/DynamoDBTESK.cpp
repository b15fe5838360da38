#include "agent/DynamoDBTESK.h"

#include "management/HostEvents.h"

DynamoDBUtil::DynamoDBUtil(std::shared_ptr<LogSink> debugSink)
    : debug(debugSink), environment("", debugSink ? debugSink : stderrLogSink()) {}

DynamoDBUtil::DynamoDBUtil(unsigned int applicationId, unsigned int vardaId, std::shared_ptr<LogSink> debugSink)
    : DynamoDBUtil(std::move(debugSink)) {
    this->applicationId = applicationId;
    this->vardaId = vardaId;
}

DynamoDBUtil::~DynamoDBUtil() = default;

CZoError DynamoDBUtil::getTables(std::vector<App::DynamoDBTable>*& out) {
    out = config.getTables();
    if (out->empty()) return CZO_ERROR(774, "There are no tables in the config");
    return CZoError();
}

void DynamoDBUtil::toRegionTablePair(const std::string& region, const std::string& table, std::string& out) {
    out = region + "\t" + table;
}

void DynamoDBUtil::fromRegionTablePair(const std::string& pair, std::string& region, std::string& table) {
    const size_t tab = pair.find('\t');
    region = pair.substr(0, tab);
    table.clear();
    if (tab == std::string::npos) return;
    const size_t next = pair.find('\t', tab + 1);
    table = pair.substr(tab + 1, next == std::string::npos ? std::string::npos : next - tab - 1);
}

std::string DynamoDBUtil::toTableRegionString(const std::string& region, const std::string& table) {
    return tableRegionText(region, table);
}

void DynamoDBUtil::minorEvent(TeskEnvironment& environment, const std::string& text) {
    raiseMinorEvent(environment, text);
}

void DynamoDBUtil::majorEvent(TeskEnvironment& environment, const std::string& text) {
    raiseMajorEvent(environment, text);
}

