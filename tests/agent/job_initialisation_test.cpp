// Job initialisation from the host's management data: application ids,
// instance credentials and regions, subclient tables (with the default
// subclient's filtering), configuration, and the job results directories.

#include <gtest/gtest.h>

#include "agent/DynamoDBTESK.h"
#include "platform/FileUtil.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace {

struct JobInitFixture : ::testing::Test {
    TempDir directory;
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    ScopedEnv detail{"DDB_DEBUG_LEVEL", "3"};
    ScopedEnv noMetadata{"AWS_EC2_METADATA_DISABLED", "true"};

    // Application 2:17 on instance 5 with subclient 17; `subclients` and
    // `instance` replace the defaults.
    void install(const std::string& subclients = "", const std::string& instance = "") {
        const std::string text =
            R"({"focusClient":"c1","jobResultsRoot":")" + directory.path + R"(/results",)"
            R"("clients":{"c1":{"id":7,"shortName":"cone","hostName":"host1.example"}},)"
            R"("applications":{"2:17":{"instance":5,"client":"c1","subclient":17,"backupSet":3,"appType":64,)"
            R"("subclientDirectory":")" + directory.path + R"(/subclients/17"}},)"
            R"("instances":{"5":)" +
            (instance.empty() ? R"({"accessKey":"AKID","secretKey":"c2VjcmV0","readThroughput":100,"writeThroughput":50,"regions":["us-east-1","eu-west-1"]})"
                              : instance) +
            R"(},"subclients":)" +
            (subclients.empty() ? R"({"17":{"default":false,"tables":[{"region":"us-east-1","table":"orders"}],"config":"{\"chunkSizeMB\":8,\"temporaryReadThroughput\":40}"}})"
                                : subclients) +
            R"(,"backupSets":{"3":{"subclients":[17,18]}}})";
        ASSERT_TRUE(ManagementData::install(text)) << text;
    }
    ~JobInitFixture() override { ManagementData::clear(); }
};

TEST_F(JobInitFixture, ApplicationIdsFromTheProgramArguments) {
    install();
    auto args = std::make_shared<CProgramArguments>();
    for (const char* bad : {"2:17:3", "17", ""}) {
        args->set("a", bad);
        DynamoDBUtil util(log);
        util.setJobId(5);
        EXPECT_EQ(util.Initialize(args, true), 1) << bad;
    }
    EXPECT_TRUE(log->contains("Invalid application id, expected <varda-id>:<application-number> [2:17:3]"));

    args->set("a", "0x2:021"); // hexadecimal and octal: 2 and 17
    DynamoDBUtil util(log);
    util.setJobId(5);
    EXPECT_EQ(util.Initialize(args, true), 0);
    EXPECT_EQ(util.getJobResultsPath(), directory.path + "/results/HX_JobResults/2/0/5");
}

// A management file that does not parse was once taken as "{}", and every
// job then failed for want of its instance, far from the cause.
TEST_F(JobInitFixture, AMalformedManagementFileStopsJobsAndSaysWhere) {
    const std::string path = directory.path + "/management.json";
    file_util::writeAtomically(path, "{\"instances\":{\"5\":{\"accessKey\":\"AKID\",}}}");
    ScopedEnv file("DDB_MANAGEMENT", path);
    ManagementData::clear();
    const std::string error = ManagementData::loadError();
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_NE(error.find("at byte 38"), std::string::npos) << error;
    DynamoDBUtil util(log);
    EXPECT_EQ(util.InitializeForRestore(5), 1);
    EXPECT_TRUE(log->contains("is unusable: it is not valid JSON at byte 38"));

    ScopedEnv missing("DDB_MANAGEMENT", directory.path + "/none.json");
    ManagementData::clear();
    EXPECT_NE(ManagementData::loadError().find("cannot be read"), std::string::npos);
    ManagementData::clear();
}

TEST_F(JobInitFixture, WholeInitialisationFillsEverything) {
    install();
    DynamoDBUtil util(17, 2, log);
    util.setJobId(5);
    ASSERT_EQ(util.Initialize(0, 0, 0, true), 0); // the object's own ids and job
    EXPECT_EQ(util.getCredentials().accessKeyId, "AKID");
    EXPECT_EQ(util.getCredentials().secretAccessKey, "secret");
    EXPECT_EQ(util.getRegions(), (std::vector<std::string>{"us-east-1", "eu-west-1"}));
    EXPECT_EQ(util.getLocalHostNameMember(), "host1.example");
    EXPECT_EQ(util.getReadThroughput(), 40);
    EXPECT_EQ(util.getWriteThroughput(), 50);
    EXPECT_EQ(util.getDynamoDBConfig()->getChunkSizeMB(), 8);
    std::vector<App::DynamoDBTable>* tables = nullptr;
    ASSERT_TRUE(util.getTables(tables).ok());
    EXPECT_EQ(*tables, (std::vector<App::DynamoDBTable>{{"us-east-1", "orders"}}));
    EXPECT_TRUE(file_util::exists(util.getSubclientDirectory()));
    EXPECT_TRUE(file_util::exists(util.getJobResultsPath() + "/JobResults.raw"));
    EXPECT_FALSE(log->contains("secret")); // the key never reaches the log

    DynamoDBUtil noJob(17, 2, log);
    EXPECT_EQ(noJob.Initialize(0, 0, 0, true), 1);
    EXPECT_TRUE(log->contains("Invalid parameters [appid:vardaid] [17:2] [jid:0]"));
}

