// A Scan answer, through both of its parsers: the streaming one that writes
// item lines (copying them, or making them in the answer's own bytes), and
// the document one. What the first accepts, the second reads to the same
// items and key, and each line is byte for byte what writing its item
// compactly gives.

#include "text/JsonText.h"
#include "dynamodb/ScanResult.h"
#include "fuzz/FuzzInput.h"
#include "text/BoundedJson.h"
#include "framework/MemoryStreams.h"

#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace {

bool sameJson(const std::string& a, const std::string& b) {
    rapidjson::Document left, right;
    return parseBoundedJson(left, a) && parseBoundedJson(right, b) && sameValue(left, right);
}

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

// RapidJSON's writer with numbers kept as the text they came as.
struct RawNumberWriter : Writer {
    using Writer::Writer;
    bool RawNumber(const char* s, rapidjson::SizeType n, bool) { return RawValue(s, n, rapidjson::kNumberType); }
};

// A line is as its item is written compactly: writing it again changes
// nothing. (Strings with surrogates round-trip through their own escapes,
// which the document check above covers.)
bool writtenCompactly(const std::string& line) {
    if (line.find("\\ud") != std::string::npos || line.find("\\uD") != std::string::npos ||
        line.find('\xED') != std::string::npos)
        return true;
    rapidjson::StringBuffer buffer;
    RawNumberWriter writer(buffer);
    rapidjson::Reader reader;
    rapidjson::StringStream in(line.c_str());
    if (!reader.Parse<rapidjson::kParseNumbersAsStringsFlag>(in, writer)) return false;
    return line == std::string(buffer.GetString(), buffer.GetSize());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body = fuzzText(data, size);
    MemoryOutput output("scan");
    std::string key;
    const bool streamed = ScanResult::parseToStream(body, &output, key);
    // Lines made in the answer's own bytes are the same lines.
    std::string writable = body;
    MemoryOutput inPlace("scan in place");
    std::string inPlaceKey;
    FUZZ_CHECK(ScanResult::parseToStreamInPlace(writable, &inPlace, inPlaceKey) == streamed);
    FUZZ_CHECK(inPlace.data() == output.data());
    FUZZ_CHECK(inPlaceKey == key);
    if (!streamed) {
        FUZZ_CHECK(output.data().empty());
        return 0;
    }
    rapidjson::Document document;
    FUZZ_CHECK(json_text::parseObject(document, body));
    ScanResult result(document);
    const std::string& lines = output.data();
    size_t start = 0;
    size_t index = 0;
    for (size_t end; (end = lines.find('\n', start)) != std::string::npos; start = end + 1, ++index) {
        FUZZ_CHECK(index < result.items.size());
        FUZZ_CHECK(sameJson(lines.substr(start, end - start), result.items[index]));
        FUZZ_CHECK(writtenCompactly(lines.substr(start, end - start)));
    }
    FUZZ_CHECK(start == lines.size());
    FUZZ_CHECK(index == result.items.size());
    if (key.empty())
        FUZZ_CHECK(result.lastEvaluatedKey.IsNull());
    else
        FUZZ_CHECK(sameJson(key, json_text::compact(result.lastEvaluatedKey)));
    return 0;
}
