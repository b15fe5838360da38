#pragma once
// The store a command works on: a local folder, or s3://BUCKET[/PREFIX]
// signed with the credentials the AWS options resolve.

#include <cstdint>
#include <memory>
#include <string>

#include "cli/CommonOptions.h"
#include "store/StoreBackend.h"

// Null, with the message printed, when the store cannot be used. With
// `mustExist` (every command but backup) a local folder must already be a
// store, so that a typo never reads as an empty store; an S3 store's bucket
// must answer a listing either way.
// `partSize` (S3 only; 0 for the default) is the size of a multipart upload's parts.
std::shared_ptr<StoreBackend> openStore(const char* command, const std::string& store, const AwsOptions& aws,
                                        const Verbosity& verbosity, bool mustExist, uint64_t partSize = 0);
