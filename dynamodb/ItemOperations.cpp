// Scan pages to a backup stream, emptiness test, batch writes.

#include <rapidjson/pointer.h>

#include "dynamodb/AwsDynamoDBService.h"
#include "dynamodb/EmptyCheckerOutput.h"
#include "text/JsonText.h"
#include "text/BoundedJson.h"
#include "framework/KeyString.h"

int AwsDynamoDBService::scanToStream(const std::string& tableName, int segment, int totalSegments,
                                     const std::string& exclusiveStartKey, TeskOutput* output,
                                     std::string& lastEvaluatedKey, std::string* why) {
    // The start key comes from a stored restart text: it goes into the body
    // only as the JSON object it must be, re-written, so that no text can
    // add members of its own to the request.
    std::string startKey;
    if (!exclusiveStartKey.empty()) {
        rapidjson::Document key;
        if (!json_text::parseObject(key, exclusiveStartKey)) {
            const std::string message = "the restart key of segment " + std::to_string(segment) + " of " + tableName +
                                        " is not a JSON object; the segment cannot go on from it";
            environment.log("scanToStream", message);
            environment.setFailure(message);
            if (why) *why = message;
            return Other;
        }
        startKey = json_text::compact(key);
    }
    AmazonRequest request = baseRequest("Scan", false);
    request.body.reserve(96 + tableName.size() + startKey.size());
    request.body.append("{\"TableName\":").append(json_text::quoted(tableName));
    request.body.append(",\"Segment\":").append(my_to_string(segment));
    request.body.append(",\"TotalSegments\":").append(my_to_string(totalSegments));
    if (!startKey.empty()) request.body.append(",\"ExclusiveStartKey\":").append(startKey);
    request.body.append("}");
    AmazonResponse response = send(request);
    if (response.httpCode != 200) {
        if (why) *why = response.body;
        return AmazonOutcome<bool>(response.body).errorType;
    }
    const bool parsed = ScanResult::parseToStreamInPlace(response.body, output, lastEvaluatedKey);
    requestService.recycle(std::move(response.body));
    if (!parsed && why) {
        // The page's items are the table's data: they stay out of the error.
        *why = output->failure();
        if (why->empty()) *why = "the answer is not a whole Scan page with as many items as it counts";
    }
    return parsed ? None : Other;
}

AmazonOutcome<ScanResult> AwsDynamoDBService::scan(const ScanRequest& scanRequest) {
    AmazonRequest request = baseRequest("Scan", false);
    request.body = scanRequest.asJson();
    AmazonResponse response = send(request);
    if (response.httpCode != 200) return AmazonOutcome<ScanResult>(response.body);
    rapidjson::Document document;
    if (!json_text::parseObject(document, response.body)) return AmazonOutcome<ScanResult>::malformed(response.body);
    return AmazonOutcome<ScanResult>(std::make_shared<ScanResult>(document));
}

bool AwsDynamoDBService::isTableEmpty(const std::string& tableName) {
    EmptyCheckerOutput checker("");
    std::string lastKey;
    if (scanToStream(tableName, 0, 1, "", &checker, lastKey) == None) return !checker.wasDataWritten();
    environment.log("isTableEmpty", "Error checking " + tableName + "[" + credentials.region + "] for emptiness");
    return false;
}

namespace {

// {"RequestItems":{"<table>":[ ...elements... ]}} with the elements' final
// comma turned into a space, as DynamoDB accepts it. The elements are
// written straight into the body, which is sized for them first: a batch
// is copied once on its way from the lines to the wire.
class BatchBody {
public:
    BatchBody(std::string& body, const std::string& tableName, size_t elementBytes) : body_(body) {
        body_.clear();
        body_.reserve(tableName.size() + elementBytes + 32);
        body_.append("{\"RequestItems\":{").append(json_text::quoted(tableName)).append(":[");
        empty_ = body_.size();
    }
    void add(const char* opening, const std::string& data) { body_.append(opening).append(data).append("}},"); }
    void finish() {
        if (body_.size() > empty_) body_.back() = ' ';
        body_ += "]}}";
    }

private:
    std::string& body_;
    size_t empty_;
};

constexpr const char* kPutOpening = "{\"PutRequest\":{\"Item\":";
constexpr const char* kDeleteOpening = "{\"DeleteRequest\":{\"Key\":";
constexpr size_t kElementOverhead = 32; // an opening and "}},"

const rapidjson::Value* unprocessedFor(const rapidjson::Document& document, const std::string& tableName) {
    auto unprocessed = document.FindMember("UnprocessedItems");
    if (unprocessed == document.MemberEnd() || !unprocessed->value.IsObject()) return nullptr;
    auto table = unprocessed->value.FindMember(rapidjson::StringRef(tableName.c_str(), tableName.size()));
    if (table == unprocessed->value.MemberEnd() || !table->value.IsArray()) return nullptr;
    return &table->value;
}

} // namespace

