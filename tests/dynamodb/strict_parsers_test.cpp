// Every parser of answers and stored files refuses what is not what it
// parses: a page without its members, members twice, numbers out of range,
// shard lineages that loop, manifests that contradict themselves. Each case
// below once passed for something valid, most for an empty last page.

#include <gtest/gtest.h>

#include "dynamodb/GetRecordsResult.h"
#include "text/JsonText.h"
#include "dynamodb/ScanResult.h"
#include "dynamodb/StreamDescription.h"
#include "store/BackupManifest.h"
#include "store/BackupVerifier.h"
#include "text/BoundedJson.h"
#include "framework/MemoryStreams.h"

namespace {

bool scanPage(const std::string& body) {
    MemoryOutput output("scan");
    std::string key;
    return ScanResult::parseToStream(body, &output, key);
}

bool recordsPage(const std::string& body) {
    MemoryOutput output("shard");
    std::string iterator, sequence;
    int64_t time = 0;
    int count = 0;
    return GetRecordsResult::parseToStream(body, &output, iterator, sequence, time, count);
}

TEST(StrictParsers, ScanPagesHoldWhatTheySay) {
    EXPECT_TRUE(scanPage(R"({"Items":[{"id":{"S":"a"}}],"Count":1,"ScannedCount":1})"));
    EXPECT_TRUE(scanPage(R"({"Items":[],"Count":0,"LastEvaluatedKey":{"id":{"S":"a"}}})"));
    EXPECT_TRUE(scanPage(R"({"Items":[{"id":{"S":"a"},"i\u0064\"":{"S":"b"},"\"id":{"S":"c"}}],"Count":1})"));
    for (const char* bad : {R"({"Count":0})", R"({"Items":{},"Count":0})", R"({"Items":[1],"Count":1})",
                            R"({"Items":[[]],"Count":1})", R"({"Items":[{"id":{"S":"a"}}],"Count":2})",
                            R"({"Items":[],"Items":[{"id":{"S":"a"}}]})", R"({"Items":[],"LastEvaluatedKey":"k"})",
                            R"({"Items":[]} {"Items":[]})", R"([])",
                            // found by fuzzing: a member twice deep inside an item, or outside the items
                            R"({"Items":[{"id":{"S":"a"},"m":{"M":{"k":{"S":"1"},"k":{"S":"2"}}}}],"Count":1})",
                            R"({"Items":[],"Count":0,"Other":[{"x":1,"x":2}]})",
                            // a name twice, once spelled with an escape
                            R"({"Items":[{"id":{"S":"a"},"i\u0064":{"S":"b"}}],"Count":1})",
                            R"({"Items":[{"\"q\"":{"S":"a"},"\u0022q\"":{"S":"b"}}],"Count":1})",
                            R"({"Items":[],"C\u006Funt":0,"Count":0})",
                            // and a number no double holds, which the other parser refused
                            R"({"Items":[{"id":{"S":"a"},"n":5e999}],"Count":1})"})
        EXPECT_FALSE(scanPage(bad)) << bad;
}

// RapidJSON ends its input at a NUL byte, so an answer cut by one once read
// as its first part: found by fuzzing, the page parser took a page of no
// items where the document parser refused the bytes after the NUL.
TEST(StrictParsers, ANulByteIsNeverTheEndOfAnAnswer) {
    using namespace std::string_literals;
    for (const std::string& bad : {R"({"Items":[],"Count":0})"s + '\0' + "[[[[", R"({"Items":[]})"s + '\0',
                                   R"({"Items":[],"Count":0})"s + '\0' + R"(,"LastEvaluatedKey":{"id":{"S":"a"}}})"}) {
        EXPECT_FALSE(scanPage(bad));
        rapidjson::Document document;
        EXPECT_FALSE(json_text::parseObject(document, bad));
    }
    EXPECT_FALSE(recordsPage(R"({"Records":[]})"s + '\0' + R"(,"NextShardIterator":"it"})"));
}

TEST(StrictParsers, StreamPagesHoldTheirRecordList) {
    EXPECT_TRUE(recordsPage(R"({"Records":[],"NextShardIterator":"it"})"));
    EXPECT_TRUE(recordsPage(R"({"Records":[]})")); // a closed shard's end
    for (const char* bad : {R"({})", R"({"NextShardIterator":"it"})", R"({"Records":{}})",
                            R"({"Records":[],"NextShardIterator":7})", R"({"Records":[],"Records":[]})",
                            // found by fuzzing: read as an update by one parser, a removal by the other
                            R"({"Records":[{"eventName":"IoSERT","dynamodb":{"SequenceNumber":"1","NewImage":{}}}]})"})
        EXPECT_FALSE(recordsPage(bad)) << bad;
}

