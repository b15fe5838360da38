// Credential sources against loopback fakes of the instance metadata service
// and STS: both metadata forms, AssumeRole, regions, refresh on expiry.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>

#include "dynamodb/AwsDynamoDBService.h"
#include "host/TeskPrototypeEnvironment.h"
#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/ScopedEnv.h"

namespace {

constexpr const char* kInstanceCredentials =
    R"({"Code":"Success","AccessKeyId":"ASIAINSTANCE","SecretAccessKey":"instance-secret",)"
    R"("Token":"instance-token","Expiration":"2030-01-02T03:04:05Z"})";
constexpr int64_t kInstanceExpiry = 1893553445; // 2030-01-02T03:04:05Z

// The instance metadata service: the token form (PUT for a token, token on
// every GET) and, unless `requireToken`, the plain form.
struct FakeMetadata {
    LoopbackHttpServer server;
    std::atomic<bool> tokenForm{true};
    std::atomic<bool> requireToken{false};
    std::atomic<int> credentialFetches{0};
    std::string roleList = "backup-role\nother-role\n";
    std::string credentials = kInstanceCredentials;

    FakeMetadata() {
        server.handler([this](const RecordedRequest& request) -> CannedResponse {
            if (request.method == "PUT" && request.target == "/latest/api/token") {
                if (!tokenForm || !request.headers.count("x-aws-ec2-metadata-token-ttl-seconds")) return {403, ""};
                return {200, "TOKEN-123"};
            }
            bool hasToken = request.headers.count("x-aws-ec2-metadata-token") &&
                            request.headers.at("x-aws-ec2-metadata-token") == "TOKEN-123";
            if (requireToken && !hasToken) return {401, ""};
            if (request.target == "/latest/meta-data/iam/security-credentials/") return {200, roleList};
            if (request.target == "/latest/meta-data/iam/security-credentials/backup-role") {
                ++credentialFetches;
                return {200, credentials};
            }
            if (request.target == "/latest/meta-data/placement/availability-zone") return {200, "eu-west-1b"};
            return {404, ""};
        });
    }
};

// STS AssumeRole answering in JSON, as it does with "Accept: application/json".
struct FakeSts {
    LoopbackHttpServer server;
    std::string expiration = "1893553445.75";
    FakeSts() {
        server.handler([this](const RecordedRequest& request) -> CannedResponse {
            if (request.target.find("Action=AssumeRole") == std::string::npos) return {400, "no action"};
            return {200, R"({"AssumeRoleResponse":{"AssumeRoleResult":{"Credentials":{"AccessKeyId":"ASIAROLE",)"
                         R"("SecretAccessKey":"role-secret","SessionToken":"role-token","Expiration":)" +
                             expiration + "}}}}"};
        });
    }
};

struct CredentialsFixture : ::testing::Test {
    FakeMetadata metadata;
    FakeSts sts;
    ScopedEnv metadataEndpoint{"AWS_EC2_METADATA_SERVICE_ENDPOINT", metadata.server.url()};
    ScopedEnv stsEndpoint{"AWS_ENDPOINT_URL_STS", sts.server.url()};
    ScopedEnv metadataOn{"AWS_EC2_METADATA_DISABLED", "false"};
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    ManualClock clock{1700000000};
    TeskPrototypeEnvironment environment{"credentials", log, &clock};
};

TEST_F(CredentialsFixture, GivenKeysResolveWithoutAnyNetworkCall) {
    AmazonCredentials credentials;
    credentials.accessKeyId = "AKIDEXAMPLE";
    credentials.secretAccessKey = "secret";
    EXPECT_TRUE(AwsRequestService::handleIAMRole(environment, credentials));
    EXPECT_TRUE(credentials.isResolved);
    EXPECT_TRUE(AwsRequestService::handleIAMRole(environment, credentials));
    EXPECT_TRUE(metadata.server.requests().empty());
    EXPECT_TRUE(sts.server.requests().empty());
}

TEST_F(CredentialsFixture, InstanceProfileThroughTokenForm) {
    metadata.requireToken = true;
    AmazonCredentials credentials;
    credentials.region = "eu-west-1";
    ASSERT_TRUE(AwsRequestService::handleIAMRole(environment, credentials));
    EXPECT_EQ(credentials.accessKeyId, "ASIAINSTANCE");
    EXPECT_EQ(credentials.secretAccessKey, "instance-secret");
    EXPECT_EQ(credentials.sessionToken, "instance-token");
    EXPECT_EQ(credentials.expiration, kInstanceExpiry);
    EXPECT_TRUE(sts.server.requests().empty());
    EXPECT_EQ(metadata.server.requests().front().method, "PUT");
}

TEST_F(CredentialsFixture, InstanceProfileThroughPlainFormUsesTheFirstRole) {
    metadata.tokenForm = false;
    AmazonCredentials credentials;
    ASSERT_TRUE(AwsRequestService::handleIAMRole(environment, credentials));
    EXPECT_EQ(credentials.accessKeyId, "ASIAINSTANCE");
    for (const auto& request : metadata.server.requests())
        EXPECT_EQ(request.target.find("other-role"), std::string::npos);
}

TEST_F(CredentialsFixture, RoleArnIsAssumedThroughStsAndKept) {
    AmazonCredentials credentials;
    credentials.accessKeyId = "arn:aws:iam::123456789012:role/backup";
    credentials.region = "eu-central-1";
    ASSERT_TRUE(AwsRequestService::handleIAMRole(environment, credentials));
    EXPECT_EQ(credentials.accessKeyId, "ASIAROLE");
    EXPECT_EQ(credentials.secretAccessKey, "role-secret");
    EXPECT_EQ(credentials.sessionToken, "role-token");
    EXPECT_EQ(credentials.expiration, 1893553445); // fractional seconds dropped
    EXPECT_EQ(credentials.roleArn, "arn:aws:iam::123456789012:role/backup");
    EXPECT_TRUE(credentials.isAssumeRole);

    ASSERT_EQ(sts.server.requests().size(), 1u);
    const RecordedRequest call = sts.server.requests()[0];
    EXPECT_EQ(call.method, "GET");
    EXPECT_EQ(call.headers.at("host"), "sts.eu-central-1.amazonaws.com");
    EXPECT_EQ(call.headers.at("accept"), "application/json");
    EXPECT_EQ(call.headers.at("x-amz-security-token"), "instance-token");
    EXPECT_NE(call.headers.at("authorization").find("Credential=ASIAINSTANCE/"), std::string::npos);
    EXPECT_NE(call.target.find("RoleSessionName=ZNTR"), std::string::npos);
    EXPECT_NE(call.target.find("RoleArn=arn%3Aaws%3Aiam%3A%3A123456789012%3Arole%2Fbackup"), std::string::npos);
    EXPECT_TRUE(log->contains("The STS site will be sts.eu-central-1.amazonaws.com using ARN "
                              "arn:aws:iam::123456789012:role/backup"));
}

TEST_F(CredentialsFixture, EmptyRegionUsesGlobalStsAndChinaRegionItsDomain) {
    AmazonCredentials global;
    global.accessKeyId = "arn:aws:iam::123456789012:role/backup";
    ASSERT_TRUE(AwsRequestService::handleIAMRole(environment, global));
    EXPECT_EQ(sts.server.requests().back().headers.at("host"), "sts.amazonaws.com");
    EXPECT_NE(sts.server.requests().back().headers.at("authorization").find("/us-east-1/sts/aws4_request"),
              std::string::npos);
    EXPECT_TRUE(log->contains("using the STS global site because there is no region"));

    AmazonCredentials china;
    china.accessKeyId = "arn:aws:iam::123456789012:role/backup";
    china.region = "cn-north-1";
    ASSERT_TRUE(AwsRequestService::handleIAMRole(environment, china));
    EXPECT_EQ(sts.server.requests().back().headers.at("host"), "sts.cn-north-1.amazonaws.com.cn");
}

TEST_F(CredentialsFixture, IncompleteMetadataAnswersAreRejectedAndChangeNothing) {
    for (const char* answer : {R"({"AccessKeyId":"A","SecretAccessKey":"S","Token":"T"})",
                               R"({"AccessKeyId":"A","SecretAccessKey":7,"Token":"T","Expiration":"2030-01-02T03:04:05Z"})",
                               R"({"AccessKeyId":"A","SecretAccessKey":"S","Token":"T","Expiration":"soon"})",
                               "not json"}) {
        metadata.credentials = answer;
        AmazonCredentials credentials;
        credentials.accessKeyId = "";
        credentials.region = "eu-west-1";
        AwsRequestService service(environment);
        EXPECT_FALSE(service.credsFromMetadata(credentials)) << answer;
        EXPECT_EQ(credentials.accessKeyId, "") << answer;
        EXPECT_EQ(credentials.expiration, 0) << answer;
    }
}

TEST_F(CredentialsFixture, ExpirationIsReadAsUtcWhateverTheTimeZone) {
    ScopedEnv zone("TZ", "Pacific/Kiritimati"); // UTC+14
    tzset();
    AmazonCredentials credentials;
    AwsRequestService service(environment);
    ASSERT_TRUE(service.credsFromMetadata(credentials));
    EXPECT_EQ(credentials.expiration, kInstanceExpiry);
    unsetenv("TZ");
    tzset();
}

TEST_F(CredentialsFixture, DisabledMetadataServiceIsNotAsked) {
    ScopedEnv disabled("AWS_EC2_METADATA_DISABLED", "TRUE");
    AmazonCredentials credentials;
    EXPECT_FALSE(AwsRequestService::handleIAMRole(environment, credentials));
    EXPECT_FALSE(credentials.isResolved);
    EXPECT_TRUE(metadata.server.requests().empty());
}

TEST_F(CredentialsFixture, StsAnswersWithoutCredentialsFailWithoutLoggingSecrets) {
    sts.server.handler([](const RecordedRequest&) -> CannedResponse {
        return {200, R"({"AssumeRoleResponse":{"AssumeRoleResult":{"Credentials":{"AccessKeyId":"ASIAROLE",)"
                     R"("SecretAccessKey":"very-secret-value","Expiration":1893553445}}}})"};
    });
    AmazonCredentials credentials;
    credentials.accessKeyId = "arn:aws:iam::123456789012:role/backup";
    credentials.region = "eu-west-1";
    EXPECT_FALSE(AwsRequestService::handleIAMRole(environment, credentials));
    EXPECT_TRUE(log->contains("is missing credentials"));
    EXPECT_FALSE(log->contains("very-secret-value"));
    EXPECT_FALSE(log->contains("instance-secret"));
    EXPECT_FALSE(log->contains("instance-token"));
}

TEST_F(CredentialsFixture, StsRefusalIsRecordedAsTheJobFailure) {
    sts.server.handler([](const RecordedRequest&) -> CannedResponse { return {403, "AccessDenied"}; });
    AmazonCredentials credentials;
    credentials.accessKeyId = "arn:aws:iam::123456789012:role/backup";
    credentials.region = "eu-west-1";
    EXPECT_FALSE(AwsRequestService::handleIAMRole(environment, credentials));
    EXPECT_EQ(environment.getFailure(), "STS Assume role failed with 403");
}

TEST_F(CredentialsFixture, ExpiredCredentialsAreRefreshedThroughTheWholeChain) {
    AmazonCredentials credentials;
    credentials.accessKeyId = "arn:aws:iam::123456789012:role/backup";
    credentials.region = "eu-west-1";
    AwsDynamoDBService service(credentials, environment);
    ASSERT_EQ(sts.server.requests().size(), 1u);

    clock.set(1893553445 + 100); // exactly 100 s past: not yet
    service.baseRequest("DescribeTable", false);
    EXPECT_EQ(sts.server.requests().size(), 1u);

    clock.set(1893553445 + 101);
    AmazonRequest request = service.baseRequest("DescribeTable", false);
    EXPECT_EQ(metadata.credentialFetches.load(), 2);
    EXPECT_EQ(sts.server.requests().size(), 2u);
    EXPECT_EQ(request.credentials.accessKeyId, "ASIAROLE");
    EXPECT_TRUE(log->contains("baseRequest: Updating credentials"));
    EXPECT_TRUE(log->contains("baseRequest: Credentials have been updated"));
}

TEST_F(CredentialsFixture, CredentialsWithoutExpiryAreNeverRefreshed) {
    for (int64_t expiration : {0, -1}) {
        AmazonCredentials credentials;
        credentials.accessKeyId = "AKID";
        credentials.secretAccessKey = "secret";
        credentials.expiration = expiration;
        AwsDynamoDBService service(credentials, environment);
        clock.set(4000000000);
        service.baseRequest("Scan", false);
    }
    EXPECT_TRUE(metadata.server.requests().empty());
}

TEST_F(CredentialsFixture, RegionFromMetadataDropsTheZoneLetter) {
    AwsRequestService service(environment);
    EXPECT_EQ(service.regionFromMetadata(), "eu-west-1");
}

} // namespace
