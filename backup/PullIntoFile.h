#pragma once
// The diagnostic both runners' testBufferedMode share: pull a buffered
// output dry in 41-byte steps into a file, counting the lines that came.

#include <string>

#include "framework/TeskBufferedOutput.h"
#include "framework/TeskEnvironment.h"

void pullIntoFile(TeskBufferedOutput& output, const std::string& fileName, TeskEnvironment& environment);
