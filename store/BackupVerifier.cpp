#include "store/BackupVerifier.h"

#include "store/ChunkCodec.h"

#include <cstring>
#include <set>
#include <vector>

#include <rapidjson/document.h>

#include "text/BoundedJson.h"
#include "platform/Crypto.h"

namespace {

bool isAttributeValue(const rapidjson::Value& value, std::string& why, int depth);

bool isStringSet(const rapidjson::Value& value) {
    if (!value.IsArray()) return false;
    for (const auto& element : value.GetArray())
        if (!element.IsString()) return false;
    return true;
}

bool isAttributeMap(const rapidjson::Value& value, std::string& why, int depth) {
    if (!value.IsObject()) {
        why = "not an object";
        return false;
    }
    for (const auto& member : value.GetObject())
        if (!isAttributeValue(member.value, why, depth + 1)) {
            why = "attribute '" + std::string(member.name.GetString()) + "': " + why;
            return false;
        }
    return true;
}

bool isAttributeValue(const rapidjson::Value& value, std::string& why, int depth) {
    if (depth > 64) {
        why = "nested too deeply";
        return false;
    }
    if (!value.IsObject() || value.MemberCount() != 1) {
        why = "not a typed attribute value";
        return false;
    }
    const auto& member = *value.MemberBegin();
    const std::string type = member.name.GetString();
    const rapidjson::Value& content = member.value;
    bool ok = false;
    if (type == "S" || type == "N" || type == "B")
        ok = content.IsString();
    else if (type == "SS" || type == "NS" || type == "BS")
        ok = isStringSet(content);
    else if (type == "BOOL")
        ok = content.IsBool();
    else if (type == "NULL")
        ok = content.IsBool() && content.GetBool();
    else if (type == "M")
        return isAttributeMap(content, why, depth);
    else if (type == "L") {
        if (!content.IsArray()) {
            why = "L is not an array";
            return false;
        }
        for (const auto& element : content.GetArray())
            if (!isAttributeValue(element, why, depth + 1)) return false;
        return true;
    } else {
        why = "unknown type '" + type + "'";
        return false;
    }
    if (!ok) why = "a " + type + " value of the wrong JSON type";
    return ok;
}

} // namespace

bool isDynamoDBItem(const std::string& line, std::string& why) {
    rapidjson::Document item;
    if (!parseBoundedJson(item, line)) {
        why = "not JSON";
        return false;
    }
    if (!item.IsObject() || item.MemberCount() == 0) {
        why = "not an item object";
        return false;
    }
    return isAttributeMap(item, why, 0);
}

