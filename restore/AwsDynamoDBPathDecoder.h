#pragma once
// Decodes the paths under which backed-up data is addressed:
//   region / table / F<job> / scan number [/ chunk [/ archive-file id]]
//   region / table / I<job> / shard id    [/ chunk [/ archive-file id]]
// with "/" or "\" as separators, and builds the job-level prefix of such paths.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

class AwsDynamoDBPathDecoder {
public:
    AwsDynamoDBPathDecoder() = default;
    virtual ~AwsDynamoDBPathDecoder() = default;

    // The number of components (1 to 6) of a valid path, -1 otherwise (the
    // fields then hold whatever was read before the fault).
    int initialize(const std::string& path);
    static void splitPath(const std::string& path, const std::set<char>& separators, std::vector<std::string>& parts);
    // separator + region + separator + table + separator + ("I" or "F") + job
    static std::string toPath(const std::string& region, const std::string& table, bool incremental, int64_t jobId,
                              const std::string& separator);
    // Decodes a fixed set of sample paths (a self-exercise; results ignored).
    static void test();

    std::string getRegion() const { return region; }
    std::string getTableName() const { return tableName; }
    std::string getShardId() const { return shardId; }
    int64_t getJobId() const { return jobId; }
    int64_t getAfileId() const { return afileId; }
    int getScanNumber() const { return scanNumber; }
    int getChunkNumber() const { return chunkNumber; }
    bool isIncremental() const { return incremental; }

private:
    std::string region;
    std::string tableName;
    int64_t jobId = -1;
    int scanNumber = -1;
    std::string shardId;
    int chunkNumber = -1;
    int64_t afileId = -1;
    bool incremental = false;
};
