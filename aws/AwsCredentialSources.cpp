// Credentials from the instance metadata service and from STS AssumeRole.

#include <rapidjson/document.h>
#include <rapidjson/pointer.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "aws/AwsCredentialSources.h"
#include "aws/AwsRequestService.h"
#include "aws/Endpoints.h"
#include "text/BoundedJson.h"
#include "text/UtcTime.h"

namespace {

constexpr const char* kCredentialsPath = "/latest/meta-data/iam/security-credentials/";
constexpr const char* kTokenPath = "/latest/api/token";
constexpr const char* kZonePath = "/latest/meta-data/placement/availability-zone";

bool isSecretMember(const std::string& name) {
    return name == "SecretAccessKey" || name == "SessionToken" || name == "Token";
}

void redact(rapidjson::Value& value, rapidjson::Document::AllocatorType& allocator) {
    if (value.IsObject()) {
        for (auto& member : value.GetObject()) {
            if (isSecretMember(member.name.GetString()) && member.value.IsString())
                member.value.SetString("***", allocator);
            else
                redact(member.value, allocator);
        }
    } else if (value.IsArray()) {
        for (auto& element : value.GetArray()) redact(element, allocator);
    }
}

// An STS answer as it may be logged: secret members blanked out. A body that
// is not JSON is not logged at all, since its secrets could not be found.
std::string loggableBody(const std::string& body) {
    rapidjson::Document document;
    if (!parseBoundedJson(document, body)) return "(" + std::to_string(body.size()) + " bytes that are not JSON)";
    redact(document, document.GetAllocator());
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    return buffer.GetString();
}

const char* stringMember(const rapidjson::Value& object, const char* name) {
    if (!object.IsObject()) return nullptr;
    auto member = object.FindMember(name);
    if (member == object.MemberEnd() || !member->value.IsString()) return nullptr;
    return member->value.GetString();
}

} // namespace

bool readMetadataCredentials(const std::string& body, AmazonCredentials& credentials) {
    rapidjson::Document document;
    if (!parseBoundedJson(document, body)) return false;
    const char* accessKeyId = stringMember(document, "AccessKeyId");
    const char* secretAccessKey = stringMember(document, "SecretAccessKey");
    const char* token = stringMember(document, "Token");
    const char* expiration = stringMember(document, "Expiration");
    int64_t expires = 0;
    std::string why;
    if (!accessKeyId || !secretAccessKey || !token || !expiration || !parseUtcTime(expiration, expires, why) ||
        !*accessKeyId || !*secretAccessKey)
        return false;
    credentials.accessKeyId = accessKeyId;
    credentials.secretAccessKey = secretAccessKey;
    credentials.sessionToken = token;
    credentials.expiration = expires;
    return true;
}

bool readAssumeRoleAnswer(const std::string& body, AmazonCredentials& credentials, std::string& missing) {
    return readStsCredentials(body, "AssumeRole", credentials, missing);
}

bool readStsCredentials(const std::string& body, const std::string& action, AmazonCredentials& credentials,
                        std::string& missing) {
    rapidjson::Document document;
    const bool parsed = parseBoundedJson(document, body);
    const std::string base = "/" + action + "Response/" + action + "Result/Credentials/";
    auto read = [&](const char* name, std::string& out) {
        if (!parsed) return false;
        const std::string pointer = base + name;
        const rapidjson::Value* value = rapidjson::Pointer(pointer.c_str()).Get(document);
        if (!value || !value->IsString() || value->GetStringLength() == 0) return false;
        out.assign(value->GetString(), value->GetStringLength());
        return true;
    };
    std::string key, secret, token;
    if (!read("AccessKeyId", key) || !read("SecretAccessKey", secret) || !read("SessionToken", token)) {
        missing = "credentials";
        return false;
    }
    int64_t expiration = -1;
    const rapidjson::Value* value = rapidjson::Pointer((base + "Expiration").c_str()).Get(document);
    if (value && value->IsInt64())
        expiration = value->GetInt64();
    else if (value && value->IsDouble() && value->GetDouble() > 0 && value->GetDouble() < 9.2e18)
        expiration = static_cast<int64_t>(value->GetDouble());
    if (expiration <= 0) {
        missing = "expiration time";
        return false;
    }
    credentials.accessKeyId = key;
    credentials.secretAccessKey = secret;
    credentials.sessionToken = token;
    credentials.expiration = expiration;
    return true;
}

