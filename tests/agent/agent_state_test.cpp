// The agent's state files, configuration edits, line files and shard maps.

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <fstream>

#include "agent/DynamoDBTESK.h"
#include "platform/FileUtil.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace {

// Local time is UTC for the scope, so expected epoch values are fixed.
struct ScopedEnvTz {
    std::unique_ptr<ScopedEnv> tz = std::make_unique<ScopedEnv>("TZ", "UTC");
    ScopedEnvTz() { tzset(); }
    ~ScopedEnvTz() {
        tz.reset();
        tzset();
    }
};

} // namespace

namespace {

struct AgentStateFixture : ::testing::Test {
    TempDir directory;
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    DynamoDBUtil util{log};
    AgentStateFixture() { util.setSubclientDirectory(directory.path); }
};

TEST_F(AgentStateFixture, TableStateIsKeptPerTable) {
    EXPECT_EQ(util.computeTableStatePath("us-east-1", "orders"), directory.path + "/orders[us-east-1]");
    EXPECT_EQ(util.restoreTableState("us-east-1", "orders"), 0);
    util.saveTableState("us-east-1", "orders", -5);
    util.saveTableState("eu-west-1", "orders", 1700000000123);
    EXPECT_EQ(util.restoreTableState("us-east-1", "orders"), -5);
    EXPECT_EQ(util.restoreTableState("eu-west-1", "orders"), 1700000000123);
    std::string text;
    ASSERT_TRUE(file_util::readFile(directory.path + "/orders[us-east-1]", text));
    EXPECT_EQ(text, "-5");
    util.removeTableState("us-east-1", "orders");
    EXPECT_EQ(util.restoreTableState("us-east-1", "orders"), 0);
    util.removeTableState("us-east-1", "orders"); // missing: ignored
}

TEST_F(AgentStateFixture, ConfigurationEditsReplaceFirstOccurrencesInOrder) {
    const std::string path = directory.path + "/agent.conf";
    std::ofstream(path) << "port=1\nport=2\nname=x\n";
    std::vector<std::string> find = {"port=", "name=x", "absent"};
    std::vector<std::string> replace = {"port=9", "name=y", "never"};
    // A second name for the file before the edit keeps the old contents:
    // the file was replaced whole, never rewritten where it lay.
    const std::string before = directory.path + "/before";
    ASSERT_EQ(::link(path.c_str(), before.c_str()), 0);
    ASSERT_TRUE(util._EditConfFileContents(path, find, replace).ok());
    std::string text, old;
    file_util::readFile(path, text);
    EXPECT_EQ(text, "port=91\nport=2\nname=y\n");
    file_util::readFile(before, old);
    EXPECT_NE(old, text);

    std::vector<std::string> fewer;
    EXPECT_EQ(util._EditConfFileContents(path, find, fewer).code(), 87);
    EXPECT_EQ(util._EditConfFileContents(directory.path + "/missing", find, replace).text(),
              "failed to open file [" + directory.path + "/missing] ");
}

TEST_F(AgentStateFixture, LineFilesRoundTrip) {
    const std::string path = directory.path + "/lines";
    std::vector<std::vector<std::string>> rows = {{"a", "b"}, {"c"}, {"", "e"}};
    ASSERT_TRUE(util.putLines(path, ",", rows));
    std::string text;
    file_util::readFile(path, text);
    EXPECT_EQ(text, "a,b\nc\n,e\n");
    std::vector<std::vector<std::string>> read = {{"kept"}};
    ASSERT_TRUE(util.splitLines(path, ",", read));
    ASSERT_EQ(read.size(), 4u);
    EXPECT_EQ(read[1], rows[0]);
    EXPECT_EQ(read[3], rows[2]);
    std::vector<std::vector<std::string>> none;
    EXPECT_TRUE(util.splitLines(directory.path + "/missing", ",", none));
    EXPECT_TRUE(none.empty());
    EXPECT_FALSE(util.putLines(directory.path + "/no/such/dir/file", ",", rows));

    // Separators, backslashes and line breaks inside fields read back as written.
    const std::vector<std::vector<std::string>> awkward = {
        {"a,b", "c\\d", "line\nfeed\r"}, {"\\,", ",", "\\n"}, {"ends with \\"}, {""}};
    for (const std::string separator : {",", "|#|"}) {
        ASSERT_TRUE(util.putLines(path, separator, awkward));
        std::vector<std::vector<std::string>> back;
        ASSERT_TRUE(util.splitLines(path, separator, back));
        EXPECT_EQ(back, awkward) << separator;
    }
}

TEST_F(AgentStateFixture, StateNamesCannotLeaveTheStateDirectory) {
    util.setSubclientDirectory(directory.path + "/sub");
    ASSERT_TRUE(file_util::makeDirectories(directory.path + "/sub").empty());
    for (const auto& names : std::vector<std::pair<std::string, std::string>>{
             {"us-east-1", "../../escape"}, {"..", "t"}, {"us-east-1", ".."}, {"us-east-1", std::string("a\0b", 3)},
             {"us-east-1", "a/b"}, {"", "t"}}) {
        util.saveTableState(names.first, names.second, 7);
        EXPECT_EQ(util.restoreTableState(names.first, names.second), 0);
        util.removeTableState(names.first, names.second);
    }
    EXPECT_TRUE(log->contains("Refusing the state file of table [../../escape] in region [us-east-1]"));
    EXPECT_FALSE(file_util::exists(directory.path + "/sub/../../escape[us-east-1]"));
    std::vector<std::string> left;
    for (const std::string& dir : {directory.path, directory.path + "/sub"})
        if (DIR* d = ::opendir(dir.c_str())) {
            while (dirent* entry = ::readdir(d))
                if (std::string(entry->d_name) != "." && std::string(entry->d_name) != ".." &&
                    std::string(entry->d_name) != "sub")
                    left.push_back(entry->d_name);
            ::closedir(d);
        }
    EXPECT_TRUE(left.empty()) << left[0];
    // A state file that does not hold a number is 0, not a misread.
    std::ofstream(directory.path + "/sub/t[r]") << "12abc";
    EXPECT_EQ(util.restoreTableState("r", "t"), 0);
}

TEST(ShardMaps, RootsAndDifferences) {
    std::map<std::string, std::string> map = {{"A", ""}, {"B", "A"}, {"C", "B"}, {"D", "gone"}, {"L1", "L2"}, {"L2", "L1"}};
    std::string root;
    ASSERT_TRUE(DynamoDBUtil::getRootShard("C", map, root).ok());
    EXPECT_EQ(root, "A");
    ASSERT_TRUE(DynamoDBUtil::getRootShard("A", map, root).ok());
    EXPECT_EQ(root, "A");
    EXPECT_EQ(DynamoDBUtil::getRootShard("D", map, root).text(), "gone not found in map");
    EXPECT_EQ(DynamoDBUtil::getRootShard("L1", map, root).code(), 1168); // a loop ends
    EXPECT_EQ(root, "");

    auto log = std::make_shared<MemoryLogSink>();
    EvDebug debug(log, 3);
    std::set<std::string> added = {"pre"}, removed, changed;
    EXPECT_FALSE(DynamoDBUtil::shardMapsDiffer(map, map, added, removed, changed, &debug));
    EXPECT_EQ(added, std::set<std::string>{"pre"});
    std::map<std::string, std::string> next = {{"A", ""}, {"B", "X"}, {"E", "A"}};
    EXPECT_TRUE(DynamoDBUtil::shardMapsDiffer(next, map, added, removed, changed, &debug));
    EXPECT_EQ(added, (std::set<std::string>{"E", "pre"}));
    EXPECT_EQ(changed, std::set<std::string>{"B"});
    EXPECT_EQ(removed, (std::set<std::string>{"C", "D", "L1", "L2"}));
    EXPECT_TRUE(log->contains("Shard 'B' has changed from parent 'A' to parent 'X'"));
}

} // namespace

