#pragma once
// An output that only notes whether any data was written to it.

#include "framework/TeskOutput.h"

class EmptyCheckerOutput : public TeskOutput {
public:
    using TeskOutput::TeskOutput;
    bool putString(const std::string& data) override {
        if (!data.empty()) dataWritten = true;
        return true;
    }
    void updateRestart(const std::string&) override {}
    bool flush() override { return true; }
    bool close(const std::string&) override { return true; }
    bool wasDataWritten() const { return dataWritten; }

private:
    bool dataWritten = false;
};
