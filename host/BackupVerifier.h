#pragma once
// Re-reads a job in the backup store against its manifest: every chunk's
// size, line count and SHA-256, and every line as a DynamoDB item.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "BackupStore.h"

struct VerifyReport {
    uint64_t chunks = 0;
    uint64_t lines = 0;
    uint64_t bytes = 0;
    std::vector<std::string> problems; // each names the file and what is wrong
    bool ok() const { return problems.empty(); }
};

// True when `line` is one DynamoDB item in DynamoDB JSON: an object whose
// every member is a typed attribute value ({"S":...}, {"N":...}, {"M":{...}}, ...).
bool isDynamoDBItem(const std::string& line, std::string& why);

VerifyReport verifyJob(const BackupStore::Job& job);
