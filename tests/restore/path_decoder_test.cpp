// Backup object paths: the published table of paths and what they decode to.

#include <gtest/gtest.h>

#include "restore/AwsDynamoDBPathDecoder.h"

namespace {

struct PathCase {
    const char* path;
    int result;
    const char* region;
    const char* table;
    bool incremental;
    int64_t job;
    int scan;
    const char* shard;
    int chunk;
    int64_t afile;
};

void PrintTo(const PathCase& c, std::ostream* out) { *out << '"' << c.path << '"'; }

class PathDecoding : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathDecoding, GivesItsParts) {
    const PathCase& c = GetParam();
    AwsDynamoDBPathDecoder decoder;
    decoder.initialize("/stale/state/F9/9/9"); // every decode starts afresh
    ASSERT_EQ(decoder.initialize(c.path), c.result);
    if (c.result < 0) return;
    EXPECT_EQ(decoder.getRegion(), c.region);
    EXPECT_EQ(decoder.getTableName(), c.table);
    EXPECT_EQ(decoder.isIncremental(), c.incremental);
    EXPECT_EQ(decoder.getJobId(), c.job);
    EXPECT_EQ(decoder.getScanNumber(), c.scan);
    EXPECT_EQ(decoder.getShardId(), c.shard);
    EXPECT_EQ(decoder.getChunkNumber(), c.chunk);
    EXPECT_EQ(decoder.getAfileId(), c.afile);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PathDecoding,
    ::testing::Values(PathCase{"", -1, "", "", false, -1, -1, "", -1, -1},
                      PathCase{"/", -1, "", "", false, -1, -1, "", -1, -1},
                      PathCase{"\\", -1, "", "", false, -1, -1, "", -1, -1},
                      PathCase{"\\reg\\tab", 2, "reg", "tab", false, -1, -1, "", -1, -1},
                      PathCase{"//reg\\\\tab//", 2, "reg", "tab", false, -1, -1, "", -1, -1},
                      PathCase{"/reg/tab/F40", 3, "reg", "tab", false, 40, -1, "", -1, -1},
                      PathCase{"\\reg\\tab\\I80", 3, "reg", "tab", true, 80, -1, "", -1, -1},
                      PathCase{"\\reg\\tab\\I90\\Shard1", 4, "reg", "tab", true, 90, -1, "Shard1", -1, -1},
                      PathCase{"/reg/tab/F80/4", 4, "reg", "tab", false, 80, 4, "", -1, -1},
                      PathCase{"/reg1/tab1/F50/3/17", 5, "reg1", "tab1", false, 50, 3, "", 17, -1},
                      PathCase{"\\reg2\\tab2\\I81\\Shard2\\1", 5, "reg2", "tab2", true, 81, -1, "Shard2", 1, -1},
                      PathCase{"/r/t/F5/2/x/33", 6, "r", "t", false, 5, 2, "", -1, 33},
                      PathCase{"/r/t/I5/0", 4, "r", "t", true, 5, -1, "0", -1, -1},
                      PathCase{"/r/t/F5/0", -1, "", "", false, -1, -1, "", -1, -1},
                      PathCase{"/r/t/f5", -1, "", "", false, -1, -1, "", -1, -1},
                      PathCase{"/r/t/F", -1, "", "", false, -1, -1, "", -1, -1},
                      PathCase{"/r/t/I0", -1, "", "", false, -1, -1, "", -1, -1},
                      PathCase{"/r/t/F5/1/0", -1, "", "", false, -1, -1, "", -1, -1},
                      PathCase{"/r/t/F5/1/1/0", -1, "", "", false, -1, -1, "", -1, -1},
                      PathCase{"/a/b/F1/2/3/4/5", -1, "", "", false, -1, -1, "", -1, -1}));

TEST(PathDecoder, PrefixesMatchWhatTheDecoderReads) {
    const std::string prefix = AwsDynamoDBPathDecoder::toPath("reg1", "tab1", false, 50, "/");
    EXPECT_EQ(prefix, "/reg1/tab1/F50");
    AwsDynamoDBPathDecoder decoder;
    EXPECT_EQ(decoder.initialize(prefix + "/3/17"), 5);
    EXPECT_EQ(AwsDynamoDBPathDecoder::toPath("r", "t", true, 7, "\\"), "\\r\\t\\I7");
    AwsDynamoDBPathDecoder::test();
}

} // namespace
