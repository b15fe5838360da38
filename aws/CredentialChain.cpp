#include "aws/CredentialChain.h"

#include <stdio.h>
#include <sys/wait.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>

#include <rapidjson/document.h>

#include "aws/AwsCredentialSources.h"
#include "aws/AwsRequestService.h"
#include "aws/CredentialRefresh.h"
#include "aws/CredentialSource.h"
#include "aws/Endpoints.h"
#include "aws/SharedConfig.h"
#include "platform/FileUtil.h"
#include "platform/HXLibCurl.h"
#include "text/BoundedJson.h"
#include "text/UtcTime.h"

namespace {

constexpr const char* kContainerHost = "http://169.254.170.2";
constexpr size_t kMaxProcessOutput = 64 * 1024;

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// A source's credentials, or why it has none. `found` false means the
// source is not configured at all, and the chain goes on to the next.
struct Outcome {
    bool found = false;
    bool ok = false;
    std::string error;
    std::string from;
};

Outcome failed(const std::string& from, const std::string& error) { return Outcome{true, false, error, from}; }

// Fetches credentials and renews them the same way.
class FetchingSource : public CredentialSource {
public:
    virtual bool fetch(TeskEnvironment& environment, AmazonCredentials& credentials, std::string& error) const = 0;
    bool renew(TeskEnvironment& environment, AmazonCredentials& credentials) const override {
        std::string error;
        if (fetch(environment, credentials, error)) return true;
        environment.log("renew", name() + ": " + error);
        return false;
    }
};

// STS of the role's partition, in `region` when given.
bool stsRequest(const std::string& roleArn, const std::string& region, AmazonRequest& request, std::string& error) {
    endpoints::RoleArn arn;
    if (!endpoints::parseRoleArn(roleArn, arn, error)) return false;
    request.scheme = "https://";
    request.path = "/";
    request.service = "sts";
    request.domainSuffix = arn.partition->domain;
    request.credentials.region = region.empty() ? arn.partition->defaultRegion : region;
    if (region.empty() && std::string(arn.partition->name) == "aws")
        request.host = endpoints::kGlobalStsHost;
    else
        request.host = "sts." + request.credentials.region + request.domainSuffix;
    return true;
}

std::string formEscape(HXLibCurl& curl, const std::string& text) {
    std::string escaped;
    curl.HXLibCurlUrlEscape(text, escaped);
    return escaped;
}

// AssumeRoleWithWebIdentity: the token is the proof, so the call carries no
// signature; it goes in the body, never in a URL that could be logged.
class WebIdentitySource : public FetchingSource {
public:
    WebIdentitySource(std::string tokenFile, std::string roleArn, std::string sessionName, std::string region)
        : tokenFile_(std::move(tokenFile)), roleArn_(std::move(roleArn)), sessionName_(std::move(sessionName)),
          region_(std::move(region)) {}
    std::string name() const override { return "web identity (" + tokenFile_ + ", role " + roleArn_ + ")"; }
    bool fetch(TeskEnvironment& environment, AmazonCredentials& credentials, std::string& error) const override {
        std::string token;
        // Read again at every renewal: the platform rotates the token file.
        if (!file_util::readFile(tokenFile_, token) || token.empty()) {
            error = "cannot read the web identity token file " + tokenFile_;
            return false;
        }
        while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
        AmazonRequest request;
        if (!stsRequest(roleArn_, region_, request, error)) return false;
        request.sign = false;
        request.method = 1;
        request.headers["content-type"] = "application/x-www-form-urlencoded";
        request.headers["Accept"] = "application/json";
        HXLibCurl escaper;
        request.body = "Action=AssumeRoleWithWebIdentity&RoleArn=" + formEscape(escaper, roleArn_) +
                       "&RoleSessionName=" + formEscape(escaper, sessionName_) + "&Version=2011-06-15" +
                       "&WebIdentityToken=" + formEscape(escaper, token);
        AwsRequestService service(environment);
        AmazonResponse response = service.execute(request);
        if (response.httpCode != 200) {
            error = "STS AssumeRoleWithWebIdentity for " + roleArn_ + " failed with HTTP " +
                    std::to_string(response.httpCode) +
                    (response.failure.empty() ? std::string() : ": " + response.failure);
            return false;
        }
        std::string missing;
        if (!readStsCredentials(response.body, "AssumeRoleWithWebIdentity", credentials, missing)) {
            error = "the STS answer for " + roleArn_ + " lacks its " + missing;
            return false;
        }
        return true;
    }

private:
    const std::string tokenFile_, roleArn_, sessionName_, region_;
};

// The container credentials endpoint (ECS, EKS Pod Identity).
class ContainerSource : public FetchingSource {
public:
    ContainerSource(std::string url, std::string token, std::string tokenFile)
        : url_(std::move(url)), token_(std::move(token)), tokenFile_(std::move(tokenFile)) {}
    std::string name() const override { return "container endpoint " + url_; }
    bool fetch(TeskEnvironment&, AmazonCredentials& credentials, std::string& error) const override {
        std::string authorization = token_;
        if (!tokenFile_.empty() && (!file_util::readFile(tokenFile_, authorization) || authorization.empty())) {
            error = "cannot read AWS_CONTAINER_AUTHORIZATION_TOKEN_FILE " + tokenFile_;
            return false;
        }
        while (!authorization.empty() && (authorization.back() == '\n' || authorization.back() == '\r'))
            authorization.pop_back();
        if (authorization.find_first_of("\r\n") != std::string::npos) {
            error = "the container authorization token holds a line break";
            return false;
        }
        HXLibCurl client;
        if (!client.HXLibCurlInit("", true, false, nullptr)) {
            error = "cannot prepare an HTTP client";
            return false;
        }
        client.HXLibCurlSetAdditionalOptionsIntValue(CURLOPT_NOSIGNAL, 1);
        if (!authorization.empty())
            client.HXLibCurlAppendHeader(HXLibCurl::kHeaderStandard, ("Authorization: " + authorization).c_str());
        const bool sent = client.HXLibCurlSendHttpReq(HXLibCurl::kGet, url_.c_str(), nullptr, 0, true, nullptr);
        std::string body;
        client.takeHttpResponse(body);
        if (!sent || client.m_httpStatus != 200) {
            error = "the container endpoint " + url_ + " answered " +
                    (client.m_httpStatus ? "HTTP " + std::to_string(client.m_httpStatus) : client.lastError());
            return false;
        }
        if (!readMetadataCredentials(body, credentials)) {
            error = "the container endpoint " + url_ + " gave no AccessKeyId, SecretAccessKey, Token and Expiration";
            return false;
        }
        return true;
    }

private:
    const std::string url_, token_, tokenFile_;
};

// credential_process: a program of the user's that prints credentials.
class ProcessSource : public FetchingSource {
public:
    ProcessSource(std::string command, std::string profile) : command_(std::move(command)), profile_(std::move(profile)) {}
    std::string name() const override { return "credential_process of profile " + profile_; }
    bool fetch(TeskEnvironment&, AmazonCredentials& credentials, std::string& error) const override {
        FILE* pipe = ::popen(command_.c_str(), "r");
        if (!pipe) {
            error = "cannot start the credential_process of profile " + profile_;
            return false;
        }
        std::string output;
        char buffer[4096];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0 && output.size() <= kMaxProcessOutput)
            output.append(buffer, got);
        const int status = ::pclose(pipe);
        if (status != 0 || output.size() > kMaxProcessOutput) {
            error = "the credential_process of profile " + profile_ +
                    (status != 0 ? " exited with status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1)
                                 : " printed more than 64 KiB");
            return false;
        }
        rapidjson::Document document;
        auto text = [&](const char* name) -> std::string {
            auto member = document.FindMember(name);
            return member != document.MemberEnd() && member->value.IsString() ? member->value.GetString() : "";
        };
        if (!parseBoundedJson(document, output) || !document.IsObject() || !document.HasMember("Version") ||
            !document["Version"].IsInt() || document["Version"].GetInt() != 1 || text("AccessKeyId").empty() ||
            text("SecretAccessKey").empty()) {
            error = "the credential_process of profile " + profile_ +
                    " printed no JSON object with Version 1, AccessKeyId and SecretAccessKey";
            return false;
        }
        int64_t expires = 0;
        if (!text("Expiration").empty() && !parseUtcTime(text("Expiration"), expires, error)) {
            error = "the credential_process of profile " + profile_ + " gave an Expiration that is no UTC time";
            return false;
        }
        credentials.accessKeyId = text("AccessKeyId");
        credentials.secretAccessKey = text("SecretAccessKey");
        credentials.sessionToken = text("SessionToken");
        credentials.expiration = expires;
        return true;
    }

private:
    const std::string command_, profile_;
};

