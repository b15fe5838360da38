#pragma once
// The manifest of one backup job: the commit record of the backup store.
// A job is complete only when its manifest says so, and the manifest is
// only ever replaced whole (see FileUtil), so a crash never leaves a job
// that claims to be complete without all of its data. Format: README.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct ChunkRecord {
    int number = 0; // from 1
    uint64_t bytes = 0;
    uint64_t lines = 0;
    std::string sha256; // lower-case hex
};

// A control file of the job (description.json, metadata.json): restore
// reads it, so it is covered like a chunk.
struct FileRecord {
    std::string name;
    uint64_t bytes = 0;
    std::string sha256; // lower-case hex
};

struct SegmentRecord {
    int index = 0;       // 0-based scan segment; its directory is index + 1
    bool closed = false; // the segment output was closed successfully
    std::string restart; // where it stopped; empty: scanned to its end
    std::vector<ChunkRecord> chunks;
};

// From line `line` (0-based, over the shard's chunks) on, the changes were
// made in second `time` (their approximate creation time, seconds since the
// epoch), up to the next mark. A restore to a point in time replays a shard
// up to its first mark past that point.
struct TimeMark {
    uint64_t line = 0;
    int64_t time = 0;
};

struct ShardRecord {
    std::string id;
    bool closed = false;
    std::string state; // "finished", "empty" or the last sequence number saved
    std::vector<ChunkRecord> chunks;
    std::vector<TimeMark> times;
    bool timesRecorded = false; // false in stores written before they were
};

struct BackupManifest {
    static constexpr int kVersion = 1;
    // A job whose chunks are compressed: readers that know no codec refuse it.
    static constexpr int kCompressedVersion = 2;
    static constexpr const char* kFileName = "manifest.json";
    static constexpr int64_t kMaxSegments = 1000000;

    int version = kVersion;
    std::string level = "full"; // "full" or "incremental"
    std::string table;
    std::string region;
    int64_t jobId = 0;
    int64_t startTime = 0;
    int64_t endTime = 0;
    unsigned segmentCount = 0;
    std::string status = "running"; // running, stopped, failed, complete
    std::string codec;              // of the chunks: "" (none) or "zstd" (version 2)
    std::string failure;            // why a failed job failed
    std::map<int, SegmentRecord> segments;         // full backups
    std::map<std::string, ShardRecord> shards;     // incremental backups
    int64_t previousJob = 0; // the incremental this one continues; 0: none
    // Incremental only: the newest full backup that was complete when it
    // began (0: none), so restores know which fulls its changes can follow;
    // -1 in stores written before it was recorded.
    int64_t afterFull = -1;
    // Control files by name; empty in stores written before they were covered.
    std::map<std::string, FileRecord> files;
    // Not part of the file: the store's version of the bytes this copy was
    // read from or last saved as ("" for a job not yet written), so that a
    // save replaces only what this writer last saw.
    std::string storedVersion;

    bool incremental() const { return level == "incremental"; }
    // Incremental: every shard carries its time marks, so a restore can stop
    // at any second of it.
    bool changeTimesRecorded() const;
    // Incremental: the creation time of its newest change, or `fallback`
    // when it holds none or did not record times.
    int64_t latestChangeTime(int64_t fallback) const;
    // "F<job>" or "I<job>": the job's directory name.
    std::string directoryName() const;

    uint64_t totalBytes() const;
    uint64_t totalLines() const;
    // Every segment closed with an empty restart text: all data is in.
    bool allSegmentsScanned() const;

    std::string toJson() const;
    // False with a reason when the text is not a manifest this version reads:
    // unknown levels or statuses, values out of range, and segments, shards,
    // files or chunks listed twice are refused. Unknown members are ignored,
    // so newer writers stay readable.
    static bool fromJson(const std::string& text, BackupManifest& manifest, std::string& error);
};
