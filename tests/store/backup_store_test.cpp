// The backup store: chunk files, the manifest as commit record, job ids,
// path safety, and verification of what is on disk.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "store/BackupVerifier.h"
#include "store/ChunkedOutput.h"
#include "platform/FileUtil.h"
#include "store/StoreEnvironment.h"
#include "store/StoreReadEnvironment.h"
#include "tests/support/TempDir.h"

namespace {

std::string readAll(const std::string& path) {
    std::string data;
    file_util::readFile(path, data);
    return data;
}

std::string lines(int count, size_t width, char fill = 'x') {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += R"({"id":{"S":")" + std::to_string(i) + R"("},"v":{"S":")" + std::string(width, fill) + "\"}}\n";
    return text;
}

struct StoreFixture : ::testing::Test {
    TempDir directory;
    BackupStore store{directory.path};
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    ManualClock clock{1700000000};

    BackupManifest newJob(unsigned segments, const std::string& level = "full") {
        EXPECT_EQ(store.open(), "");
        BackupManifest manifest;
        manifest.level = level;
        manifest.table = "orders";
        manifest.region = "eu-west-1";
        manifest.segmentCount = segments;
        manifest.startTime = clock.now();
        std::string error;
        EXPECT_TRUE(store.allocateJobId(manifest.jobId, error)) << error;
        EXPECT_TRUE(store.saveManifest(manifest, error)) << error;
        return manifest;
    }

    BackupStore::Job job(int64_t id) {
        BackupStore::Job found;
        std::string error;
        EXPECT_TRUE(store.findJob(id, found, error)) << error;
        return found;
    }
};

TEST_F(StoreFixture, ChunksRollOverAtTheSizeWithoutSplittingLines) {
    StoreEnvironment environment(store, newJob(1), log, &clock, 1000);
    auto output = environment.openSegmentOutput("orders", 0);
    ASSERT_TRUE(output);
    const std::string page1 = lines(30, 40);
    const std::string longLine = R"({"id":{"S":"long"},"v":{"S":")" + std::string(2500, 'L') + "\"}}\n";
    const std::string page2 = lines(20, 10) + longLine + lines(5, 10);
    ASSERT_TRUE(output->putString(page1));
    ASSERT_TRUE(output->putString(page2));
    ASSERT_TRUE(output->close(""));

    BackupManifest manifest = environment.manifest();
    const SegmentRecord& segment = manifest.segments.at(0);
    ASSERT_GE(segment.chunks.size(), 4u);
    std::string joined;
    uint64_t totalLines = 0;
    const std::string segmentDirectory = store.segmentDirectory("eu-west-1", "orders", manifest.jobId, 0);
    for (const auto& chunk : segment.chunks) {
        std::string data = readAll(BackupStore::chunkPath(segmentDirectory, chunk.number));
        ASSERT_FALSE(data.empty());
        EXPECT_EQ(data.back(), '\n') << "chunk " << chunk.number;
        EXPECT_EQ(data.size(), chunk.bytes);
        // Only a chunk holding the over-long line may pass the size.
        if (data.find("LLLL") == std::string::npos) {
            EXPECT_LE(data.size(), 1000u);
        }
        joined += data;
        totalLines += chunk.lines;
    }
    EXPECT_EQ(joined, page1 + page2);
    EXPECT_EQ(totalLines, 56u);
    EXPECT_EQ(environment.linesWritten(), 56u);
    EXPECT_FALSE(file_util::exists(segmentDirectory + "/" + std::to_string(segment.chunks.size() + 1) + ".tmp"));
}