// A role assumed with the credentials of another source, renewed by
// renewing those (when they expire) and assuming the role again.
class AssumeRoleSource : public FetchingSource {
public:
    AssumeRoleSource(AmazonCredentials base, AmazonCredentials role, std::string baseName)
        : base_(std::move(base)), role_(std::move(role)), baseName_(std::move(baseName)) {}
    std::string name() const override { return "role " + role_.roleArn + " assumed with " + baseName_; }
    bool fetch(TeskEnvironment& environment, AmazonCredentials& credentials, std::string& error) const override {
        AmazonCredentials work;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (base_.source && credentialsDueForRefresh(base_, environment.clock().now()) &&
                !base_.source->renew(environment, base_)) {
                error = "the credentials of " + baseName_ + " could not be renewed";
                return false;
            }
            work = base_;
        }
        work.roleArn = role_.roleArn;
        work.isAssumeRole = true;
        work.roleSessionName = role_.roleSessionName;
        work.externalId = role_.externalId;
        work.durationSeconds = role_.durationSeconds;
        work.region = role_.region;
        AwsRequestService service(environment);
        if (!service.getSessionTokenSTS(work)) {
            error = "STS AssumeRole of " + role_.roleArn + " with " + baseName_ + " failed" +
                    (environment.hasFailed() ? ": " + environment.getFailure() : std::string());
            return false;
        }
        credentials.accessKeyId = work.accessKeyId;
        credentials.secretAccessKey = work.secretAccessKey;
        credentials.sessionToken = work.sessionToken;
        credentials.expiration = work.expiration;
        return true;
    }

