// Agent records: task descriptors through both exchange forms, restart
// offsets from the job manager's text, key texts, registry look-ups.

#include <gtest/gtest.h>

#include <fstream>

#include "agent/DynamoDBTESK.h"
#include "agent/DynamoDBTaskDescriptor.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace {

using DynamoDBTESK::BackupRestartInfo;
using DynamoDBTESK::DynamoDBTaskDescriptor;

DynamoDBTaskDescriptor sample() {
    DynamoDBTaskDescriptor d;
    d.region = "eu-west-1";
    d.tableName = "orders";
    d.threadId = 3;
    d.totalThreads = 8;
    d.streamArn = "arn:s";
    d.timeStarted = 1700000000123;
    d.readThroughput = 250;
    d.shardId = "shard-2";
    d.parentShardId = "shard-1";
    d.rootShardId = "shard-0";
    d.startingSequenceNumber = "100";
    d.endingSequenceNumber = "200";
    d.JSONDescription = R"({"TableName":"orders"})";
    d.RestartContext = "ctx";
    d.RestoreMetadata = "meta";
    d.closeAfileAfterTask = true;
    return d;
}

std::map<std::string, std::string> asMap(const DynamoDBTaskDescriptor& d) {
    DistributedTESK::DINameValue scratch;
    std::vector<DistributedTESK::DINameValue> pairs;
    d.save(scratch, pairs);
    std::map<std::string, std::string> values;
    for (const auto& pair : pairs) values[pair.name()] = pair.value();
    return values;
}

TEST(TaskDescriptor, RoundTripsThroughNameValuePairs) {
    DistributedTESK::DINameValue scratch;
    std::vector<DistributedTESK::DINameValue> pairs(1); // appended to, never cleared
    sample().save(scratch, pairs);
    ASSERT_EQ(pairs.size(), 17u);
    EXPECT_EQ(pairs[1].name(), "region");
    EXPECT_EQ(pairs[16].name(), "rootShardId");
    EXPECT_EQ(pairs[12].name(), "closeAfileAfterTask");
    EXPECT_EQ(pairs[12].value(), "1");
    EXPECT_EQ(pairs[10].value(), "1700000000123");

    DynamoDBTaskDescriptor restored;
    ASSERT_TRUE(restored.restore(asMap(sample())).ok());
    EXPECT_EQ(restored, sample());
    EXPECT_TRUE(restored.closeAfileAfterTask);
    EXPECT_EQ(restored.readThroughput, 250);
}

TEST(TaskDescriptor, RestoreFailsOnTheFirstMissingOrBadValue) {
    auto values = asMap(sample());
    values.erase("rootShardId");
    DynamoDBTaskDescriptor target;
    CZoError missing = target.restore(values);
    EXPECT_EQ(missing.code(), 1627);
    EXPECT_EQ(missing.text(), "Value not found in map for name [rootShardId]");
    EXPECT_EQ(missing.locations().size(), 2u); // where it was found missing, and restore
    EXPECT_EQ(target.readThroughput, 250);     // read before the failure

    values = asMap(sample());
    values["threadId"] = "abc";
    EXPECT_EQ(target.restore(values).text(), "Invalid threadId in map [abc]");
    // A long value (a table's description) is kept whole in the error text.
    values["threadId"] = std::string(5000, 'x') + "end";
    const std::string longText = target.restore(values).text();
    EXPECT_EQ(longText.size(), std::string("Invalid threadId in map []").size() + 5003);
    EXPECT_NE(longText.find("xend]"), std::string::npos);
    // Numbers are whole and in range: sscanf once read "12x" as 12 and
    // wrapped 4294967297 to 1.
    for (const char* bad : {"  12x", "4294967297", "2147483648", "-2147483649", "", "+", "1 2", "0x10"}) {
        values["threadId"] = bad;
        EXPECT_EQ(target.restore(values).text(), std::string("Invalid threadId in map [") + bad + "]") << bad;
    }
    values["timeStarted"] = "9223372036854775808";
    values["threadId"] = " 12 ";
    EXPECT_EQ(target.restore(values).text(), "Invalid timeStarted in map [9223372036854775808]");
    values["timeStarted"] = "-9223372036854775808";
    ASSERT_TRUE(target.restore(values).ok());
    EXPECT_EQ(target.threadId, 12);
    EXPECT_EQ(target.timeStarted, INT64_MIN);
    values["closeAfileAfterTask"] = "0";
    ASSERT_TRUE(target.restore(values).ok());
    EXPECT_FALSE(target.closeAfileAfterTask);
}

