#include "management/HostEvents.h"

std::string tableRegionText(const std::string& region, const std::string& table) {
    return table + "[" + region + "]";
}

void raiseMinorEvent(TeskEnvironment& environment, const std::string& text) {
    environment.log("minorEvent", "event 0x4800006A (minor): " + text);
}

void raiseMajorEvent(TeskEnvironment& environment, const std::string& text) {
    environment.log("majorEvent", "event 0x4800006A (major): " + text);
}
