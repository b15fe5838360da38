#pragma once
// Keeps temporary credentials (from the instance metadata service or STS)
// valid through jobs that outlive them: an assumed role or an instance
// profile lasts about an hour.

#include <cstdint>
#include <string>

#include "aws/AmazonCredentials.h"
#include "framework/TeskEnvironment.h"

// Credentials are refreshed this long before they expire, so that no
// request is signed with keys about to lapse, nor retried past their end.
constexpr int64_t kCredentialRefreshMarginSeconds = 5 * 60;

// Whether temporary `credentials` are to be refreshed at second `now`.
// Credentials without a known expiry (long-term keys, or a session token from
// the environment) never are.
bool credentialsDueForRefresh(const AmazonCredentials& credentials, int64_t now);

// Whether an AWS error answer says the request's credentials or signature
// have expired (ExpiredToken, ExpiredTokenException, RequestExpired).
bool isExpiredCredentialsError(const std::string& body);

// Replaces `credentials` with fresh ones from their source (see
// CredentialSource). The workers of
// one environment refresh once: the first refreshes under a lock, and the
// others, holding the same credentials, take its result. False, logged, when
// the source fails or the credentials have no source to refresh from.
bool refreshCredentials(TeskEnvironment& environment, AmazonCredentials& credentials);
