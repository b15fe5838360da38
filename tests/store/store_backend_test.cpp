// Every store backend keeps the same contract (objects appear only when
// committed, locks exclude, reads see what was written), and the store's
// own logic runs on each: a job written into memory, a folder or the local
// S3 server (its signatures checked by botocore) verifies, reads back, and a
// damaged chunk in it is caught.

#include <gtest/gtest.h>

#include <algorithm>

#include "store/BackupVerifier.h"
#include "store/ChunkCodec.h"
#include "store/LocalStoreBackend.h"
#include "store/MemoryStoreBackend.h"
#include "store/StoreEnvironment.h"
#include "store/StoreReadEnvironment.h"
#include "tests/support/LocalS3.h"
#include "tests/support/TempDir.h"

namespace {

enum class Kind { Local, Memory, S3 };

struct BackendFixture : ::testing::TestWithParam<Kind> {
    TempDir directory;
    std::shared_ptr<StoreBackend> backend = make();
    void SetUp() override {
        ASSERT_TRUE(backend) << "the local S3 server is not running: tools/local-s3/start.sh";
        ASSERT_EQ(backend->open(), "");
    }

    std::shared_ptr<StoreBackend> make() {
        switch (GetParam()) {
        case Kind::Memory: return std::make_shared<MemoryStoreBackend>();
        case Kind::Local: return std::make_shared<LocalStoreBackend>(directory.path + "/store");
        case Kind::S3: break;
        }
        return localS3().backend(uniquePrefix());
    }

    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    ManualClock clock{1700000000};
    // A new full job of "orders" in the store on this backend.
    BackupManifest newJob(BackupStore& store, unsigned segments, const std::string& codec = "") {
        BackupManifest manifest;
        manifest.table = "orders";
        manifest.region = "eu-west-1";
        manifest.segmentCount = segments;
        manifest.codec = codec;
        std::string error;
        EXPECT_TRUE(store.allocateJobId(manifest.jobId, error)) << error;
        return manifest;
    }