TEST_F(StoreFixture, AJobIsCompleteOnlyOnceEverySegmentIsRecorded) {
    BackupManifest started = newJob(2);
    {
        StoreEnvironment environment(store, started, log, &clock, 1000);
        auto first = environment.openSegmentOutput("orders", 0);
        ASSERT_TRUE(first->putString(lines(10, 5)));
        ASSERT_TRUE(first->close(""));
        // The second segment writes data and then the process "dies":
        // the output is dropped without close and the job never finishes.
        auto second = environment.openSegmentOutput("orders", 1);
        ASSERT_TRUE(second->putString(lines(50, 50)));
    }
    BackupStore::Job crashed = job(started.jobId);
    EXPECT_EQ(crashed.manifest.status, "running");
    EXPECT_TRUE(crashed.interrupted);
    EXPECT_EQ(crashed.manifest.segments.count(1), 0u);
    EXPECT_FALSE(crashed.manifest.allSegmentsScanned());
    VerifyReport report = verifyJob(crashed);
    EXPECT_FALSE(report.ok());
    EXPECT_NE(report.problems[0].find("is interrupted, not a complete backup"), std::string::npos);

    // Resuming reopens the segment from scratch and drops what was not recorded.
    const std::string segmentDirectory = store.segmentDirectory("eu-west-1", "orders", started.jobId, 1);
    std::ofstream(segmentDirectory + "/7") << "stray";
    StoreEnvironment resumed(store, crashed.manifest, log, &clock, 1000);
    auto again = resumed.openSegmentOutput("orders", 1);
    EXPECT_FALSE(file_util::exists(segmentDirectory + "/7"));
    ASSERT_TRUE(again->putString(lines(3, 5)));
    ASSERT_TRUE(again->close(""));
    ASSERT_TRUE(resumed.finish("complete", ""));
    BackupStore::Job done = job(started.jobId);
    EXPECT_TRUE(done.manifest.allSegmentsScanned());
    EXPECT_EQ(done.manifest.totalLines(), 13u);
}

// A job is written by one writer: a process whose lock lapsed while another
// resumed and completed the job cannot record into it, nor commit it (a
// chunk it rewrote would be caught by the chunk's recorded hash), and
// a second job given an id already taken cannot claim that id's manifest.
TEST_F(StoreFixture, AJobTakenOverByAnotherWriterIsNeverWrittenByTheFirst) {
    BackupManifest started = newJob(1);
    StoreEnvironment stale(store, started, log, &clock, 1000);
    auto staleOutput = stale.openSegmentOutput("orders", 0);

    StoreEnvironment resumed(store, job(started.jobId).manifest, log, &clock, 1000);
    auto output = resumed.openSegmentOutput("orders", 0);
    ASSERT_TRUE(output->putString(lines(4, 5, 'r')));
    ASSERT_TRUE(output->close(""));
    ASSERT_TRUE(resumed.finish("complete", ""));

    EXPECT_FALSE(staleOutput->close(""));
    EXPECT_FALSE(stale.finish("failed", "a later failure"));
    const BackupStore::Job committed = job(started.jobId);
    EXPECT_EQ(committed.manifest.status, "complete");
    EXPECT_EQ(committed.manifest.totalLines(), 4u);
    EXPECT_EQ(readAll(BackupStore::chunkPath(store.segmentDirectory("eu-west-1", "orders", started.jobId, 0), 1)),
              lines(4, 5, 'r'));
    EXPECT_NE(log->all().find("another process has taken the job over"), std::string::npos) << log->all();

    BackupManifest sameId = started;
    sameId.storedVersion.clear();
    std::string error;
    EXPECT_FALSE(store.saveManifest(sameId, error));
    EXPECT_NE(error.find("job " + std::to_string(started.jobId) + " of orders [eu-west-1] was changed by another writer"),
              std::string::npos)
        << error;
    EXPECT_EQ(job(started.jobId).manifest.status, "complete");
}

