#include "dynamodb/ScanResult.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <vector>

#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "text/JsonText.h"
#include "text/BoundedJson.h"
#include "text/LoneSurrogates.h"

std::string ScanRequest::asJson() const {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("TableName");
    writer.String(tableName.c_str(), static_cast<rapidjson::SizeType>(tableName.size()));
    writer.Key("Segment");
    writer.Int64(segment);
    writer.Key("TotalSegments");
    writer.Int64(totalSegments);
    if (exclusiveStartKey.IsObject() && exclusiveStartKey.MemberCount() > 0) {
        writer.Key("ExclusiveStartKey");
        exclusiveStartKey.Accept(writer);
    }
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

ScanResult::ScanResult(const rapidjson::Value& response) { assign(response); }

ScanResult::ScanResult(const ScanResult& other) : items(other.items) {
    lastEvaluatedKey.CopyFrom(other.lastEvaluatedKey, lastEvaluatedKey.GetAllocator());
}

void ScanResult::assign(const rapidjson::Value& response) {
    items.clear();
    if (response.IsObject()) {
        auto found = response.FindMember("Items");
        if (found != response.MemberEnd() && found->value.IsArray())
            for (const auto& item : found->value.GetArray()) items.push_back(json_text::compact(item));
    }
    rapidjson::Document key;
    if (response.IsObject()) {
        auto found = response.FindMember("LastEvaluatedKey");
        if (found != response.MemberEnd()) key.CopyFrom(found->value, key.GetAllocator());
    }
    lastEvaluatedKey.Swap(key);
}

namespace {

using PageWriter = rapidjson::Writer<rapidjson::StringBuffer>;

// RapidJSON's writer with numbers kept as the text they came as (its own
// RawNumber would quote them).
struct CompactWriter : PageWriter {
    using PageWriter::PageWriter;
    bool RawNumber(const char* s, rapidjson::SizeType n, bool) { return RawValue(s, n, rapidjson::kNumberType); }
};

bool isUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// Whether item text is byte for byte what the writer would make of it: no
// whitespace between tokens, and in strings only the escapes the writer
// itself uses (the short ones, and \u00XX in upper-case hex for the other
// control characters). DynamoDB answers in this form, so an item line can
// be copied from the answer as it stands.
bool writtenAsIs(const char* text, size_t length) {
    bool inString = false;
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (!inString) {
            if (c == '"') inString = true;
            else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') return false;
            continue;
        }
        if (c == '"') {
            inString = false;
        } else if (c == '\\') {
            if (++i >= length) return false;
            const char e = text[i];
            if (e == 'u') {
                if (i + 4 >= length || text[i + 1] != '0' || text[i + 2] != '0' ||
                    (text[i + 3] != '0' && text[i + 3] != '1') || !isUpperHex(text[i + 4]))
                    return false;
                const int value = (text[i + 3] - '0') * 16 + (text[i + 4] <= '9' ? text[i + 4] - '0' : text[i + 4] - 'A' + 10);
                if (value == 8 || value == 9 || value == 10 || value == 12 || value == 13) return false;
                i += 4;
            } else if (e != '"' && e != '\\' && e != 'b' && e != 'f' && e != 'n' && e != 'r' && e != 't') {
                return false;
            }
        }
    }
    return !inString;
}

// Streams one Scan answer from the parser into item lines. The parser
// checks the whole page; each element of "Items" is then copied from the
// answer as it stands when that is what writing it compactly would give
// (DynamoDB's own form), and re-written compactly otherwise, followed by a
// line feed; "LastEvaluatedKey" is re-written into its own buffer. No
// document is built.
class PageHandler {
public:
    using Ch = char;

    // `original` is the text the in-situ `stream` parses a copy of.
    PageHandler(const char* original, rapidjson::InsituStringStream& stream, std::string& page,
                rapidjson::StringBuffer& key, std::string& scratch, rapidjson::StringBuffer& item)
        : original_(original), stream_(stream), page_(page), key_(key), scratch_(scratch), item_(item),
          keyWriter_(key) {}

    bool Null() { return scalar([](PageWriter& w) { return w.Null(); }); }
    bool Bool(bool b) { return scalar([b](PageWriter& w) { return w.Bool(b); }); }
    bool Int(int i) { return scalar([i](PageWriter& w) { return w.Int(i); }); }
    bool Uint(unsigned u) { return scalar([u](PageWriter& w) { return w.Uint(u); }); }
    bool Int64(int64_t i) { return scalar([i](PageWriter& w) { return w.Int64(i); }); }
    bool Uint64(uint64_t u) { return scalar([u](PageWriter& w) { return w.Uint64(u); }); }
    bool Double(double d) { return scalar([d](PageWriter& w) { return w.Double(d); }); }
    bool RawNumber(const Ch* s, rapidjson::SizeType n, bool copy) {
        (void)copy; // in-situ parsing: the text stays valid for the whole page
        if (!target_ && depth_ == 1 && member_ == "Count") {
            sawCount_ = true;
            count_ = std::string(s, n);
        }
        // A number beyond a double's range is refused, as by every parser of
        // ours (items hold their numbers as strings; these are rare).
        if (!std::isfinite(std::strtod(std::string(s, n).c_str(), nullptr))) return false;
        return scalar([=](PageWriter& w) { return w.RawValue(s, n, rapidjson::kNumberType); });
    }
    bool String(const Ch* s, rapidjson::SizeType n, bool copy) {
        return scalar([=](PageWriter& w) { return w.String(s, n, copy); });
    }
    bool Key(const Ch* s, rapidjson::SizeType n, bool copy) {
        // In-situ: the name stays where it is for the whole page.
        if (!keys_.empty()) keys_.back().emplace_back(s, n);
        if (target_) return target_->Key(s, n, copy);
        if (depth_ == 1) {
            member_.assign(s, n);
            // A member twice would leave it open which one counts.
            if (std::find(members_.begin(), members_.end(), member_) != members_.end()) return false;
            members_.push_back(member_);
        }
        return true;
    }
    bool StartObject() {
        if (!open(false, [](PageWriter& w) { return w.StartObject(); })) return false;
        keys_.emplace_back();
        return true;
    }
    bool EndObject(rapidjson::SizeType n) {
        // A member twice in any object, an item or a map in one above all,
        // is refused: which one DynamoDB meant is not known.
        if (keys_.empty() || namesRepeat(keys_.back())) return false;
        keys_.pop_back();
        return close([n](PageWriter& w) { return w.EndObject(n); });
    }
    bool StartArray() { return open(true, [](PageWriter& w) { return w.StartArray(); }); }
    bool EndArray(rapidjson::SizeType n) { return close([n](PageWriter& w) { return w.EndArray(n); }); }

    bool rootIsObject() const { return rootIsObject_; }
    bool written() const { return written_; }
    bool sawItems() const { return sawItems_; }
    bool sawKey() const { return sawKey_; }
    // The page holds what it says: an "Items" array of objects, as many as
    // its "Count" (when given), and a "LastEvaluatedKey" that is an object.
    bool consistent() const {
        if (!sawItems_ || !itemsWereArray_ || (sawKey_ && !keyWasObject_)) return false;
        return !sawCount_ || count_ == std::to_string(items_);
    }

private:
    // A value begins at the current depth: decide whether it is copied out.
    bool begin(bool container, bool array) {
        if (depth_ == 0) {
            rootIsObject_ = container && !array;
        } else if (depth_ == 1 && member_ == "Items") {
            sawItems_ = true;
            itemsOpening_ = container && array;
            itemsWereArray_ = itemsOpening_;
        } else if (depth_ == 1 && member_ == "LastEvaluatedKey") {
            sawKey_ = true;
            keyWasObject_ = container && !array;
            key_.Clear();
            keyWriter_.Reset(key_);
            target_ = &keyWriter_;
            targetDepth_ = 1;
        } else if (depth_ == 2 && inItems_) {
            if (!container || array) return false; // an item is an object
            ++items_;
            copying_ = true;
            itemStart_ = stream_.Tell() - 1; // just past its '{'
        }
        return true;
    }

    void end() { target_ = nullptr; }

    // The item that began at itemStart_ ends just before the stream.
    bool endItem() {
        copying_ = false;
        const char* text = original_ + itemStart_;
        const size_t length = stream_.Tell() - itemStart_;
        if (writtenAsIs(text, length)) {
            page_.append(text, length).push_back('\n');
            return true;
        }
        scratch_.assign(text, length);
        item_.Clear();
        CompactWriter writer(item_);
        rapidjson::Reader reader;
        rapidjson::InsituStringStream again(&scratch_[0]);
        reader.Parse<rapidjson::kParseInsituFlag | rapidjson::kParseNumbersAsStringsFlag>(again, writer);
        if (reader.HasParseError()) return written_ = false;
        page_.append(item_.GetString(), item_.GetSize()).push_back('\n');
        return true;
    }

    template <class Emit>
    bool scalar(Emit emit) {
        if (!target_ && !copying_ && !begin(false, false)) return false;
        if (target_ && !emit(*target_)) return false;
        if (target_ && depth_ == targetDepth_) end();
        return true;
    }

    template <class Emit>
    bool open(bool array, Emit emit) {
        if (!target_ && !copying_ && !begin(true, array)) return false;
        if (target_ && !emit(*target_)) return false;
        ++depth_;
        if (itemsOpening_) {
            inItems_ = true;
            itemsOpening_ = false;
        }
        return true;
    }

    template <class Emit>
    bool close(Emit emit) {
        if (target_ && !emit(*target_)) return false;
        --depth_;
        if (target_ && depth_ == targetDepth_)
            end();
        else if (copying_ && depth_ == 2)
            return endItem();
        else if (depth_ == 1)
            inItems_ = false;
        return true;
    }

    const char* original_;
    rapidjson::InsituStringStream& stream_;
    std::string& page_;
    rapidjson::StringBuffer& key_;
    std::string& scratch_;
    rapidjson::StringBuffer& item_;
    PageWriter keyWriter_;
    bool copying_ = false; // inside an element of "Items"
    size_t itemStart_ = 0;
    bool written_ = true;
    PageWriter* target_ = nullptr;
    int targetDepth_ = 0;
    int depth_ = 0;
    std::string member_;
    bool rootIsObject_ = false;
    bool sawItems_ = false;
    bool sawKey_ = false;
    bool itemsOpening_ = false;
    bool inItems_ = false;
    bool itemsWereArray_ = false;
    bool keyWasObject_ = false;
    bool sawCount_ = false;
    std::string count_;
    uint64_t items_ = 0;
    std::vector<std::string> members_; // of the page object
    std::vector<std::vector<std::string_view>> keys_; // of each object open
};

// Per-thread buffers, reused page after page: a segment worker then touches
// the same memory for every page instead of fresh pages each time.
struct PageBuffers {
    std::string body;
    std::string page;
    rapidjson::StringBuffer key;
    std::string scratch;
    rapidjson::StringBuffer item;
};

} // namespace

