#pragma once
// One Scan exchange, and the full-backup item stream: each page of a Scan
// answer becomes one compact JSON line per item on a backup output, followed
// by the page's restart text (its LastEvaluatedKey, empty at the end).

#include <cstdint>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "framework/TeskOutput.h"

class ScanRequest {
public:
    // The Scan body: TableName, Segment, TotalSegments and, when it has
    // members, ExclusiveStartKey. Nothing else is ever sent.
    std::string asJson() const;

    std::string tableName;
    rapidjson::Document exclusiveStartKey; // null or an object
    int64_t segment = 0;
    int64_t totalSegments = 1;
};

class ScanResult {
public:
    explicit ScanResult(const rapidjson::Value& response);
    ScanResult(const ScanResult& other);
    void assign(const rapidjson::Value& response);

    // Writes one page of `responseBody` to `output` with one putString, then
    // records the restart text with updateRestart and returns it in
    // `lastEvaluatedKey`. False, with nothing recorded, when the output
    // refused the page or the body is not such a page: a JSON object, each
    // member once, with an "Items" array of objects (as many as its "Count")
    // and a "LastEvaluatedKey" object or none. A page that cannot be read
    // must never pass for the end of the segment.
    static bool parseToStream(const std::string& responseBody, TeskOutput* output, std::string& lastEvaluatedKey);
    // The same, with the same lines, but the body's bytes may become them:
    // it is left changed. For a caller that is done with the answer.
    static bool parseToStreamInPlace(std::string& responseBody, TeskOutput* output, std::string& lastEvaluatedKey);

    std::vector<std::string> items;
    rapidjson::Document lastEvaluatedKey; // empty (null) when the answer had none
};
