#include "BackupVerifier.h"

#include <fstream>

#include <rapidjson/document.h>

#include "Crypto.h"
#include "FileUtil.h"

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
    item.Parse(line.c_str(), line.size());
    if (item.HasParseError()) {
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
    std::string directory;
    const std::vector<ChunkRecord>* chunks;
};

void verifyChunks(const Stream& stream, bool changes, VerifyReport& report) {
    std::vector<char> buffer(1 << 20);
    std::string why;
    for (const auto& chunk : *stream.chunks) {
        const std::string path = BackupStore::chunkPath(stream.directory, chunk.number);
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            report.problems.push_back(path + ": missing");
            continue;
        }
        Sha256Digest digest;
        uint64_t bytes = 0;
        uint64_t lines = 0;
        uint64_t badLines = 0;
        std::string line;
        while (file) {
            file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
            const size_t got = static_cast<size_t>(file.gcount());
            if (got == 0) break;
            digest.add(buffer.data(), got);
            bytes += got;
            size_t start = 0;
            for (size_t i = 0; i < got; ++i) {
                if (buffer[i] != '\n') continue;
                line.append(buffer.data() + start, i - start);
                ++lines;
                const bool ok = changes ? isChangeLine(line, why) : isDynamoDBItem(line, why);
                if (!ok && badLines++ == 0)
                    report.problems.push_back(path + ": line " + std::to_string(lines) + " is not " +
                                              (changes ? "a change line" : "a DynamoDB item") + " (" + why + ")");
                line.clear();
                start = i + 1;
            }
            line.append(buffer.data() + start, got - start);
        }
        if (!line.empty()) report.problems.push_back(path + ": ends in the middle of a line");
        const std::string computed = digest.finishHex();
        if (bytes != chunk.bytes)
            report.problems.push_back(path + ": expected " + std::to_string(chunk.bytes) + " bytes, found " +
                                      std::to_string(bytes));
        if (computed != chunk.sha256)
            report.problems.push_back(path + ": expected checksum " + chunk.sha256 + ", computed " + computed);
        if (lines != chunk.lines)
            report.problems.push_back(path + ": expected " + std::to_string(chunk.lines) + " lines, found " +
                                      std::to_string(lines));
        ++report.chunks;
        report.lines += lines;
        report.bytes += bytes;
    }
}

void verifyJsonFile(const std::string& path, const char* requiredMember, const char* what, VerifyReport& report) {
    std::string text;
    if (!file_util::readFile(path, text)) {
        report.problems.push_back(path + ": missing");
        return;
    }
    rapidjson::Document parsed;
    parsed.Parse(text.c_str(), text.size());
    if (parsed.HasParseError() || !parsed.IsObject() || !parsed.HasMember(requiredMember))
        report.problems.push_back(path + ": not " + what);
}

} // namespace

VerifyReport verifyJob(const BackupStore::Job& job) {
    VerifyReport report;
    const BackupManifest& manifest = job.manifest;
    if (manifest.status != "complete")
        report.problems.push_back(job.directory + ": job " + std::to_string(manifest.jobId) + " is " +
                                  (job.interrupted ? std::string("interrupted") : manifest.status) +
                                  ", not a complete backup");
    verifyJsonFile(job.directory + "/description.json", "table", "a table description", report);
    if (manifest.incremental()) {
        verifyJsonFile(job.directory + "/metadata.json", "context", "an incremental's metadata", report);
        for (const auto& entry : manifest.shards)
            verifyChunks(Stream{job.directory + "/" + entry.first, &entry.second.chunks}, true, report);
        return report;
    }
    for (const auto& entry : manifest.segments)
        verifyChunks(Stream{job.directory + "/" + std::to_string(entry.first + 1), &entry.second.chunks}, false, report);
    if (manifest.status == "complete" && !manifest.allSegmentsScanned())
        report.problems.push_back(job.directory + ": the manifest says complete but not every segment was scanned");
    return report;
}