// A segment records how far it is after each page that rolled a chunk over,
// so a job cut short goes on from the last such page instead of from the
// segment's start, and still holds every item exactly once.
TEST_F(StoreFixture, ACutShortSegmentGoesOnFromItsLastRecordedPage) {
    BackupManifest started = newJob(1);
    auto page = [](int number) {
        std::string text;
        for (int i = 0; i < 10; ++i)
            text += R"({"id":{"S":")" + std::to_string(number * 100 + i) + R"("},"v":{"S":")" +
                    std::string(40, 'p') + "\"}}\n";
        return text;
    };
    auto key = [](int number) { return R"({"id":{"S":")" + std::to_string(number * 100 + 9) + R"("}})"; };
    {
        StoreEnvironment environment(store, started, log, &clock, 1000);
        auto output = environment.openSegmentOutput("orders", 0);
        for (int number = 1; number <= 5; ++number) {
            ASSERT_TRUE(output->putString(page(number)));
            output->updateRestart(key(number));
            // Whatever is recorded holds exactly the pages up to its key.
            const auto recorded = environment.manifest().segments;
            if (recorded.count(0) == 0) continue;
            uint64_t lines = 0;
            for (const auto& chunk : recorded.at(0).chunks) lines += chunk.lines;
            EXPECT_FALSE(recorded.at(0).closed);
            EXPECT_EQ(key(static_cast<int>(lines / 10)), recorded.at(0).restart) << "after page " << number;
        }
        // The process dies here: no close, no finish.
    }
    BackupStore::Job crashed = job(started.jobId);
    ASSERT_EQ(crashed.manifest.segments.count(0), 1u);
    const SegmentRecord progress = crashed.manifest.segments.at(0);
    uint64_t kept = 0;
    for (const auto& chunk : progress.chunks) kept += chunk.lines;
    EXPECT_GE(kept, 40u); // at most the last page is read again
    EXPECT_FALSE(crashed.manifest.allSegmentsScanned());

    StoreEnvironment resumed(store, crashed.manifest, log, &clock, 1000);
    auto again = resumed.openSegmentOutput("orders", 0);
    for (int number = static_cast<int>(kept / 10) + 1; number <= 8; ++number) {
        ASSERT_TRUE(again->putString(page(number)));
        again->updateRestart(number == 8 ? "" : key(number));
    }
    ASSERT_TRUE(again->close(""));
    ASSERT_TRUE(resumed.finish("complete", ""));
    BackupStore::Job done = job(started.jobId);
    EXPECT_TRUE(done.manifest.allSegmentsScanned());
    StoreReadEnvironment reader(done, log, &clock);
    std::string contents;
    ASSERT_TRUE(reader.openSegmentInput("orders", 0)->getContents(contents));
    std::string expected;
    for (int number = 1; number <= 8; ++number) expected += page(number);
    EXPECT_EQ(contents, expected);
}

TEST_F(StoreFixture, ResumedSegmentKeepsItsChunksAndNumbersOnAfterThem) {
    BackupManifest started = newJob(1);
    StoreEnvironment first(store, started, log, &clock, 100000);
    auto output = first.openSegmentOutput("orders", 0);
    ASSERT_TRUE(output->putString(lines(4, 5)));
    ASSERT_TRUE(output->close(R"({"id":{"S":"3"}})"));
    ASSERT_TRUE(first.finish("stopped", ""));

    StoreEnvironment second(store, job(started.jobId).manifest, log, &clock, 100000);
    auto more = second.openSegmentOutput("orders", 0);
    ASSERT_TRUE(more->putString(lines(2, 9)));
    ASSERT_TRUE(more->close(""));
    const SegmentRecord segment = second.manifest().segments.at(0);
    ASSERT_EQ(segment.chunks.size(), 2u);
    EXPECT_EQ(segment.chunks[0].number, 1);
    EXPECT_EQ(segment.chunks[1].number, 2);
    EXPECT_EQ(segment.restart, "");
}

TEST_F(StoreFixture, VerifyNamesTheFileAndWhatIsWrong) {
    BackupManifest started = newJob(1);
    StoreEnvironment environment(store, started, log, &clock, 1 << 20);
    {
        auto description = environment.openDescriptionOutput();
        description->putString(R"({"table":{"TableName":"orders"},"segments":1})");
        ASSERT_TRUE(description->close(""));
    }
    auto output = environment.openSegmentOutput("orders", 0);
    ASSERT_TRUE(output->putString(lines(20, 8)));
    ASSERT_TRUE(output->close(""));
    ASSERT_TRUE(environment.finish("complete", ""));
    EXPECT_TRUE(verifyJob(job(started.jobId)).ok());

    const std::string chunk = BackupStore::chunkPath(store.segmentDirectory("eu-west-1", "orders", started.jobId, 0), 1);
    const std::string original = readAll(chunk);

    std::string flipped = original;
    flipped[40] ^= 0x01;
    std::ofstream(chunk, std::ios::binary | std::ios::trunc) << flipped;
    VerifyReport report = verifyJob(job(started.jobId));
    ASSERT_FALSE(report.ok());
    bool named = false;
    for (const auto& problem : report.problems)
        named |= problem.rfind(chunk + ": expected checksum ", 0) == 0;
    EXPECT_TRUE(named) << report.problems[0];

    std::ofstream(chunk, std::ios::binary | std::ios::trunc) << original.substr(0, original.size() - 7);
    report = verifyJob(job(started.jobId));
    ASSERT_FALSE(report.ok());
    EXPECT_NE(report.problems[0].find(chunk + ": ends in the middle of a line"), std::string::npos);

    ::unlink(chunk.c_str());
    report = verifyJob(job(started.jobId));
    ASSERT_EQ(report.problems.size(), 1u);
    EXPECT_EQ(report.problems[0], chunk + ": missing");
}

