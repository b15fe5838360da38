#pragma once
// What the commands share: the AWS options (region, credentials, transport
// limits), how much they say on stderr, and the exit statuses.

#include <string>

#include <CLI/CLI.hpp>

#include "aws/AmazonCredentials.h"

// The exit statuses of every command.
enum ExitStatus {
    kExitOk = 0,
    kExitFailed = 1,       // a job failed, or a check found damage
    kExitUsage = 2,        // usage or configuration
    kExitStopped = 3,      // stopped on request: a backup can be resumed, a restore run again
    kExitCapacityLeft = 4, // the data is complete, but a capacity was not put back
};

struct Verbosity {
    bool verbose = false; // copy the job log to stderr
    bool quiet = false;   // errors only: no progress, no summaries
};
void addVerbosityOptions(CLI::App& command, Verbosity& verbosity);

struct AwsOptions {
    std::string region;
    std::string profile;
    std::string roleArn;
    std::string roleSessionName;
    std::string externalId;
    int retrySeconds = 60;
    int connectTimeout = 10;
    int stallSeconds = 30;
};
void addAwsOptions(CLI::App& command, AwsOptions& options);

// Applies the transport limits process-wide, then resolves the region
// (unless `region` is already set) and the credentials for it. False with
// the message printed (the command exits with kExitUsage).
bool resolveAws(const char* command, const AwsOptions& options, const Verbosity& verbosity, std::string& region,
                AmazonCredentials& credentials);

// Adds `--store`: a folder, or s3://BUCKET[/PREFIX]. A value that names
// another URL scheme is refused as usage, so `gs://bucket` never becomes a
// local folder named "gs:" that every command then reports as fine.
CLI::Option* addStoreOption(CLI::App& command, std::string& store, const std::string& description);

// False, with the message printed, when `store` is not an existing store
// folder: reading commands never take a typo for an empty store.
bool requireStore(const char* command, const std::string& store);

bool isTableName(const std::string& name);
bool isRegionName(const std::string& name);
