// The bounded JSON parser: anything it accepts writes back as text that
// parses to the same value (strings exactly, lone surrogates included); the
// bracket walks agree with it, and with the plain walk one byte at a time
// on any bytes at all.

#include "text/JsonText.h"
#include "fuzz/FuzzInput.h"
#include "text/BoundedJson.h"
#include "framework/KeyString.h"
#include "tests/support/BracketWalk.h"


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = fuzzText(data, size);
    for (const int depth : {0, 2, kMaxJsonDepth}) {
        FUZZ_CHECK(isOneJsonObject(text.data(), text.size(), depth) == reference::oneObject(text.data(), text.size(), depth));
        FUZZ_CHECK(jsonDepthWithin(text.data(), text.size(), depth) == reference::depthWithin(text.data(), text.size(), depth));
    }
    rapidjson::Document document;
    const bool parsed = parseBoundedJson(document, text);
    FUZZ_CHECK(parsed || document.IsNull());
    if (parsed) {
        FUZZ_CHECK(jsonDepthWithin(text.data(), text.size()));
        const std::string written = json_text::compact(document);
        rapidjson::Document again;
        FUZZ_CHECK(parseBoundedJson(again, written));
        FUZZ_CHECK(sameValue(again, document));
        if (document.IsObject()) FUZZ_CHECK(isOneJsonObject(written.data(), written.size()));
    }
    keyString(text, {"id", "sk"});
    return 0;
}
