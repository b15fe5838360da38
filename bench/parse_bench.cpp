// The rate at which 1 MB Scan pages of ~900-byte items become item lines,
// beside RapidJSON's own rate on the same page.

#include <benchmark/benchmark.h>

#include <rapidjson/reader.h>

#include "dynamodb/ScanResult.h"
#include "framework/TeskOutput.h"

namespace {

class CountingOutput : public TeskOutput {
public:
    bool putString(const std::string& data) override {
        bytes += data.size();
        return true;
    }
    bool putData(const char*, size_t length) override {
        bytes += length;
        return true;
    }
    void updateRestart(const std::string&) override {}
    bool flush() override { return true; }
    bool close(const std::string&) override { return true; }
    size_t bytes = 0;
};

// Items shaped like the bench harness's: a long text with escapes in most,
// non-ASCII names, sets, a nested map and list.
std::string scanPage(size_t targetBytes) {
    std::string page = R"({"Items":[)";
    int count = 0;
    for (; page.size() < targetBytes; ++count) {
        if (count) page += ',';
        page += R"({"pk":{"S":"cust#)" + std::to_string(1000000 + count) + R"("},"sk":{"N":"1700051935364"},)"
                R"("name":{"S":"Renée Kowalski"},"email":{"S":"user0@example.jp"},"description":{"S":")" +
                std::string(300, 'd') + R"( Straße こんにちは.\n\t\"quoted\" \\ back\\slash"},)"
                R"("qty":{"N":"90478"},"price":{"N":"150.27"},"active":{"BOOL":true},"deleted_at":{"NULL":true},)"
                R"("tags":{"SS":["b2b","mobile","web"]},"avatar":{"B":"szlpKadVNKDjU8pkId1eAryi4Og1mn0vDLS1SkZ="},)"
                R"("attrs":{"M":{"address":{"M":{"street":{"S":"589 do St"},"city":{"S":"Reykjavík"}}},)"
                R"("rating":{"N":"2.25"}}},"history":{"L":[{"S":"created"},{"N":"147"},{"L":[{"BOOL":true}]}]},)"
                R"("empty_map":{"M":{}},"empty_list":{"L":[]}})";
    }
    page += R"(],"Count":)" + std::to_string(count) + R"(,"ScannedCount":)" + std::to_string(count) +
            R"(,"LastEvaluatedKey":{"pk":{"S":"cust#last"},"sk":{"N":"1"}}})";
    return page;
}

// The copying parse: every item line is copied or re-written into a page.
void BM_ParseToStream1MBPage(benchmark::State& state) {
    const std::string page = scanPage(1 << 20);
    CountingOutput output;
    std::string key;
    for (auto _ : state)
        if (!ScanResult::parseToStream(page, &output, key)) state.SkipWithError("page refused");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}
BENCHMARK(BM_ParseToStream1MBPage);

// The export's parse: the lines are made in the answer's own bytes. Each
// round starts from a fresh copy of the answer, as each page is a new one.
void BM_ParseToStreamInPlace1MBPage(benchmark::State& state) {
    const std::string page = scanPage(1 << 20);
    std::string answer;
    CountingOutput output;
    std::string key;
    for (auto _ : state) {
        answer.assign(page);
        if (!ScanResult::parseToStreamInPlace(answer, &output, key)) state.SkipWithError("page refused");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}
BENCHMARK(BM_ParseToStreamInPlace1MBPage);

// The floor: RapidJSON reading the same page with a handler that does nothing.
void BM_RapidJsonAloneOn1MBPage(benchmark::State& state) {
    const std::string page = scanPage(1 << 20);
    for (auto _ : state) {
        rapidjson::BaseReaderHandler<> handler;
        rapidjson::Reader reader;
        rapidjson::StringStream stream(page.c_str());
        if (!reader.Parse<rapidjson::kParseNumbersAsStringsFlag>(stream, handler)) state.SkipWithError("page refused");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}
BENCHMARK(BM_RapidJsonAloneOn1MBPage);

} // namespace