    std::string readAll(const std::string& key) {
        std::string error, data;
        auto reader = backend->read(key, error);
        EXPECT_TRUE(reader) << error;
        if (!reader) return "";
        char buffer[7]; // small, so that reads come in several pieces
        for (long got; (got = reader->read(buffer, sizeof buffer)) > 0;) data.append(buffer, static_cast<size_t>(got));
        return data;
    }
};

TEST_P(BackendFixture, ObjectsAppearOnlyOnceCommitted) {
    std::string error;
    {
        auto abandoned = backend->create("r/t/F1/1/1", error);
        ASSERT_TRUE(abandoned) << error;
        ASSERT_TRUE(abandoned->write("lost\n", 5, error));
    }
    EXPECT_FALSE(backend->exists("r/t/F1/1/1"));
    auto writer = backend->create("r/t/F1/1/2", error);
    ASSERT_TRUE(writer) << error;
    ASSERT_TRUE(writer->write("first line\n", 11, error));
    EXPECT_FALSE(backend->exists("r/t/F1/1/2"));
    ASSERT_TRUE(writer->write("second line\n", 12, error));
    ASSERT_TRUE(writer->commit(error)) << error;
    EXPECT_EQ(backend->sync("r/t/F1/1"), "");
    EXPECT_EQ(readAll("r/t/F1/1/2"), "first line\nsecond line\n");
    EXPECT_EQ(backend->list("r/t/F1/1"), std::vector<std::string>{"2"});
    EXPECT_EQ(backend->list("r/t"), std::vector<std::string>{"F1"});
    EXPECT_EQ(backend->list("r/none"), std::vector<std::string>{});
}

TEST_P(BackendFixture, PutReplacesWholeAndMissingObjectsSayWhere) {
    EXPECT_EQ(backend->put("r/t/F1/manifest.json", "old"), "");
    EXPECT_EQ(backend->put("r/t/F1/manifest.json", "new"), "");
    std::string data, error;
    ASSERT_TRUE(backend->get("r/t/F1/manifest.json", data, error));
    EXPECT_EQ(data, "new");
    EXPECT_FALSE(backend->get("r/t/F1/description.json", data, error));
    EXPECT_NE(error.find(backend->where("r/t/F1/description.json")), std::string::npos) << error;
    EXPECT_NE(error.find("missing"), std::string::npos) << error;
    EXPECT_FALSE(backend->read("r/t/F1/description.json", error));
    backend->remove("r/t/F1/manifest.json");
    EXPECT_FALSE(backend->exists("r/t/F1/manifest.json"));
}

// The compare-and-swap a manifest is written with: a writer replaces only
// the bytes it last saw, a create finds nothing there, and a writer that
// meets its own bytes (a retry whose first try landed) carries on.
TEST_P(BackendFixture, ConditionalWritesReplaceOnlyTheVersionLastSeen) {
    const std::string key = "r/t/F1/manifest.json";
    std::string first, second, error, data;
    ASSERT_EQ(backend->putIfVersion(key, "running 1", first), "");
    std::string late;
    const std::string refused = backend->putIfVersion(key, "another job 1", late);
    EXPECT_EQ(refused.rfind(StoreBackend::kChangedByAnotherWriter, 0), 0u) << refused;
    EXPECT_NE(refused.find(backend->where(key)), std::string::npos) << refused;

    second = first;
    ASSERT_EQ(backend->putIfVersion(key, "running 2", second), "");
    EXPECT_NE(second, first);
    std::string stale = first;
    EXPECT_EQ(backend->putIfVersion(key, "stale 2", stale).rfind(StoreBackend::kChangedByAnotherWriter, 0), 0u);
    EXPECT_EQ(stale, first);
    ASSERT_TRUE(backend->getVersioned(key, data, late, error)) << error;
    EXPECT_EQ(data, "running 2");
    EXPECT_EQ(late, second);

    std::string retried = first;
    EXPECT_EQ(backend->putIfVersion(key, "running 2", retried), "");
    EXPECT_EQ(retried, second);
    ASSERT_EQ(backend->putIfVersion(key, "complete", retried), "");

    backend->remove(key);
    const std::string gone = backend->putIfVersion(key, "resurrected", retried);
    EXPECT_NE(gone.find("was removed"), std::string::npos) << gone;
    EXPECT_FALSE(backend->exists(key));
}

TEST_P(BackendFixture, ALockExcludesUntilReleased) {
    std::string error;
    auto held = backend->lock("r/t/F1/.lock", false, error);
    ASSERT_TRUE(held) << error;
    EXPECT_TRUE(backend->isLocked("r/t/F1/.lock"));
    EXPECT_FALSE(backend->lock("r/t/F1/.lock", false, error));
    EXPECT_FALSE(error.empty());
    held.reset();
    EXPECT_FALSE(backend->isLocked("r/t/F1/.lock"));
    EXPECT_TRUE(backend->lock("r/t/F1/.lock", false, error)) << error;
}

// A full job written, committed and read back through the backend alone.
TEST_P(BackendFixture, AJobWrittenThroughTheBackendVerifiesAndReadsBack) {
    BackupStore store(backend);
    const BackupManifest manifest = newJob(store, 2);
    std::string error;
    std::string segment0, segment1;
    for (int i = 0; i < 40; ++i) (i % 2 ? segment1 : segment0) += R"({"id":{"S":")" + std::to_string(i) + R"("}})" "\n";
    {
        StoreEnvironment environment(store, manifest, log, &clock, 100);
        for (int segment = 0; segment < 2; ++segment) {
            auto output = environment.openSegmentOutput("orders", segment);
            ASSERT_TRUE(output);
            ASSERT_TRUE(output->putString(segment ? segment1 : segment0));
            ASSERT_TRUE(output->close(""));
        }
        auto description = environment.openDescriptionOutput();
        ASSERT_TRUE(description);
        ASSERT_TRUE(description->putString(R"({"table":{},"segments":2})"));
        ASSERT_TRUE(description->close(""));
        ASSERT_TRUE(environment.finish("complete", ""));
    }
    BackupStore::Job job;
    ASSERT_TRUE(store.findJob(manifest.jobId, job, error)) << error;
    EXPECT_EQ(job.manifest.status, "complete");
    EXPECT_GT(job.manifest.segments.at(0).chunks.size(), 1u); // the chunks rolled over
    const VerifyReport clean = verifyJob(job);
    EXPECT_TRUE(clean.ok()) << (clean.problems.empty() ? "" : clean.problems[0]);
    EXPECT_EQ(clean.lines, 40u);
    const VerifyReport light = verifyJob(job, VerifyDepth::Integrity);
    EXPECT_TRUE(light.ok());
    EXPECT_EQ(light.lines, 40u);

    StoreReadEnvironment reader(job, log, &clock);
    auto input = reader.openSegmentInput("orders", 1);
    std::string contents;
    ASSERT_TRUE(input->getContents(contents));
    EXPECT_EQ(contents, segment1);
    // Read once, hashed as it streams, it is the same.
    StoreReadEnvironment proven(job, log, &clock);
    proven.chunksProvenWhole();
    ASSERT_TRUE(proven.openSegmentInput("orders", 0)->getContents(contents));
    EXPECT_EQ(contents, segment0);

    // Objects the manifest does not name are strays, and only they: a chunk
    // past the recorded ones, a write's leftover, a folder no segment has.
    const std::string jobKey = BackupStore::jobKey(job.manifest);
    EXPECT_TRUE(store.strayKeys(job).empty());
    for (const std::string& stray : {jobKey + "/1/99", jobKey + "/2/1.tmp", jobKey + "/7/1"})
        ASSERT_EQ(backend->put(stray, "x\n"), "");
    const std::vector<std::string> strays = store.strayKeys(job);
    for (const auto& stray : strays) backend->remove(stray);
    std::vector<std::string> sorted = strays;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::string>{jobKey + "/1/99", jobKey + "/2/1.tmp", jobKey + "/7", jobKey + "/7/1"}));
    EXPECT_TRUE(store.strayKeys(job).empty());
    EXPECT_TRUE(verifyJob(job).ok());

    // One byte changed in a chunk: verify names it, and a read stops before
    // handing out any of its lines.
    const std::string chunk = BackupStore::chunkPath(BackupStore::jobKey(job.manifest) + "/1", 1);
    std::string bytes;
    ASSERT_TRUE(backend->get(chunk, bytes, error));
    bytes[3] = 'X';
    ASSERT_EQ(backend->put(chunk, bytes), "");
    const VerifyReport damaged = verifyJob(job);
    ASSERT_FALSE(damaged.ok());
    // A restore's lighter check, without reading lines as items, still
    // catches the changed byte.
    EXPECT_FALSE(verifyJob(job, VerifyDepth::Integrity).ok());
    EXPECT_NE(damaged.problems[0].find(backend->where(chunk)), std::string::npos) << damaged.problems[0];
    StoreReadEnvironment again(job, log, &clock);
    auto broken = again.openSegmentInput("orders", 0);
    std::string line;
    EXPECT_FALSE(broken->getLine(line));
    EXPECT_TRUE(broken->error());
    EXPECT_TRUE(again.hasFailed());
    // Changed after the check that proved it: the chunk's lines may have gone
    // out, but the input fails at its end, never reads on as if whole.
    StoreReadEnvironment late(job, log, &clock);
    late.chunksProvenWhole();
    auto changed = late.openSegmentInput("orders", 0);
    EXPECT_FALSE(changed->getContents(contents));
    EXPECT_TRUE(changed->error());
    EXPECT_NE(late.getFailure().find("changed since it was checked"), std::string::npos) << late.getFailure();
}

