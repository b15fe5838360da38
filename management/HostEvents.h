#pragma once
// Events the engines raise for the host, and how they name a table in them.
// Our host records events in the job's log.

#include <string>

#include "framework/TeskEnvironment.h"

// table + "[" + region + "]"
std::string tableRegionText(const std::string& region, const std::string& table);

void raiseMinorEvent(TeskEnvironment& environment, const std::string& text);
void raiseMajorEvent(TeskEnvironment& environment, const std::string& text);