private:
    mutable std::mutex mutex_;
    mutable AmazonCredentials base_; // guarded by mutex_
    const AmazonCredentials role_;
    const std::string baseName_;
};

// Fetches from `source` into `credentials`, which then carry it.
Outcome fromSource(TeskEnvironment& environment, std::shared_ptr<const FetchingSource> source,
                   AmazonCredentials& credentials) {
    Outcome outcome{true, false, "", source->name()};
    outcome.ok = source->fetch(environment, credentials, outcome.error);
    if (outcome.ok) credentials.source = source;
    return outcome;
}

Outcome fromEnvironment(AmazonCredentials& credentials) {
    const std::string key = variable("AWS_ACCESS_KEY_ID"), secret = variable("AWS_SECRET_ACCESS_KEY");
    if (key.empty() && secret.empty()) return Outcome();
    if (key.empty() || secret.empty())
        return failed("environment", std::string(key.empty() ? "AWS_ACCESS_KEY_ID" : "AWS_SECRET_ACCESS_KEY") +
                                         " is not set while " + (key.empty() ? "AWS_SECRET_ACCESS_KEY" : "AWS_ACCESS_KEY_ID") +
                                         " is: set both, or neither");
    credentials.accessKeyId = key;
    credentials.secretAccessKey = secret;
    credentials.sessionToken = variable("AWS_SESSION_TOKEN");
    return Outcome{true, true, "", "environment (AWS_ACCESS_KEY_ID)"};
}

