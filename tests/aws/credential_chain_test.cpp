// The credential and region chain against loopback fakes of STS, the
// container endpoint and the instance metadata service: every source wins
// when it is the first with credentials and is shadowed by the ones before
// it; profiles chain roles through source_profile; renewals go back to the
// source that gave the credentials.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <mutex>

#include "aws/CredentialChain.h"
#include "aws/CredentialRefresh.h"
#include "aws/CredentialSource.h"
#include "aws/SharedConfig.h"
#include "framework/TeskPrototypeEnvironment.h"
#include "tests/support/FakeMetadata.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace {

// STS answering AssumeRole (signed, in the query) and
// AssumeRoleWithWebIdentity (unsigned, in the body) in JSON.
struct FakeStsActions {
    LoopbackHttpServer server;
    std::string expiration = "1893553445";
    FakeStsActions() {
        server.handler([this](const RecordedRequest& request) -> CannedResponse {
            const std::string all = request.target + "&" + request.body;
            for (const char* action : {"AssumeRoleWithWebIdentity", "AssumeRole"}) {
                if (all.find(std::string("Action=") + action + "&") == std::string::npos) continue;
                const std::string key = std::string(action) == "AssumeRole" ? "ASIAROLE" : "ASIAWEB";
                return {200, std::string(R"({")") + action + R"(Response":{")" + action +
                                 R"(Result":{"Credentials":{"AccessKeyId":")" + key +
                                 R"(","SecretAccessKey":"sts-secret","SessionToken":"sts-token","Expiration":)" +
                                 expiration + "}}}}"};
            }
            return {400, "unknown action"};
        });
    }
};

struct FakeContainer {
    LoopbackHttpServer server;
    std::string token = "container-auth";
    FakeContainer() {
        server.handler([this](const RecordedRequest& request) -> CannedResponse {
            auto authorization = request.headers.find("authorization");
            if (authorization == request.headers.end() || authorization->second != token) return {401, ""};
            return {200, R"({"AccessKeyId":"ASIACONTAINER","SecretAccessKey":"container-secret",)"
                         R"("Token":"container-token","Expiration":"2030-01-02T03:04:05Z"})"};
        });
    }
};

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

struct ChainFixture : ::testing::Test {
    TempDir home;
    FakeMetadata metadata;
    FakeStsActions sts;
    FakeContainer container;
    std::string configFile = home.path + "/config", credentialsFile = home.path + "/credentials";
    // Nothing of the machine's own environment or files may take part.
    ScopedEnv config{"AWS_CONFIG_FILE", configFile};
    ScopedEnv shared{"AWS_SHARED_CREDENTIALS_FILE", credentialsFile};
    ScopedEnv key{"AWS_ACCESS_KEY_ID", ""}, secret{"AWS_SECRET_ACCESS_KEY", ""}, token{"AWS_SESSION_TOKEN", ""};
    ScopedEnv profile{"AWS_PROFILE", ""}, webToken{"AWS_WEB_IDENTITY_TOKEN_FILE", ""}, roleArn{"AWS_ROLE_ARN", ""};
    ScopedEnv relative{"AWS_CONTAINER_CREDENTIALS_RELATIVE_URI", ""}, full{"AWS_CONTAINER_CREDENTIALS_FULL_URI", ""};
    ScopedEnv containerToken{"AWS_CONTAINER_AUTHORIZATION_TOKEN", ""};
    ScopedEnv containerTokenFile{"AWS_CONTAINER_AUTHORIZATION_TOKEN_FILE", ""};
    ScopedEnv region{"AWS_REGION", ""}, defaultRegion{"AWS_DEFAULT_REGION", ""};
    ScopedEnv endpoint{"AWS_ENDPOINT_URL", ""};
    ScopedEnv stsEndpoint{"AWS_ENDPOINT_URL_STS", sts.server.url()};
    ScopedEnv metadataEndpoint{"AWS_EC2_METADATA_SERVICE_ENDPOINT", metadata.server.url()};
    ScopedEnv metadataOff{"AWS_EC2_METADATA_DISABLED", "true"};
    std::shared_ptr<MemoryLogSink> log = std::make_shared<MemoryLogSink>();
    ManualClock clock{1700000000};
    TeskPrototypeEnvironment environment{"chain", log, &clock};