namespace {

struct PageOutcome {
    bool parsed = false;
    bool surrogate = false; // refused for a surrogate escape
    bool sawItems = false;
    bool sawKey = false;
};

PageOutcome parsePage(const char* text, size_t length, PageBuffers& buffers) {
    buffers.body.assign(text, length);
    buffers.page.clear();
    buffers.key.Clear();
    rapidjson::Reader reader;
    rapidjson::InsituStringStream stream(&buffers.body[0]);
    PageHandler handler(text, stream, buffers.page, buffers.key, buffers.scratch, buffers.item);
    reader.Parse<rapidjson::kParseInsituFlag | rapidjson::kParseNumbersAsStringsFlag>(stream, handler);
    PageOutcome outcome;
    outcome.parsed = !reader.HasParseError() && handler.rootIsObject() && handler.consistent() && handler.written();
    outcome.surrogate = reader.HasParseError() &&
                        reader.GetParseErrorCode() == rapidjson::kParseErrorStringUnicodeSurrogateInvalid;
    outcome.sawItems = handler.sawItems();
    outcome.sawKey = handler.sawKey();
    return outcome;
}

} // namespace

bool ScanResult::parseToStream(const std::string& responseBody, TeskOutput* output, std::string& lastEvaluatedKey) {
    // The reader recurses per level; a page nested deeper than any item can be is refused.
    if (!jsonDepthWithin(responseBody.data(), responseBody.size())) return false;
    thread_local PageBuffers buffers;
    PageOutcome page = parsePage(responseBody.data(), responseBody.size(), buffers);
    if (page.surrogate && hasLoneHighSurrogate(responseBody.data(), responseBody.size())) {
        const std::string kept = withLoneSurrogateBytes(responseBody.data(), responseBody.size());
        page = parsePage(kept.data(), kept.size(), buffers);
    }
    if (!page.parsed) return false;
    // A lone low surrogate decodes to three bytes even without a lone high one.
    escapeSurrogateBytes(buffers.page);
    escapeSurrogateBytes(buffers.key);

    if (page.sawItems && !output->putString(buffers.page)) return false;
    if (page.sawKey)
        lastEvaluatedKey.assign(buffers.key.GetString(), buffers.key.GetSize());
    else
        lastEvaluatedKey.clear();
    output->updateRestart(lastEvaluatedKey);
    return true;
}
