#pragma once
// The diagnostic both runners' testBufferedMode share: pull a buffered
// output dry in 41-byte steps into a file, counting the lines that came.

#include <string>

#include "host/TeskBufferedOutput.h"
#include "host/TeskEnvironment.h"

void pullIntoFile(TeskBufferedOutput& output, const std::string& fileName, TeskEnvironment& environment);
