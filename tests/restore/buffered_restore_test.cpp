// Buffered restore inputs: the host pushes a backup's bytes in any pieces
// and the worker behind them writes the same batches as from a file.

#include <gtest/gtest.h>

#include <rapidjson/document.h>

#include "framework/TeskPrototypeEnvironment.h"
#include "restore/AwsDynamoDBRestoreRunner.h"
#include "restore/BufferedRestore.h"
#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TestCredentials.h"

namespace {

size_t entryCount(const std::vector<RecordedRequest>& requests) {
    size_t count = 0;
    for (const auto& request : requests) {
        rapidjson::Document body;
        body.Parse(request.body.c_str());
        for (const auto& table : body["RequestItems"].GetObject()) count += table.value.Size();
    }
    return count;
}

struct BufferedRestoreFixture : ::testing::Test {
    LoopbackHttpServer server;
    ScopedEnv endpoint{"AWS_ENDPOINT_URL_DYNAMODB", server.url()};
    TeskPrototypeEnvironment environment{"restore", std::make_shared<MemoryLogSink>()};
    AmazonCredentials credentials = testCredentials();
    BufferedRestoreFixture() { server.script({{200, R"({"UnprocessedItems":{}})"}}); }
};

TEST_F(BufferedRestoreFixture, FullSegmentPushedInOddPieces) {
    std::string data;
    for (int i = 0; i < 60; ++i) data += R"({"id":{"S":"item-)" + std::to_string(i) + "\"}}\n";
    BufferedRestoreFromFull input;
    ASSERT_TRUE(input.initialize(&credentials, "src", "dst", environment, 0));
    for (size_t at = 0; at < data.size(); at += 7) {
        std::string piece = data.substr(at, 7);
        ASSERT_TRUE(input.processBuffer(piece.data(), piece.size()));
    }
    EXPECT_TRUE(input.waitForRestore());
    EXPECT_EQ(server.requests().size(), 3u);
    EXPECT_EQ(entryCount(server.requests()), 60u);
}

TEST_F(BufferedRestoreFixture, FailedFeedFailsTheWorker) {
    BufferedRestoreFromFull input;
    ASSERT_TRUE(input.initialize(&credentials, "src", "dst", environment, 0));
    std::string data = R"({"id":{"S":"a"}})" "\n";
    input.processBuffer(data.data(), data.size());
    input.endOfData(true);
    EXPECT_FALSE(input.waitForRestore());
}

TEST_F(BufferedRestoreFixture, IncrementalShardQueuesItsChildren) {
    auto pool = std::make_shared<HxThreadPool>();
    pool->initThreadPool(4294967295UL, 1, 2, 1);
    auto argsMap = std::make_shared<IncrementalArgsMap>();
    environment.putInput(TeskPrototypeEnvironment::shardName("child", 5), "UPDATE: {\"id\":{\"S\":\"c\"}}\n");
    new IncrementalRestoreArgs(&credentials, "dst", "child", &environment, 5, {"id"}, argsMap, {}, nullptr, nullptr);
    BufferedRestoreFromIncremental input(pool, argsMap);
    ASSERT_TRUE(input.initialize(&credentials, "dst", "parent", &environment, 5, {"id"}, {"child"}));
    std::string data = "UPDATE: {\"id\":{\"S\":\"p\"}}\nREMOVE: {\"id\":{\"S\":\"q\"}}\n";
    input.processBuffer(data.data(), data.size());
    EXPECT_TRUE(input.waitForRestore());
    pool->waitForAllThreads(true, true, true, -1);
    EXPECT_EQ(entryCount(server.requests()), 3u); // the parent's two, then the child's one
    AwsDynamoDBRestoreRunner::cleanupAllArgs(argsMap);

    BufferedRestoreIgnoreData ignore;
    EXPECT_TRUE(ignore.processBuffer(data.data(), data.size()));
    EXPECT_TRUE(ignore.closeChunk());
}

} // namespace
