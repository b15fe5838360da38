// ddb-table-diff: whether two tables hold the same items, item for item,
// with each item's attributes compared as values (DynamoDB does not keep
// their order). For the demo, which checks a restore against its source;
// it holds both tables in memory, so it is meant for small tables.
//
// usage: ddb-table-diff --region R SOURCE COPY
// Exit status: 0 same items, 1 they differ, 2 a table could not be read.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "dynamodb/AwsDynamoDBService.h"
#include "text/BoundedJson.h"
#include "framework/KeyString.h"
#include "framework/MemoryStreams.h"
#include "framework/TeskPrototypeEnvironment.h"
#include "tools/ToolCredentials.h"

namespace {

using Items = std::map<std::string, std::string>; // key text -> item line

bool readTable(AwsDynamoDBService& service, const std::string& table, const std::vector<std::string>& keyNames,
               Items& items) {
    std::string key;
    do {
        MemoryOutput output("scan");
        const std::string start = key;
        if (service.scanToStream(table, 0, 1, start, &output, key) != None) {
            std::fprintf(stderr, "ddb-table-diff: cannot scan %s\n", table.c_str());
            return false;
        }
        const std::string& data = output.data();
        for (size_t begin = 0, end; (end = data.find('\n', begin)) != std::string::npos; begin = end + 1) {
            std::string line = data.substr(begin, end - begin);
            items.emplace(keyString(line, keyNames), std::move(line));
        }
    } while (!key.empty());
    return true;
}

bool sameItem(const std::string& a, const std::string& b) {
    rapidjson::Document left, right;
    return parseBoundedJson(left, a) && parseBoundedJson(right, b) && left == right;
}

} // namespace

int main(int argc, char** argv) {
    const char* envRegion = std::getenv("AWS_REGION");
    std::string region = envRegion ? envRegion : "us-east-1";
    std::vector<std::string> tables;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--region") == 0 && i + 1 < argc)
            region = argv[++i];
        else
            tables.push_back(argv[i]);
    }
    if (tables.size() != 2) {
        std::fputs("usage: ddb-table-diff [--region R] SOURCE COPY\n", stderr);
        return 2;
    }
    AmazonCredentials credentials = credentialsFromEnvironment(region);
    TeskPrototypeEnvironment environment("diff", std::make_shared<StreamLogSink>(false));
    AwsDynamoDBService service(credentials, environment);
    auto description = service.describeTable(tables[0]);
    if (!description.isSuccess()) {
        std::fprintf(stderr, "ddb-table-diff: cannot describe %s [%s]: %s\n", tables[0].c_str(), region.c_str(),
                     description.errorMessage.c_str());
        return 2;
    }
    Items source, copy;
    if (!readTable(service, tables[0], description.result->keySchema, source) ||
        !readTable(service, tables[1], description.result->keySchema, copy))
        return 2;

    int differences = 0;
    auto report = [&](const char* what, const std::string& keyText) {
        if (++differences <= 10) std::printf("  %s: %s\n", what, keyText.c_str());
    };
    for (const auto& item : source) {
        auto other = copy.find(item.first);
        if (other == copy.end())
            report("missing from the copy", item.first);
        else if (!sameItem(item.second, other->second))
            report("differs", item.first);
    }
    for (const auto& item : copy)
        if (!source.count(item.first)) report("only in the copy", item.first);
    if (differences) {
        std::printf("%s and %s differ: %d of %zu items\n", tables[0].c_str(), tables[1].c_str(), differences,
                    source.size());
        return 1;
    }
    std::printf("%s and %s hold the same %zu items, item for item\n", tables[0].c_str(), tables[1].c_str(),
                source.size());
    return 0;
}
