// Full backups of a table holding every DynamoDB attribute type, against the
// local endpoint: every item exactly once, capacity raised and put back,
// stop and resume, buffered mode, and a missing table.

#include <gtest/gtest.h>

#include <map>

#include "backup/AwsDynamoDBFullBackupRunner.h"
#include "backup/BufferedFullBackup.h"
#include "dynamodb/AwsDynamoDBService.h"
#include "text/JsonText.h"
#include "framework/TeskPrototypeEnvironment.h"
#include "tests/support/LocalAdmin.h"
#include "tests/support/LocalDynamo.h"
#include "tests/support/SampleTable.h"

namespace {

// Splits every segment output of `environment` into lines, counting ids.
std::map<std::string, int> idsWritten(TeskPrototypeEnvironment& environment, const std::string& table, int segments,
                                      size_t& lines) {
    std::map<std::string, int> ids;
    lines = 0;
    for (int segment = 0; segment < segments; ++segment) {
        auto output = environment.output(TeskPrototypeEnvironment::segmentName(table, segment));
        if (!output) continue;
        const std::string data = output->data();
        size_t start = 0;
        while (start < data.size()) {
            size_t end = data.find('\n', start);
            EXPECT_NE(end, std::string::npos) << "unterminated line";
            if (end == std::string::npos) break;
            rapidjson::Document item;
            EXPECT_TRUE(json_text::parseObject(item, data.substr(start, end - start)));
            ++ids[json_text::stringMember(item["id"], "S")];
            ++lines;
            start = end + 1;
        }
    }
    return ids;
}

struct FullBackupFixture : ::testing::Test {
    static constexpr int kItems = 2500;
    static std::string table;
    static std::string endpointUrl;

    static void SetUpTestSuite() {
        endpointUrl = localDynamoEndpoint();
        if (endpointUrl.empty()) return;
        table = uniqueTableName("full");
        createSampleTable(table, kItems);
    }

    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    TeskPrototypeEnvironment environment{"full", log};
    GlobalTableMap noGlobals;
};
std::string FullBackupFixture::table;
std::string FullBackupFixture::endpointUrl;

// Outputs that ask their producer to stop after its first page.
class StoppingEnvironment : public TeskPrototypeEnvironment {
public:
    using TeskPrototypeEnvironment::TeskPrototypeEnvironment;
    std::shared_ptr<TeskOutput> openSegmentOutput(const std::string& table, int segment) override {
        auto output = TeskPrototypeEnvironment::openSegmentOutput(table, segment);
        static_cast<MemoryOutput*>(output.get())->requestStop();
        return output;
    }
};

TEST_F(FullBackupFixture, EveryItemExactlyOnceWhateverTheSegmentCount) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    for (unsigned segments : {1u, 4u, 7u}) {
        TeskPrototypeEnvironment run("full", log);
        AwsDynamoDBFullBackupRunner runner(localCredentials(), run);
        ASSERT_TRUE(runner.execute(table, noGlobals, 0, segments, nullptr, nullptr)) << run.getFailure();
        size_t lines = 0;
        auto ids = idsWritten(run, table, static_cast<int>(segments), lines);
        EXPECT_EQ(lines, static_cast<size_t>(kItems)) << segments << " segments";
        EXPECT_EQ(ids.size(), static_cast<size_t>(kItems));
        for (const auto& id : ids) EXPECT_EQ(id.second, 1) << id.first;
        for (unsigned s = 0; s < segments; ++s) {
            auto output = run.output(TeskPrototypeEnvironment::segmentName(table, static_cast<int>(s)));
            ASSERT_TRUE(output);
            EXPECT_TRUE(output->closed());
            EXPECT_EQ(output->restart(), "");
        }
        EXPECT_EQ(runner.getSegmentKeys().size(), segments);

        std::string description;
        ASSERT_TRUE(run.openDescriptionInput()->getContents(description));
        rapidjson::Document parsed;
        ASSERT_TRUE(json_text::parseObject(parsed, description));
        EXPECT_EQ(json_text::stringMember(parsed["table"], "TableName"), table);
        EXPECT_EQ(parsed["segments"].GetUint(), segments);
        EXPECT_FALSE(parsed.HasMember("regions"));
    }
}