namespace {

// An incremental line: "UPDATE: " + item, or "REMOVE: " + the item's key.
bool isChangeLine(const std::string& line, std::string& why) {
    if (line.compare(0, 8, "UPDATE: ") != 0 && line.compare(0, 8, "REMOVE: ") != 0) {
        why = "neither an UPDATE nor a REMOVE line";
        return false;
    }
    return isDynamoDBItem(line.substr(8), why);
}

struct Stream {
    const BackupStore::Job& job;
    std::string name; // below the job's folder
    const std::vector<ChunkRecord>* chunks;
    std::atomic<uint64_t>* bytesRead;
};

void verifyChunks(const Stream& stream, bool changes, VerifyDepth depth, VerifyReport& report) {
    std::vector<char> buffer(1 << 20);
    std::string why;
    StoreBackend& backend = *stream.job.backend;
    // Compressed chunks are proven by their stored bytes' hash; their lines
    // are only looked at when the lines themselves are checked.
    const bool compressed = !stream.job.manifest.codec.empty();
    const bool readLines = !compressed || depth == VerifyDepth::Lines;
    ChunkDecompressor decompressor;
    std::string decoded;
    for (const auto& chunk : *stream.chunks) {
        const std::string key = BackupStore::chunkPath(keyJoin(stream.job.key, stream.name), chunk.number);
        const std::string path = backend.where(key);
        std::string error;
        auto file = backend.read(key, error);
        if (!file) {
            report.problems.push_back(error);
            continue;
        }
        Sha256Digest digest;
        uint64_t bytes = 0;
        uint64_t lines = 0;
        uint64_t badLines = 0;
        bool midLine = false;
        bool undecodable = false;
        std::string line;
        decompressor.reset();
        for (;;) {
            const long read = file->read(buffer.data(), buffer.size());
            if (read < 0) report.problems.push_back(file->error());
            if (read <= 0) break;
            const size_t got = static_cast<size_t>(read);
            digest.add(buffer.data(), got);
            bytes += got;
            if (stream.bytesRead) *stream.bytesRead += got;
            if (!readLines || undecodable) continue;
            const char* at = buffer.data();
            size_t size = got;
            if (compressed) {
                decoded.clear();
                if (!decompressor.decompress(buffer.data(), got, decoded, error)) {
                    report.problems.push_back(path + ": " + error);
                    undecodable = true;
                    continue;
                }
                at = decoded.data();
                size = decoded.size();
            }
            const char* const end = at + size;
            for (const char* feed; (feed = static_cast<const char*>(std::memchr(at, '\n', end - at))); at = feed + 1) {
                ++lines;
                midLine = false;
                if (depth == VerifyDepth::Integrity) continue;
                line.append(at, feed - at);
                const bool ok = changes ? isChangeLine(line, why) : isDynamoDBItem(line, why);
                if (!ok && badLines++ == 0)
                    report.problems.push_back(path + ": line " + std::to_string(lines) + " is not " +
                                              (changes ? "a change line" : "a DynamoDB item") + " (" + why + ")");
                line.clear();
            }
            if (at != end) midLine = true;
            if (depth == VerifyDepth::Lines) line.append(at, end - at);
        }
        if (compressed && readLines && !undecodable && !decompressor.finished())
            report.problems.push_back(path + ": its zstd frame is cut short");
        if (midLine) report.problems.push_back(path + ": ends in the middle of a line");
        const std::string computed = digest.finishHex();
        if (bytes != chunk.bytes)
            report.problems.push_back(path + ": expected " + std::to_string(chunk.bytes) + " bytes, found " +
                                      std::to_string(bytes));
        if (computed != chunk.sha256)
            report.problems.push_back(path + ": expected checksum " + chunk.sha256 + ", computed " + computed);
        if (!readLines) lines = chunk.lines; // vouched for by the hash
        if (lines != chunk.lines && !undecodable)
            report.problems.push_back(path + ": expected " + std::to_string(chunk.lines) + " lines, found " +
                                      std::to_string(lines));
        ++report.chunks;
        report.lines += lines;
        report.bytes += bytes;
    }
}

void verifyControlFile(const BackupStore::Job& job, const std::string& name, VerifyReport& report) {
    std::string text, error;
    if (!job.readFile(name, text, error)) {
        report.problems.push_back(error);
        return;
    }
    std::string warning;
    const std::string problem = checkControlFile(job, name, text, warning);
    if (!problem.empty()) report.problems.push_back(problem);
    if (!warning.empty()) report.warnings.push_back(warning);
}

void addTreeIds(const rapidjson::Value& value, std::vector<std::string>& ids) {
    if (value.IsString()) ids.push_back(value.GetString());
    if (value.IsArray())
        for (const auto& element : value.GetArray())
            if (element.IsString()) ids.push_back(element.GetString());
}

} // namespace

