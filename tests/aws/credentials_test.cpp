// Credential sources against loopback fakes of the instance metadata service
// and STS: both metadata forms, AssumeRole, regions, refresh on expiry.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "aws/CredentialRefresh.h"
#include "aws/CredentialSource.h"
#include "dynamodb/AwsDynamoDBService.h"
#include "framework/TeskPrototypeEnvironment.h"
#include "tests/support/FakeMetadata.h"
#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/ScopedEnv.h"

namespace {

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

struct SendingService : AwsDynamoDBService {
    using AwsDynamoDBService::AwsDynamoDBService;
    using AwsDynamoDBService::send;
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
    china.accessKeyId = "arn:aws-cn:iam::123456789012:role/backup";
    china.region = "cn-north-1";
    ASSERT_TRUE(AwsRequestService::handleIAMRole(environment, china));
    EXPECT_EQ(sts.server.requests().back().headers.at("host"), "sts.cn-north-1.amazonaws.com.cn");
}

// A role in another partition is assumed through that partition's STS,
// signed for its region; a malformed ARN is an error, never a silent fall
// back to the instance's own keys.
TEST_F(CredentialsFixture, RolesOfEveryPartitionUseTheirOwnSts) {
    struct Case {
        const char* arn;
        const char* region;
        const char* host;
        const char* scope;
    };
    for (const Case& c : {Case{"arn:aws-us-gov:iam::123456789012:role/backup", "", "sts.us-gov-west-1.amazonaws.com",
                               "/us-gov-west-1/sts/aws4_request"},
                          Case{"arn:aws-cn:iam::123456789012:role/backup", "", "sts.cn-north-1.amazonaws.com.cn",
                               "/cn-north-1/sts/aws4_request"},
                          Case{"arn:aws-iso-b:iam::123456789012:role/path/backup", "us-isob-east-1",
                               "sts.us-isob-east-1.sc2s.sgov.gov", "/us-isob-east-1/sts/aws4_request"},
                          Case{"arn:aws-iso:iam::123456789012:role/backup", "us-iso-west-1",
                               "sts.us-iso-west-1.c2s.ic.gov", "/us-iso-west-1/sts/aws4_request"}}) {
        AmazonCredentials credentials;
        credentials.accessKeyId = c.arn;
        credentials.region = c.region;
        ASSERT_TRUE(AwsRequestService::handleIAMRole(environment, credentials)) << c.arn;
        EXPECT_EQ(credentials.accessKeyId, "ASIAROLE") << c.arn;
        const RecordedRequest call = sts.server.requests().back();
        EXPECT_EQ(call.headers.at("host"), c.host) << c.arn;
        EXPECT_NE(call.headers.at("authorization").find(c.scope), std::string::npos) << c.arn;
    }
    const size_t calls = sts.server.requests().size();

    AmazonCredentials elsewhere;
    elsewhere.accessKeyId = "arn:aws-cn:iam::123456789012:role/backup";
    elsewhere.region = "eu-west-1";
    EXPECT_FALSE(AwsRequestService::handleIAMRole(environment, elsewhere));
    EXPECT_NE(environment.getFailure().find("is in partition aws-cn, but region eu-west-1 is in aws"),
              std::string::npos)
        << environment.getFailure();

    for (const char* bad : {"arn:aws-moon:iam::123456789012:role/backup", "arn:aws:iam::12345:role/backup",
                            "arn:aws:iam::123456789012:user/backup", "arn:aws:iam::123456789012:role/",
                            "arn:aws:s3:::bucket", "arn:aws"}) {
        AmazonCredentials credentials;
        credentials.accessKeyId = bad;
        EXPECT_FALSE(AwsRequestService::handleIAMRole(environment, credentials)) << bad;
        EXPECT_NE(environment.getFailure().find(std::string("'") + bad + "'"), std::string::npos)
            << environment.getFailure();
        EXPECT_TRUE(credentials.secretAccessKey.empty()) << bad;
    }
    EXPECT_EQ(sts.server.requests().size(), calls);
    EXPECT_EQ(metadata.credentialFetches.load(), 5); // one per role assumed, none for the refusals
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

TEST_F(CredentialsFixture, CredentialsAreRefreshedFiveMinutesBeforeTheyExpire) {
    AmazonCredentials credentials;
    credentials.accessKeyId = "arn:aws:iam::123456789012:role/backup";
    credentials.region = "eu-west-1";
    AwsDynamoDBService service(credentials, environment);
    ASSERT_EQ(sts.server.requests().size(), 1u);

    clock.set(1893553445 - kCredentialRefreshMarginSeconds - 1);
    service.baseRequest("DescribeTable", false);
    EXPECT_EQ(sts.server.requests().size(), 1u);

    sts.expiration = "1893560000";
    clock.set(1893553445 - kCredentialRefreshMarginSeconds);
    AmazonRequest request = service.baseRequest("DescribeTable", false);
    EXPECT_EQ(metadata.credentialFetches.load(), 2);
    EXPECT_EQ(sts.server.requests().size(), 2u);
    EXPECT_EQ(request.credentials.accessKeyId, "ASIAROLE");
    EXPECT_EQ(request.credentials.expiration, 1893560000);
    EXPECT_TRUE(log->contains("refreshCredentials: Credentials have been updated"));
}

// A job of several workers that runs for four hours on one-hour role
// credentials: each expiry costs one refresh, however many workers share
// it, and no request is ever signed with credentials within five minutes of
// their end.
TEST_F(CredentialsFixture, AFourHourJobRefreshesOnceAtEachOfFourExpiries) {
    const int64_t start = 1800000000;
    clock.set(start);
    std::atomic<int> issued{0};
    sts.server.handler([&](const RecordedRequest&) -> CannedResponse {
        const int n = ++issued;
        return {200, R"({"AssumeRoleResponse":{"AssumeRoleResult":{"Credentials":{"AccessKeyId":"ASIAROLE)" +
                         std::to_string(n) + R"(","SecretAccessKey":"role-secret","SessionToken":"role-token",)"
                         R"("Expiration":)" + std::to_string(clock.now() + 3600) + "}}}}"};
    });
    AmazonCredentials shared;
    shared.accessKeyId = "arn:aws:iam::123456789012:role/backup";
    shared.region = "eu-west-1";
    ASSERT_TRUE(AwsRequestService::handleIAMRole(environment, shared));
    ASSERT_EQ(issued.load(), 1);