TEST_F(FullBackupFixture, ReadCapacityIsRaisedForTheScanAndPutBack) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    AwsDynamoDBFullBackupRunner runner(localCredentials(), environment);
    ASSERT_TRUE(runner.execute(table, noGlobals, 100, 2, nullptr, nullptr)) << environment.getFailure();
    EXPECT_TRUE(log->contains("changeReadThroughput: Changing primary read throughput for " + table + " to 100"));
    EXPECT_TRUE(log->contains("changeReadThroughput: Downgrading primary read throughput for " + table + " to 5"));
    AmazonCredentials credentials = localCredentials();
    AwsDynamoDBService service(credentials, environment);
    auto described = service.describeTable(table);
    EXPECT_EQ(described.result->provisionedThroughput.readCapacityUnits, 5);
    EXPECT_EQ(described.result->provisionedThroughput.writeCapacityUnits, 5);
}

TEST_F(FullBackupFixture, StoppedBackupResumesToExactlyTheWholeTable) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    StoppingEnvironment first("stop", log);
    AwsDynamoDBFullBackupRunner stopping(localCredentials(), first);
    ASSERT_TRUE(stopping.execute(table, noGlobals, 0, 1, nullptr, nullptr));
    auto keys = stopping.getSegmentKeys();
    ASSERT_EQ(keys.size(), 1u);
    ASSERT_FALSE(keys[0].empty()) << "the table must span several pages";
    EXPECT_EQ(first.output(TeskPrototypeEnvironment::segmentName(table, 0))->restart(), keys[0]);
    size_t firstLines = 0;
    auto firstIds = idsWritten(first, table, 1, firstLines);
    EXPECT_GT(firstLines, 0u);
    EXPECT_LT(firstLines, static_cast<size_t>(kItems));

    TeskPrototypeEnvironment second("resume", log);
    AwsDynamoDBFullBackupRunner resuming(localCredentials(), second);
    std::vector<std::string> restarts = {keys[0]};
    ASSERT_TRUE(resuming.execute(table, noGlobals, 0, 1, &restarts, nullptr));
    size_t secondLines = 0;
    auto secondIds = idsWritten(second, table, 1, secondLines);
    EXPECT_EQ(firstLines + secondLines, static_cast<size_t>(kItems));
    for (const auto& id : secondIds) firstIds[id.first] += id.second;
    EXPECT_EQ(firstIds.size(), static_cast<size_t>(kItems));
    for (const auto& id : firstIds) EXPECT_EQ(id.second, 1) << id.first;
}

TEST_F(FullBackupFixture, SegmentSetAndWrongRestartCount) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    AwsDynamoDBFullBackupRunner runner(localCredentials(), environment);
    std::set<int> some = {2, 4};
    ASSERT_TRUE(runner.execute(table, noGlobals, 0, 4, nullptr, &some));
    EXPECT_FALSE(environment.output(TeskPrototypeEnvironment::segmentName(table, 0)));
    EXPECT_TRUE(environment.output(TeskPrototypeEnvironment::segmentName(table, 1)));
    EXPECT_TRUE(environment.output(TeskPrototypeEnvironment::segmentName(table, 3)));

    TeskPrototypeEnvironment other("wrong", log);
    AwsDynamoDBFullBackupRunner wrong(localCredentials(), other);
    std::vector<std::string> restarts(3);
    EXPECT_FALSE(wrong.execute(table, noGlobals, 0, 4, &restarts, nullptr));
    EXPECT_EQ(other.getFailure(), "Restart strings size does not match thread count");
    EXPECT_FALSE(other.output("description.json"));
}

TEST_F(FullBackupFixture, SegmentSetResumesOnlyItsSegmentsFromTheirRestartStrings) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    TeskPrototypeEnvironment whole("whole", log);
    AwsDynamoDBFullBackupRunner reference(localCredentials(), whole);
    ASSERT_TRUE(reference.execute(table, noGlobals, 0, 2, nullptr, nullptr));
    const std::string secondSegment = whole.output(TeskPrototypeEnvironment::segmentName(table, 1))->data();

    StoppingEnvironment stoppedRun("stop", log);
    AwsDynamoDBFullBackupRunner stopping(localCredentials(), stoppedRun);
    ASSERT_TRUE(stopping.execute(table, noGlobals, 0, 2, nullptr, nullptr));
    std::vector<std::string> restarts = {stopping.getSegmentKeys()[0], stopping.getSegmentKeys()[1]};
    ASSERT_FALSE(restarts[1].empty()) << "segment 2 must span several pages";

    TeskPrototypeEnvironment resumed("resume", log);
    AwsDynamoDBFullBackupRunner resuming(localCredentials(), resumed);
    std::set<int> onlySecond = {2};
    ASSERT_TRUE(resuming.execute(table, noGlobals, 0, 2, &restarts, &onlySecond));
    EXPECT_FALSE(resumed.output(TeskPrototypeEnvironment::segmentName(table, 0)));
    EXPECT_EQ(stoppedRun.output(TeskPrototypeEnvironment::segmentName(table, 1))->data() +
                  resumed.output(TeskPrototypeEnvironment::segmentName(table, 1))->data(),
              secondSegment);
}

