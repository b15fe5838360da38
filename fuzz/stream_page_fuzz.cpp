// A GetRecords answer, through both of its parsers: the one that writes
// change lines and the document one agree on every record.

#include "dynamodb/GetRecordsResult.h"
#include "text/JsonText.h"
#include "fuzz/FuzzInput.h"
#include "text/BoundedJson.h"
#include "framework/MemoryStreams.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body = fuzzText(data, size);
    MemoryOutput output("shard");
    std::string iterator, sequence;
    int64_t time = 0;
    int count = 0;
    if (!GetRecordsResult::parseToStream(body, &output, iterator, sequence, time, count)) return 0;
    rapidjson::Document document;
    FUZZ_CHECK(json_text::parseObject(document, body));
    GetRecordsResult result;
    result.assign(document);
    FUZZ_CHECK(static_cast<size_t>(count) == result.records.size());
    FUZZ_CHECK(iterator == result.nextShardIterator);
    const std::string& lines = output.data();
    size_t start = 0;
    for (const auto& record : result.records) {
        const size_t end = lines.find('\n', start);
        FUZZ_CHECK(end != std::string::npos);
        const std::string line = lines.substr(start, end - start);
        FUZZ_CHECK(line.compare(0, 8, record.eventType == 2 ? "REMOVE: " : "UPDATE: ") == 0 ||
                   line.compare(0, 8, "REMOVE: ") == 0);
        start = end + 1;
    }
    FUZZ_CHECK(start == lines.size());
    if (!result.records.empty()) FUZZ_CHECK(sequence == result.records.back().sequenceNumber);
    return 0;
}
