#include "cli/CommonOptions.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>

#include "aws/AwsRequestService.h"
#include "aws/CredentialChain.h"
#include "aws/Endpoints.h"
#include "aws/SharedConfig.h"
#include "framework/TeskEnvironment.h"
#include "platform/HXLibCurl.h"

void addVerbosityOptions(CLI::App& command, Verbosity& verbosity) {
    auto* verbose = command.add_flag("--verbose,-v", verbosity.verbose, "also copy the log to stderr");
    command.add_flag("--quiet,-q", verbosity.quiet, "print errors only: no progress or summaries")->excludes(verbose);
}

void addAwsOptions(CLI::App& command, AwsOptions& options) {
    command.add_option("--region", options.region,
                       "the table's region (default: AWS_REGION, AWS_DEFAULT_REGION, the profile's region, then the "
                       "instance's)");
    command.add_option("--profile", options.profile, "the profile of ~/.aws/config and ~/.aws/credentials to use "
                                                     "(default: AWS_PROFILE, then default)");
    command.add_option("--role-arn", options.roleArn, "assume this role through STS with the credentials found");
    command.add_option("--role-session-name", options.roleSessionName, "the name of that role's session");
    command.add_option("--external-id", options.externalId, "the external id that role's trust policy asks for");
    command.add_option("--retry-seconds", options.retrySeconds,
                       "how long the pauses between attempts of one AWS call may add up to (default 60)")
        ->check(CLI::Range(0, 3600));
    command.add_option("--connect-timeout", options.connectTimeout, "seconds to wait for a connection (default 10)")
        ->check(CLI::Range(1, 600));
    command.add_option("--stall-seconds", options.stallSeconds,
                       "an answer silent this long has stalled and is retried (default 30)")
        ->check(CLI::Range(1, 3600));
}

bool resolveAws(const char* command, const AwsOptions& options, const Verbosity& verbosity, std::string& region,
                AmazonCredentials& credentials) {
    AwsRequestService::RetryBudget budget;
    budget.maxTotalDelayMs = static_cast<uint32_t>(options.retrySeconds) * 1000;
    AwsRequestService::setRetryBudget(budget);
    TransportLimits limits;
    limits.connectTimeoutMs = static_cast<long>(options.connectTimeout) * 1000;
    limits.lowSpeedSeconds = options.stallSeconds;
    HXLibCurl::setTransportLimits(limits);

    auto log = std::make_shared<StreamLogSink>(verbosity.verbose);
    TeskEnvironment environment("credentials", log);
    CredentialOptions chain;
    chain.profile = options.profile;
    chain.roleArn = options.roleArn;
    chain.roleSessionName = options.roleSessionName;
    chain.externalId = options.externalId;
    std::string error;
    SharedConfig config;
    if (!config.load(error)) {
        std::fprintf(stderr, "ddb-backup %s: %s\n", command, error.c_str());
        return false;
    }
    if (!options.profile.empty()) {
        // A profile asked for by name must exist, whatever else is set.
        SharedConfig::Settings settings;
        if (!config.profile(options.profile, settings)) {
            std::fprintf(stderr, "ddb-backup %s: profile %s is in neither %s\n", command, options.profile.c_str(),
                         config.where().c_str());
            return false;
        }
    }
    // Before the first request: STS may be the first to go somewhere else.
    endpoints::setConfiguredEndpoints(endpoints::configuredEndpoints(config, chosenProfile(chain)));
    if (region.empty() && !resolveRegion(environment, options.region, chosenProfile(chain), region, error)) {
        std::fprintf(stderr, "ddb-backup %s: %s\n", command, error.c_str());
        return false;
    }
    if (!isRegionName(region)) {
        std::fprintf(stderr, "ddb-backup %s: '%s' is not an AWS region name\n", command, region.c_str());
        return false;
    }
    std::string from;
    if (!resolveCredentials(environment, chain, region, credentials, from, error)) {
        std::fprintf(stderr, "ddb-backup %s: %s\n", command, error.c_str());
        return false;
    }
    if (verbosity.verbose) std::fprintf(stderr, "ddb-backup: credentials from %s\n", from.c_str());
    return true;
}

CLI::Option* addStoreOption(CLI::App& command, std::string& store, const std::string& description) {
    return command.add_option("--store", store, description)
        ->required()
        ->check([](const std::string& value) -> std::string {
            auto scheme = value.find("://");
            if (scheme == std::string::npos || value.compare(0, 5, "s3://") == 0) return {};
            return "the store '" + value + "' names the scheme " + value.substr(0, scheme) +
                   "://, which this build cannot use; give a local folder or s3://BUCKET/PREFIX";
        });
}

bool requireStore(const char* command, const std::string& store) {
    struct stat info {};
    if (::stat(store.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return true;
    std::fprintf(stderr, "ddb-backup %s: there is no backup store at %s; give the folder 'ddb-backup backup --store' "
                         "wrote to\n",
                 command, store.c_str());
    return false;
}

bool isTableName(const std::string& name) {
    if (name.size() < 3 || name.size() > 255) return false;
    for (char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.')) return false;
    return true;
}

bool isRegionName(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (char c : name)
        if (!(std::islower(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c)) || c == '-'))
            return false;
    return true;
}
