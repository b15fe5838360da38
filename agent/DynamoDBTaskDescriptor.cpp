#include "agent/DynamoDBTaskDescriptor.h"

#include <cinttypes>
#include <cstdio>

#include "agent/StrictNumber.h"

namespace DynamoDBTESK {

namespace {

// Numbers as the controller writes them; one that does not fit is an error.
bool parseInt(const std::string& text, int& value) { return parseStrictInt(text, value); }
bool parseInt64(const std::string& text, int64_t& value) { return parseStrictInt64(text, value); }

} // namespace

void DynamoDBTaskDescriptor::save(DistributedTESK::DINameValue& scratch,
                                  std::vector<DistributedTESK::DINameValue>& out) const {
    const std::pair<const char*, std::string> pairs[] = {
        {"region", region},
        {"tableName", tableName},
        {"threadId", std::to_string(threadId)},
        {"totalThreads", std::to_string(totalThreads)},
        {"streamArn", streamArn},
        {"shardId", shardId},
        {"parentShardId", parentShardId},
        {"startingSequenceNumber", startingSequenceNumber},
        {"endingSequenceNumber", endingSequenceNumber},
        {"timeStarted", std::to_string(timeStarted)},
        {"readThroughput", std::to_string(readThroughput)},
        {"closeAfileAfterTask", closeAfileAfterTask ? "1" : "0"},
        {"JSONDescription", JSONDescription},
        {"RestartContext", RestartContext},
        {"RestoreMetadata", RestoreMetadata},
        {"rootShardId", rootShardId},
    };
    for (const auto& pair : pairs) {
        scratch.set_name(pair.first);
        scratch.set_value(pair.second);
        out.push_back(scratch);
    }
}

CZoError DynamoDBTaskDescriptor::extractValueFromMap(const std::map<std::string, std::string>& values,
                                                     const std::string& name, std::string& out) const {
    auto found = values.find(name);
    if (found == values.end()) {
        EvDebug debug;
        Log(debug);
        return CZO_ERROR(1627, "Value not found in map for name [%s]", name.c_str());
    }
    out = found->second;
    return CZoError();
}

CZoError DynamoDBTaskDescriptor::restore(const std::map<std::string, std::string>& values) {
    const std::pair<const char*, std::string*> texts[] = {
        {"region", &region},
        {"tableName", &tableName},
        {"streamArn", &streamArn},
        {"shardId", &shardId},
        {"parentShardId", &parentShardId},
        {"startingSequenceNumber", &startingSequenceNumber},
        {"endingSequenceNumber", &endingSequenceNumber},
        {"JSONDescription", &JSONDescription},
        {"RestartContext", &RestartContext},
        {"RestoreMetadata", &RestoreMetadata},
    };
    for (const auto& text : texts) {
        CZoError error = extractValueFromMap(values, text.first, *text.second);
        if (!error.ok()) return CZO_PUSH(error);
    }
    std::string text;
    CZoError error;
    auto read = [&](const char* name) {
        error = extractValueFromMap(values, name, text);
        if (!error.ok()) CZO_PUSH(error);
        return error.ok();
    };
    if (!read("threadId")) return error;
    if (!parseInt(text, threadId)) return CZO_ERROR(1627, "Invalid threadId in map [%s]", text.c_str());
    if (!read("totalThreads")) return error;
    if (!parseInt(text, totalThreads)) return CZO_ERROR(1627, "Invalid totalThreads in map [%s]", text.c_str());
    if (!read("timeStarted")) return error;
    if (!parseInt64(text, timeStarted)) return CZO_ERROR(1627, "Invalid timeStarted in map [%s]", text.c_str());
    if (!read("readThroughput")) return error;
    if (!parseInt64(text, readThroughput)) return CZO_ERROR(1627, "Invalid readThroughput in map [%s]", text.c_str());
    if (!read("closeAfileAfterTask")) return error;
    closeAfileAfterTask = text != "0";
    if (!read("rootShardId")) return error;
    rootShardId = text;
    return CZoError();
}

void DynamoDBTaskDescriptor::save(std::vector<std::string>& out) const {
    out = {region,          tableName,
           std::to_string(threadId), std::to_string(totalThreads),
           streamArn,       shardId,
           parentShardId,   startingSequenceNumber,
           endingSequenceNumber, std::to_string(timeStarted),
           std::to_string(readThroughput), JSONDescription,
           RestartContext,  RestoreMetadata,
           rootShardId};
}

bool DynamoDBTaskDescriptor::restore(const std::vector<std::string>& in) {
    if (in.size() != 15) return false;
    region = in[0];
    tableName = in[1];
    if (!parseInt(in[2], threadId) || !parseInt(in[3], totalThreads)) return false;
    streamArn = in[4];
    shardId = in[5];
    parentShardId = in[6];
    startingSequenceNumber = in[7];
    endingSequenceNumber = in[8];
    if (!parseInt64(in[9], timeStarted) || !parseInt64(in[10], readThroughput)) return false;
    JSONDescription = in[11];
    RestartContext = in[12];
    RestoreMetadata = in[13];
    rootShardId = in[14];
    return true;
}

bool DynamoDBTaskDescriptor::operator==(const DynamoDBTaskDescriptor& other) const {
    return region == other.region && tableName == other.tableName && threadId == other.threadId &&
           totalThreads == other.totalThreads && streamArn == other.streamArn && shardId == other.shardId &&
           parentShardId == other.parentShardId && startingSequenceNumber == other.startingSequenceNumber &&
           endingSequenceNumber == other.endingSequenceNumber && timeStarted == other.timeStarted &&
           JSONDescription == other.JSONDescription && RestartContext == other.RestartContext &&
           rootShardId == other.rootShardId;
}

void DynamoDBTaskDescriptor::Log(EvDebug& debug) const {
    debug.log(0, "DynamoDBTaskDescriptor::Log",
              "region[%s] table[%s] thread[%d] totalThreads[%d] streamARN[%s] shardId[%s] parentShardId[%s] "
              "rootShardId[%s] startingSequence[%s] endingSequence [%s] startTime[%lld] readThroughput[%lld]",
              region.c_str(), tableName.c_str(), threadId, totalThreads, streamArn.c_str(), shardId.c_str(),
              parentShardId.c_str(), rootShardId.c_str(), startingSequenceNumber.c_str(),
              endingSequenceNumber.c_str(), static_cast<long long>(timeStarted),
              static_cast<long long>(readThroughput));
}

void BackupRestartInfo::initialize(const std::string& restart) {
    if (restart.empty()) {
        debug.log(0, "initialize", "The restart string is empty");
        return;
    }
    debug.log(0, "initialize", "Restart string from JM: '%s'", restart.c_str());
    std::string text;
    for (size_t i = 0; i < restart.size(); ++i) {
        if (restart.compare(i, 3, "-o ") == 0) {
            text += '@';
            i += 2;
        } else if (restart[i] != ' ') {
            text += restart[i];
        }
    }
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('@', start);
        if (end == std::string::npos) end = text.size();
        const std::string piece = text.substr(start, end - start);
        start = end + 1;
        const size_t bar = piece.find('|');
        if (bar == std::string::npos || piece.find('|', bar + 1) != std::string::npos) continue;
        int collect = 0;
        int64_t parsed = 0;
        // A piece that does not parse gives no offset: that collect starts
        // again from its beginning, which loses nothing.
        if (!parseStrictInt(piece.substr(0, bar), collect) || !parseStrictInt64(piece.substr(bar + 1), parsed)) {
            debug.log(0, "initialize", "Ignoring restart piece [%s]: not collect|offset", piece.c_str());
            continue;
        }
        const long long offset = parsed;
        auto existing = offsets.find(collect);
        if (existing != offsets.end())
            debug.log(0, "initialize", "Replacing offset %lld for collect %d with offset %lld", existing->second,
                      collect, offset);
        offsets[collect] = offset > 0 ? offset - 1 : offset;
    }
}

long long BackupRestartInfo::lookupCollectOffset(int collect) {
    auto found = offsets.find(collect);
    if (found == offsets.end()) {
        debug.log(0, "lookupCollectOffset", "Collect %d restart offset defaults to 0", collect);
        return 0;
    }
    debug.log(0, "lookupCollectOffset", "Collect %d restart offset is %lld", collect, found->second);
    return found->second;
}

} // namespace DynamoDBTESK
