#include "dynamodb/ScanResult.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <forward_list>
#include <memory>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// What RapidJSON's in-situ parse reads and writes, but with the writing
// sent elsewhere: the answer is read where it lies and never changed, and
// each string is decoded into a small buffer (touched again for every
// string, so it stays in the cache) instead of over a copy of the page.
// Numbers are not written at all; their handler finds them in the answer
// by the position of the stream it was handed, which stays at a value's
// start until the value has been read.
class AnswerStream {
public:
    using Ch = char;

    // `text` ends with a NUL after `length` bytes; `scratch` holds at least
    // as many bytes as the text, since no string decodes to more than its
    // raw text.
    AnswerStream(const char* text, size_t length, char* scratch)
        : src_(text), head_(text), end_(text + length), scratch_(scratch) {}

    Ch Peek() const { return *src_; }
    Ch Take() { return *src_++; }
    size_t Tell() const { return static_cast<size_t>(src_ - head_); }

    Ch* PutBegin() { return dst_ = scratch_; }
    void Put(Ch c) { *dst_++ = c; }
    size_t PutEnd(Ch* begin) { return static_cast<size_t>(dst_ - begin); }
    void Flush() {}

    // Inside a string: copies its text up to the next quote, backslash or
    // control character at once, and leaves that one to RapidJSON, which
    // would otherwise copy every byte with a call of its own.
    void copyPlainText() {
#if defined(__SSE2__)
        const __m128i quote = _mm_set1_epi8('"');
        const __m128i backslash = _mm_set1_epi8('\\');
        const __m128i control = _mm_set1_epi8(0x1F);
        // A whole block is stored before its length is known: the scratch
        // buffer is as long as the text and never ahead of it.
        while (end_ - src_ >= 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src_));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst_), block);
            // max(b, 0x1F) == 0x1F exactly for the bytes below 0x20, unsigned.
            const __m128i low = _mm_cmpeq_epi8(_mm_max_epu8(block, control), control);
            const int stop = _mm_movemask_epi8(
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)), low));
            if (stop) {
                const int plain = __builtin_ctz(static_cast<unsigned>(stop));
                src_ += plain;
                dst_ += plain;
                return;
            }
            src_ += 16;
            dst_ += 16;
        }
#endif
        for (; src_ < end_; ++src_) {
            const unsigned char c = static_cast<unsigned char>(*src_);
            if (c == '"' || c == '\\' || c < 0x20) return;
            *dst_++ = *src_;
        }
    }

private:
    const Ch* src_;
    const Ch* head_;
    const Ch* end_;
    Ch* scratch_;
    Ch* dst_ = nullptr;
};

} // namespace

namespace rapidjson {
template <>
struct StreamTraits<AnswerStream> {
    enum { copyOptimization = 1 };
};

// RapidJSON's hook for copying a string's plain runs at once, which it
// fills in only for its own streams.
template <>
template <>
inline void GenericReader<UTF8<>, UTF8<>, CrtAllocator>::ScanCopyUnescapedString<AnswerStream, AnswerStream>(
    AnswerStream& is, AnswerStream&) {
    is.copyPlainText();
}
} // namespace rapidjson

namespace {

bool isUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// The first quote or backslash at or after `from`, or `length`, sixteen
// bytes at a time (a call to memchr per run would cost more than the
// search); nothing at or past `length` is read.
size_t quoteOrEscape(const char* text, size_t length, size_t from) {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    for (; from + 16 <= length; from += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + from));
        const int found = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)));
        if (found) return from + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(found)));
    }
#endif
    for (; from < length; ++from)
        if (text[from] == '"' || text[from] == '\\') return from;
    return length;
}

// The length of a string's raw text, which begins at `text` and ends before
// its closing quote at most `limit` bytes on, and whether its escapes are
// all ones RapidJSON's writer itself writes: the short ones, and \u00XX in
// upper-case hex for the other control characters.
size_t rawStringLength(const char* text, size_t limit, bool& asWritten) {
    for (size_t i = 0;; ++i) {
        i = quoteOrEscape(text, limit, i);
        if (i >= limit) return limit;
        if (text[i] == '"') return i;
        if (++i >= limit) return limit;
        // The character after a backslash never ends the string; the hex
        // digits of \u cannot either.
        const char e = text[i];
        if (e == 'u') {
            if (i + 4 >= limit || text[i + 1] != '0' || text[i + 2] != '0' ||
                (text[i + 3] != '0' && text[i + 3] != '1') || !isUpperHex(text[i + 4])) {
                asWritten = false;
                continue;
            }
            const int value = (text[i + 3] - '0') * 16 + (text[i + 4] <= '9' ? text[i + 4] - '0' : text[i + 4] - 'A' + 10);
            if (value == 8 || value == 9 || value == 10 || value == 12 || value == 13) asWritten = false;
            i += 4;
        } else if (e != '"' && e != '\\' && e != 'b' && e != 'f' && e != 'n' && e != 'r' && e != 't') {
            asWritten = false;
        }
    }
}

