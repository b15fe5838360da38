// The store's own files: a manifest that reads writes back as one that
// reads the same; description.json and metadata.json are checked against a
// job without crashing, whatever they hold.

#include "fuzz/FuzzInput.h"
#include "store/BackupManifest.h"
#include "store/BackupVerifier.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = fuzzText(data, size);
    BackupManifest manifest;
    std::string error;
    if (BackupManifest::fromJson(text, manifest, error)) {
        const std::string written = manifest.toJson();
        BackupManifest again;
        FUZZ_CHECK(BackupManifest::fromJson(written, again, error));
        FUZZ_CHECK(again.toJson() == written);
    }
    BackupStore::Job job;
    job.directory = "/store/r/t/I2";
    job.manifest.level = "incremental";
    job.manifest.segmentCount = 2;
    job.manifest.shards["s"] = ShardRecord{"s", true, "finished", {ChunkRecord{1, 10, 3, "00"}}, {}, false};
    std::string warning;
    checkControlFile(job, "metadata.json", text, warning);
    job.manifest.level = "full";
    checkControlFile(job, "description.json", text, warning);
    return 0;
}
