// The prototype environments: log lines, failures, outputs kept by name and
// served back as inputs.

#include <gtest/gtest.h>

#include <thread>

#include "framework/DefaultEnvironments.h"
#include "framework/TeskPrototypeEnvironment.h"

namespace {

TEST(TeskEnvironment, LogLinesNameTheFunctionAndAreWhole) {
    auto sink = std::make_shared<MemoryLogSink>();
    ManualClock clock(1440938160);
    TeskPrototypeEnvironment environment("job-7", sink, &clock);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&environment, t] {
            for (int i = 0; i < 200; ++i) environment.log("worker" + std::to_string(t), "step\n");
        });
    for (auto& thread : threads) thread.join();
    auto lines = sink->lines();
    ASSERT_EQ(lines.size(), 800u);
    EXPECT_EQ(lines[0].rfind("2015-08-30T12:36:00Z [job-7] worker", 0), 0u);
    for (const auto& line : lines) EXPECT_EQ(line.substr(line.size() - 6), ": step");
}

TEST(TeskEnvironment, FailureIsRecordedAndReplaced) {
    TeskPrototypeEnvironment environment("job", std::make_shared<MemoryLogSink>());
    EXPECT_FALSE(environment.hasFailed());
    EXPECT_EQ(environment.getFailure(), "");
    environment.setFailure("first");
    environment.setFailure("second");
    EXPECT_TRUE(environment.hasFailed());
    EXPECT_EQ(environment.getFailure(), "second");
}

TEST(TeskPrototypeEnvironment, OutputsAreKeptAndReadBackAsInputs) {
    TeskPrototypeEnvironment environment("job", std::make_shared<MemoryLogSink>());
    auto output = environment.openSegmentOutput("orders", 2);
    output->putString("{\"a\":1}\n{\"a\":2}\n");
    output->updateRestart("key");
    output->close("");
    auto kept = environment.output(TeskPrototypeEnvironment::segmentName("orders", 2));
    ASSERT_TRUE(kept);
    EXPECT_TRUE(kept->closed());
    EXPECT_EQ(kept->restart(), "");

    auto input = environment.openSegmentInput("orders", 2);
    std::string line;
    ASSERT_TRUE(input->getLine(line));
    EXPECT_EQ(line, "{\"a\":1}");
    ASSERT_TRUE(input->getLine(line));
    EXPECT_EQ(line, "{\"a\":2}");
    EXPECT_FALSE(input->getLine(line));
    EXPECT_FALSE(input->error());

    environment.putInput(TeskPrototypeEnvironment::shardName("shard-1", 99), "UPDATE: {}\n");
    std::string contents;
    ASSERT_TRUE(environment.openShardInput("shard-1", 99)->getContents(contents));
    EXPECT_EQ(contents, "UPDATE: {}\n");
}

TEST(TeskPrototypeEnvironment, DropOutputDataCountsButKeepsNothing) {
    TeskPrototypeEnvironmentDropOutputData environment("drop", std::make_shared<MemoryLogSink>());
    environment.openSegmentOutput("t", 0)->putString("0123456789");
    auto kept = environment.output(TeskPrototypeEnvironment::segmentName("t", 0));
    EXPECT_EQ(kept->bytes(), 10u);
    EXPECT_EQ(kept->data(), "");
}

TEST(TeskLoggingEnvironment, DeliversTheDescriptionItWasGiven) {
    TeskLoggingEnvironment environment("restore", std::make_shared<MemoryLogSink>());
    environment.putDescriptionString("{\"table\":{}}");
    std::string contents;
    ASSERT_TRUE(environment.openDescriptionInput()->getContents(contents));
    EXPECT_EQ(contents, "{\"table\":{}}");
    EXPECT_EQ(dummyEnvFull().name(), "");
}

} // namespace
