#pragma once
#include <cstdint>

// Sleeps the calling thread for `ms` milliseconds on the real clock. For host
// code only: the engine waits through its environment's Clock instead.
void ZOSLEEP(uint64_t ms);
