// The shared config and credentials files: any text either parses, with
// every profile's names lower-cased and values trimmed, or is refused with
// the file and line named; and the same text read twice reads the same.

#include <cctype>

#include "aws/SharedConfig.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = fuzzText(data, size);
    // The first line feed splits the input into the two files.
    const size_t split = text.find('\n');
    const std::string config = split == std::string::npos ? text : text.substr(0, split);
    const std::string credentials = split == std::string::npos ? "" : text.substr(split + 1);
    SharedConfig first, second;
    std::string error, again;
    const bool parsed = first.loadTexts(config + "\n" + credentials, credentials, error, "c", "k");
    FUZZ_CHECK(parsed == second.loadTexts(config + "\n" + credentials, credentials, again, "c", "k"));
    FUZZ_CHECK(error == again);
    if (!parsed) {
        FUZZ_CHECK(error.compare(0, 3, "c: ") == 0 || error.compare(0, 3, "k: ") == 0);
        return 0;
    }
    for (const char* profile : {"default", "a", "b"}) {
        SharedConfig::Settings settings;
        first.profile(profile, settings);
        for (const auto& entry : settings) {
            for (char c : entry.first) FUZZ_CHECK(!std::isupper(static_cast<unsigned char>(c)));
            FUZZ_CHECK(entry.second.empty() || !std::isspace(static_cast<unsigned char>(entry.second.front())));
            FUZZ_CHECK(entry.second.empty() || !std::isspace(static_cast<unsigned char>(entry.second.back())));
        }
    }
    return 0;
}