    AmazonCredentials credentials;
    std::string from, error;
    bool resolve(const CredentialOptions& options = {}) {
        credentials = AmazonCredentials();
        from.clear();
        error.clear();
        return resolveCredentials(environment, options, "eu-west-1", credentials, from, error);
    }
    void useContainer() {
        setenv("AWS_CONTAINER_CREDENTIALS_FULL_URI", (container.server.url() + "/v2/credentials").c_str(), 1);
        setenv("AWS_CONTAINER_AUTHORIZATION_TOKEN", container.token.c_str(), 1);
    }
    void useWebIdentity(const std::string& jwt) {
        writeFile(home.path + "/token", jwt + "\n");
        setenv("AWS_WEB_IDENTITY_TOKEN_FILE", (home.path + "/token").c_str(), 1);
        setenv("AWS_ROLE_ARN", "arn:aws:iam::123456789012:role/web", 1);
    }
    // Secrets never reach what the chain reports or logs.
    void expectNoSecretShown() {
        for (const char* secret : {"env-secret", "profile-secret", "sts-secret", "sts-token", "container-secret",
                                   "container-auth", "jwt-one", "jwt-two", "instance-secret"}) {
            EXPECT_EQ(from.find(secret), std::string::npos) << secret;
            EXPECT_EQ(error.find(secret), std::string::npos) << secret;
            EXPECT_FALSE(log->contains(secret)) << secret;
        }
    }
};

TEST_F(ChainFixture, EnvironmentKeysWinOverEverySourceAfterThem) {
    setenv("AWS_ACCESS_KEY_ID", "AKIDENV", 1);
    setenv("AWS_SECRET_ACCESS_KEY", "env-secret", 1);
    useWebIdentity("jwt-one");
    useContainer();
    writeFile(credentialsFile, "[default]\naws_access_key_id = AKIDPROFILE\naws_secret_access_key = profile-secret\n");
    ASSERT_TRUE(resolve()) << error;
    EXPECT_EQ(credentials.accessKeyId, "AKIDENV");
    EXPECT_TRUE(credentials.isResolved);
    EXPECT_FALSE(credentials.source); // given keys are never renewed
    EXPECT_NE(from.find("environment"), std::string::npos);
    EXPECT_TRUE(sts.server.requests().empty());
    EXPECT_TRUE(container.server.requests().empty());

    // Half a pair of keys is an error, not a fall-through to other sources.
    setenv("AWS_SECRET_ACCESS_KEY", "", 1);
    EXPECT_FALSE(resolve());
    EXPECT_NE(error.find("AWS_SECRET_ACCESS_KEY"), std::string::npos) << error;
    expectNoSecretShown();
}

TEST_F(ChainFixture, WebIdentityWinsOverProfilesAndRereadsItsTokenWhenRenewed) {
    useWebIdentity("jwt-one");
    writeFile(credentialsFile, "[default]\naws_access_key_id = AKIDPROFILE\naws_secret_access_key = profile-secret\n");
    ASSERT_TRUE(resolve()) << error;
    EXPECT_EQ(credentials.accessKeyId, "ASIAWEB");
    EXPECT_EQ(credentials.expiration, 1893553445);
    ASSERT_EQ(sts.server.requests().size(), 1u);
    const RecordedRequest first = sts.server.requests().at(0);
    EXPECT_EQ(first.method, "POST");
    EXPECT_EQ(first.headers.count("authorization"), 0u); // the token is the proof
    EXPECT_NE(first.body.find("WebIdentityToken=jwt-one"), std::string::npos) << first.body;
    EXPECT_EQ(first.target.find("jwt"), std::string::npos); // never in a URL
    EXPECT_NE(first.body.find("RoleArn=arn%3Aaws%3Aiam%3A%3A123456789012%3Arole%2Fweb"), std::string::npos);

    writeFile(home.path + "/token", "jwt-two");
    ASSERT_TRUE(credentials.source);
    ASSERT_TRUE(credentials.source->renew(environment, credentials));
    ASSERT_EQ(sts.server.requests().size(), 2u);
    EXPECT_NE(sts.server.requests()[1].body.find("WebIdentityToken=jwt-two"), std::string::npos);

    // A token file without a role is a configuration error.
    setenv("AWS_ROLE_ARN", "", 1);
    EXPECT_FALSE(resolve());
    EXPECT_NE(error.find("AWS_ROLE_ARN"), std::string::npos) << error;
    expectNoSecretShown();
}

TEST_F(ChainFixture, ProfileKeysWinOverTheContainerAndANamedProfileBeatsTheEnvironment) {
    useContainer();
    writeFile(credentialsFile, "# keys\r\n[default]\r\naws_access_key_id=AKIDDEFAULT\r\naws_secret_access_key = profile-secret\r\n"
                               "\n[prod]\n  aws_access_key_id = AKIDPROD  \naws_secret_access_key = profile-secret ; note\n");
    writeFile(configFile, "[profile prod]\nregion = ap-south-1\n[prod]\nregion = wrong\n");
    ASSERT_TRUE(resolve()) << error;
    EXPECT_EQ(credentials.accessKeyId, "AKIDDEFAULT");
    EXPECT_TRUE(container.server.requests().empty());
    // "[prod]" in the config file is no profile there; "[profile prod]" is.
    SharedConfig files;
    ASSERT_TRUE(files.load(error)) << error;
    EXPECT_EQ(files.get("prod", "region"), "ap-south-1");
    EXPECT_EQ(files.get("prod", "aws_secret_access_key"), "profile-secret"); // the inline comment dropped

    setenv("AWS_ACCESS_KEY_ID", "AKIDENV", 1);
    setenv("AWS_SECRET_ACCESS_KEY", "env-secret", 1);
    CredentialOptions named;
    named.profile = "prod";
    ASSERT_TRUE(resolve(named)) << error;
    EXPECT_EQ(credentials.accessKeyId, "AKIDPROD");
    EXPECT_EQ(credentials.secretAccessKey, "profile-secret");
    EXPECT_NE(from.find("profile prod"), std::string::npos) << from;

    named.profile = "absent";
    EXPECT_FALSE(resolve(named));
    EXPECT_NE(error.find("profile absent is in neither"), std::string::npos) << error;
    expectNoSecretShown();
}

// With no file named in the environment, the files are the user's own
// ~/.aws/config and ~/.aws/credentials.
TEST_F(ChainFixture, TheSharedFilesDefaultToTheHomeFolder) {
    ScopedEnv noConfig{"AWS_CONFIG_FILE", ""}, noCredentials{"AWS_SHARED_CREDENTIALS_FILE", ""};
    ScopedEnv homeFolder{"HOME", home.path};
    ASSERT_EQ(::mkdir((home.path + "/.aws").c_str(), 0700), 0);
    writeFile(home.path + "/.aws/credentials", "[ops]\naws_access_key_id = AKIDHOME\naws_secret_access_key = profile-secret\n");
    writeFile(home.path + "/.aws/config", "[profile ops]\nregion = eu-central-1\n");
    CredentialOptions options;
    options.profile = "ops";
    ASSERT_TRUE(resolve(options)) << error;
    EXPECT_EQ(credentials.accessKeyId, "AKIDHOME");
    std::string chosen;
    ASSERT_TRUE(resolveRegion(environment, "", "ops", chosen, error)) << error;
    EXPECT_EQ(chosen, "eu-central-1");
}

TEST_F(ChainFixture, ARoleProfileAssumesItsRoleWithItsSourceProfile) {
    writeFile(credentialsFile, "[base]\naws_access_key_id = AKIDBASE\naws_secret_access_key = profile-secret\n");
    writeFile(configFile, "[profile admin]\nrole_arn = arn:aws:iam::123456789012:role/admin\nsource_profile = middle\n"
                          "external_id = ext-42\nrole_session_name = nightly\nduration_seconds = 1800\n"
                          "[profile middle]\nrole_arn = arn:aws:iam::123456789012:role/middle\nsource_profile = base\n");
    CredentialOptions options;
    options.profile = "admin";
    ASSERT_TRUE(resolve(options)) << error;
    EXPECT_EQ(credentials.accessKeyId, "ASIAROLE");
    ASSERT_EQ(sts.server.requests().size(), 2u);
    // First the middle role with the base keys, then admin with middle's.
    const std::vector<RecordedRequest> requests = sts.server.requests();
    const RecordedRequest& middle = requests[0];
    const RecordedRequest& admin = requests[1];
    EXPECT_NE(middle.target.find("role%2Fmiddle"), std::string::npos) << middle.target;
    EXPECT_NE(middle.headers.at("authorization").find("Credential=AKIDBASE/"), std::string::npos);
    EXPECT_NE(admin.headers.at("authorization").find("Credential=ASIAROLE/"), std::string::npos);
    EXPECT_NE(admin.target.find("ExternalId=ext-42"), std::string::npos) << admin.target;
    EXPECT_NE(admin.target.find("RoleSessionName=nightly"), std::string::npos);
    EXPECT_NE(admin.target.find("DurationSeconds=1800"), std::string::npos);

    // Renewal near the end assumes both roles again, the inner one first.
    clock.set(1893553445 - 60);
    ASSERT_TRUE(refreshCredentials(environment, credentials));
    ASSERT_EQ(sts.server.requests().size(), 4u);
    EXPECT_NE(sts.server.requests()[2].target.find("role%2Fmiddle"), std::string::npos);
    EXPECT_NE(sts.server.requests()[3].target.find("role%2Fadmin"), std::string::npos);
    expectNoSecretShown();
}

TEST_F(ChainFixture, ProfileMistakesAreNamed) {
    writeFile(configFile, "[profile a]\nrole_arn = arn:aws:iam::1:role/a\nsource_profile = b\n"
                          "[profile b]\nrole_arn = arn:aws:iam::1:role/b\nsource_profile = a\n"
                          "[profile lonely]\nrole_arn = arn:aws:iam::1:role/x\n"
                          "[profile odd]\nrole_arn = arn:aws:iam::1:role/x\ncredential_source = Somewhere\n"
                          "[profile long]\nrole_arn = arn:aws:iam::1:role/x\ncredential_source = Environment\n"
                          "duration_seconds = 99999\n"
                          "[profile empty]\nregion = eu-west-1\n");
    CredentialOptions options;
    for (const auto& expected : std::map<std::string, std::string>{
             {"a", "loop: a -> b -> a"},
             {"lonely", "neither source_profile nor credential_source"},
             {"odd", "Environment, Ec2InstanceMetadata or EcsContainer"},
             {"long", "from 900 to 43200"},
             {"empty", "holds no credentials"}}) {
        if (expected.first == "long") {
            setenv("AWS_ACCESS_KEY_ID", "AKIDENV", 1);
            setenv("AWS_SECRET_ACCESS_KEY", "env-secret", 1);
        }
        options.profile = expected.first;
        EXPECT_FALSE(resolve(options)) << expected.first;
        EXPECT_NE(error.find(expected.second), std::string::npos) << expected.first << ": " << error;
    }
    EXPECT_TRUE(sts.server.requests().empty());

    // A line that is no setting names the file and the line.
    writeFile(configFile, "[profile a]\nregion = x\nthis is not a setting\n");
    EXPECT_FALSE(resolve(options));
    EXPECT_NE(error.find(configFile + ": line 3"), std::string::npos) << error;
}

TEST_F(ChainFixture, CredentialSourcesAndCredentialProcessOfAProfile) {
    setenv("AWS_ACCESS_KEY_ID", "AKIDENV", 1);
    setenv("AWS_SECRET_ACCESS_KEY", "env-secret", 1);
    writeFile(configFile, "[profile fromenv]\nrole_arn = arn:aws:iam::123456789012:role/r\ncredential_source = Environment\n"
                          "[profile process]\ncredential_process = printf '{\"Version\":1,\"AccessKeyId\":\"AKIDPROC\","
                          "\"SecretAccessKey\":\"profile-secret\",\"SessionToken\":\"t\",\"Expiration\":\"2030-01-02T03:04:05Z\"}'\n"
                          "[profile broken]\ncredential_process = sh -c 'exit 3'\n");
    CredentialOptions options;
    options.profile = "fromenv";
    ASSERT_TRUE(resolve(options)) << error;
    EXPECT_EQ(credentials.accessKeyId, "ASIAROLE");
    EXPECT_NE(sts.server.requests().at(0).headers.at("authorization").find("Credential=AKIDENV/"), std::string::npos);

    options.profile = "process";
    ASSERT_TRUE(resolve(options)) << error;
    EXPECT_EQ(credentials.accessKeyId, "AKIDPROC");
    EXPECT_EQ(credentials.expiration, 1893553445);
    ASSERT_TRUE(credentials.source); // run again when they expire

    options.profile = "broken";
    EXPECT_FALSE(resolve(options));
    EXPECT_NE(error.find("exited with status 3"), std::string::npos) << error;
    expectNoSecretShown();
}

TEST_F(ChainFixture, ContainerCredentialsWinOverInstanceMetadataAndAreRenewedFromIt) {
    setenv("AWS_EC2_METADATA_DISABLED", "false", 1);
    useContainer();
    setenv("AWS_CONTAINER_AUTHORIZATION_TOKEN", "", 1);
    writeFile(home.path + "/auth", container.token + "\n");
    setenv("AWS_CONTAINER_AUTHORIZATION_TOKEN_FILE", (home.path + "/auth").c_str(), 1);
    ASSERT_TRUE(resolve()) << error;
    EXPECT_EQ(credentials.accessKeyId, "ASIACONTAINER");
    EXPECT_EQ(metadata.credentialFetches.load(), 0);
    ASSERT_TRUE(refreshCredentials(environment, credentials));
    EXPECT_EQ(container.server.requests().size(), 2u);

    // Plain http only to a loopback or container-agent address.
    setenv("AWS_CONTAINER_CREDENTIALS_FULL_URI", "http://example.com/creds", 1);
    EXPECT_FALSE(resolve());
    EXPECT_NE(error.find("must use https"), std::string::npos) << error;
    expectNoSecretShown();
}

TEST_F(ChainFixture, InstanceMetadataIsTheLastSourceAndNoneIsAClearError) {
    EXPECT_FALSE(resolve());
    EXPECT_NE(error.find("no AWS credentials found"), std::string::npos) << error;
    setenv("AWS_EC2_METADATA_DISABLED", "false", 1);
    ASSERT_TRUE(resolve()) << error;
    EXPECT_EQ(credentials.accessKeyId, "ASIAINSTANCE");
    EXPECT_EQ(from, "instance metadata");
    EXPECT_TRUE(credentials.source);
    expectNoSecretShown();
}

TEST_F(ChainFixture, RoleArnOptionAssumesTheRoleWithWhatTheChainGives) {
    writeFile(credentialsFile, "[default]\naws_access_key_id = AKIDPROFILE\naws_secret_access_key = profile-secret\n");
    CredentialOptions options;
    options.roleArn = "arn:aws:iam::123456789012:role/backup";
    options.roleSessionName = "weekly-run";
    options.externalId = "partner-7";
    ASSERT_TRUE(resolve(options)) << error;
    EXPECT_EQ(credentials.accessKeyId, "ASIAROLE");
    EXPECT_EQ(credentials.roleArn, options.roleArn);
    const RecordedRequest assume = sts.server.requests().at(0);
    EXPECT_NE(assume.headers.at("authorization").find("Credential=AKIDPROFILE/"), std::string::npos);
    EXPECT_NE(assume.target.find("RoleSessionName=weekly-run"), std::string::npos) << assume.target;
    EXPECT_NE(assume.target.find("ExternalId=partner-7"), std::string::npos);
    EXPECT_NE(from.find("role arn:aws:iam::123456789012:role/backup assumed with profile default"), std::string::npos)
        << from;

    options.roleArn = "arn:aws:iam::123456789012:user/someone";
    EXPECT_FALSE(resolve(options));
    EXPECT_NE(error.find("--role-arn"), std::string::npos) << error;
    expectNoSecretShown();
}

TEST_F(ChainFixture, RegionComesFromTheFirstPlaceThatNamesOne) {
    writeFile(configFile, "[default]\nregion = eu-north-1\n[profile tokyo]\nregion = ap-northeast-1\n");
    std::string chosen;
    ASSERT_TRUE(resolveRegion(environment, "", "default", chosen, error)) << error;
    EXPECT_EQ(chosen, "eu-north-1");
    ASSERT_TRUE(resolveRegion(environment, "", "tokyo", chosen, error));
    EXPECT_EQ(chosen, "ap-northeast-1");
    setenv("AWS_DEFAULT_REGION", "us-west-1", 1);
    ASSERT_TRUE(resolveRegion(environment, "", "tokyo", chosen, error));
    EXPECT_EQ(chosen, "us-west-1");
    setenv("AWS_REGION", "us-east-2", 1);
    ASSERT_TRUE(resolveRegion(environment, "", "tokyo", chosen, error));
    EXPECT_EQ(chosen, "us-east-2");
    ASSERT_TRUE(resolveRegion(environment, "sa-east-1", "tokyo", chosen, error));
    EXPECT_EQ(chosen, "sa-east-1");

    setenv("AWS_REGION", "", 1);
    setenv("AWS_DEFAULT_REGION", "", 1);
    EXPECT_FALSE(resolveRegion(environment, "", "nowhere", chosen, error));
    EXPECT_NE(error.find("give --region"), std::string::npos) << error;
    setenv("AWS_EC2_METADATA_DISABLED", "false", 1);
    ASSERT_TRUE(resolveRegion(environment, "", "nowhere", chosen, error)) << error;
    EXPECT_EQ(chosen, "eu-west-1"); // the zone's region
}

} // namespace
