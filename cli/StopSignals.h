#pragma once
// Ctrl-C and SIGTERM ask a long command to stop where it can still say what
// it did: a backup records where each segment stopped, a restore puts the
// write capacity back. A second signal ends the process at once.

#include <atomic>

// Set by the first signal once catchStopSignals was called.
std::atomic<bool>& stopRequested();

// From now on the first SIGINT or SIGTERM sets the flag and prints `notice`
// (a text that lives as long as the process) on stderr.
void catchStopSignals(const char* notice);
