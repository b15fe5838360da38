// What a restore to a point in time rests on: the times users write, and
// the time marks the manifest keeps for each shard's lines.

#include <gtest/gtest.h>

#include "store/BackupManifest.h"
#include "text/UtcTime.h"

namespace {

int64_t parsed(const std::string& text, std::string* error = nullptr) {
    int64_t seconds = 0;
    std::string why;
    if (!parseUtcTime(text, seconds, why)) {
        if (error) *error = why;
        return -1;
    }
    return seconds;
}

TEST(UtcTime, IsoTimesWithAZoneAreOneSecond) {
    const int64_t expected = 1796781482; // 2026-12-09T01:58:02Z
    EXPECT_EQ(utcText(expected), "2026-12-09T01:58:02Z");
    for (const char* same : {"2026-12-09T01:58:02Z", "2026-12-09t01:58:02z", "2026-12-09 01:58:02Z",
                             "2026-12-09T01:58:02.999Z", "2026-12-09T02:58:02+01:00", "2026-12-09T02:58:02+0100",
                             "2026-12-08T20:28:02-05:30", "2026-12-09T03:58:02+02"})
        EXPECT_EQ(parsed(same), expected) << same;
    EXPECT_EQ(parsed("2026-12-09T01:58Z"), expected - 2);
    EXPECT_EQ(parsed("2024-02-29T00:00:00Z"), 1709164800);

    std::string error;
    EXPECT_EQ(parsed("2026-12-09T01:58:02", &error), -1);
    EXPECT_NE(error.find("has no time zone: add Z for UTC"), std::string::npos) << error;
    for (const char* bad : {"", "yesterday", "1796781482", "2026-12-09", "2026-12-09T25:00:00Z", "2026-02-29T00:00:00Z",
                            "2026-13-01T00:00:00Z", "2026-12-09T01:58:02ZZ", "2026-12-09T01:58:02+24:00",
                            "2026-12-09T01:58:02.Z", "2026-12-09T01:58:60Z", "+2026-12-09T01:58:02Z"})
        EXPECT_EQ(parsed(bad), -1) << bad;
}

std::string incrementalWith(const std::string& times) {
    return R"({"version":1,"level":"incremental","table":"t","region":"r","job":2,"startTime":10,"endTime":20,)"
           R"("segmentCount":0,"status":"complete","segments":[],"previousJob":0,"shards":[{"id":"s","closed":true,)"
           R"("state":"finished","chunks":[{"number":1,"bytes":30,"lines":3,"sha256":"00"}])" +
           times + "}]}";
}

TEST(ManifestTimeMarks, RoundTripAndRefuseWhatCannotBeTrue) {
    BackupManifest manifest;
    std::string error;
    ASSERT_TRUE(BackupManifest::fromJson(incrementalWith(R"(,"times":[[0,100],[2,160]])"), manifest, error)) << error;
    const ShardRecord& shard = manifest.shards.at("s");
    ASSERT_EQ(shard.times.size(), 2u);
    EXPECT_EQ(shard.times[1].line, 2u);
    EXPECT_EQ(shard.times[1].time, 160);
    EXPECT_TRUE(manifest.changeTimesRecorded());
    EXPECT_EQ(manifest.latestChangeTime(-1), 160);
    BackupManifest again;
    ASSERT_TRUE(BackupManifest::fromJson(manifest.toJson(), again, error)) << error;
    EXPECT_EQ(again.shards.at("s").times.size(), 2u);

    // Older stores have no marks: readable, but not cut by time.
    ASSERT_TRUE(BackupManifest::fromJson(incrementalWith(""), manifest, error)) << error;
    EXPECT_FALSE(manifest.changeTimesRecorded());
    EXPECT_EQ(manifest.latestChangeTime(20), 20);
    EXPECT_EQ(manifest.toJson().find("times"), std::string::npos);

    for (const char* bad : {R"(,"times":[[3,100]])", R"(,"times":[[1,100],[1,120]])", R"(,"times":[[1,100],[0,120]])",
                            R"(,"times":[[0,-5]])", R"(,"times":[[0]])", R"(,"times":[["0",1]])", R"(,"times":{})",
                            R"(,"times":[[-1,5]])"}) {
        EXPECT_FALSE(BackupManifest::fromJson(incrementalWith(bad), manifest, error)) << bad;
        EXPECT_EQ(error, "the time marks of shard s are malformed") << bad;
    }
}

} // namespace