std::string checkControlFile(const BackupStore::Job& job, const std::string& name, const std::string& text,
                             std::string& warning) {
    const BackupManifest& manifest = job.manifest;
    const std::string path = job.directory + "/" + name;
    warning.clear();
    if (manifest.files.empty()) {
        warning = path + ": not covered by the manifest (the job was written by an older version); "
                         "only its agreement with the chunks is checked";
    } else {
        auto record = manifest.files.find(name);
        if (record == manifest.files.end()) return path + ": not recorded in the manifest";
        Sha256Digest digest;
        digest.add(text.data(), text.size());
        const std::string computed = digest.finishHex();
        if (text.size() != record->second.bytes || computed != record->second.sha256)
            return path + ": expected " + std::to_string(record->second.bytes) + " bytes with checksum " +
                   record->second.sha256 + ", read " + std::to_string(text.size()) + " with " + computed;
    }
    rapidjson::Document parsed;
    const bool json = parseBoundedJson(parsed, text);
    if (name == "description.json") {
        if (!json || !parsed.IsObject() || !parsed.HasMember("table"))
            return path + ": not a table description";
        // The restore replays as many segments as the description names.
        if (!manifest.incremental()) {
            auto segments = parsed.FindMember("segments");
            if (segments == parsed.MemberEnd() || !segments->value.IsInt64() ||
                segments->value.GetInt64() != static_cast<int64_t>(manifest.segmentCount))
                return path + ": its segment count differs from the manifest's " +
                       std::to_string(manifest.segmentCount);
        }
        return "";
    }
    if (name == "metadata.json") {
        if (!json || !parsed.IsObject() || !parsed.HasMember("context"))
            return path + ": not an incremental's metadata";
        // The restore replays the shards it reaches from the roots through
        // the children: one it cannot reach would be lost, one it reaches
        // twice replayed twice.
        std::set<std::string> ids;
        std::vector<std::string> queue;
        auto roots = parsed.FindMember("roots");
        if (roots != parsed.MemberEnd()) addTreeIds(roots->value, queue);
        auto children = parsed.FindMember("children");
        const bool haveChildren = children != parsed.MemberEnd() && children->value.IsObject();
        while (!queue.empty()) {
            const std::string id = queue.back();
            queue.pop_back();
            if (!ids.insert(id).second)
                return path + ": its shard tree reaches shard " + id + " twice (a cycle or a shard listed twice)";
            if (!haveChildren) continue;
            auto under = children->value.FindMember(rapidjson::StringRef(id.c_str(), id.size()));
            if (under != children->value.MemberEnd()) addTreeIds(under->value, queue);
        }
        for (const auto& shard : manifest.shards) {
            uint64_t lines = 0;
            for (const auto& chunk : shard.second.chunks) lines += chunk.lines;
            if (lines > 0 && !ids.count(shard.first))
                return path + ": its shard tree leaves out shard " + shard.first + ", which holds " +
                       std::to_string(lines) + " changes";
        }
    }
    return "";
}

VerifyReport verifyJob(const BackupStore::Job& given, VerifyDepth depth, std::atomic<uint64_t>* bytesRead) {
    const BackupStore::Job job = given.resolved();
    VerifyReport report;
    const BackupManifest& manifest = job.manifest;
    if (manifest.status != "complete")
        report.problems.push_back(job.directory + ": job " + std::to_string(manifest.jobId) + " is " +
                                  (job.interrupted ? std::string("interrupted") : manifest.status) +
                                  ", not a complete backup" +
                                  (manifest.failure.empty() ? std::string() : ": " + manifest.failure));
    verifyControlFile(job, "description.json", report);
    if (manifest.incremental()) {
        verifyControlFile(job, "metadata.json", report);
        for (const auto& entry : manifest.shards)
            verifyChunks(Stream{job, entry.first, &entry.second.chunks, bytesRead}, true, depth, report);
        return report;
    }
    for (const auto& entry : manifest.segments)
        verifyChunks(Stream{job, std::to_string(entry.first + 1), &entry.second.chunks, bytesRead}, false, depth,
                     report);
    if (manifest.status == "complete" && !manifest.allSegmentsScanned())
        report.problems.push_back(job.directory + ": the manifest says complete but not every segment was scanned");
    return report;
}
