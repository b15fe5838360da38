#include "store/BackupManifest.h"

#include "store/ChunkCodec.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "text/BoundedJson.h"

#include <algorithm>
#include <cstdint>

std::string BackupManifest::directoryName() const { return (incremental() ? "I" : "F") + std::to_string(jobId); }

uint64_t BackupManifest::totalBytes() const {
    uint64_t total = 0;
    for (const auto& segment : segments)
        for (const auto& chunk : segment.second.chunks) total += chunk.bytes;
    for (const auto& shard : shards)
        for (const auto& chunk : shard.second.chunks) total += chunk.bytes;
    return total;
}

uint64_t BackupManifest::totalLines() const {
    uint64_t total = 0;
    for (const auto& segment : segments)
        for (const auto& chunk : segment.second.chunks) total += chunk.lines;
    for (const auto& shard : shards)
        for (const auto& chunk : shard.second.chunks) total += chunk.lines;
    return total;
}

bool BackupManifest::allSegmentsScanned() const {
    if (segments.size() != segmentCount) return false;
    for (const auto& segment : segments)
        if (!segment.second.closed || !segment.second.restart.empty()) return false;
    return true;
}

bool BackupManifest::changeTimesRecorded() const {
    for (const auto& shard : shards)
        if (!shard.second.timesRecorded) return false;
    return true;
}

int64_t BackupManifest::latestChangeTime(int64_t fallback) const {
    bool any = false;
    int64_t latest = 0;
    for (const auto& shard : shards) {
        if (!shard.second.timesRecorded) return fallback;
        for (const auto& mark : shard.second.times) {
            latest = any ? std::max(latest, mark.time) : mark.time;
            any = true;
        }
    }
    return any ? latest : fallback;
}

namespace {

void writeChunks(rapidjson::Writer<rapidjson::StringBuffer>& writer, const std::vector<ChunkRecord>& chunks) {
    writer.Key("chunks");
    writer.StartArray();
    for (const auto& chunk : chunks) {
        writer.StartObject();
        writer.Key("number");
        writer.Int(chunk.number);
        writer.Key("bytes");
        writer.Uint64(chunk.bytes);
        writer.Key("lines");
        writer.Uint64(chunk.lines);
        writer.Key("sha256");
        writer.String(chunk.sha256.c_str(), static_cast<rapidjson::SizeType>(chunk.sha256.size()));
        writer.EndObject();
    }
    writer.EndArray();
}

} // namespace

