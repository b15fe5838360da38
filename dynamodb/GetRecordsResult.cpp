#include "dynamodb/GetRecordsResult.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "text/JsonText.h"
#include "text/LoneSurrogates.h"

namespace {

const rapidjson::Value* member(const rapidjson::Value& object, const char* name) {
    if (!object.IsObject()) return nullptr;
    auto found = object.FindMember(name);
    return found == object.MemberEnd() ? nullptr : &found->value;
}

// Seconds, whole: an integer as it is, a fraction truncated, anything else
// (or out of range) 0.
int64_t wholeSeconds(const rapidjson::Value* value) {
    int64_t seconds = 0;
    return value && json_text::wholeNumber(*value, seconds) ? seconds : 0;
}

void writeOrNull(rapidjson::Writer<rapidjson::StringBuffer>& writer, const rapidjson::Value* value) {
    if (value)
        value->Accept(writer);
    else
        writer.Null();
}

} // namespace

void GetRecordsResult::assign(const rapidjson::Value& response) {
    nextShardIterator = json_text::stringMember(response, "NextShardIterator");
    records.clear();
    const rapidjson::Value* list = member(response, "Records");
    if (!list || !list->IsArray()) return;
    for (const auto& element : list->GetArray()) {
        StreamRecord record;
        const std::string name = json_text::stringMember(element, "eventName");
        record.eventType = name == "INSERT" ? 0 : name == "MODIFY" ? 1 : 2;
        const rapidjson::Value* dynamodb = member(element, "dynamodb");
        const rapidjson::Value* image = dynamodb ? member(*dynamodb, record.eventType == 2 ? "Keys" : "NewImage") : nullptr;
        record.data = image ? json_text::compact(*image) : "null";
        record.approximateCreationDateTime = dynamodb ? wholeSeconds(member(*dynamodb, "ApproximateCreationDateTime")) : 0;
        record.sequenceNumber = dynamodb ? json_text::stringMember(*dynamodb, "SequenceNumber") : "";
        records.push_back(std::move(record));
    }
}

bool GetRecordsResult::parseToStream(const std::string& responseBody, TeskOutput* output,
                                     std::string& nextShardIterator, std::string& lastSequenceNumber,
                                     int64_t& approximateCreationDateTime, int& recordCount) {
    nextShardIterator.clear();
    lastSequenceNumber.clear();
    approximateCreationDateTime = 0;
    recordCount = 0;
    rapidjson::Document document;
    if (!json_text::parseObject(document, responseBody)) return false;

    // Without its record list, or with an iterator that is not text, a page
    // would pass for the end of a closed shard.
    const rapidjson::Value* list = member(document, "Records");
    const rapidjson::Value* next = member(document, "NextShardIterator");
    if (!list || !list->IsArray() || (next && !next->IsString() && !next->IsNull())) return false;
    {
        rapidjson::StringBuffer buffer;
        std::string line;
        for (const auto& record : list->GetArray()) {
            const rapidjson::Value* event = member(record, "eventName");
            const rapidjson::Value* dynamodb = member(record, "dynamodb");
            const rapidjson::Value* sequence = dynamodb ? member(*dynamodb, "SequenceNumber") : nullptr;
            if (!event || !event->IsString() || !dynamodb || !dynamodb->IsObject() || !sequence || !sequence->IsString())
                return false;
            // An event of a kind DynamoDB does not have cannot be replayed right.
            const std::string kind(event->GetString(), event->GetStringLength());
            if (kind != "INSERT" && kind != "MODIFY" && kind != "REMOVE") return false;
            const bool remove = kind == "REMOVE";
            buffer.Clear();
            rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
            writeOrNull(writer, member(*dynamodb, remove ? "Keys" : "NewImage"));
            escapeSurrogateBytes(buffer);
            line.assign(remove ? "REMOVE: " : "UPDATE: ");
            line.append(buffer.GetString(), buffer.GetSize());
            line.push_back('\n');
            approximateCreationDateTime = wholeSeconds(member(*dynamodb, "ApproximateCreationDateTime"));
            output->noteChangeTime(approximateCreationDateTime);
            if (!output->putString(line)) return false;
            lastSequenceNumber.assign(sequence->GetString(), sequence->GetStringLength());
            output->updateRestart(lastSequenceNumber);
            ++recordCount;
            if (output->stopNow()) return true;
        }
    }
    nextShardIterator = json_text::stringMember(document, "NextShardIterator");
    return true;
}
