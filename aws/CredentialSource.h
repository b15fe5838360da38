#pragma once
// Where temporary credentials came from, so that code that does not know
// their source (the request envelope, the shared refresh) can renew them.
// It sits below the signer and the service frame; each source implements it
// above them.

#include <string>

class TeskEnvironment;
struct AmazonCredentials;

class CredentialSource {
public:
    virtual ~CredentialSource() = default;
    // What the credentials came from, for the log; never a secret.
    virtual std::string name() const = 0;
    // Replaces `credentials` with fresh ones from this source; false, with
    // the reason logged in `environment`, when it cannot.
    virtual bool renew(TeskEnvironment& environment, AmazonCredentials& credentials) const = 0;
};