AmazonOutcome<std::vector<std::string>> AwsDynamoDBService::batchPutItems(const std::string& tableName,
                                                                          const std::vector<std::string>& items) {
    AmazonRequest request = baseRequest("BatchWriteItem", false);
    size_t bytes = 0;
    for (const auto& item : items) bytes += item.size() + kElementOverhead;
    BatchBody body(request.body, tableName, bytes);
    for (const auto& item : items) {
        // Lines come from files: one that is not a single object would splice
        // requests of its own into the batch.
        if (!isOneJsonObject(item.data(), item.size()))
            return AmazonOutcome<std::vector<std::string>>::malformed("not one JSON object, not sent: " + item.substr(0, 200));
        body.add(kPutOpening, item);
    }
    body.finish();
    AmazonResponse response = send(request);
    if (response.httpCode != 200) return AmazonOutcome<std::vector<std::string>>(response.body);
    rapidjson::Document document;
    if (!json_text::parseObject(document, response.body))
        return AmazonOutcome<std::vector<std::string>>::malformed(response.body);
    auto left = std::make_shared<std::vector<std::string>>();
    if (const rapidjson::Value* unprocessed = unprocessedFor(document, tableName)) {
        for (const auto& element : unprocessed->GetArray()) {
            const rapidjson::Value* item = rapidjson::Pointer("/PutRequest/Item").Get(element);
            // Losing an unprocessed item would lose data: refuse the answer instead.
            if (!item) return AmazonOutcome<std::vector<std::string>>::malformed(response.body);
            left->push_back(json_text::compact(*item));
        }
    }
    return AmazonOutcome<std::vector<std::string>>(left);
}

AmazonOutcome<std::map<std::string, WriteRequest>> AwsDynamoDBService::batchWriteItems(
    const std::string& tableName, const std::vector<std::string>& keyNames,
    const std::map<std::string, WriteRequest>& entries) {
    using Outcome = AmazonOutcome<std::map<std::string, WriteRequest>>;
    AmazonRequest request = baseRequest("BatchWriteItem", false);
    size_t bytes = 0;
    for (const auto& entry : entries) bytes += entry.second.data.size() + kElementOverhead;
    BatchBody body(request.body, tableName, bytes);
    for (const auto& entry : entries) {
        if (!isOneJsonObject(entry.second.data.data(), entry.second.data.size()))
            return Outcome::malformed("not one JSON object, not sent: " + entry.second.data.substr(0, 200));
        body.add(entry.second.type == 2 ? kDeleteOpening : kPutOpening, entry.second.data);
    }
    body.finish();
    AmazonResponse response = send(request);
    if (response.httpCode != 200) return Outcome(response.body);
    rapidjson::Document document;
    if (!json_text::parseObject(document, response.body)) return Outcome::malformed(response.body);
    auto left = std::make_shared<std::map<std::string, WriteRequest>>();
    if (const rapidjson::Value* unprocessed = unprocessedFor(document, tableName)) {
        for (const auto& element : unprocessed->GetArray()) {
            const rapidjson::Value* item = rapidjson::Pointer("/PutRequest/Item").Get(element);
            const rapidjson::Value* key = rapidjson::Pointer("/DeleteRequest/Key").Get(element);
            if (!item && !key) return Outcome::malformed(response.body);
            WriteRequest entry{item ? 1 : 2, json_text::compact(item ? *item : *key)};
            left->emplace(keyString(entry.data, keyNames), std::move(entry));
        }
    }
    return Outcome(left);
}