// Streams one Scan answer from the parser into item lines. The parser
// checks the whole page; each element of "Items" is then copied from the
// answer as it stands when that is byte for byte what writing it compactly
// gives (DynamoDB's own form: no whitespace between tokens, and only the
// escapes the writer uses), and re-written compactly otherwise, followed by
// a line feed; "LastEvaluatedKey" is re-written into its own buffer. No
// document is built. An item is known to be in that form when its length
// is the sum of its tokens' compact lengths and no string has an escape
// the writer would write differently; a string's escapes are looked at
// only when it has any (its decoded length is then below its raw one).
class PageHandler {
public:
    using Ch = char;

    // `original` is the text `stream` reads.
    PageHandler(const char* original, size_t length, AnswerStream& stream, std::string& page,
                rapidjson::StringBuffer& key, std::string& scratch, rapidjson::StringBuffer& item,
                std::vector<size_t>& commas)
        : original_(original), length_(length), stream_(stream), page_(page), key_(key), scratch_(scratch),
          item_(item), keyWriter_(key), commas_(commas) {
        commas_.clear();
    }

    bool Null() {
        compact_ += 4;
        return scalar([](PageWriter& w) { return w.Null(); });
    }
    bool Bool(bool b) {
        compact_ += b ? 4 : 5;
        return scalar([b](PageWriter& w) { return w.Bool(b); });
    }
    bool Int(int i) { return scalar([i](PageWriter& w) { return w.Int(i); }); }
    bool Uint(unsigned u) { return scalar([u](PageWriter& w) { return w.Uint(u); }); }
    bool Int64(int64_t i) { return scalar([i](PageWriter& w) { return w.Int64(i); }); }
    bool Uint64(uint64_t u) { return scalar([u](PageWriter& w) { return w.Uint64(u); }); }
    bool Double(double d) { return scalar([d](PageWriter& w) { return w.Double(d); }); }
    bool RawNumber(const Ch*, rapidjson::SizeType n, bool) {
        // The stream still stands at the number: its text is in the answer.
        const char* s = original_ + stream_.Tell();
        if (!target_ && depth_ == 1 && member_ == "Count") {
            sawCount_ = true;
            count_ = std::string(s, n);
        }
        // A number beyond a double's range is refused, as by every parser of
        // ours (items hold their numbers as strings; these are rare).
        if (!std::isfinite(std::strtod(std::string(s, n).c_str(), nullptr))) return false;
        compact_ += n;
        return scalar([=](PageWriter& w) { return w.RawValue(s, n, rapidjson::kNumberType); });
    }
    bool String(const Ch* s, rapidjson::SizeType n, bool copy) {
        noteString(s, n);
        return scalar([=](PageWriter& w) { return w.String(s, n, copy); });
    }
    bool Key(const Ch* s, rapidjson::SizeType n, bool copy) {
        const char* raw = noteString(s, n);
        ++compact_; // its ':'
        // The decoded name lasts only for this call: a name without escapes
        // is its raw text in the answer, any other is kept for the page.
        if (openObjects_ > 0) {
            if (!raw) raw = escapedNames_.emplace_front(s, n).data();
            keys_[openObjects_ - 1].emplace_back(raw, n);
        }
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
        // The name lists of closed objects are kept for the next ones.
        if (openObjects_ == keys_.size()) keys_.emplace_back();
        keys_[openObjects_++].clear();
        return true;
    }
    bool EndObject(rapidjson::SizeType n) {
        // A member twice in any object, an item or a map in one above all,
        // is refused: which one DynamoDB meant is not known.
        if (openObjects_ == 0 || namesRepeat(keys_[openObjects_ - 1])) return false;
        --openObjects_;
        compact_ += 2 + (n > 0 ? n - 1 : 0); // the braces and the commas
        return close([n](PageWriter& w) { return w.EndObject(n); });
    }
    bool StartArray() { return open(true, [](PageWriter& w) { return w.StartArray(); }); }
    bool EndArray(rapidjson::SizeType n) {
        compact_ += 2 + (n > 0 ? n - 1 : 0);
        return close([n](PageWriter& w) { return w.EndArray(n); });
    }

