#pragma once
// One HTTP exchange with an AWS endpoint, and its result.

#include <map>
#include <string>

#include "aws/AmazonCredentials.h"

struct AmazonRequest {
    AmazonCredentials credentials; // signing keys; its region is the signing region
    std::string domainSuffix;      // endpoint domain with its leading dot
    int method = 1;                // HXLibCurl::RequestType: 0 GET, 1 POST, 2 PUT, 3 DELETE, 4 HEAD
    std::string scheme = "https://";
    std::string host;
    std::string path = "/";
    std::string query; // canonical query without "?"; rebuilt when queryParameters is set
    std::string body;  // sent only with POST and PUT
    std::string service;
    bool sign = true;  // false for the few calls that carry no signature (AssumeRoleWithWebIdentity)
    bool keepResponseHeaders = false; // fills AmazonResponse::headers
    std::map<std::string, std::string> headers;         // byte-wise ordered names
    std::map<std::string, std::string> queryParameters; // unescaped
};

struct AmazonResponse {
    // True only when the transfer succeeded and the status was 2xx.
    bool success = false;
    // HTTP status; 500 for a 200 with a transport failure; 600 when no
    // request could be made at all.
    int httpCode = 0;
    std::string body;
    std::map<std::string, std::string> headers; // names lower case; when the request asked
    // With status 600: why nothing came back (the endpoint, libcurl's words
    // for the last failure and how long it was tried), for the error a user
    // reads. Empty otherwise.
    std::string failure;
};
