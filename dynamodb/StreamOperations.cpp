// DynamoDB Streams: list, describe (all shard pages), iterators and records.

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "dynamodb/AwsDynamoDBService.h"
#include "text/JsonText.h"

AmazonOutcome<std::vector<std::string>> AwsDynamoDBService::listStreams(const std::string& tableName) {
    using Outcome = AmazonOutcome<std::vector<std::string>>;
    AmazonRequest request = baseRequest("ListStreams", true);
    request.body = "{\"TableName\":" + json_text::quoted(tableName) + "}";
    AmazonResponse response = send(request);
    if (response.httpCode != 200) return Outcome(response.body);
    rapidjson::Document document;
    if (!json_text::parseObject(document, response.body)) return Outcome::malformed(response.body);
    auto streams = document.FindMember("Streams");
    if (streams == document.MemberEnd() || !streams->value.IsArray()) return Outcome::malformed(response.body);
    auto arns = std::make_shared<std::vector<std::string>>();
    for (const auto& stream : streams->value.GetArray()) arns->push_back(json_text::stringMember(stream, "StreamArn"));
    return Outcome(arns);
}

AmazonOutcome<StreamDescription> AwsDynamoDBService::describeStream(const std::string& streamArn) {
    using Outcome = AmazonOutcome<StreamDescription>;
    auto description = std::make_shared<StreamDescription>();
    AmazonRequest request = baseRequest("DescribeStream", true);
    request.body = "{\"StreamArn\":" + json_text::quoted(streamArn) + "}";
    std::string lastPage;
    for (;;) {
        AmazonResponse response = send(request);
        if (response.httpCode != 200) return Outcome(response.body);
        rapidjson::Document document;
        if (!json_text::parseObject(document, response.body)) return Outcome::malformed(response.body);
        auto page = document.FindMember("StreamDescription");
        if (page == document.MemberEnd() || !page->value.IsObject()) return Outcome::malformed(response.body);
        if (!description->update(page->value, false)) return Outcome::malformed(response.body);
        const std::string next = json_text::stringMember(page->value, "LastEvaluatedShardId");
        if (next.empty()) break;
        // The same page again would never end.
        if (next == lastPage) return Outcome::malformed(response.body);
        lastPage = next;
        // A fresh request per page: credentials are checked and it is signed anew.
        request = baseRequest("DescribeStream", true);
        request.body = "{\"StreamArn\":" + json_text::quoted(streamArn) +
                       ", \"ExclusiveStartShardId\": " + json_text::quoted(next) + "}";
    }
    return Outcome(description);
}

AmazonOutcome<std::string> AwsDynamoDBService::getShardIterator(const std::string& streamArn,
                                                                const std::string& shardId,
                                                                const std::string& sequenceNumber) {
    using Outcome = AmazonOutcome<std::string>;
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    auto text = [&writer](const std::string& value) {
        writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
    };
    writer.StartObject();
    writer.Key("StreamArn");
    text(streamArn);
    writer.Key("ShardId");
    text(shardId);
    writer.Key("ShardIteratorType");
    if (sequenceNumber.empty()) {
        writer.String("TRIM_HORIZON");
    } else {
        writer.String("AFTER_SEQUENCE_NUMBER");
        writer.Key("SequenceNumber");
        text(sequenceNumber);
    }
    writer.EndObject();
    AmazonRequest request = baseRequest("GetShardIterator", true);
    request.body.assign(buffer.GetString(), buffer.GetSize());
    AmazonResponse response = send(request);
    if (response.httpCode != 200) return Outcome(response.body);
    rapidjson::Document document;
    if (!json_text::parseObject(document, response.body)) return Outcome::malformed(response.body);
    auto iterator = document.FindMember("ShardIterator");
    if (iterator == document.MemberEnd() || !iterator->value.IsString()) return Outcome::malformed(response.body);
    return Outcome(std::make_shared<std::string>(iterator->value.GetString(), iterator->value.GetStringLength()));
}

AmazonOutcome<GetRecordsResult> AwsDynamoDBService::getRecords(const std::string& shardIterator) {
    using Outcome = AmazonOutcome<GetRecordsResult>;
    AmazonRequest request = baseRequest("GetRecords", true);
    request.body = "{\"ShardIterator\":" + json_text::quoted(shardIterator) + "}";
    AmazonResponse response = send(request);
    if (response.httpCode != 200) return Outcome(response.body);
    rapidjson::Document document;
    if (!json_text::parseObject(document, response.body)) return Outcome::malformed(response.body);
    auto result = std::make_shared<GetRecordsResult>();
    result->assign(document);
    return Outcome(result);
}

AmazonResponse AwsDynamoDBService::getRecordsToStream(const std::string& shardIterator, TeskOutput* output,
                                                      std::string& nextShardIterator, std::string& lastSequenceNumber,
                                                      int64_t& recordTime, int& recordCount, AmazonError& error) {
    AmazonRequest request = baseRequest("GetRecords", true);
    request.body = "{\"ShardIterator\":" + json_text::quoted(shardIterator) + "}";
    AmazonResponse response = send(request);
    if (response.httpCode == 200) {
        error = GetRecordsResult::parseToStream(response.body, output, nextShardIterator, lastSequenceNumber,
                                                recordTime, recordCount)
                    ? None
                    : Other;
    } else {
        error = AmazonOutcome<bool>(response.body).errorType;
    }
    return response;
}