    // Every item so far was copied as it stands and lies one comma after
    // the one before: the answer's bytes [runStart, runEnd) hold them all,
    // the commas between them at `commas`.
    bool allInRun() const { return inRun_; }
    size_t runStart() const { return runStart_; }
    size_t runEnd() const { return runEnd_; }
    const std::vector<size_t>& commas() const { return commas_; }
    // The run's items, as lines, into the page, which then takes the rest.
    void flushRun() {
        if (!inRun_) return;
        inRun_ = false;
        size_t from = runStart_;
        for (const size_t comma : commas_) {
            page_.append(original_ + from, comma - from).push_back('\n');
            from = comma + 1;
        }
        if (runEnd_ > from) page_.append(original_ + from, runEnd_ - from).push_back('\n');
    }

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
            compact_ = 0;
            asWritten_ = true;
        }
        return true;
    }

    // A string just parsed, `n` bytes once decoded: the stream still stands
    // at its opening quote. Returns its raw text when that is the decoded
    // text (no escapes), else null.
    const char* noteString(const Ch*, rapidjson::SizeType n) {
        const size_t offset = stream_.Tell() + 1;
        const char* raw = original_ + offset;
        // Each escape is longer than what it decodes to, so a string with
        // one still runs on at raw[n]. A quote there is then escaped, with
        // its backslash at raw[n - 1]; a string without escapes has no
        // backslash at all and ends at raw[n].
        const bool plain = offset + n < length_ && raw[n] == '"' && (n == 0 || raw[n - 1] != '\\');
        if (copying_) compact_ += (plain ? n : rawStringLength(raw, length_ - offset, asWritten_)) + 2;
        return plain ? raw : nullptr;
    }

    void end() { target_ = nullptr; }

    // The item that began at itemStart_ ends just before the stream.
    bool endItem() {
        copying_ = false;
        const char* text = original_ + itemStart_;
        const size_t length = stream_.Tell() - itemStart_;
        if (asWritten_ && compact_ == length) {
            if (inRun_ && runEnd_ == 0) {
                runStart_ = itemStart_;
                runEnd_ = itemStart_ + length;
                return true;
            }
            if (inRun_ && itemStart_ == runEnd_ + 1 && original_[runEnd_] == ',') {
                commas_.push_back(runEnd_);
                runEnd_ = itemStart_ + length;
                return true;
            }
            flushRun();
            page_.append(text, length).push_back('\n');
            return true;
        }
        flushRun();
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
        // The parser recurses per level: a page nested deeper than any item
        // can be is refused before it gets there.
        if (depth_ >= kMaxJsonDepth) return false;
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
    const size_t length_;
    AnswerStream& stream_;
    std::string& page_;
    rapidjson::StringBuffer& key_;
    std::string& scratch_;
    rapidjson::StringBuffer& item_;
    PageWriter keyWriter_;
    bool copying_ = false; // inside an element of "Items"
    size_t itemStart_ = 0;
    size_t compact_ = 0;     // the item's length written compactly, so far
    bool asWritten_ = true;  // no escape of the item so far is written otherwise
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
    bool inRun_ = true;
    size_t runStart_ = 0;
    size_t runEnd_ = 0; // 0: no item yet
    std::vector<size_t>& commas_;
    std::vector<std::string> members_; // of the page object
    std::vector<std::vector<std::string_view>> keys_; // names of each object open, and spares
    std::forward_list<std::string> escapedNames_;     // decoded names that are not their raw text
    size_t openObjects_ = 0;
};

// Per-thread buffers, reused page after page: a segment worker then touches
// the same memory for every page instead of fresh pages each time.
struct PageBuffers {
    // Room to decode any string of the largest page so far; only as much
    // of it as the longest string is ever touched.
    std::unique_ptr<char[]> decoded;
    size_t decodedSize = 0;
    std::string page;
    rapidjson::StringBuffer key;
    std::string scratch;
    rapidjson::StringBuffer item;
    std::vector<size_t> commas;
};

} // namespace

