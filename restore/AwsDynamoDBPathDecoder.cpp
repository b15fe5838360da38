#include "restore/AwsDynamoDBPathDecoder.h"

#include <cstdlib>

void AwsDynamoDBPathDecoder::splitPath(const std::string& path, const std::set<char>& separators,
                                       std::vector<std::string>& parts) {
    std::string current;
    for (char c : path) {
        if (separators.count(c)) {
            if (!current.empty()) parts.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) parts.push_back(current);
}

int AwsDynamoDBPathDecoder::initialize(const std::string& path) {
    *this = AwsDynamoDBPathDecoder();
    if (path.empty()) return -1;
    std::vector<std::string> parts;
    splitPath(path, {'/', '\\'}, parts);
    const int count = static_cast<int>(parts.size());
    if (count == 0 || count > 6) return -1;
    region = parts[0];
    if (count == 1) return 1;
    tableName = parts[1];
    if (count == 2) return 2;

    const std::string& job = parts[2];
    if (job[0] == 'F')
        incremental = false;
    else if (job[0] == 'I')
        incremental = true;
    else
        return -1;
    jobId = std::atoll(job.c_str() + 1);
    if (jobId < 1) return -1;
    if (count == 3) return 3;
    if (count == 5) {
        chunkNumber = std::atoi(parts[4].c_str());
        if (chunkNumber < 1) return -1;
    }
    if (incremental) {
        shardId = parts[3];
    } else {
        scanNumber = std::atoi(parts[3].c_str());
        if (scanNumber < 1) return -1;
    }
    if (count == 6) {
        afileId = std::atoll(parts[5].c_str());
        return afileId >= 1 ? 6 : -1;
    }
    return count;
}

std::string AwsDynamoDBPathDecoder::toPath(const std::string& region, const std::string& table, bool incremental,
                                           int64_t jobId, const std::string& separator) {
    return separator + region + separator + table + separator + (incremental ? "I" : "F") + std::to_string(jobId);
}

void AwsDynamoDBPathDecoder::test() {
    AwsDynamoDBPathDecoder decoder;
    for (const char* path : {"/", "\\", "", "\\reg\\tab", "/reg/tab/F40", "\\reg\\tab\\I80", "\\reg\\tab\\I90\\Shard1",
                             "/reg/tab/F80/4", "/reg1/tab1/F50/3/17", "\\reg2\\tab2\\I81\\Shard2\\1"})
        decoder.initialize(path);
}
