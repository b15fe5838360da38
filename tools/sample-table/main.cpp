// ddb-sample-table: creates a table and fills it with items that use every
// DynamoDB attribute type, for the demo and the benchmarks.
//
// usage: ddb-sample-table --table T [--region R] [--items N] [--item-bytes B] [--threads N]
//                         [--stream VIEW_TYPE] [--first N]

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "dynamodb/AwsDynamoDBService.h"
#include "framework/TeskPrototypeEnvironment.h"
#include "tools/ToolCredentials.h"

namespace {

std::string option(int argc, char** argv, const char* name, const std::string& fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
    return fallback;
}

// Item i, padded to about `bytes` bytes of JSON.
std::string makeItem(long i, size_t bytes) {
    std::string item = R"({"id":{"S":"item-)" + std::to_string(i) + R"("},"n":{"N":"12345678901234567890123456789012345678"},)"
                       R"("text":{"S":"line\nfeed \"quoted\" tab\t é 中文"},"bin":{"B":"AAECAwQFBgc="},)"
                       R"("ss":{"SS":["a","b"]},"ns":{"NS":["1","2.5"]},"bs":{"BS":["AQ==","Ag=="]},)"
                       R"("map":{"M":{"nested":{"L":[{"S":"x"},{"N":"-1"},{"NULL":true},{"BOOL":true}]}}},)"
                       R"("nul":{"NULL":true},"flag":{"BOOL":false},"pad":{"S":")";
    const size_t used = item.size() + 4;
    item.append(bytes > used ? bytes - used : 1, 'p');
    item += "\"}}";
    return item;
}

} // namespace

int main(int argc, char** argv) {
    const std::string table = option(argc, argv, "--table", "");
    if (table.empty()) {
        std::fputs("usage: ddb-sample-table --table T [--region R] [--items N] [--item-bytes B] [--threads N]\n"
                   "                        [--stream VIEW_TYPE] [--first N]\n",
                   stderr);
        return 2;
    }
    const char* envRegion = std::getenv("AWS_REGION");
    const std::string region = option(argc, argv, "--region", envRegion ? envRegion : "us-east-1");
    const long items = std::atol(option(argc, argv, "--items", "3000").c_str());
    const size_t itemBytes = static_cast<size_t>(std::atol(option(argc, argv, "--item-bytes", "800").c_str()));
    const int threads = std::max(1, std::atoi(option(argc, argv, "--threads", "4").c_str()));
    // A stream view type gives the table a stream; --first numbers the items
    // from N, so a second call adds new items to an existing table.
    const std::string stream = option(argc, argv, "--stream", "");
    const long first = std::atol(option(argc, argv, "--first", "0").c_str());

    AmazonCredentials credentials = credentialsFromEnvironment(region);
    TeskPrototypeEnvironment environment("sample", std::make_shared<StreamLogSink>(false));
    AwsDynamoDBService service(credentials, environment);
    auto created = service.createTable(
        R"({"TableName":")" + table +
        R"(","AttributeDefinitions":[{"AttributeName":"id","AttributeType":"S"}],"KeySchema":[{"AttributeName":"id","KeyType":"HASH"}],)"
        R"("ProvisionedThroughput":{"ReadCapacityUnits":5,"WriteCapacityUnits":5})" +
        (stream.empty() ? std::string()
                        : R"(,"StreamSpecification":{"StreamEnabled":true,"StreamViewType":")" + stream + "\"}") +
        "}");
    if (!created.isSuccess() && created.errorType != ResourceInUse) {
        std::fprintf(stderr, "ddb-sample-table: cannot create %s [%s]: %s\n", table.c_str(), region.c_str(),
                     created.errorMessage.c_str());
        return 1;
    }
    if (!service.waitForActiveTable(table, 300)) {
        std::fprintf(stderr, "ddb-sample-table: %s [%s] did not become active\n", table.c_str(), region.c_str());
        return 1;
    }
    std::atomic<long> next{first};
    std::atomic<bool> failed{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            AmazonCredentials own = credentials;
            AwsDynamoDBService writer(own, environment);
            for (;;) {
                long from = next.fetch_add(25);
                if (from >= first + items || failed) return;
                std::vector<std::string> batch;
                for (long i = from; i < std::min(first + items, from + 25); ++i) batch.push_back(makeItem(i, itemBytes));
                while (!batch.empty()) {
                    auto outcome = writer.batchPutItems(table, batch);
                    if (!outcome.isSuccess()) {
                        std::fprintf(stderr, "ddb-sample-table: writing to %s failed: %s\n", table.c_str(),
                                     outcome.errorMessage.c_str());
                        failed = true;
                        return;
                    }
                    batch = *outcome.result;
                }
            }
        });
    }
    for (auto& worker : workers) worker.join();
    if (failed) return 1;
    std::fprintf(stderr, "ddb-sample-table: wrote %ld sample items to %s [%s]\n", items, table.c_str(), region.c_str());
    return 0;
}
