#include "aws/CredentialRefresh.h"

#include <map>
#include <mutex>
#include <tuple>

#include "aws/CredentialSource.h"

bool credentialsDueForRefresh(const AmazonCredentials& credentials, int64_t now) {
    return credentials.expiration > 0 && now + kCredentialRefreshMarginSeconds >= credentials.expiration;
}

bool isExpiredCredentialsError(const std::string& body) {
    for (const char* type : {"ExpiredToken", "RequestExpired"})
        if (body.find(type) != std::string::npos) return true;
    return false;
}

namespace {

// Which credentials were replaced, in which environment: the key id and
// expiry identify one issue of temporary credentials.
using Issue = std::tuple<const TeskEnvironment*, std::string, std::string, std::string, int64_t>;

std::mutex refreshMutex;
std::map<Issue, AmazonCredentials> replacements; // guarded by refreshMutex

} // namespace

bool refreshCredentials(TeskEnvironment& environment, AmazonCredentials& credentials) {
    if (credentials.expiration <= 0 || !credentials.source) {
        environment.log("refreshCredentials",
                        "the credentials have no expiry and no source to renew them from; renew the session token "
                        "given in the environment, or use a role or an instance profile");
        return false;
    }
    const Issue issue{&environment, credentials.roleArn, credentials.region, credentials.accessKeyId,
                      credentials.expiration};
    std::lock_guard<std::mutex> guard(refreshMutex);
    auto found = replacements.find(issue);
    if (found != replacements.end() && !credentialsDueForRefresh(found->second, environment.clock().now())) {
        credentials = found->second;
        return true;
    }
    environment.log("refreshCredentials", "Updating credentials");
    AmazonCredentials fresh = credentials;
    if (!credentials.source->renew(environment, fresh)) {
        environment.log("refreshCredentials",
                        "the credentials could not be renewed from their source (" + credentials.source->name() + ")");
        return false;
    }
    environment.log("refreshCredentials", "Credentials have been updated");
    replacements[issue] = fresh;
    credentials = fresh;
    return true;
}