namespace {

struct PageOutcome {
    bool parsed = false;
    bool surrogate = false; // refused for a surrogate escape
    bool sawItems = false;
    bool sawKey = false;
    // The lines: in the page buffer, or, when `inPlace`, the answer's own
    // bytes [linesStart, linesEnd).
    bool inPlace = false;
    size_t linesStart = 0;
    size_t linesEnd = 0;
};

// `text` is the answer; `writable` the same bytes when they may become the
// lines themselves (the common case: every item as DynamoDB wrote it, one
// comma apart, so the commas and the closing bracket turn into line feeds
// and nothing is copied), else null.
// `text` ends with a NUL byte, as a std::string's bytes do.
PageOutcome parsePage(const char* text, size_t length, char* writable, PageBuffers& buffers) {
    if (buffers.decodedSize < length + 1) {
        buffers.decoded.reset(new char[length + 1]);
        buffers.decodedSize = length + 1;
    }
    buffers.page.clear();
    buffers.key.Clear();
    rapidjson::Reader reader;
    AnswerStream stream(text, length, buffers.decoded.get());
    PageHandler handler(text, length, stream, buffers.page, buffers.key, buffers.scratch, buffers.item,
                        buffers.commas);
    reader.Parse<rapidjson::kParseInsituFlag | rapidjson::kParseNumbersAsStringsFlag>(stream, handler);
    PageOutcome outcome;
    // The stream ends at a NUL byte as at the body's end, so a page is
    // whole only if the parse reached the end of what was received.
    outcome.parsed = !reader.HasParseError() && stream.Tell() == length && handler.rootIsObject() &&
                     handler.consistent() && handler.written();
    outcome.surrogate = reader.HasParseError() &&
                        reader.GetParseErrorCode() == rapidjson::kParseErrorStringUnicodeSurrogateInvalid;
    outcome.sawItems = handler.sawItems();
    outcome.sawKey = handler.sawKey();
    if (!outcome.parsed) return outcome;
    // runEnd() < length: the array's closing bracket follows the last item.
    if (writable && handler.allInRun() && handler.runEnd() > 0 && handler.runEnd() < length) {
        for (const size_t comma : handler.commas()) writable[comma] = '\n';
        writable[handler.runEnd()] = '\n';
        outcome.inPlace = true;
        outcome.linesStart = handler.runStart();
        outcome.linesEnd = handler.runEnd() + 1;
    } else {
        handler.flushRun();
    }
    return outcome;
}

} // namespace

namespace {

bool streamPage(const char* text, size_t length, char* writable, TeskOutput* output, std::string& lastEvaluatedKey) {
    thread_local PageBuffers buffers;
    PageOutcome page = parsePage(text, length, writable, buffers);
    std::string kept;
    if (page.surrogate && hasLoneHighSurrogate(text, length)) {
        kept = withLoneSurrogateBytes(text, length);
        page = parsePage(kept.data(), kept.size(), &kept[0], buffers);
        text = kept.data();
    }
    if (!page.parsed) return false;
    // A lone low surrogate decodes to three bytes even without a lone high one.
    escapeSurrogateBytes(buffers.key);
    if (page.inPlace) {
        const char* lines = text + page.linesStart;
        const size_t size = page.linesEnd - page.linesStart;
        if (escapedSurrogateBytes(lines, size, buffers.page)) {
            if (!output->putString(buffers.page)) return false;
        } else if (!output->putData(lines, size)) {
            return false;
        }
    } else {
        escapeSurrogateBytes(buffers.page);
        if (page.sawItems && !output->putString(buffers.page)) return false;
    }
    if (page.sawKey)
        lastEvaluatedKey.assign(buffers.key.GetString(), buffers.key.GetSize());
    else
        lastEvaluatedKey.clear();
    output->updateRestart(lastEvaluatedKey);
    return true;
}

} // namespace

bool ScanResult::parseToStream(const std::string& responseBody, TeskOutput* output, std::string& lastEvaluatedKey) {
    return streamPage(responseBody.data(), responseBody.size(), nullptr, output, lastEvaluatedKey);
}

bool ScanResult::parseToStreamInPlace(std::string& responseBody, TeskOutput* output, std::string& lastEvaluatedKey) {
    return streamPage(responseBody.data(), responseBody.size(), &responseBody[0], output, lastEvaluatedKey);
}