Outcome fromWebIdentity(TeskEnvironment& environment, const std::string& region, AmazonCredentials& credentials) {
    const std::string tokenFile = variable("AWS_WEB_IDENTITY_TOKEN_FILE"), roleArn = variable("AWS_ROLE_ARN");
    if (tokenFile.empty()) return Outcome();
    if (roleArn.empty()) return failed("web identity", "AWS_WEB_IDENTITY_TOKEN_FILE is set but AWS_ROLE_ARN is not");
    std::string session = variable("AWS_ROLE_SESSION_NAME");
    if (session.empty()) session = "ddb-backup-" + std::to_string(environment.clock().now());
    return fromSource(environment, std::make_shared<WebIdentitySource>(tokenFile, roleArn, session, region),
                      credentials);
}

bool isAllowedContainerUrl(const std::string& url) {
    if (url.compare(0, 8, "https://") == 0) return true;
    if (url.compare(0, 7, "http://") != 0) return false;
    const std::string rest = url.substr(7);
    const std::string host = rest.substr(0, rest.find_first_of(":/"));
    return host == "127.0.0.1" || host == "localhost" || host == "169.254.170.2" || host == "169.254.170.23" ||
           rest.compare(0, 5, "[::1]") == 0;
}

Outcome fromContainer(TeskEnvironment& environment, AmazonCredentials& credentials) {
    const std::string relative = variable("AWS_CONTAINER_CREDENTIALS_RELATIVE_URI");
    const std::string full = variable("AWS_CONTAINER_CREDENTIALS_FULL_URI");
    if (relative.empty() && full.empty()) return Outcome();
    const std::string url = !relative.empty() ? kContainerHost + relative : full;
    if (relative.empty() && !isAllowedContainerUrl(full))
        return failed("container endpoint", "AWS_CONTAINER_CREDENTIALS_FULL_URI must use https, or http to a "
                                            "loopback or container-agent address");
    return fromSource(environment,
                      std::make_shared<ContainerSource>(url, variable("AWS_CONTAINER_AUTHORIZATION_TOKEN"),
                                                        variable("AWS_CONTAINER_AUTHORIZATION_TOKEN_FILE")),
                      credentials);
}

Outcome fromInstanceMetadata(TeskEnvironment& environment, AmazonCredentials& credentials) {
    if (endpoints::metadataDisabled()) return Outcome();
    AwsRequestService service(environment);
    AmazonCredentials fetched = credentials;
    if (!service.credsFromMetadata(fetched)) return Outcome{true, false, "no credentials from it", "instance metadata"};
    credentials = fetched;
    return Outcome{true, true, "", "instance metadata"};
}

Outcome assumeWith(TeskEnvironment& environment, const AmazonCredentials& base, const std::string& baseName,
                   AmazonCredentials role, AmazonCredentials& credentials) {
    auto source = std::make_shared<AssumeRoleSource>(base, std::move(role), baseName);
    return fromSource(environment, source, credentials);
}

struct ProfileWalk {
    TeskEnvironment& environment;
    const SharedConfig& config;
    std::string region;
    std::vector<std::string> path; // profiles followed through source_profile
};

Outcome fromProfile(ProfileWalk& walk, const std::string& name, AmazonCredentials& credentials);