TEST_F(FullBackupFixture, BufferedSegmentDeliversTheWholeTable) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    BufferedFullBackup buffered;
    ASSERT_TRUE(buffered.initialize(localCredentials(), &environment, table, 0, 1, ""));
    std::vector<char> buffer(64 * 1024);
    std::string received;
    unsigned long filled = 0;
    bool finished = false;
    while (!finished) {
        ASSERT_TRUE(buffered.fillBuffer(buffer.data(), buffer.size(), filled, finished));
        received.append(buffer.data(), filled);
    }
    EXPECT_EQ(static_cast<int>(std::count(received.begin(), received.end(), '\n')), kItems);
    EXPECT_EQ(buffered.getSafeRestartString(), "");
}

// Outputs that refuse every page, as a full disk does.
class RefusingOutput : public TeskOutput {
public:
    using TeskOutput::TeskOutput;
    bool putString(const std::string&) override { return false; }
    bool putData(const char*, size_t) override { return false; }
    void updateRestart(const std::string&) override {}
    bool flush() override { return false; }
    bool close(const std::string&) override { return false; }
    std::string failure() const override { return "cannot write chunk 1: No space left on device"; }
};

class FullDiskEnvironment : public TeskPrototypeEnvironment {
public:
    using TeskPrototypeEnvironment::TeskPrototypeEnvironment;
    std::shared_ptr<TeskOutput> openSegmentOutput(const std::string& table, int segment) override {
        return std::make_shared<RefusingOutput>(segmentName(table, segment));
    }
};

// A failed page names its segment and what failed: the output, or the
// service's answer.
TEST_F(FullBackupFixture, AFailedPageSaysWhatFailed) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    FullDiskEnvironment full("full", log);
    AwsDynamoDBFullBackupRunner refused(localCredentials(), full);
    EXPECT_FALSE(refused.execute(table, noGlobals, 0, 1, nullptr, nullptr));
    EXPECT_EQ(full.getFailure(), "scanToStream failed for " + TeskPrototypeEnvironment::segmentName(table, 0) +
                                     ": cannot write chunk 1: No space left on device");

    AmazonCredentials credentials = localCredentials();
    AwsDynamoDBService service(credentials, environment);
    ASSERT_EQ(localAdmin(service, "InjectFault",
                         R"({"Operation":"Scan","TableName":")" + table +
                             R"(","Status":400,"Type":"AccessDeniedException","Count":1,)"
                             R"("Message":"not authorized to perform: dynamodb:Scan"})"),
              200);
    TeskPrototypeEnvironment run("full", log);
    AwsDynamoDBFullBackupRunner denied(localCredentials(), run);
    EXPECT_FALSE(denied.execute(table, noGlobals, 0, 1, nullptr, nullptr));
    EXPECT_EQ(run.getFailure().rfind("scanToStream failed for " + TeskPrototypeEnvironment::segmentName(table, 0) + ": ", 0),
              0u)
        << run.getFailure();
    EXPECT_NE(run.getFailure().find("not authorized to perform: dynamodb:Scan"), std::string::npos) << run.getFailure();
}

TEST_F(FullBackupFixture, MissingTableFailsClearlyAndWritesNothing) {
    REQUIRE_LOCAL_DYNAMO(endpoint);
    const std::string missing = uniqueTableName("missing");
    AwsDynamoDBFullBackupRunner runner(localCredentials(), environment);
    EXPECT_FALSE(runner.execute(missing, noGlobals, 0, 4, nullptr, nullptr));
    EXPECT_EQ(environment.getFailure().rfind("Describe failed '", 0), 0u);
    EXPECT_NE(environment.getFailure().find("' for table " + missing + " in region us-east-1"), std::string::npos);
    EXPECT_FALSE(environment.output("description.json"));
    EXPECT_FALSE(environment.output(TeskPrototypeEnvironment::segmentName(missing, 0)));
}

} // namespace
