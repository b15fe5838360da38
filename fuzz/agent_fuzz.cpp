// The agent's parsers of what a host hands it: backup paths, restart texts,
// task descriptors, shard trees, descriptions and times. The first byte
// picks the parser.

#include <sstream>

#include "agent/DynamoDBTESK.h"
#include "agent/DynamoDBTaskDescriptor.h"
#include "agent/StrictNumber.h"
#include "fuzz/FuzzInput.h"
#include "restore/AwsDynamoDBPathDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string text = fuzzText(data + 1, size - 1);
    switch (data[0] % 6) {
    case 0: {
        AwsDynamoDBPathDecoder decoder;
        decoder.initialize(text);
        break;
    }
    case 1: {
        DynamoDBTESK::BackupRestartInfo info;
        info.initialize(text);
        for (const auto& entry : info.getOffsets()) FUZZ_CHECK(info.isCollectInMap(entry.first));
        break;
    }
    case 2: {
        std::vector<std::string> fields;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) fields.push_back(line);
        DynamoDBTESK::DynamoDBTaskDescriptor descriptor;
        if (descriptor.restore(fields)) {
            std::vector<std::string> saved;
            descriptor.save(saved);
            DynamoDBTESK::DynamoDBTaskDescriptor again;
            FUZZ_CHECK(again.restore(saved));
            FUZZ_CHECK(again == descriptor);
        }
        break;
    }
    case 3: {
        std::vector<std::string> roots;
        std::map<std::string, std::string> parents;
        DynamoDBUtil::parseShardsTree(text, roots, parents);
        for (const auto& root : roots) {
            std::string found;
            DynamoDBUtil::getRootShard(root, parents, found);
        }
        break;
    }
    case 4:
        DynamoDBUtil::parseDescriptionJson(text);
        DynamoDBUtil::GetEpochTime(text);
        break;
    default: {
        int64_t value = 0;
        if (parseStrictInt64(text, value)) FUZZ_CHECK(std::to_string(value).size() <= text.size());
        break;
    }
    }
    return 0;
}