// The credentials a role_arn profile assumes its role with.
Outcome roleBase(ProfileWalk& walk, const std::string& name, const SharedConfig::Settings& settings,
                 AmazonCredentials& base) {
    auto value = [&](const char* key) {
        auto found = settings.find(key);
        return found == settings.end() ? std::string() : found->second;
    };
    const std::string sourceProfile = value("source_profile"), credentialSource = value("credential_source");
    if (!sourceProfile.empty() && !credentialSource.empty())
        return failed("profile " + name, "profile " + name + " has both source_profile and credential_source; keep one");
    if (!sourceProfile.empty()) {
        // A profile may take its role's base keys from itself.
        if (sourceProfile == name) {
            if (value("aws_access_key_id").empty() || value("aws_secret_access_key").empty())
                return failed("profile " + name, "profile " + name + " is its own source_profile but has no keys");
            base.accessKeyId = value("aws_access_key_id");
            base.secretAccessKey = value("aws_secret_access_key");
            base.sessionToken = value("aws_session_token");
            return Outcome{true, true, "", "profile " + name};
        }
        for (const auto& seen : walk.path)
            if (seen == sourceProfile) {
                std::string loop;
                for (const auto& step : walk.path) loop += step + " -> ";
                return failed("profile " + name, "the source_profile settings loop: " + loop + sourceProfile);
            }
        return fromProfile(walk, sourceProfile, base);
    }
    if (credentialSource == "Environment") {
        Outcome outcome = fromEnvironment(base);
        if (!outcome.found) return failed("profile " + name, "profile " + name +
                                                                 " takes its credentials from the environment, "
                                                                 "but AWS_ACCESS_KEY_ID is not set");
        return outcome;
    }
    if (credentialSource == "Ec2InstanceMetadata") return fromInstanceMetadata(walk.environment, base);
    if (credentialSource == "EcsContainer") {
        Outcome outcome = fromContainer(walk.environment, base);
        if (!outcome.found) return failed("profile " + name, "profile " + name +
                                                                 " takes its credentials from the container, but "
                                                                 "AWS_CONTAINER_CREDENTIALS_RELATIVE_URI is not set");
        return outcome;
    }
    if (!credentialSource.empty())
        return failed("profile " + name, "profile " + name + " has credential_source " + credentialSource +
                                             "; use Environment, Ec2InstanceMetadata or EcsContainer");
    return failed("profile " + name,
                  "profile " + name + " has a role_arn but neither source_profile nor credential_source");
}

Outcome fromProfile(ProfileWalk& walk, const std::string& name, AmazonCredentials& credentials) {
    SharedConfig::Settings settings;
    if (!walk.config.profile(name, settings))
        return failed("profile " + name, "profile " + name + " is in neither " + walk.config.where());
    auto value = [&](const char* key) {
        auto found = settings.find(key);
        return found == settings.end() ? std::string() : found->second;
    };
    walk.path.push_back(name);
    if (!value("role_arn").empty()) {
        AmazonCredentials base;
        base.region = walk.region;
        Outcome outcome = roleBase(walk, name, settings, base);
        if (!outcome.ok) return outcome;
        AmazonCredentials role;
        role.roleArn = value("role_arn");
        role.region = walk.region;
        role.externalId = value("external_id");
        role.roleSessionName = value("role_session_name");
        if (role.roleSessionName.empty())
            role.roleSessionName = "ddb-backup-" + std::to_string(walk.environment.clock().now());
        const std::string duration = value("duration_seconds");
        if (!duration.empty()) {
            char* end = nullptr;
            const long long seconds = std::strtoll(duration.c_str(), &end, 10);
            if (*end != '\0' || seconds < 900 || seconds > 43200)
                return failed("profile " + name, "profile " + name + ": duration_seconds " + duration +
                                                     " is not a whole number of seconds from 900 to 43200");
            role.durationSeconds = seconds;
        }
        Outcome assumed = assumeWith(walk.environment, base, outcome.from, role, credentials);
        assumed.from = "profile " + name + " (" + assumed.from + ")";
        return assumed;
    }
    if (!value("credential_process").empty()) {
        Outcome outcome = fromSource(walk.environment, std::make_shared<ProcessSource>(value("credential_process"), name),
                                     credentials);
        return outcome;
    }
    if (!value("aws_access_key_id").empty() || !value("aws_secret_access_key").empty()) {
        if (value("aws_access_key_id").empty() || value("aws_secret_access_key").empty())
            return failed("profile " + name, "profile " + name + " has only one of aws_access_key_id and "
                                                                 "aws_secret_access_key");
        credentials.accessKeyId = value("aws_access_key_id");
        credentials.secretAccessKey = value("aws_secret_access_key");
        credentials.sessionToken = value("aws_session_token");
        return Outcome{true, true, "", "profile " + name + " (" + walk.config.where() + ")"};
    }
    return Outcome{false, false, "profile " + name + " in " + walk.config.where() + " holds no credentials",
                   "profile " + name};
}

} // namespace