// The description and metadata steer a restore (how many segments, which
// shards): they are covered by the manifest like chunks, and must agree
// with the chunks present.
TEST_F(StoreFixture, ControlFilesAreCoveredAndMustAgreeWithTheChunks) {
    BackupManifest started = newJob(2);
    StoreEnvironment environment(store, started, log, &clock, 1 << 20);
    {
        auto description = environment.openDescriptionOutput();
        description->putString(R"({"table":{"TableName":"orders"},"segments":2})");
        ASSERT_TRUE(description->close(""));
    }
    for (int segment = 0; segment < 2; ++segment) {
        auto output = environment.openSegmentOutput("orders", segment);
        ASSERT_TRUE(output->putString(lines(5, 8)));
        ASSERT_TRUE(output->close(""));
    }
    ASSERT_TRUE(environment.finish("complete", ""));
    VerifyReport clean = verifyJob(job(started.jobId));
    EXPECT_TRUE(clean.ok()) << clean.problems[0];
    EXPECT_TRUE(clean.warnings.empty());

    // An edited description (one segment: the restore would replay half).
    const std::string path = environment.jobDirectory() + "/description.json";
    const std::string original = readAll(path);
    ASSERT_TRUE(file_util::writeAtomically(path, R"({"table":{"TableName":"orders"},"segments":1})").empty());
    VerifyReport edited = verifyJob(job(started.jobId));
    ASSERT_EQ(edited.problems.size(), 1u);
    EXPECT_EQ(edited.problems[0].rfind(path + ": expected " + std::to_string(original.size()) + " bytes", 0), 0u)
        << edited.problems[0];
    StoreReadEnvironment reading(job(started.jobId), log, &clock);
    EXPECT_EQ(reading.openDescriptionInput(), nullptr);
    EXPECT_NE(reading.getFailure().find(path), std::string::npos);

    // A job written before control files were recorded: a warning, and the
    // segment count is still checked against the manifest.
    BackupStore::Job old = job(started.jobId);
    old.manifest.files.clear();
    VerifyReport unrecorded = verifyJob(old);
    ASSERT_EQ(unrecorded.problems.size(), 1u);
    EXPECT_NE(unrecorded.problems[0].find("segment count differs from the manifest's 2"), std::string::npos);
    ASSERT_TRUE(file_util::writeAtomically(path, original).empty());
    unrecorded = verifyJob(old);
    EXPECT_TRUE(unrecorded.ok());
    ASSERT_EQ(unrecorded.warnings.size(), 1u);
    EXPECT_NE(unrecorded.warnings[0].find("not covered by the manifest"), std::string::npos);
    StoreReadEnvironment oldReading(old, log, &clock);
    EXPECT_NE(oldReading.openDescriptionInput(), nullptr);
}

TEST_F(StoreFixture, ShardTreeMustNameEveryShardHoldingChanges) {
    BackupManifest started = newJob(0, "incremental");
    StoreEnvironment environment(store, started, log, &clock, 1 << 20);
    for (const char* shard : {"shard-a", "shard-b"}) {
        auto output = environment.openShardOutput("orders", shard, 0);
        ASSERT_TRUE(output->putString("UPDATE: " + lines(1, 4)));
        ASSERT_TRUE(output->close("finished"));
    }
    {
        auto description = environment.openDescriptionOutput();
        description->putString(R"({"table":{"TableName":"orders"}})");
        ASSERT_TRUE(description->close(""));
        auto metadata = environment.openMetadataOutput();
        metadata->putString(R"({"roots":["shard-a"],"children":{},"context":{"shard-a":"finished"},"time":1})");
        ASSERT_TRUE(metadata->close(""));
    }
    ASSERT_TRUE(environment.finish("complete", ""));
    VerifyReport report = verifyJob(job(started.jobId));
    ASSERT_EQ(report.problems.size(), 1u);
    EXPECT_NE(report.problems[0].find("its shard tree leaves out shard shard-b, which holds 1 changes"),
              std::string::npos)
        << report.problems[0];
}