namespace {

TEST(AgentParsers, ShardTreesBecomeShardMaps) {
    std::vector<std::string> roots;
    std::map<std::string, std::string> parents;
    DynamoDBUtil::parseShardsTree(R"({"roots":["A"],"children":{"A":["B","C"],"B":["D"]},"context":{},"time":1})", roots,
                                  parents);
    EXPECT_EQ(roots, std::vector<std::string>{"A"});
    EXPECT_EQ(parents, (std::map<std::string, std::string>{{"A", ""}, {"B", "A"}, {"C", "A"}, {"D", "B"}}));

    roots.clear();
    parents.clear();
    DynamoDBUtil::parseShardsTree("not json", roots, parents);
    DynamoDBUtil::parseShardsTree(R"({"children":{}})", roots, parents);
    EXPECT_TRUE(roots.empty());
    EXPECT_TRUE(parents.empty());
    // A tree that loops back on itself ends.
    DynamoDBUtil::parseShardsTree(R"({"roots":["A"],"children":{"A":["B"],"B":["A"]}})", roots, parents);
    EXPECT_EQ(parents["B"], "A");
}

TEST(AgentParsers, DescriptionsAndTimes) {
    auto description = DynamoDBUtil::parseDescriptionJson(R"({"table":{"TableName":"orders"},"segments":4})");
    EXPECT_EQ(description->tableName, "orders");
    EXPECT_EQ(DynamoDBUtil::parseDescriptionJson("garbage")->tableName, "");

    ScopedEnvTz utc;
    EXPECT_EQ(DynamoDBUtil::GetEpochTime("Thu Sep 05 2019 10:20:30"), 1567678830);
    EXPECT_EQ(DynamoDBUtil::GetEpochTime("Thu sep 05 2019 10:20:30"), 0);
    EXPECT_EQ(DynamoDBUtil::GetEpochTime("Thu Sep 05 2019 10"), 1567677600);
    // Out of range fields are no time (a year that overflowed tm once, too).
    for (const char* bad : {"Wed Dec 09 -5555555555 10:00:00", "Wed Dec 09 2026 25:00:00", "Wed Dec 09 2026 10:61:00",
                            "Wed Dec 40 2026 10:00:00", "Wed Dec 09 2026 1x:00:00"})
        EXPECT_EQ(DynamoDBUtil::GetEpochTime(bad), 0) << bad;
}

TEST(AgentParsers, JsonGettersGiveEmptyValuesForMissingOrNull) {
    rapidjson::Document document;
    document.Parse(R"({"s":"text","b":true,"n":null,"i":-7,"u":18446744073709551615,"o":{"k":1},"a":[1,2]})");
    DynamoDBUtil util;
    EXPECT_EQ(util.GetStringValue(document, "s"), "text");
    EXPECT_EQ(util.GetStringValue(document, "missing"), "");
    EXPECT_EQ(util.GetStringValue(document, "n"), "");
    EXPECT_TRUE(util.GetBoolean(document, "b"));
    EXPECT_FALSE(util.GetBoolean(document, "n"));
    EXPECT_EQ(util.GetIntValue(document, "i"), -7);
    EXPECT_EQ(util.GetIntValue(document, "missing"), 0);
    EXPECT_EQ(util.GetUInt64Value(document, "u"), 18446744073709551615ull);
    EXPECT_EQ(util.GetObjectValue(document, "o").MemberCount(), 1u);
    EXPECT_EQ(util.GetObjectValue(document, "n").MemberCount(), 0u);
    EXPECT_EQ(util.GetArrayValue(document, "a").Size(), 2u);
    EXPECT_EQ(util.GetArrayValue(document, "missing").Size(), 0u);
    EXPECT_THROW(util.GetIntValue(document, "s"), std::runtime_error);
}

} // namespace
