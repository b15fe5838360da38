#include "cli/JobsJson.h"

#include "restore/RestorePlan.h"

namespace {


} // namespace

void writeJobMembers(JsonWriter& writer, const std::vector<BackupStore::Job>& all, const BackupStore::Job& job) {
    const BackupManifest& m = job.manifest;
    writer.Key("job");
    writer.Int64(m.jobId);
    writeText(writer, "name", m.directoryName());
    writeText(writer, "table", m.table);
    writeText(writer, "region", m.region);
    writeText(writer, "kind", m.incremental() ? "incremental" : "full");
    writeText(writer, "state", job.interrupted ? "interrupted" : m.status);
    if (!m.failure.empty()) writeText(writer, "failure", m.failure);
    writer.Key("startTime");
    writer.Int64(m.startTime);
    writer.Key("endTime");
    writer.Int64(m.endTime);
    const bool complete = m.status == "complete";
    const CoveredSpan span = complete ? coveredSpan(all, job) : CoveredSpan();
    writer.Key("from");
    if (complete && span.known)
        writer.Int64(span.from);
    else
        writer.Null();
    writer.Key("until");
    if (complete)
        writer.Int64(span.until);
    else
        writer.Null();
    writer.Key("chain");
    if (m.incremental() && complete)
        writer.String(span.known ? "complete" : "broken");
    else
        writer.Null();
    writer.Key("items");
    writer.Uint64(m.totalLines());
    writer.Key("bytes");
    writer.Uint64(m.totalBytes());
}

void writeText(JsonWriter& writer, const char* name, const std::string& value) {
    writer.Key(name);
    writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
}

void writeStrings(JsonWriter& writer, const char* name, const std::vector<std::string>& values) {
    writer.Key(name);
    writer.StartArray();
    for (const auto& value : values) writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
    writer.EndArray();
}
