// The S3 store against the local S3 server, every request's signature
// checked by botocore in the proxy before it: large objects go up in parts
// and come back whole, an upload never committed leaves nothing, listings
// follow their continuation, throttling is ridden out, and failures name
// the bucket, the key, S3's code and what to do.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>

#include "aws/AwsRequestService.h"
#include "s3/S3StoreBackend.h"
#include "store/BackupStore.h"
#include "tests/support/LocalS3.h"
#include "tests/support/LoopbackHttpServer.h"
#include "tests/support/ScopedEnv.h"

namespace {

struct S3Fixture : ::testing::Test {
    void SetUp() override { ASSERT_FALSE(localS3().endpoint().empty()) << "tools/local-s3/start.sh has not run"; }

    // A request to the proxy's control endpoint.
    static std::string control(const std::string& path, const std::string& body = "") {
        const std::string command = "curl -s " + (body.empty() ? "" : "-X POST --data '" + body + "' ") +
                                    localS3().endpoint() + path;
        std::string out;
        if (FILE* pipe = ::popen(command.c_str(), "r")) {
            char buffer[512];
            for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, got);
            ::pclose(pipe);
        }
        return out;
    }

    // A fault for the requests of the store at `prefix` only (its last
    // name is unique, and it appears in object paths and listing queries
    // alike), so that tests running at once never meet each other's faults.
    static void fault(const std::string& prefix, const std::string& spec, const std::string& also) {
        const std::string leaf = prefix.substr(prefix.rfind('/') + 1);
        control("/__faults", "{" + spec + R"(,"path":[")" + leaf + R"(",")" + also + R"("]})");
    }
    static void clearFaults(const std::string& prefix) {
        control("/__faults", R"({"clear":true,"path":")" + prefix.substr(prefix.rfind('/') + 1) + R"("})");
    }

    // Requests the proxy refused for their signature or payload hash, on
    // paths that hold `name` (a store's unique prefix, as in fault()).
    static int refused(const std::string& name) {
        const std::string stats = control("/__stats?path=" + name.substr(name.rfind('/') + 1));
        const size_t at = stats.find("\"refused\": ");
        return at == std::string::npos ? -1 : std::atoi(stats.c_str() + at + 11);
    }

    static std::string pattern(size_t size) {
        std::string text(size, '\0');
        for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7919 + i / 4093) % 26);
        return text;
    }

    static std::string readAll(StoreBackend& backend, const std::string& key) {
        std::string error, data;
        auto reader = backend.read(key, error);
        EXPECT_TRUE(reader) << error;
        if (!reader) return "";
        std::vector<char> buffer(300000);
        long got = 0;
        while ((got = reader->read(buffer.data(), buffer.size())) > 0) data.append(buffer.data(), static_cast<size_t>(got));
        EXPECT_EQ(got, 0) << reader->error();
        return data;
    }
};

TEST_F(S3Fixture, LargeObjectsGoUpInPartsAndComeBackWhole) {
    S3StoreBackend::Tuning tuning;
    tuning.partSize = 5u << 20;
    tuning.blockSize = 1u << 20;
    const std::string prefix = uniquePrefix("parts");
    auto backend = localS3().backend(prefix, tuning);
    const int refusedBefore = refused(prefix);
    const std::string body = pattern((11u << 20) + 12345); // three parts, the last one short
    std::string error;
    auto writer = backend->create("r/t/F1/1/1", error);
    ASSERT_TRUE(writer);
    for (size_t at = 0; at < body.size(); at += 1000003)
        ASSERT_TRUE(writer->write(body.data() + at, std::min<size_t>(1000003, body.size() - at), error)) << error;
    EXPECT_FALSE(backend->exists("r/t/F1/1/1")); // not before the upload completes
    ASSERT_TRUE(writer->commit(error)) << error;
    EXPECT_EQ(readAll(*backend, "r/t/F1/1/1"), body);

    // Dropped after a part went up: the upload is aborted and nothing shows.
    {
        auto abandoned = backend->create("r/t/F1/1/2", error);
        ASSERT_TRUE(abandoned->write(body.data(), 6u << 20, error)) << error;
    }
    EXPECT_FALSE(backend->exists("r/t/F1/1/2"));
    EXPECT_EQ(backend->list("r/t/F1/1"), std::vector<std::string>{"1"});
    EXPECT_EQ(refused(prefix), refusedBefore); // botocore signed every part alike
}

