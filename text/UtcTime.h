#pragma once
// Points in time as users write them: ISO 8601, to the second.

#include <cstdint>
#include <string>

// "2026-12-09T01:58:02Z".
std::string utcText(int64_t seconds);

// Seconds since the epoch of "YYYY-MM-DDTHH:MM[:SS[.fraction]]" followed by
// "Z" or an offset ("+01:00", "-0530", "+01"); a space may stand for the
// "T", and a fraction is dropped (the time is that second). False with a
// reason for anything else, a time without a zone included: it would mean a
// different second on every machine.
bool parseUtcTime(const std::string& text, int64_t& seconds, std::string& error);