TEST(DynamoDBItemCheck, AcceptsEveryTypeAndRejectsOtherShapes) {
    std::string why;
    EXPECT_TRUE(isDynamoDBItem(R"({"a":{"S":"x"},"b":{"N":"1"},"c":{"B":"AA=="},"d":{"SS":["x"]},"e":{"NS":["1"]},)"
                               R"("f":{"BS":["AA=="]},"g":{"M":{"h":{"L":[{"NULL":true},{"BOOL":false}]}}}})",
                               why))
        << why;
    for (const char* bad : {"", "[]", "{}", R"({"a":"plain"})", R"({"a":{"S":1}})", R"({"a":{"X":"1"}})",
                            R"({"a":{"S":"1","N":"1"}})", R"({"a":{"M":{"b":{"L":[{"Q":1}]}}}})", R"({"a":{"NULL":false}})"})
        EXPECT_FALSE(isDynamoDBItem(bad, why)) << bad;
}

TEST_F(StoreFixture, ManifestRoundTripsAndStaysForwardCompatible) {
    BackupManifest manifest;
    manifest.table = "t";
    manifest.region = "r";
    manifest.jobId = 42;
    manifest.segmentCount = 2;
    manifest.status = "stopped";
    manifest.segments[1] = SegmentRecord{1, true, R"({"id":{"S":"k"}})", {{1, 10, 2, "ab"}, {2, 5, 1, "cd"}}};
    BackupManifest read;
    std::string error;
    ASSERT_TRUE(BackupManifest::fromJson(manifest.toJson(), read, error)) << error;
    EXPECT_EQ(read.toJson(), manifest.toJson());
    EXPECT_EQ(read.totalBytes(), 15u);

    std::string extended = manifest.toJson();
    extended.insert(1, R"("compression":"none",)");
    EXPECT_TRUE(BackupManifest::fromJson(extended, read, error)) << error;
    std::string newer = manifest.toJson();
    newer.replace(newer.find("\"version\":1"), 11, "\"version\":9");
    EXPECT_FALSE(BackupManifest::fromJson(newer, read, error));
    EXPECT_NE(error.find("newer"), std::string::npos);
    EXPECT_FALSE(BackupManifest::fromJson(R"({"version":1})", read, error));
}

TEST_F(StoreFixture, JobIdsAreUniqueAndIncreasing) {
    ASSERT_EQ(store.open(), "");
    std::string error;
    int64_t a = 0, b = 0, c = 0;
    ASSERT_TRUE(store.allocateJobId(a, error));
    ASSERT_TRUE(store.allocateJobId(b, error));
    EXPECT_LT(a, b);
    ASSERT_EQ(file_util::makeDirectories(store.jobDirectory("r", "t", 40)), "");
    ::unlink((directory.path + "/job-counter").c_str());
    ASSERT_TRUE(store.allocateJobId(c, error));
    EXPECT_EQ(c, 41);
}

TEST_F(StoreFixture, ShardIdsCannotTakeTheJobsOwnFiles) {
    BackupManifest manifest = newJob(0);
    manifest.level = "incremental";
    StoreEnvironment environment(store, manifest, log, &clock);
    for (const char* bad : {"manifest.json", "metadata.json", ".lock", "../escape", ""})
        EXPECT_FALSE(environment.openShardOutput("orders", bad, 0)) << bad;
    EXPECT_TRUE(environment.openShardOutput("orders", "shardId-00000001-abc", 0));
}

TEST(BackupStorePaths, ComponentsThatCouldEscapeAreRefused) {
    EXPECT_EQ(BackupStore::checkComponent("orders-2024.v1", "table name"), "");
    for (const std::string& bad : {std::string(""), std::string("."), std::string(".."), std::string("a/b"),
                                  std::string("a\\b"), std::string("a\0b", 3), std::string("tab\there"),
                                  std::string(256, 'x')})
        EXPECT_NE(BackupStore::checkComponent(bad, "table name"), "") << bad;
}

} // namespace