// A job written with compressed chunks: its manifest names the codec in a
// version older readers refuse, its hashes are of the stored bytes (so a
// light check needs no decompression), and it reads back line for line.
TEST_P(BackendFixture, CompressedChunksVerifyAndReadBack) {
    BackupStore store(backend);
    const BackupManifest manifest = newJob(store, 1, kZstdCodec);
    std::string error;
    std::string lines;
    for (int i = 0; i < 2000; ++i)
        lines += R"({"id":{"S":")" + std::to_string(i) + R"("},"v":{"S":"the same words again and again"}})" "\n";
    {
        StoreEnvironment environment(store, manifest, log, &clock, 16384, nullptr, 1);
        auto output = environment.openSegmentOutput("orders", 0);
        ASSERT_TRUE(output);
        ASSERT_TRUE(output->putString(lines));
        ASSERT_TRUE(output->close(""));
        auto description = environment.openDescriptionOutput();
        ASSERT_TRUE(description->putString(R"({"table":{},"segments":1})"));
        ASSERT_TRUE(description->close(""));
        ASSERT_TRUE(environment.finish("complete", ""));
    }
    BackupStore::Job job;
    ASSERT_TRUE(store.findJob(manifest.jobId, job, error)) << error;
    std::string text;
    ASSERT_TRUE(backend->get(BackupStore::jobKey(job.manifest) + "/manifest.json", text, error));
    EXPECT_NE(text.find(R"("version":2)"), std::string::npos) << text;
    EXPECT_NE(text.find(R"("codec":"zstd")"), std::string::npos) << text;
    uint64_t stored = 0, count = 0;
    for (const auto& chunk : job.manifest.segments.at(0).chunks) {
        stored += chunk.bytes;
        count += chunk.lines;
    }
    EXPECT_GT(job.manifest.segments.at(0).chunks.size(), 1u); // rolled over by the lines' size
    EXPECT_EQ(count, 2000u);
    EXPECT_LT(stored * 4, lines.size());
    for (VerifyDepth depth : {VerifyDepth::Lines, VerifyDepth::Integrity}) {
        const VerifyReport report = verifyJob(job, depth);
        EXPECT_TRUE(report.ok()) << (report.problems.empty() ? "" : report.problems[0]);
        EXPECT_EQ(report.lines, 2000u);
    }
    StoreReadEnvironment reader(job, log, &clock);
    std::string contents;
    ASSERT_TRUE(reader.openSegmentInput("orders", 0)->getContents(contents));
    EXPECT_EQ(contents, lines);
    StoreReadEnvironment proven(job, log, &clock);
    proven.chunksProvenWhole();
    ASSERT_TRUE(proven.openSegmentInput("orders", 0)->getContents(contents));
    EXPECT_EQ(contents, lines);

    const std::string chunk = BackupStore::chunkPath(BackupStore::jobKey(job.manifest) + "/1", 1);
    std::string bytes;
    ASSERT_TRUE(backend->get(chunk, bytes, error));
    bytes[bytes.size() / 2] ^= 0x20;
    ASSERT_EQ(backend->put(chunk, bytes), "");
    EXPECT_FALSE(verifyJob(job, VerifyDepth::Integrity).ok());
    StoreReadEnvironment damaged(job, log, &clock);
    std::string line;
    EXPECT_FALSE(damaged.openSegmentInput("orders", 0)->getLine(line));
    EXPECT_TRUE(damaged.hasFailed());
}

INSTANTIATE_TEST_SUITE_P(Backends, BackendFixture, ::testing::Values(Kind::Local, Kind::Memory, Kind::S3),
                         [](const ::testing::TestParamInfo<Kind>& info) {
                             return info.param == Kind::Local ? "Local" : info.param == Kind::Memory ? "Memory" : "S3";
                         });

} // namespace