std::string BackupManifest::toJson() const {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    auto text = [&writer](const char* key, const std::string& value) {
        writer.Key(key);
        writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
    };
    writer.StartObject();
    writer.Key("version");
    writer.Int(codec.empty() ? version : kCompressedVersion);
    text("level", level);
    if (!codec.empty()) text("codec", codec);
    text("table", table);
    text("region", region);
    writer.Key("job");
    writer.Int64(jobId);
    writer.Key("startTime");
    writer.Int64(startTime);
    writer.Key("endTime");
    writer.Int64(endTime);
    writer.Key("segmentCount");
    writer.Uint(segmentCount);
    text("status", status);
    if (!failure.empty()) text("failure", failure);
    writer.Key("segments");
    writer.StartArray();
    for (const auto& entry : segments) {
        const SegmentRecord& segment = entry.second;
        writer.StartObject();
        writer.Key("index");
        writer.Int(segment.index);
        writer.Key("closed");
        writer.Bool(segment.closed);
        text("restart", segment.restart);
        writeChunks(writer, segment.chunks);
        writer.EndObject();
    }
    writer.EndArray();
    if (!files.empty()) {
        writer.Key("files");
        writer.StartArray();
        for (const auto& entry : files) {
            writer.StartObject();
            text("name", entry.second.name);
            writer.Key("bytes");
            writer.Uint64(entry.second.bytes);
            text("sha256", entry.second.sha256);
            writer.EndObject();
        }
        writer.EndArray();
    }
    if (incremental()) {
        writer.Key("previousJob");
        writer.Int64(previousJob);
        if (afterFull >= 0) {
            writer.Key("afterFull");
            writer.Int64(afterFull);
        }
        writer.Key("shards");
        writer.StartArray();
        for (const auto& entry : shards) {
            writer.StartObject();
            text("id", entry.second.id);
            writer.Key("closed");
            writer.Bool(entry.second.closed);
            text("state", entry.second.state);
            writeChunks(writer, entry.second.chunks);
            if (entry.second.timesRecorded) {
                writer.Key("times");
                writer.StartArray();
                for (const auto& mark : entry.second.times) {
                    writer.StartArray();
                    writer.Uint64(mark.line);
                    writer.Int64(mark.time);
                    writer.EndArray();
                }
                writer.EndArray();
            }
            writer.EndObject();
        }
        writer.EndArray();
    }
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

namespace {

bool readString(const rapidjson::Value& object, const char* name, std::string& out) {
    auto found = object.FindMember(name);
    if (found == object.MemberEnd() || !found->value.IsString()) return false;
    out.assign(found->value.GetString(), found->value.GetStringLength());
    return true;
}

bool readInt64(const rapidjson::Value& object, const char* name, int64_t& out) {
    auto found = object.FindMember(name);
    if (found == object.MemberEnd() || !found->value.IsInt64()) return false;
    out = found->value.GetInt64();
    return true;
}

bool readUint64(const rapidjson::Value& object, const char* name, uint64_t& out) {
    auto found = object.FindMember(name);
    if (found == object.MemberEnd() || !found->value.IsUint64()) return false;
    out = found->value.GetUint64();
    return true;
}

bool readChunks(const rapidjson::Value& owner, std::vector<ChunkRecord>& chunks) {
    auto list = owner.FindMember("chunks");
    if (list == owner.MemberEnd() || !list->value.IsArray()) return false;
    for (const auto& chunkValue : list->value.GetArray()) {
        ChunkRecord chunk;
        int64_t number = 0;
        if (!chunkValue.IsObject() || !readInt64(chunkValue, "number", number) || number < 1 ||
            !readUint64(chunkValue, "bytes", chunk.bytes) || !readUint64(chunkValue, "lines", chunk.lines) ||
            !readString(chunkValue, "sha256", chunk.sha256))
            return false;
        // Numbered from 1 up, each once: a repeated or out-of-order chunk
        // would be restored twice or in the wrong order.
        if (number > INT32_MAX || (!chunks.empty() && number <= chunks.back().number)) return false;
        chunk.number = static_cast<int>(number);
        chunks.push_back(chunk);
    }
    return true;
}

// Marks in line order, each within the shard's lines.
bool readTimes(const rapidjson::Value& owner, ShardRecord& shard) {
    auto list = owner.FindMember("times");
    if (list == owner.MemberEnd()) return true; // written before marks were kept
    if (!list->value.IsArray()) return false;
    uint64_t lines = 0;
    for (const auto& chunk : shard.chunks) lines += chunk.lines;
    for (const auto& element : list->value.GetArray()) {
        if (!element.IsArray() || element.Size() != 2 || !element[0].IsUint64() || !element[1].IsInt64()) return false;
        TimeMark mark{element[0].GetUint64(), element[1].GetInt64()};
        if (mark.line >= lines || mark.time < 0 || (!shard.times.empty() && mark.line <= shard.times.back().line))
            return false;
        shard.times.push_back(mark);
    }
    shard.timesRecorded = true;
    return true;
}

} // namespace

bool BackupManifest::fromJson(const std::string& text, BackupManifest& manifest, std::string& error) {
    rapidjson::Document document;
    if (!parseBoundedJson(document, text) || !document.IsObject()) {
        error = "not a JSON object";
        return false;
    }
    BackupManifest read;
    int64_t version = 0;
    int64_t segmentCount = 0;
    if (!readInt64(document, "version", version) || version < 1) {
        error = "no version";
        return false;
    }
    if (version > kCompressedVersion) {
        error = "written by a newer version (" + std::to_string(version) + ")";
        return false;
    }
    read.version = static_cast<int>(version);
    if (!readString(document, "level", read.level) || !readString(document, "table", read.table) ||
        !readString(document, "region", read.region) || !readInt64(document, "job", read.jobId) ||
        !readInt64(document, "startTime", read.startTime) || !readInt64(document, "endTime", read.endTime) ||
        !readInt64(document, "segmentCount", segmentCount) || segmentCount < 0 ||
        !readString(document, "status", read.status)) {
        error = "a required member is missing or of the wrong type";
        return false;
    }
    auto codec = document.FindMember("codec");
    if (codec != document.MemberEnd()) {
        if (!codec->value.IsString() || std::string(codec->value.GetString()) != kZstdCodec) {
            error = "unknown chunk codec";
            return false;
        }
        read.codec = kZstdCodec;
    }
    // Compressed chunks are announced by the version, so that readers that
    // know no codec refuse them instead of reading them as lines.
    if ((version == kCompressedVersion) != !read.codec.empty()) {
        error = read.codec.empty() ? "version 2 without a chunk codec" : "a chunk codec in a version 1 manifest";
        return false;
    }
    if (read.level != "full" && read.level != "incremental") {
        error = "unknown level '" + read.level + "'";
        return false;
    }
    if (read.status != "running" && read.status != "stopped" && read.status != "failed" && read.status != "complete") {
        error = "unknown status '" + read.status + "'";
        return false;
    }
    if (read.jobId < 1 || read.startTime < 0 || read.endTime < 0 || segmentCount > kMaxSegments ||
        (read.incremental() && segmentCount != 0)) {
        error = "a job id, time or segment count is out of range";
        return false;
    }
    read.segmentCount = static_cast<unsigned>(segmentCount);
    readString(document, "failure", read.failure);
    auto segments = document.FindMember("segments");
    if (segments == document.MemberEnd() || !segments->value.IsArray()) {
        error = "no segments array";
        return false;
    }
    for (const auto& element : segments->value.GetArray()) {
        SegmentRecord segment;
        int64_t index = 0;
        auto closed = element.IsObject() ? element.FindMember("closed") : rapidjson::Value::ConstMemberIterator();
        if (!element.IsObject() || !readInt64(element, "index", index) || index < 0 ||
            closed == element.MemberEnd() || !closed->value.IsBool() || !readString(element, "restart", segment.restart)) {
            error = "a segment entry is malformed";
            return false;
        }
        if (index >= segmentCount || read.segments.count(static_cast<int>(index))) {
            error = "segment " + std::to_string(index) + " is out of range or listed twice";
            return false;
        }
        segment.index = static_cast<int>(index);
        segment.closed = closed->value.GetBool();
        if (!readChunks(element, segment.chunks)) {
            error = "the chunks of segment " + std::to_string(index) + " are malformed";
            return false;
        }
        read.segments[segment.index] = std::move(segment);
    }
    auto files = document.FindMember("files");
    if (files != document.MemberEnd()) {
        if (!files->value.IsArray()) {
            error = "files is not an array";
            return false;
        }
        for (const auto& element : files->value.GetArray()) {
            FileRecord file;
            if (!element.IsObject() || !readString(element, "name", file.name) ||
                !readUint64(element, "bytes", file.bytes) || !readString(element, "sha256", file.sha256)) {
                error = "a file entry is malformed";
                return false;
            }
            if (read.files.count(file.name)) {
                error = "file " + file.name + " is listed twice";
                return false;
            }
            read.files[file.name] = std::move(file);
        }
    }
    if (read.incremental()) {
        readInt64(document, "previousJob", read.previousJob);
        readInt64(document, "afterFull", read.afterFull);
        auto shards = document.FindMember("shards");
        if (shards == document.MemberEnd() || !shards->value.IsArray()) {
            error = "no shards array";
            return false;
        }
        for (const auto& element : shards->value.GetArray()) {
            ShardRecord shard;
            auto closed = element.IsObject() ? element.FindMember("closed") : rapidjson::Value::ConstMemberIterator();
            if (!element.IsObject() || !readString(element, "id", shard.id) || closed == element.MemberEnd() ||
                !closed->value.IsBool() || !readString(element, "state", shard.state) ||
                !readChunks(element, shard.chunks)) {
                error = "a shard entry is malformed";
                return false;
            }
            if (!readTimes(element, shard)) {
                error = "the time marks of shard " + shard.id + " are malformed";
                return false;
            }
            shard.closed = closed->value.GetBool();
            if (read.shards.count(shard.id)) {
                error = "shard " + shard.id + " is listed twice";
                return false;
            }
            read.shards[shard.id] = std::move(shard);
        }
    }
    manifest = std::move(read);
    return true;
}
