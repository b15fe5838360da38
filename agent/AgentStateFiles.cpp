// The agent's per-table state files, configuration-file edits, line files
// and shard-map helpers.

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "agent/DynamoDBTESK.h"
#include "host/FileUtil.h"

std::string DynamoDBUtil::computeTableStatePath(const std::string& region, const std::string& table) const {
    return subclientDirectory + "/" + toTableRegionString(region, table);
}

void DynamoDBUtil::saveTableState(const std::string& region, const std::string& table, long long value) {
    const std::string path = computeTableStatePath(region, table);
    // Replaced whole, so a crash never leaves half a number behind.
    if (!file_util::writeAtomically(path, std::to_string(value)).empty())
        debug.log(-1, "saveTableState", "Could not open '%s' for write", path.c_str());
}

long long DynamoDBUtil::restoreTableState(const std::string& region, const std::string& table) {
    const std::string path = computeTableStatePath(region, table);
    if (!file_util::exists(path)) return 0;
    std::ifstream file(path);
    if (!file) {
        debug.log(-1, "restoreTableState", "Could not open '%s' for read", path.c_str());
        return 0;
    }
    long long value = 0;
    if (!(file >> value)) return 0;
    return value;
}

void DynamoDBUtil::removeTableState(const std::string& region, const std::string& table) {
    std::remove(computeTableStatePath(region, table).c_str());
}

CZoError DynamoDBUtil::_EditConfFileContents(const std::string& path, std::vector<std::string>& find,
                                             std::vector<std::string>& replace) {
    if (replace.size() < find.size())
        return CZO_ERROR(87, "%zu replacements given for %zu search texts in [%s]", replace.size(), find.size(),
                         path.c_str());
    std::string text;
    if (!file_util::readFile(path, text)) return CZO_ERROR(1627, "failed to open file [%s] ", path.c_str());
    debug.log(2, "_EditConfFileContents", "Conf file [%s] contents [%s]", path.c_str(), text.c_str());
    for (size_t i = 0; i < find.size(); ++i) {
        if (find[i].empty()) continue;
        const size_t at = text.find(find[i]);
        if (at != std::string::npos) text.replace(at, find[i].size(), replace[i]);
    }
    debug.log(2, "_EditConfFileContents", "Conf file [%s] edited contents [%s]", path.c_str(), text.c_str());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file || !(file << text) || !file.flush()) return CZO_ERROR(1627, "failed to open file [%s] ", path.c_str());
    return CZoError();
}

namespace {

// Splits at every occurrence of `separator`, keeping empty pieces (so that
// a row written with empty fields reads back the same).
std::vector<std::string> splitAt(const std::string& line, const std::string& separator) {
    std::vector<std::string> pieces;
    if (separator.empty()) {
        pieces.push_back(line);
        return pieces;
    }
    size_t start = 0;
    for (size_t at; (at = line.find(separator, start)) != std::string::npos; start = at + separator.size())
        pieces.push_back(line.substr(start, at - start));
    pieces.push_back(line.substr(start));
    return pieces;
}

} // namespace

bool DynamoDBUtil::splitLines(const std::string& path, const std::string& separator,
                              std::vector<std::vector<std::string>>& rows) {
    std::ifstream file(path);
    if (!file.is_open()) return true;
    std::string line;
    while (std::getline(file, line)) rows.push_back(splitAt(line, separator));
    if (file.bad()) {
        debug.log(-1, "splitLines", "Bad bit set while reading from file %s, errno=%d", path.c_str(), errno);
        return false;
    }
    return true;
}

bool DynamoDBUtil::putLines(const std::string& path, const std::string& separator,
                            const std::vector<std::vector<std::string>>& rows) {
    std::ofstream file(path, std::ios::trunc);
    if (!file.is_open()) {
        debug.log(-1, "putLines", "Error opening file %s for write, errno=%d", path.c_str(), errno);
        return false;
    }
    for (const auto& row : rows) {
        for (size_t i = 0; i < row.size(); ++i) file << (i ? separator : "") << row[i];
        file << "\n";
        file.flush();
    }
    file.flush();
    if (file.bad()) {
        debug.log(-1, "putLines", "Error flushing file %s, errno=%d", path.c_str(), errno);
        return false;
    }
    return true;
}

CZoError DynamoDBUtil::getRootShard(const std::string& shardId, std::map<std::string, std::string>& shardMap,
                                    std::string& root) {
    root.clear();
    std::string current = shardId;
    // A parent chain that comes back to itself has no root; stop instead of looping.
    for (size_t steps = 0; steps <= shardMap.size(); ++steps) {
        auto found = shardMap.find(current);
        if (found == shardMap.end()) return CZO_ERROR(1168, "%s not found in map", current.c_str());
        if (found->second.empty()) {
            root = current;
            return CZoError();
        }
        current = found->second;
    }
    return CZO_ERROR(1168, "the parents of %s form a loop", shardId.c_str());
}

bool DynamoDBUtil::shardMapsDiffer(const std::map<std::string, std::string>& current,
                                   const std::map<std::string, std::string>& previous, std::set<std::string>& added,
                                   std::set<std::string>& removed, std::set<std::string>& changed, EvDebug* debug) {
    EvDebug fallback;
    EvDebug& log = debug ? *debug : fallback;
    bool differ = false;
    for (const auto& shard : current) {
        auto before = previous.find(shard.first);
        if (before == previous.end()) {
            log.log(2, "shardMapsDiffer", "Shard '%s' with parent '%s' has appeared (been added)", shard.first.c_str(),
                    shard.second.c_str());
            added.insert(shard.first);
            differ = true;
        } else if (before->second != shard.second) {
            log.log(2, "shardMapsDiffer", "Shard '%s' has changed from parent '%s' to parent '%s'",
                    shard.first.c_str(), before->second.c_str(), shard.second.c_str());
            changed.insert(shard.first);
            differ = true;
        }
    }
    for (const auto& shard : previous) {
        if (current.count(shard.first)) continue;
        log.log(2, "shardMapsDiffer", "Shard '%s' with parent '%s' has disappeared (been removed)", shard.first.c_str(),
                shard.second.c_str());
        removed.insert(shard.first);
        differ = true;
    }
    return differ;
}