    constexpr int kWorkers = 4;
    std::vector<std::unique_ptr<AwsDynamoDBService>> workers;
    for (int i = 0; i < kWorkers; ++i) {
        AmazonCredentials copy = shared;
        workers.push_back(std::make_unique<AwsDynamoDBService>(copy, environment));
    }
    int64_t tightest = INT64_MAX;
    for (int64_t minute = 0; minute <= 4 * 60; ++minute) {
        clock.set(start + minute * 60);
        std::vector<std::thread> threads;
        std::vector<int64_t> left(kWorkers);
        for (int i = 0; i < kWorkers; ++i)
            threads.emplace_back([&, i] {
                AmazonRequest request = workers[i]->baseRequest("Scan", false);
                left[i] = request.credentials.expiration - clock.now();
            });
        for (auto& thread : threads) thread.join();
        for (int64_t seconds : left) tightest = std::min(tightest, seconds);
    }
    EXPECT_EQ(issued.load(), 5); // the first, then one at each of four expiries in four hours
    EXPECT_GT(tightest, kCredentialRefreshMarginSeconds);
    EXPECT_FALSE(environment.hasFailed()) << environment.getFailure();
}

// The service refused the credentials as expired before their time (a
// clock behind the service's): they are renewed once and the call is sent
// again, signed with the new ones.
TEST_F(CredentialsFixture, ExpiredTokenAnswersRenewTheCredentialsAndRetryOnce) {
    LoopbackHttpServer dynamo;
    ScopedEnv endpoint("AWS_ENDPOINT_URL_DYNAMODB", dynamo.url());
    dynamo.script({{400, R"({"__type":"com.amazon.coral.service#ExpiredTokenException","message":"expired"})"},
                   {200, R"({"TableNames":[]})"}});
    AmazonCredentials credentials;
    credentials.region = "eu-west-1";
    SendingService service(credentials, environment); // instance credentials
    metadata.credentials = R"({"AccessKeyId":"ASIARENEWED","SecretAccessKey":"s","Token":"t",)"
                           R"("Expiration":"2031-01-01T00:00:00Z"})";
    AmazonRequest request = service.baseRequest("ListTables", false);
    request.body = "{}";
    AmazonResponse response = service.send(request);
    EXPECT_EQ(response.httpCode, 200);
    const auto requests = dynamo.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].headers.at("authorization").find("Credential=ASIAINSTANCE/"), std::string::npos);
    EXPECT_NE(requests[1].headers.at("authorization").find("Credential=ASIARENEWED/"), std::string::npos);
    EXPECT_EQ(requests[1].headers.at("x-amz-security-token"), "t");

    // Once renewed and still refused, it is the service's answer that counts.
    dynamo.script({{400, R"({"__type":"com.amazon.coral.service#ExpiredTokenException","message":"expired"})"}});
    AmazonRequest again = service.baseRequest("ListTables", false);
    again.body = "{}";
    EXPECT_EQ(service.send(again).httpCode, 400);
    EXPECT_EQ(dynamo.requests().size(), 4u);
}

// Refresh knows only the source the credentials carry: any source renews
// through it, and expiring credentials that carry none fail with a reason
// instead of being sent on, or renewed from a source they never came from.
struct CountingSource : CredentialSource {
    mutable std::atomic<int> renewals{0};
    std::string name() const override { return "counting"; }
    bool renew(TeskEnvironment&, AmazonCredentials& credentials) const override {
        const int n = ++renewals;
        credentials.accessKeyId = "ASIAFRESH" + std::to_string(n);
        credentials.expiration += 3600;
        return true;
    }
};

TEST_F(CredentialsFixture, RefreshRenewsThroughTheSourceTheCredentialsCarry) {
    auto source = std::make_shared<CountingSource>();
    AmazonCredentials credentials;
    credentials.accessKeyId = "ASIAOLD";
    credentials.secretAccessKey = "old-secret";
    credentials.sessionToken = "old-token";
    credentials.expiration = clock.now() + 60;
    credentials.source = source;
    ASSERT_TRUE(refreshCredentials(environment, credentials));
    EXPECT_EQ(credentials.accessKeyId, "ASIAFRESH1");
    EXPECT_EQ(source->renewals.load(), 1);
    EXPECT_TRUE(metadata.server.requests().empty());

    AmazonCredentials orphan = credentials;
    orphan.source = nullptr;
    orphan.accessKeyId = "ASIAORPHAN";
    EXPECT_FALSE(refreshCredentials(environment, orphan));
    EXPECT_EQ(orphan.accessKeyId, "ASIAORPHAN");
    EXPECT_TRUE(log->contains("no source to renew them from"));
    EXPECT_TRUE(metadata.server.requests().empty());
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