TEST_F(JobInitFixture, InstanceRegionsAndSecrets) {
    install("", R"({"accessKey":"AKID","secretKey":"c2VjcmV0","regions":["us-east-1","default"]})");
    DynamoDBUtil util(log);
    AmazonDynamoDBInstance instance(5);
    ASSERT_EQ(util.InitFromInstanceProp(instance), 0);
    EXPECT_TRUE(util.getRegions().empty());

    install("", R"({"accessKey":"arn:aws:iam::1:role/r","secretKey":""})");
    DynamoDBUtil role(log);
    EXPECT_EQ(role.InitFromInstanceProp(instance), 1); // the role path, and no metadata service here
    EXPECT_TRUE(log->contains("Instance uses IAM role or STS assume role"));
    EXPECT_TRUE(log->contains("Failed to obtain temporary credentials based on the IAM role"));

    install("", R"({"accessKey":"AKID","secretKey":"not base64!"})");
    DynamoDBUtil bad(log);
    EXPECT_EQ(bad.InitFromInstanceProp(instance), 1);
    EXPECT_TRUE(log->contains("Failed to decrypt the secret access key"));

    EXPECT_EQ(util.InitializeForRestore(0), 1);
    AmazonDynamoDBInstance missing(99);
    EXPECT_EQ(util.InitFromInstanceProp(missing), 1);
}

TEST_F(JobInitFixture, DefaultSubclientLeavesOthersTheirTables) {
    install(R"({"17":{"default":true,"allTables":true,"tables":[{"region":"r","table":"a"},{"region":"r","table":"b"},{"region":"r","table":"c"}]},)"
            R"("18":{"default":false,"tables":[{"region":"r","table":"b"}]}})");
    DynamoDBUtil util(log);
    ApplicationId app(2, 17);
    ASSERT_EQ(util.InitFromSubclientProp(app, true), 0);
    std::vector<App::DynamoDBTable>* tables = nullptr;
    ASSERT_TRUE(util.getTables(tables).ok());
    EXPECT_EQ(*tables, (std::vector<App::DynamoDBTable>{{"r", "a"}, {"r", "c"}}));
    EXPECT_TRUE(log->contains("DynamoDB non-default content region 'r' table 'b' is filtered out"));
    EXPECT_TRUE(log->contains("DynamoDB config XML is empty, using default values"));
    EXPECT_EQ(util.getDynamoDBConfig()->getChunkSizeMB(), 16);

    install(R"({"17":{"default":false,"tables":[],"config":"{not json"}})");
    DynamoDBUtil broken(log);
    EXPECT_EQ(broken.InitFromSubclientProp(app, true), 1);
}

TEST(AgentProcessHelpers, ArgumentsCommandsAndClients) {
    char** argv = nullptr;
    EXPECT_EQ(DynamoDBUtil::GetArgv("  ddb  -a 2:17 ", argv), 3);
    EXPECT_STREQ(argv[2], "2:17");
    EXPECT_EQ(argv[3], nullptr);
    DynamoDBUtil::DeleteArgv(argv);
    EXPECT_EQ(argv, nullptr);
    EXPECT_EQ(DynamoDBUtil::GetArgv("", argv), 0);
    EXPECT_EQ(argv[0], nullptr);
    DynamoDBUtil::DeleteArgv(argv);

    std::string output, errors;
    EXPECT_EQ(DynamoDBUtil::ExecCmd("sh -c 'echo out; echo err >&2; exit 3'", output, errors, false), 3);
    EXPECT_EQ(output, "out\nerr\n");
    EXPECT_FALSE(DynamoDBUtil::getLocalHostName().empty());

    ManagementData::install(R"({"clients":{"h":{"id":9,"shortName":"hh"}}})");
    HxEntities::ClientEntity entity;
    EXPECT_TRUE(DynamoDBUtil::GetHxClientEntityForHost("h", entity));
    EXPECT_EQ(entity.clientId, 9);
    EXPECT_EQ(entity.clientName, "hh");
    EXPECT_FALSE(DynamoDBUtil::GetHxClientEntityForHost("nobody", entity));
    ManagementData::clear();
}

} // namespace
