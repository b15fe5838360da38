#pragma once
// Re-reads a job in the backup store against its manifest: every chunk's
// size, line count and SHA-256, every line as a DynamoDB item, and the
// control files (description.json, metadata.json) against their records and
// against the chunks present.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "store/BackupStore.h"

struct VerifyReport {
    uint64_t chunks = 0;
    uint64_t lines = 0;
    uint64_t bytes = 0;
    std::vector<std::string> problems; // each names the file and what is wrong
    std::vector<std::string> warnings; // what could not be checked, and why
    bool ok() const { return problems.empty(); }
};

// Why the control file `name` of `job`, read as `text`, must not be used (its
// size or checksum differs from the manifest's record, or it disagrees with
// the segments and shards the manifest holds); empty when it may. Jobs
// written before control files were recorded get `warning` instead of a
// checksum check.
std::string checkControlFile(const BackupStore::Job& job, const std::string& name, const std::string& text,
                             std::string& warning);

// True when `line` is one DynamoDB item in DynamoDB JSON: an object whose
// every member is a typed attribute value ({"S":...}, {"N":...}, {"M":{...}}, ...).
bool isDynamoDBItem(const std::string& line, std::string& why);

// How deep verifyJob looks. A restore needs only that every chunk is the
// one the manifest recorded (its hash, bytes and lines): the lines are then
// read by the restore itself, which refuses any it cannot use.
enum class VerifyDepth { Lines, Integrity };

// `bytesRead`, when given, counts the stored bytes read as they are read
// (for a progress display).
VerifyReport verifyJob(const BackupStore::Job& job, VerifyDepth depth = VerifyDepth::Lines,
                       std::atomic<uint64_t>* bytesRead = nullptr);