TEST(TaskDescriptor, StringFormAndEquality) {
    std::vector<std::string> strings;
    sample().save(strings);
    ASSERT_EQ(strings.size(), 15u);
    DynamoDBTaskDescriptor restored;
    EXPECT_TRUE(restored.restore(strings));
    EXPECT_EQ(restored, sample());
    EXPECT_FALSE(restored.closeAfileAfterTask); // not part of this form
    strings.push_back("extra");
    EXPECT_FALSE(restored.restore(strings));
    strings.resize(14);
    EXPECT_FALSE(restored.restore(strings));

    DynamoDBTaskDescriptor other = sample();
    other.readThroughput = 1;
    other.RestoreMetadata = "different";
    EXPECT_EQ(other, sample());
    other.rootShardId = "x";
    EXPECT_NE(other, sample());
}

TEST(BackupRestartInfo, ReadsCollectsAndOffsets) {
    auto log = std::make_shared<MemoryLogSink>();
    BackupRestartInfo info(log);
    info.initialize("-o 1|120 -o 2|0 -o 3|1 -o 3|10 -o 5|7|9 -o 0|0 -o 4|-5 -o 6|99999999999999999999 "
                    "-o 4294967303|5 -o 8|1x");
    EXPECT_EQ(info.lookupCollectOffset(1), 119);
    EXPECT_EQ(info.lookupCollectOffset(2), 0);
    EXPECT_EQ(info.lookupCollectOffset(3), 9);
    EXPECT_FALSE(info.isCollectInMap(5));
    EXPECT_TRUE(info.isCollectInMap(0));
    EXPECT_EQ(info.lookupCollectOffset(4), -5);
    EXPECT_EQ(info.lookupCollectOffset(42), 0);
    // Out of range or not a number: no offset, rather than a wrapped one.
    EXPECT_FALSE(info.isCollectInMap(6));
    EXPECT_FALSE(info.isCollectInMap(7)); // 4294967303 once wrapped to 7
    EXPECT_FALSE(info.isCollectInMap(8));
    EXPECT_TRUE(log->contains("Ignoring restart piece [6|99999999999999999999]: not collect|offset"));
    EXPECT_TRUE(log->contains("Replacing offset 0 for collect 3 with offset 10"));
    EXPECT_TRUE(log->contains("Collect 42 restart offset defaults to 0"));

    BackupRestartInfo empty(log);
    empty.initialize("");
    EXPECT_TRUE(empty.getOffsets().empty());
    EXPECT_TRUE(log->contains("The restart string is empty"));
}

TEST(AgentHelpers, KeyTextsTablesAndRegistry) {
    EXPECT_EQ(DynamoDBUtil::toTableRegionString("us-east-1", "orders"), "orders[us-east-1]");
    std::string pair, region, table;
    DynamoDBUtil::toRegionTablePair("us-east-1", "orders", pair);
    EXPECT_EQ(pair, "us-east-1\torders");
    DynamoDBUtil::fromRegionTablePair(pair, region, table);
    EXPECT_EQ(region, "us-east-1");
    EXPECT_EQ(table, "orders");

    DynamoDBUtil util;
    std::vector<App::DynamoDBTable>* tables = nullptr;
    EXPECT_EQ(util.getTables(tables).code(), 774);
    std::vector<App::DynamoDBTable> configured = {{"us-east-1", "orders"}};
    util.getDynamoDBConfig()->setTables(&configured);
    EXPECT_TRUE(util.getTables(tables).ok());
    EXPECT_EQ(*tables, configured);

    TempDir directory;
    std::ofstream(directory.path + "/registry") << "# settings\nDynamoDB/sUSE_EXISTING_TABLE=2\nKesto/name=k\n";
    ScopedEnv registry("DDB_REGISTRY", directory.path + "/registry");
    char value[16];
    EXPECT_EQ(DynamoDBTESK::GetRegistryItemValue("sUSE_EXISTING_TABLE", value, sizeof value, nullptr, false, nullptr), 0);
    EXPECT_STREQ(value, "2");
    EXPECT_EQ(DynamoDBTESK::GetRegistryItemValue("name", value, sizeof value, nullptr, true, "DynamoDB"), 0);
    EXPECT_STREQ(value, "k");
    EXPECT_EQ(DynamoDBTESK::GetRegistryItemValue("absent", value, sizeof value, nullptr, false, nullptr), -1);
    EXPECT_STREQ(value, "");
    EXPECT_EQ(DynamoDBTESK::GetRegistryItemValue("name", nullptr, 0, nullptr, false, nullptr), -1);
}

} // namespace