TEST_F(S3Fixture, ListingsFollowTheirContinuation) {
    const std::string prefix = uniquePrefix("list");
    auto client = localS3().client(prefix);
    client->setListPageSize(7);
    S3StoreBackend backend(client);
    std::vector<std::string> expected;
    for (int i = 0; i < 23; ++i) {
        const std::string name = "F" + std::to_string(100 + i);
        expected.push_back(name);
        ASSERT_EQ(backend.put("r/t/" + name + "/manifest.json", "{}"), "");
    }
    ASSERT_EQ(backend.put("r/t/loose", "x"), "");
    expected.push_back("loose");
    EXPECT_EQ(backend.list("r/t"), expected);
    EXPECT_EQ(backend.list("r"), std::vector<std::string>{"t"});
    EXPECT_EQ(backend.list(""), std::vector<std::string>{"r"});
}

TEST_F(S3Fixture, ThrottlingIsRiddenOutAndOtherFailuresSayWhatToDo) {
    const std::string prefix = uniquePrefix("faults");
    auto backend = localS3().backend(prefix);
    fault(prefix, R"("status":503,"code":"SlowDown","count":2,"method":"PUT")", "/throttled");
    EXPECT_EQ(backend->put("r/t/throttled", "kept"), "");
    std::string data, error;
    ASSERT_TRUE(backend->get("r/t/throttled", data, error)) << error;
    EXPECT_EQ(data, "kept");

    // Past the retry budget, the error is S3's.
    const AwsRequestService::RetryBudget budget = AwsRequestService::retryBudget();
    AwsRequestService::setRetryBudget({1, 20});
    fault(prefix, R"("status":500,"code":"InternalError","count":100,"method":"GET")", "/broken");
    EXPECT_FALSE(backend->get("r/t/broken", data, error));
    clearFaults(prefix);
    AwsRequestService::setRetryBudget(budget);
    EXPECT_NE(error.find("InternalError"), std::string::npos) << error;

    // A wrong secret: the proxy's own signer refuses the signature, and the
    // error names the bucket, the key and S3's code.
    const std::string elsewhere = uniquePrefix("elsewhere");
    const int refusedBefore = refused(elsewhere);
    S3StoreBackend wrongKeys(localS3().client(elsewhere, "not-the-secret"));
    const std::string refused = wrongKeys.put("r/t/F1/manifest.json", "{}");
    EXPECT_EQ(S3Fixture::refused(elsewhere), refusedBefore + 1);
    EXPECT_NE(refused.find("s3://ddb-backup-test/" + elsewhere + "/r/t/F1/manifest.json"), std::string::npos) << refused;
    EXPECT_NE(refused.find("SignatureDoesNotMatch"), std::string::npos) << refused;
    EXPECT_NE(refused.find("check the credentials"), std::string::npos) << refused;

    S3StoreBackend noBucket(std::make_shared<S3Client>(S3Location{"no-such-bucket-here", ""},
                                                       localS3().credentials(), localS3().environment()));
    const std::string missing = noBucket.open();
    EXPECT_NE(missing.find("NoSuchBucket"), std::string::npos) << missing;
    EXPECT_NE(missing.find("create it"), std::string::npos) << missing;

    // No answer at all: where it went (not its query), libcurl's words, what to check.
    AwsRequestService::setRetryBudget({1, 5});
    std::string unanswered;
    {
        ScopedEnv unreachable("AWS_ENDPOINT_URL_S3", "http://127.0.0.1:1");
        unanswered = localS3().backend(prefix)->open();
    }
    AwsRequestService::setRetryBudget(budget);
    EXPECT_NE(unanswered.find("NoAnswer: no answer from http://127.0.0.1:1/ddb-backup-test/ ("), std::string::npos)
        << unanswered;
    EXPECT_EQ(unanswered.find('?'), std::string::npos) << unanswered;
    EXPECT_NE(unanswered.find("check the endpoint and the network"), std::string::npos) << unanswered;
}