TEST(StrictParsers, DuplicateMembersTrailingBytesAndHugeNumbers) {
    rapidjson::Document document;
    EXPECT_TRUE(parseBoundedJson(document, R"({"a":{"b":1,"c":2},"d":[{"e":1},{"e":2}]})"));
    for (const char* bad : {R"({"a":1,"a":2})", R"({"x":{"b":1,"b":1}})", R"([{"k":1,"j":2,"k":3}])",
                            R"({"a":1,"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"i":9,"a":0})", R"({} x)",
                            R"({}{})", "[-2.56e310]", R"({"n":1e400})"})
        EXPECT_FALSE(parseBoundedJson(document, bad)) << bad;

    int64_t whole = 0;
    for (const char* big : {"1e300", "-1e19", "18446744073709551615", "9223372036854775808"}) {
        ASSERT_TRUE(parseBoundedJson(document, std::string("[") + big + "]"));
        EXPECT_FALSE(json_text::wholeNumber(document[0], whole)) << big;
    }
    ASSERT_TRUE(parseBoundedJson(document, R"({"t":1796782259.598})"));
    EXPECT_EQ(json_text::int64Member(document, "t"), 1796782259);
    ASSERT_TRUE(parseBoundedJson(document, R"({"t":1e300})"));
    EXPECT_EQ(json_text::int64Member(document, "t", -1), -1);
}

TEST(StrictParsers, StreamDescriptionsNameEveryShardAndNeverLoop) {
    rapidjson::Document page;
    StreamDescription stream;
    for (const char* bad : {R"({"StreamArn":"s"})", R"({"Shards":{}})", R"({"Shards":[{"ParentShardId":"a"}]})",
                            R"({"Shards":[{"ShardId":""}]})", R"({"Shards":[7]})"}) {
        ASSERT_TRUE(parseBoundedJson(page, bad));
        EXPECT_FALSE(stream.update(page, true)) << bad;
    }
    ASSERT_TRUE(parseBoundedJson(page, R"({"Shards":[{"ShardId":"a","ParentShardId":"gone"},{"ShardId":"b","ParentShardId":"a"}]})"));
    ASSERT_TRUE(stream.update(page, true));
    EXPECT_EQ(stream.lineageProblem(), "");
    ASSERT_TRUE(parseBoundedJson(page, R"({"Shards":[{"ShardId":"a","ParentShardId":"c"},{"ShardId":"b","ParentShardId":"a"},)"
                                       R"({"ShardId":"c","ParentShardId":"b"}]})"));
    ASSERT_TRUE(stream.update(page, true));
    EXPECT_EQ(stream.lineageProblem(), "the parents of shard a form a cycle: a -> c -> b -> a");
    ASSERT_TRUE(parseBoundedJson(page, R"({"Shards":[{"ShardId":"a"},{"ShardId":"a"}]})"));
    ASSERT_TRUE(stream.update(page, true));
    EXPECT_EQ(stream.lineageProblem(), "shard a is listed twice");
}

std::string manifest(const std::string& level, const std::string& rest) {
    return R"({"version":1,"level":")" + level + R"(","table":"t","region":"r","job":3,"startTime":10,"endTime":20,)" +
           rest + "}";
}