bool AwsRequestService::isSTSAssumeRole(AmazonCredentials& credentials) {
    if (credentials.isAssumeRole) return true;
    credentials.isAssumeRole = false;
    endpoints::RoleArn arn;
    std::string error;
    if (endpoints::parseRoleArn(credentials.accessKeyId, arn, error)) {
        credentials.roleArn = credentials.accessKeyId;
        credentials.isAssumeRole = true;
        return true;
    }
    return false;
}

bool AwsRequestService::handleIAMRole(TeskEnvironment& environment, AmazonCredentials& credentials) {
    if (credentials.isResolved) return true;
    // Something that looks like an ARN but is no role ARN must not fall
    // through to the instance's own keys: the job would run as the wrong
    // principal.
    endpoints::RoleArn arn;
    std::string error;
    if (!credentials.isAssumeRole && credentials.accessKeyId.compare(0, 4, "arn:") == 0 &&
        !endpoints::parseRoleArn(credentials.accessKeyId, arn, error)) {
        environment.log("handleIAMRole", error);
        environment.setFailure(error);
        return false;
    }
    AwsRequestService service(environment);
    if (!service.isSTSAssumeRole(credentials) && !credentials.accessKeyId.empty() &&
        !credentials.secretAccessKey.empty()) {
        credentials.isResolved = true;
        return true;
    }
    credentials.isResolved = service.credsFromMetadata(credentials);
    return credentials.isResolved;
}

AwsRequestService::MetadataAnswer AwsRequestService::metadataRequest(int type, const std::string& path,
                                                                     const std::string& extraHeader) {
    MetadataAnswer answer;
    if (!initCurlObject("text/plain")) return answer;
    httpClient->HXLibCurlFreeHttpHeaderList();
    if (!extraHeader.empty()) httpClient->HXLibCurlAppendHeader(HXLibCurl::kHeaderStandard, extraHeader.c_str());
    const std::string url = endpoints::metadataEndpoint() + path;
    answer.sent = httpClient->HXLibCurlSendHttpReq(type, url.c_str(), nullptr, 0, true, nullptr);
    answer.status = httpClient->m_httpStatus;
    httpClient->takeHttpResponse(answer.body);
    deleteCurlObject();
    return answer;
}

// The session token of the token-based metadata service, or empty when the
// service only speaks the plain form (or not at all).
std::string AwsRequestService::metadataToken() {
    MetadataAnswer answer = metadataRequest(HXLibCurl::kPut, kTokenPath, "X-aws-ec2-metadata-token-ttl-seconds: 21600");
    if (!answer.sent || answer.status != 200) return std::string();
    return answer.body;
}

bool AwsRequestService::credsFromMetadata(AmazonCredentials& credentials) {
    if (endpoints::metadataDisabled()) {
        environment.log("credsFromMetadata", "The instance metadata service is disabled by AWS_EC2_METADATA_DISABLED");
        return false;
    }
    if (!initCurlObject("text/plain")) {
        environment.log("credsFromMetadata", "Failed to initialize the curl object");
        return false;
    }
    deleteCurlObject();
    const std::string token = metadataToken();
    const std::string tokenHeader = token.empty() ? std::string() : "X-aws-ec2-metadata-token: " + token;

    MetadataAnswer roles = metadataRequest(HXLibCurl::kGet, kCredentialsPath, tokenHeader);
    if (!roles.sent || roles.body.empty() || roles.status != 200) return false;
    const std::string role = roles.body.substr(0, roles.body.find('\n'));

    if (!initCurlObject("text/plain")) {
        environment.log("credsFromMetadata", "Failed to initialize the curl object (text/plain)");
        return false;
    }
    MetadataAnswer keys = metadataRequest(HXLibCurl::kGet, kCredentialsPath + role, tokenHeader);
    if (!keys.sent || keys.body.empty() || keys.status != 200) {
        environment.log("credsFromMetadata", "Failed to obtain security credentials, responseSize=" +
                                                 std::to_string(keys.body.size()) +
                                                 ", httpError=" + std::to_string(keys.status));
        return false;
    }

    if (!readMetadataCredentials(keys.body, credentials)) {
        environment.log("credsFromMetadata", "The security credentials of role " + role +
                                                 " lack AccessKeyId, SecretAccessKey, Token or Expiration");
        return false;
    }

    credentials.source = instanceMetadataSource();
    if (isSTSAssumeRole(credentials)) return getSessionTokenSTS(credentials);
    return true;
}

