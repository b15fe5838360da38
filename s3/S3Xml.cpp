#include "s3/S3Xml.h"

#include <expat.h>

#include <memory>

namespace s3xml {

namespace {

// The elements of a document as (path, text) pairs, where the path joins
// the element names below the root with '/': "Contents/Key".
struct Element {
    std::string path;
    std::string text;
};

struct Collector {
    std::string root;
    std::vector<std::string> open;
    std::vector<std::string> texts;
    std::vector<Element> elements;
};

std::string pathOf(const std::vector<std::string>& open) {
    std::string path;
    for (size_t i = 1; i < open.size(); ++i) path.append(i > 1 ? "/" : "").append(open[i]);
    return path;
}

void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char**) {
    auto* collector = static_cast<Collector*>(data);
    if (collector->open.empty()) collector->root = name;
    collector->open.emplace_back(name);
    collector->texts.emplace_back();
}

void XMLCALL onEnd(void* data, const XML_Char*) {
    auto* collector = static_cast<Collector*>(data);
    collector->elements.push_back({pathOf(collector->open), std::move(collector->texts.back())});
    collector->open.pop_back();
    collector->texts.pop_back();
}

void XMLCALL onText(void* data, const XML_Char* text, int length) {
    auto* collector = static_cast<Collector*>(data);
    if (!collector->texts.empty()) collector->texts.back().append(text, static_cast<size_t>(length));
}

struct ParserFree {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

// False when the text is not well-formed XML or its root is not `root`.
bool collect(const std::string& text, const char* root, Collector& collector) {
    std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate("UTF-8"));
    if (!parser || text.size() > (1u << 30)) return false;
    XML_SetUserData(parser.get(), &collector);
    XML_SetElementHandler(parser.get(), &onStart, &onEnd);
    XML_SetCharacterDataHandler(parser.get(), &onText);
    if (XML_Parse(parser.get(), text.data(), static_cast<int>(text.size()), XML_TRUE) != XML_STATUS_OK) return false;
    return collector.root == root;
}

} // namespace

bool parseError(const std::string& text, ErrorAnswer& answer) {
    Collector collector;
    if (!collect(text, "Error", collector)) return false;
    for (const auto& element : collector.elements) {
        if (element.path == "Code") answer.code = element.text;
        if (element.path == "Message") answer.message = element.text;
        if (element.path == "Region") answer.region = element.text;
    }
    return !answer.code.empty();
}

bool parseListPage(const std::string& text, ListPage& page) {
    Collector collector;
    if (!collect(text, "ListBucketResult", collector)) return false;
    for (const auto& element : collector.elements) {
        if (element.path == "Contents/Key") page.keys.push_back(element.text);
        if (element.path == "CommonPrefixes/Prefix") page.prefixes.push_back(element.text);
        if (element.path == "IsTruncated") page.truncated = element.text == "true";
        if (element.path == "NextContinuationToken") page.nextToken = element.text;
    }
    // A truncated page without a token could only be listed again from its
    // start, for ever.
    return !page.truncated || !page.nextToken.empty();
}

bool parseUploadId(const std::string& text, std::string& uploadId) {
    Collector collector;
    if (!collect(text, "InitiateMultipartUploadResult", collector)) return false;
    for (const auto& element : collector.elements)
        if (element.path == "UploadId") uploadId = element.text;
    return !uploadId.empty();
}

std::string escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string completeUploadBody(const std::vector<std::string>& etags) {
    std::string body = "<CompleteMultipartUpload>";
    for (size_t i = 0; i < etags.size(); ++i)
        body += "<Part><PartNumber>" + std::to_string(i + 1) + "</PartNumber><ETag>" + escape(etags[i]) +
                "</ETag></Part>";
    return body + "</CompleteMultipartUpload>";
}

} // namespace s3xml
