// Where requests go when the shared config names endpoints: the order the
// AWS tools keep (variables, then the config's services section, then the
// profile's own endpoint_url), and the switch that ignores them all.

#include <gtest/gtest.h>

#include "aws/Endpoints.h"
#include "aws/SharedConfig.h"
#include "tests/support/ScopedEnv.h"

namespace {

const char* kConfig = R"([profile local]
region = us-east-1
endpoint_url = http://global:1/
services = local-services

[profile quiet]
endpoint_url = http://global:1
ignore_configured_endpoint_urls = true

[services local-services]
dynamodb =
  endpoint_url = http://tables:2
S3 =
  addressing_style = path
  ENDPOINT_URL = http://objects:3
)";

AmazonRequest requestTo(const std::string& service, const std::string& host) {
    AmazonRequest request;
    request.service = service;
    request.host = host;
    return request;
}

struct EndpointsFixture : ::testing::Test {
    ScopedEnv noGlobal{"AWS_ENDPOINT_URL", ""};
    ScopedEnv noTables{"AWS_ENDPOINT_URL_DYNAMODB", ""};
    ScopedEnv noStreams{"AWS_ENDPOINT_URL_DYNAMODB_STREAMS", ""};
    ScopedEnv noObjects{"AWS_ENDPOINT_URL_S3", ""};
    ScopedEnv noSts{"AWS_ENDPOINT_URL_STS", ""};
    ScopedEnv noIgnore{"AWS_IGNORE_CONFIGURED_ENDPOINT_URLS", ""};
    SharedConfig config;
    const AmazonRequest tables = requestTo("dynamodb", "dynamodb.us-east-1.amazonaws.com");
    const AmazonRequest streams = requestTo("dynamodb", "streams.dynamodb.us-east-1.amazonaws.com");
    const AmazonRequest objects = requestTo("s3", "bucket.s3.us-east-1.amazonaws.com");
    const AmazonRequest sts = requestTo("sts", "sts.us-east-1.amazonaws.com");

    void SetUp() override {
        std::string error;
        ASSERT_TRUE(config.loadTexts(kConfig, "", error)) << error;
    }
    // The setting is process-wide: no other test may find it.
    void TearDown() override { endpoints::setConfiguredEndpoints(endpoints::ConfiguredEndpoints()); }
};

TEST_F(EndpointsFixture, VariablesThenTheServicesSectionThenTheProfile) {
    const auto configured = endpoints::configuredEndpoints(config, "local");
    EXPECT_EQ(configured.global, "http://global:1/");
    EXPECT_EQ(configured.services.size(), 2u);
    endpoints::setConfiguredEndpoints(configured);
    EXPECT_EQ(endpoints::overrideFor(tables), "http://tables:2");
    EXPECT_EQ(endpoints::overrideFor(objects), "http://objects:3"); // names in any case
    EXPECT_EQ(endpoints::overrideFor(streams), "http://global:1");  // no entry of its own
    EXPECT_EQ(endpoints::overrideFor(sts), "http://global:1");
    {
        ScopedEnv global("AWS_ENDPOINT_URL", "http://variable:4");
        ScopedEnv objectsToo("AWS_ENDPOINT_URL_S3", "http://variable-objects:5");
        EXPECT_EQ(endpoints::overrideFor(tables), "http://variable:4");
        EXPECT_EQ(endpoints::overrideFor(objects), "http://variable-objects:5");
    }
    // A profile without endpoints, and no profile at all, leave AWS's own.
    endpoints::setConfiguredEndpoints(endpoints::configuredEndpoints(config, "nosuch"));
    EXPECT_EQ(endpoints::overrideFor(tables), "");
}

TEST_F(EndpointsFixture, IgnoringConfiguredEndpointsIgnoresTheVariablesToo) {
    ScopedEnv global("AWS_ENDPOINT_URL", "http://variable:4");
    endpoints::setConfiguredEndpoints(endpoints::configuredEndpoints(config, "quiet"));
    EXPECT_EQ(endpoints::overrideFor(tables), "");
    {
        // The variable decides over the profile, either way.
        ScopedEnv notIgnored("AWS_IGNORE_CONFIGURED_ENDPOINT_URLS", "false");
        EXPECT_EQ(endpoints::overrideFor(tables), "http://variable:4");
    }
    endpoints::setConfiguredEndpoints(endpoints::configuredEndpoints(config, "local"));
    ScopedEnv ignored("AWS_IGNORE_CONFIGURED_ENDPOINT_URLS", "TRUE");
    EXPECT_EQ(endpoints::overrideFor(tables), "");
    EXPECT_EQ(endpoints::overrideFor(objects), "");
}

} // namespace
