#include "cli/JobsJson.h"

#include "restore/RestorePlan.h"

namespace {

void text(JsonWriter& writer, const char* name, const std::string& value) {
    writer.Key(name);
    writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
}

} // namespace

void writeJobMembers(JsonWriter& writer, const std::vector<BackupStore::Job>& all, const BackupStore::Job& job) {
    const BackupManifest& m = job.manifest;
    writer.Key("job");
    writer.Int64(m.jobId);
    text(writer, "name", m.directoryName());
    text(writer, "table", m.table);
    text(writer, "region", m.region);
    text(writer, "kind", m.incremental() ? "incremental" : "full");
    text(writer, "state", job.interrupted ? "interrupted" : m.status);
    if (!m.failure.empty()) text(writer, "failure", m.failure);
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

void writeProblems(JsonWriter& writer, const std::vector<std::string>& problems) {
    writer.Key("problems");
    writer.StartArray();
    for (const auto& problem : problems) writer.String(problem.c_str(), static_cast<rapidjson::SizeType>(problem.size()));
    writer.EndArray();
}
