#include "platform/ZoSleep.h"

#include "platform/Clock.h"

void ZOSLEEP(uint64_t ms) { systemClock().sleepMs(ms); }