TEST(StrictParsers, ManifestsThatContradictThemselvesAreRefused) {
    BackupManifest read;
    std::string error;
    const std::string chunk = R"({"number":1,"bytes":1,"lines":1,"sha256":"00"})";
    ASSERT_TRUE(BackupManifest::fromJson(
        manifest("full", R"("segmentCount":2,"status":"complete","segments":[{"index":0,"closed":true,"restart":"",)"
                         R"("chunks":[)" + chunk + "]}]"),
        read, error))
        << error;
    struct Case {
        std::string text, why;
    };
    const std::string twoChunks = R"({"number":2,"bytes":1,"lines":1,"sha256":"00"},{"number":1,"bytes":1,"lines":1,"sha256":"00"})";
    for (const Case& c : {
             Case{manifest("differential", R"("segmentCount":1,"status":"complete","segments":[])"), "unknown level"},
             Case{manifest("full", R"("segmentCount":1,"status":"done","segments":[])"), "unknown status"},
             Case{manifest("full", R"("segmentCount":-1,"status":"complete","segments":[])"), "a required member"},
             Case{manifest("full", R"("segmentCount":2000000,"status":"complete","segments":[])"), "out of range"},
             Case{manifest("full", R"("segmentCount":1,"status":"complete","segments":[{"index":1,"closed":true,"restart":"","chunks":[]}])"),
                  "segment 1 is out of range or listed twice"},
             Case{manifest("full", R"("segmentCount":2,"status":"complete","segments":[{"index":0,"closed":true,"restart":"","chunks":[]},)"
                                   R"({"index":0,"closed":true,"restart":"","chunks":[]}])"),
                  "segment 0 is out of range or listed twice"},
             Case{manifest("full", R"("segmentCount":1,"status":"complete","segments":[{"index":0,"closed":true,"restart":"","chunks":[)" +
                                       twoChunks + "]}]"),
                  "the chunks of segment 0 are malformed"},
             Case{manifest("incremental", R"("segmentCount":0,"status":"complete","segments":[],"shards":[)"
                                          R"({"id":"s","closed":true,"state":"finished","chunks":[]},)"
                                          R"({"id":"s","closed":true,"state":"finished","chunks":[]}])"),
                  "shard s is listed twice"},
             Case{manifest("full", R"("segmentCount":0,"status":"complete","segments":[],"files":[)"
                                   R"({"name":"description.json","bytes":1,"sha256":"00"},{"name":"description.json","bytes":1,"sha256":"00"}])"),
                  "file description.json is listed twice"},
             Case{manifest("full", R"("segmentCount":0,"status":"complete","segments":[],"status":"failed")"), "not a JSON object"},
             Case{manifest("full", R"("segmentCount":0,"status":"complete","segments":[],"codec":"zstd")"),
                  "a chunk codec in a version 1 manifest"},
             Case{std::string(R"({"version":2)") + manifest("full", R"("segmentCount":0,"status":"complete","segments":[])").substr(12),
                  "version 2 without a chunk codec"},
             Case{std::string(R"({"version":2)") +
                      manifest("full", R"("segmentCount":0,"status":"complete","segments":[],"codec":"lz4")").substr(12),
                  "unknown chunk codec"},
             Case{std::string(R"({"version":3)") + manifest("full", R"("segmentCount":0,"status":"complete","segments":[])").substr(12),
                  "written by a newer version"},
         }) {
        EXPECT_FALSE(BackupManifest::fromJson(c.text, read, error)) << c.text;
        EXPECT_NE(error.find(c.why), std::string::npos) << error << " / " << c.text;
    }
}

// The restore replays the shards it reaches from the roots: the tree must
// reach every shard that holds changes, each once.
TEST(StrictParsers, ShardTreesReachEveryShardOnce) {
    BackupStore::Job job;
    job.directory = "/store/I2";
    job.manifest.level = "incremental";
    job.manifest.shards["a"] = ShardRecord{"a", true, "finished", {ChunkRecord{1, 10, 2, "00"}}, {}, false};
    job.manifest.shards["b"] = ShardRecord{"b", true, "finished", {ChunkRecord{1, 10, 1, "00"}}, {}, false};
    std::string warning;
    EXPECT_EQ(checkControlFile(job, "metadata.json", R"({"roots":["a"],"children":{"a":["b"]},"context":{}})", warning), "");
    EXPECT_EQ(checkControlFile(job, "metadata.json", R"({"roots":["a"],"children":{"b":["c"]},"context":{}})", warning),
              "/store/I2/metadata.json: its shard tree leaves out shard b, which holds 1 changes");
    EXPECT_EQ(checkControlFile(job, "metadata.json", R"({"roots":["a"],"children":{"a":["b"],"b":["a"]},"context":{}})",
                               warning),
              "/store/I2/metadata.json: its shard tree reaches shard a twice (a cycle or a shard listed twice)");
    EXPECT_EQ(checkControlFile(job, "metadata.json", R"({"roots":["a","b"],"children":{"a":["b"]},"context":{}})", warning),
              "/store/I2/metadata.json: its shard tree reaches shard b twice (a cycle or a shard listed twice)");
}

} // namespace
