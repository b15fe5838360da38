#pragma once
// One GetRecords answer, and the incremental item stream: every stream
// record becomes one line, "UPDATE: " + the new image or "REMOVE: " + the
// keys, with the record's sequence number recorded as the restart text.

#include <cstdint>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "framework/TeskOutput.h"

struct StreamRecord {
    int eventType = 2;    // 0 INSERT, 1 MODIFY, 2 anything else (REMOVE)
    std::string data;     // compact JSON: the keys for a remove, the new image otherwise
    int64_t approximateCreationDateTime = 0;
    std::string sequenceNumber;
};

class GetRecordsResult {
public:
    void assign(const rapidjson::Value& response);

    // Writes each record of `responseBody` to `output` as one line (one
    // putString each, after noteChangeTime with its approximate creation
    // time), recording its sequence number with updateRestart.
    // Stops after a record when the output's stopNow turns true (leaving
    // `nextShardIterator` empty). Returns false when the output refused a
    // line, when the body is not a JSON object with a "Records" array (and a
    // "NextShardIterator" that is text or absent), at a record whose
    // "eventName" is not INSERT, MODIFY or REMOVE, or at a record that lacks
    // "eventName", "dynamodb" or its "SequenceNumber": such a page must not
    // pass for a closed shard or lose its records silently.
    static bool parseToStream(const std::string& responseBody, TeskOutput* output, std::string& nextShardIterator,
                              std::string& lastSequenceNumber, int64_t& approximateCreationDateTime,
                              int& recordCount);

    std::string nextShardIterator; // empty once a closed shard is read to its end
    std::vector<StreamRecord> records;
};