// A listing that fails past its retries gives no jobs at all, never the
// ones read before it failed: from part of a table's jobs a restore could
// take an older full backup for the newest.
TEST_F(S3Fixture, AFailedListingUsesNoJob) {
    const std::string prefix = uniquePrefix("listfail");
    auto client = localS3().client(prefix);
    client->setListPageSize(1);
    auto backend = std::make_shared<S3StoreBackend>(client);
    BackupManifest manifest;
    manifest.table = "orders";
    manifest.region = "eu-west-1";
    for (int64_t id : {1, 2}) {
        manifest.jobId = id;
        manifest.status = "complete";
        ASSERT_EQ(backend->put("eu-west-1/orders/F" + std::to_string(id) + "/manifest.json", manifest.toJson()), "");
    }
    BackupStore store(backend);
    std::vector<std::string> problems;
    EXPECT_EQ(store.listJobs(problems).size(), 2u);

    const AwsRequestService::RetryBudget budget = AwsRequestService::retryBudget();
    AwsRequestService::setRetryBudget({1, 20});
    // The second page of the table's listing fails: the first named F1.
    fault(prefix, R"("status":500,"code":"InternalError","count":100,"method":"GET")", "continuation-token");
    problems.clear();
    const auto jobs = store.listJobs(problems);
    clearFaults(prefix);
    AwsRequestService::setRetryBudget(budget);
    EXPECT_TRUE(jobs.empty());
    ASSERT_FALSE(problems.empty());
    EXPECT_NE(problems[0].find("cannot be listed"), std::string::npos) << problems[0];
    EXPECT_NE(problems[0].find("InternalError"), std::string::npos) << problems[0];
    EXPECT_TRUE(store.abandonedJobKeys().empty());

    // An object S3 fails to tell about counts as there: a removal is then
    // refused, never taken as done.
    AwsRequestService::setRetryBudget({1, 20});
    fault(prefix, R"("status":500,"code":"InternalError","count":100,"method":"HEAD")", "F1/manifest");
    EXPECT_TRUE(backend->exists("eu-west-1/orders/F1/manifest.json"));
    std::string error;
    EXPECT_FALSE(store.removeJob("eu-west-1/orders/F1", error));
    clearFaults(prefix);
    AwsRequestService::setRetryBudget(budget);
    EXPECT_NE(error.find("cannot remove"), std::string::npos) << error;
    EXPECT_FALSE(backend->exists("eu-west-1/orders/F9/manifest.json"));
}

// A lock outlives a killed process in S3. One left by a process of this
// host that is gone is taken over at once, so a killed backup resumes; one
// of another host holds until its lease ends.
// Manifests are written with If-None-Match / If-Match (enforced by the
// proxy, as by S3), checked before and read back after, so the compare-
// and-swap holds on a server that ignores the conditions too; and a PUT
// whose answer was lost, retried, meets its own write and carries on.
TEST_F(S3Fixture, ConditionalWritesHoldWhetherOrNotTheServerEnforcesThem) {
    const std::string prefix = uniquePrefix("conditions");
    const std::string leaf = prefix.substr(prefix.rfind('/') + 1);
    auto backend = localS3().backend(prefix);
    ASSERT_TRUE(backend);
    std::string version;
    ASSERT_EQ(backend->putIfVersion("m", "one", version), "");
    const std::string first = version;

    // The condition itself, without the check before it.
    std::string body = "two";
    S3Client::Put create;
    create.ifNoneMatch = true;
    EXPECT_EQ(backend->client().put("m", body, create).status, 412);
    S3Client::Put stale;
    stale.ifMatch = "\"0123456789abcdef0123456789abcdef\"";
    EXPECT_EQ(backend->client().put("m", body, stale).status, 412);

    control("/__faults", R"({"conditions":false,"path":")" + leaf + R"("})");
    std::string ignored = first;
    ASSERT_EQ(backend->putIfVersion("m", "two", ignored), "");
    std::string behind = first;
    const std::string refused = backend->putIfVersion("m", "from a stale writer", behind);
    control("/__faults", R"({"conditions":true,"path":")" + leaf + R"("})");
    EXPECT_EQ(refused.rfind(StoreBackend::kChangedByAnotherWriter, 0), 0u) << refused;
    std::string data, error;
    ASSERT_TRUE(backend->get("m", data, error)) << error;
    EXPECT_EQ(data, "two");

    fault(prefix, R"("status":500,"code":"InternalError","count":1,"method":"PUT","forward":true)", "/lost");
    std::string fresh;
    EXPECT_EQ(backend->putIfVersion("lost", "landed", fresh), "");
    EXPECT_FALSE(fresh.empty());
    clearFaults(prefix);
}

