#pragma once
// The members jobs --json and verify --json give each job: "job", "name",
// "table", "region", "kind" (full, incremental), "state" (running, stopped,
// failed, complete, interrupted), "startTime", "endTime", "from" and
// "until" (the span of time it covers, seconds since the epoch; null when
// not complete), "chain" (complete, broken, or null for a full), "items"
// and "bytes".

#include <string>
#include <vector>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "store/BackupStore.h"

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void writeJobMembers(JsonWriter& writer, const std::vector<BackupStore::Job>& all, const BackupStore::Job& job);
// `name` with a string value, or with an array of them (the store's
// unreadable jobs as "problems", a prune's "failures", ...); written whole,
// whatever bytes the texts hold.
void writeText(JsonWriter& writer, const char* name, const std::string& value);
void writeStrings(JsonWriter& writer, const char* name, const std::vector<std::string>& values);