std::string chosenProfile(const CredentialOptions& options) {
    if (!options.profile.empty()) return options.profile;
    const std::string fromEnvironment = variable("AWS_PROFILE");
    return fromEnvironment.empty() ? "default" : fromEnvironment;
}

bool resolveCredentials(TeskEnvironment& environment, const CredentialOptions& options, const std::string& region,
                        AmazonCredentials& credentials, std::string& from, std::string& error) {
    AmazonCredentials found;
    found.region = region;
    const std::string profile = chosenProfile(options);
    // A profile named on the command line is what the user asked for, ahead
    // of whatever the environment holds; one named by AWS_PROFILE, or the
    // default, comes after the environment's keys and web identity.
    const bool explicitProfile = !options.profile.empty() || !variable("AWS_PROFILE").empty();
    Outcome outcome;
    if (options.profile.empty()) {
        outcome = fromEnvironment(found);
        if (!outcome.found) outcome = fromWebIdentity(environment, region, found);
    }
    if (!outcome.found) {
        SharedConfig config;
        std::string problem;
        if (!config.load(problem)) {
            error = problem;
            return false;
        }
        ProfileWalk walk{environment, config, region, {}};
        SharedConfig::Settings ignored;
        if (config.profile(profile, ignored) || explicitProfile) {
            outcome = fromProfile(walk, profile, found);
            if (!outcome.found && explicitProfile) outcome.found = true; // a named profile without keys is an error
        }
    }
    if (!outcome.found) outcome = fromContainer(environment, found);
    if (!outcome.found) outcome = fromInstanceMetadata(environment, found);
    if (!outcome.found || !outcome.ok) {
        error = !outcome.found || outcome.error.empty()
                    ? "no AWS credentials found: set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, name a profile of " +
                          SharedConfig::configPath() + " with --profile or AWS_PROFILE, or run where a container or "
                          "instance role provides them"
                    : "credentials from " + outcome.from + ": " + outcome.error;
        if (outcome.found && outcome.error.empty() && outcome.from == "instance metadata")
            error = "no AWS credentials found (the environment, web identity, profile " + profile +
                    " and the container have none, and the instance metadata service gave none): set "
                    "AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, or name a profile with --profile";
        return false;
    }
    from = outcome.from;
    if (!options.roleArn.empty()) {
        endpoints::RoleArn arn;
        if (!endpoints::parseRoleArn(options.roleArn, arn, error)) {
            error = "--role-arn: " + error;
            return false;
        }
        AmazonCredentials role;
        role.roleArn = options.roleArn;
        role.region = region;
        role.externalId = options.externalId;
        role.roleSessionName = options.roleSessionName;
        AmazonCredentials assumed;
        assumed.region = region;
        Outcome outcome = assumeWith(environment, found, from, role, assumed);
        if (!outcome.ok) {
            error = outcome.error;
            return false;
        }
        assumed.roleArn = options.roleArn;
        found = assumed;
        from = outcome.from;
    }
    found.region = region;
    found.isResolved = true;
    credentials = found;
    return true;
}

bool resolveRegion(TeskEnvironment& environment, const std::string& given, const std::string& profile,
                   std::string& region, std::string& error) {
    region = given;
    if (region.empty()) region = variable("AWS_REGION");
    if (region.empty()) region = variable("AWS_DEFAULT_REGION");
    if (region.empty()) {
        SharedConfig config;
        if (!config.load(error)) return false;
        region = config.get(profile, "region");
    }
    if (region.empty() && !endpoints::metadataDisabled()) {
        AwsRequestService service(environment);
        region = service.regionFromMetadata();
    }
    if (region.empty()) {
        error = "no region: give --region, set AWS_REGION, or set region in profile " + profile + " of " +
                SharedConfig::configPath();
        return false;
    }
    return true;
}
