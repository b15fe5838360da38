#include "ZoSleep.h"

#include "Clock.h"

void ZOSLEEP(uint64_t ms) { systemClock().sleepMs(ms); }
