// The agent's per-table state files, configuration-file edits, line files
// and shard-map helpers.

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "agent/DynamoDBTESK.h"
#include "agent/StrictNumber.h"
#include "platform/FileUtil.h"

namespace {

// A table or region name that would put its state file outside the state
// directory: a path separator, a NUL, or a name that is "." or "..".
bool unsafeStateName(const std::string& name) {
    return name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
           name.find('\\') != std::string::npos || name.find('\0') != std::string::npos;
}

} // namespace

std::string DynamoDBUtil::computeTableStatePath(const std::string& region, const std::string& table) const {
    return subclientDirectory + "/" + toTableRegionString(region, table);
}

bool DynamoDBUtil::checkStateNames(const char* function, const std::string& region, const std::string& table) {
    if (!unsafeStateName(region) && !unsafeStateName(table)) return true;
    debug.log(-1, function, "Refusing the state file of table [%s] in region [%s]: the names must not hold a path",
              table.c_str(), region.c_str());
    return false;
}

void DynamoDBUtil::saveTableState(const std::string& region, const std::string& table, long long value) {
    if (!checkStateNames("saveTableState", region, table)) return;
    const std::string path = computeTableStatePath(region, table);
    // Replaced whole, so a crash never leaves half a number behind.
    if (!file_util::writeAtomically(path, std::to_string(value)).empty())
        debug.log(-1, "saveTableState", "Could not open '%s' for write", path.c_str());
}

long long DynamoDBUtil::restoreTableState(const std::string& region, const std::string& table) {
    if (!checkStateNames("restoreTableState", region, table)) return 0;
    const std::string path = computeTableStatePath(region, table);
    if (!file_util::exists(path)) return 0;
    std::string text;
    if (!file_util::readFile(path, text)) {
        debug.log(-1, "restoreTableState", "Could not open '%s' for read", path.c_str());
        return 0;
    }
    int64_t value = 0;
    if (!parseStrictInt64(text, value)) {
        debug.log(-1, "restoreTableState", "'%s' does not hold a number; taken as 0", path.c_str());
        return 0;
    }
    return value;
}

void DynamoDBUtil::removeTableState(const std::string& region, const std::string& table) {
    if (!checkStateNames("removeTableState", region, table)) return;
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
    // Replaced whole: a crash mid-write must not leave half a configuration.
    const std::string problem = file_util::writeAtomically(path, text);
    if (!problem.empty()) return CZO_ERROR(1627, "failed to write file [%s]: %s", path.c_str(), problem.c_str());
    return CZoError();
}

namespace {

// Fields are written with a backslash before each backslash and each
// separator, and line feeds and carriage returns as \\n and \\r, so that any
// text reads back as it was written. Splits at every unescaped separator,
// keeping empty pieces (so that a row written with empty fields reads back
// the same); a backslash before anything else stands for itself.
std::vector<std::string> splitAt(const std::string& line, const std::string& separator) {
    std::vector<std::string> pieces(1);
    for (size_t i = 0; i < line.size();) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            const char next = line[i + 1];
            if (next == 'n' || next == 'r' || next == '\\') {
                pieces.back() += next == 'n' ? '\n' : next == 'r' ? '\r' : '\\';
                i += 2;
                continue;
            }
            if (!separator.empty() && line.compare(i + 1, separator.size(), separator) == 0) {
                pieces.back() += separator;
                i += 1 + separator.size();
                continue;
            }
        }
        if (!separator.empty() && line.compare(i, separator.size(), separator) == 0) {
            pieces.emplace_back();
            i += separator.size();
            continue;
        }
        pieces.back() += line[i++];
    }
    return pieces;
}

std::string escapedField(const std::string& field, const std::string& separator) {
    std::string out;
    for (size_t i = 0; i < field.size();) {
        const char c = field[i];
        if (c == '\n' || c == '\r') {
            out += c == '\n' ? "\\n" : "\\r";
            ++i;
        } else if (c == '\\') {
            out += "\\\\";
            ++i;
        } else if (!separator.empty() && field.compare(i, separator.size(), separator) == 0) {
            out += '\\';
            out += separator;
            i += separator.size();
        } else {
            out += c;
            ++i;
        }
    }
    return out;
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
        for (size_t i = 0; i < row.size(); ++i) file << (i ? separator : "") << escapedField(row[i], separator);
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
