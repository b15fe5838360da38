// DescribeTable and DescribeStream answers: whatever they hold, the table
// request built from a description is JSON, and a shard tree written from a
// stream is JSON whose every shard the lineage check has vetted.

#include "text/JsonText.h"
#include "dynamodb/StreamDescription.h"
#include "dynamodb/TableDescription.h"
#include "fuzz/FuzzInput.h"
#include "text/BoundedJson.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body = fuzzText(data, size);
    rapidjson::Document document;
    if (!json_text::parseObject(document, body)) return 0;
    auto table = document.FindMember("Table");
    if (table != document.MemberEnd() && table->value.IsObject()) {
        TableDescription description(table->value);
        rapidjson::Document request;
        FUZZ_CHECK(parseBoundedJson(request, description.createTableRequest("copy", ProvisionedThroughput{}, "us-east-1")));
        FUZZ_CHECK(parseBoundedJson(request, description.createTableRequest("", ProvisionedThroughput{5, 7}, "cn-north-1")));
    }
    auto stream = document.FindMember("StreamDescription");
    if (stream != document.MemberEnd()) {
        StreamDescription description;
        if (description.update(stream->value, true)) {
            description.lineageProblem();
            rapidjson::Document tree;
            FUZZ_CHECK(parseBoundedJson(tree, description.treeToJson(1, {{"a", "finished"}})));
        }
    }
    return 0;
}
