#pragma once
// The host's base for restoring backup files one by one: the host calls
// Process for each file and then feeds the file's bytes into currentInput.

#include <cstdint>
#include <memory>
#include <string>

#include "management/CZoError.h"
#include "management/RestoreTask.h"
#include "framework/TeskBufferedInput.h"

class CloudDBRemoteFileFactory {
public:
    virtual ~CloudDBRemoteFileFactory() = default;
    virtual void* createObject() { return nullptr; }
    virtual CZoError Initialize(int64_t jobId) = 0;
    // Prepares currentInput for `fileName`, or sets `skip` when the file
    // continues the input already prepared.
    virtual CZoError Process(CloudConnectionDetails& details, const std::string& fileName, bool& skip) = 0;

    std::shared_ptr<TeskBufferedInput> currentInput;
};