bool AwsRequestService::getSessionTokenSTS(AmazonCredentials& credentials) {
    if (!credentials.isAssumeRole) {
        environment.log("getSessionTokenSTS", "This is not an STS Assume Role scenario");
        return false;
    }
    endpoints::RoleArn arn;
    std::string error;
    if (!endpoints::parseRoleArn(credentials.roleArn, arn, error)) {
        environment.log("getSessionTokenSTS", error);
        environment.setFailure(error);
        return false;
    }
    // STS of the role's own partition, in the region when it is of that
    // partition; a region of another partition cannot reach the role.
    if (!credentials.region.empty() && &endpoints::partitionOfRegion(credentials.region) != arn.partition) {
        error = "role " + credentials.roleArn + " is in partition " + arn.partition->name + ", but region " +
                credentials.region + " is in " + endpoints::partitionOfRegion(credentials.region).name +
                ": give a region of the role's partition";
        environment.log("getSessionTokenSTS", error);
        environment.setFailure(error);
        return false;
    }
    AmazonRequest request;
    request.credentials = credentials;
    request.scheme = "https://";
    request.path = "/";
    request.method = 0;
    request.domainSuffix = arn.partition->domain;
    request.service = "sts";
    request.headers["Content-Type"] = "application/json";

    deleteCurlObject();
    if (!initCurlObject("application/json")) {
        environment.log("getSessionTokenSTS", "Curl initialization failed");
        return false;
    }
    request.headers["Accept"] = "application/json";
    if (credentials.region.empty() && std::string(arn.partition->name) == "aws") {
        environment.log("getSessionTokenSTS", "using the STS global site because there is no region");
        request.host = endpoints::kGlobalStsHost;
    } else if (credentials.region.empty()) {
        request.credentials.region = arn.partition->defaultRegion;
        request.host = std::string("sts.") + arn.partition->defaultRegion + arn.partition->domain;
        environment.log("getSessionTokenSTS", "using STS of " + request.credentials.region +
                                                  " because there is no region");
    } else {
        request.host = "sts." + credentials.region + request.domainSuffix;
    }
    request.queryParameters["Action"] = "AssumeRole";
    request.queryParameters["RoleArn"] = credentials.roleArn;
    request.queryParameters["RoleSessionName"] =
        credentials.roleSessionName.empty() ? std::string("ZNTR") : credentials.roleSessionName;
    if (!credentials.externalId.empty()) request.queryParameters["ExternalId"] = credentials.externalId;
    if (credentials.durationSeconds > 0)
        request.queryParameters["DurationSeconds"] = std::to_string(credentials.durationSeconds);
    request.queryParameters["Version"] = "2011-06-15";
    environment.log("getSessionTokenSTS", "The STS site will be " + request.host + " using ARN " + credentials.roleArn);

    AmazonResponse response = execute(request);
    if (response.httpCode != 200) {
        const std::string message = "STS Assume role failed with " + std::to_string(response.httpCode) +
                                    (response.failure.empty() ? std::string() : ": " + response.failure);
        environment.log("getSessionTokenSTS", message);
        environment.setFailure(message);
        return false;
    }

    std::string missing;
    if (!readAssumeRoleAnswer(response.body, credentials, missing)) {
        environment.log("getSessionTokenSTS", "JSON '" + loggableBody(response.body) + "' is missing " + missing);
        return false;
    }
    return true;
}

std::string AwsRequestService::regionFromMetadata() {
    if (endpoints::metadataDisabled()) return std::string();
    const std::string token = metadataToken();
    MetadataAnswer zone =
        metadataRequest(HXLibCurl::kGet, kZonePath, token.empty() ? std::string() : "X-aws-ec2-metadata-token: " + token);
    if (!zone.sent || zone.body.empty() || zone.status != 200) return std::string();
    zone.body.pop_back();
    return zone.body;
}

namespace {

class InstanceMetadataSource : public CredentialSource {
public:
    std::string name() const override { return "instance metadata"; }
    bool renew(TeskEnvironment& environment, AmazonCredentials& credentials) const override {
        AwsRequestService service(environment);
        return service.credsFromMetadata(credentials);
    }
};

} // namespace

std::shared_ptr<const CredentialSource> instanceMetadataSource() {
    static const std::shared_ptr<const CredentialSource> source = std::make_shared<InstanceMetadataSource>();
    return source;
}
