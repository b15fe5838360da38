// parseToStream throughput on realistic Scan pages: 1 MB of ~800-byte items.

#include <benchmark/benchmark.h>

#include "dynamodb/ScanResult.h"
#include "framework/TeskOutput.h"

namespace {

class CountingOutput : public TeskOutput {
public:
    bool putString(const std::string& data) override {
        bytes += data.size();
        return true;
    }
    void updateRestart(const std::string&) override {}
    bool flush() override { return true; }
    bool close(const std::string&) override { return true; }
    size_t bytes = 0;
};

std::string scanPage(size_t targetBytes) {
    std::string page = R"({"Items":[)";
    for (int i = 0; page.size() < targetBytes; ++i) {
        if (i) page += ',';
        page += R"({"id":{"S":"customer-)" + std::to_string(i) + R"("},"created":{"N":"1700000000.123"},)"
                R"("name":{"S":"Ada Lovelace \"the first\" programmer"},"tags":{"SS":["a","b","c"]},)"
                R"("address":{"M":{"street":{"S":"12 Analytical Engine Road"},"city":{"S":"London"},)"
                R"("zip":{"S":"NW1 2DB"}}},"history":{"L":[{"N":"1"},{"N":"2"},{"N":"3"},{"BOOL":true},{"NULL":true}]},)"
                R"("blob":{"B":"QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWZnaGlqa2xtbm9wcXJzdHV2d3h5eg=="},)"
                R"("notes":{"S":")" + std::string(330, 'n') + R"("}})";
    }
    page += R"(],"Count":1,"ScannedCount":1,"LastEvaluatedKey":{"id":{"S":"customer-last"}}})";
    return page;
}

void BM_ParseToStream1MBPage(benchmark::State& state) {
    const std::string page = scanPage(1 << 20);
    CountingOutput output;
    std::string key;
    for (auto _ : state) benchmark::DoNotOptimize(ScanResult::parseToStream(page, &output, key));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}
BENCHMARK(BM_ParseToStream1MBPage);

} // namespace