TEST_F(S3Fixture, ALockOfAGoneProcessIsTakenOverAndOthersHold) {
    auto backend = localS3().backend(uniquePrefix("locks"));
    char host[256] = {0};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);
    const int64_t later = static_cast<int64_t>(std::time(nullptr)) + 3600;
    ASSERT_EQ(backend->put("r/t/F1/.lock", "killed " + std::to_string(later) + " " + host + " " +
                                               std::to_string(child) + "\n"),
              "");
    EXPECT_FALSE(backend->isLocked("r/t/F1/.lock"));
    std::string error;
    EXPECT_TRUE(backend->lock("r/t/F1/.lock", false, error)) << error;

    ASSERT_EQ(backend->put("r/t/F2/.lock", "elsewhere " + std::to_string(later) + " other-host 1\n"), "");
    EXPECT_TRUE(backend->isLocked("r/t/F2/.lock"));
    EXPECT_FALSE(backend->lock("r/t/F2/.lock", false, error));
    EXPECT_NE(error.find("other-host"), std::string::npos) << error;
    ASSERT_EQ(backend->put("r/t/F3/.lock", "lapsed " + std::to_string(later - 7200) + " other-host 1\n"), "");
    EXPECT_TRUE(backend->lock("r/t/F3/.lock", false, error)) << error;
}

TEST_F(S3Fixture, StoreUrlsAreCheckedBeforeAnyRequest) {
    S3Location location;
    std::string error;
    ASSERT_TRUE(parseS3Url("s3://my-bucket/backups/prod/", location, error)) << error;
    EXPECT_EQ(location.bucket, "my-bucket");
    EXPECT_EQ(location.prefix, "backups/prod");
    ASSERT_TRUE(parseS3Url("s3://my-bucket", location, error));
    EXPECT_EQ(location.prefix, "");
    for (const char* bad : {"s3://", "s3://UPPER/x", "s3://ab", "s3://-bucket/x", "s3://bucket//x", "gs://bucket"})
        EXPECT_FALSE(parseS3Url(bad, location, error)) << bad;
}

// Virtual-hosted addressing (the bucket in the host name, as AWS's own
// endpoints want it), and a bucket found to live in another region than
// the one configured: the request is signed again for the bucket's region,
// once, and every later one goes there at once. The server plays S3's
// 301 PermanentRedirect; curl takes any *.localhost for loopback.
TEST(S3Addressing, VirtualHostedRequestsFollowTheBucketToItsRegion) {
    LoopbackHttpServer server;
    server.script({{301, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Error><Code>PermanentRedirect</Code>"
                         "<Message>The bucket you are attempting to access must be addressed using the specified "
                         "endpoint.</Message><Region>eu-west-1</Region></Error>"},
                   {200, "stored"}});
    const std::string port = std::to_string(server.port());
    ScopedEnv endpoint("AWS_ENDPOINT_URL_S3", "http://localhost:" + port);
    ScopedEnv style("AWS_S3_FORCE_PATH_STYLE", "false");
    auto log = std::make_shared<MemoryLogSink>();
    TeskEnvironment environment("addressing", log);
    AmazonCredentials keys;
    keys.accessKeyId = "AKIDEXAMPLE";
    keys.secretAccessKey = "example-secret";
    keys.region = "us-east-1";
    keys.isResolved = true;
    S3Client client(S3Location{"my-bucket", "backups"}, keys, environment);
    const S3Answer first = client.get("eu-west-1/t/F1/manifest.json");
    EXPECT_TRUE(first.ok) << first.code << " " << first.message;
    EXPECT_EQ(first.body, "stored");
    EXPECT_TRUE(client.head("eu-west-1/t/F1/manifest.json").ok);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    const char* regions[] = {"/us-east-1/s3/aws4_request", "/eu-west-1/s3/aws4_request", "/eu-west-1/s3/aws4_request"};
    for (size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].headers.at("host"), "my-bucket.localhost:" + port);
        EXPECT_EQ(requests[i].target, "/backups/eu-west-1/t/F1/manifest.json");
        EXPECT_NE(requests[i].headers.at("authorization").find(regions[i]), std::string::npos)
            << i << ": " << requests[i].headers.at("authorization");
    }
    EXPECT_TRUE(log->contains("bucket my-bucket is in eu-west-1, not us-east-1"));
}

} // namespace
