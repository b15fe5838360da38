#pragma once
// A table's stream and its shards, and the shard tree written as the
// incremental backup's metadata.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <rapidjson/document.h>

struct Shard {
    std::string shardId;
    std::string parentShardId;
    std::string startingSequenceNumber;
    std::string endingSequenceNumber; // empty while the shard is open
};

class StreamDescription {
public:
    // Reads one "StreamDescription" object; with `clear` the shards read
    // before are dropped, otherwise this page's shards are appended. False
    // when it has no "Shards" array or a shard without an id.
    bool update(const rapidjson::Value& description, bool clear);
    // Empty, or what makes the shard lineage unusable: a shard listed twice,
    // or parents that form a cycle (named shard by shard).
    std::string lineageProblem() const;
    // {"roots":[...],"children":{...},"context":{...},"time":T}, compact,
    // with "stream": the stream's ARN when known, so that the next
    // incremental can tell it still reads the same stream.
    std::string treeToJson(long long time, const std::map<std::string, std::string>& context) const;

    std::vector<Shard> shards;
    std::string streamArn;
    std::string streamStatus;
    std::string streamViewType;
    std::string tableName;
    int64_t creationTime = 0; // CreationRequestDateTime, whole seconds; 0 when not given
};
