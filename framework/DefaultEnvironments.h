#pragma once
// Environments that exist from load time, with empty names, for objects that
// are built before the host hands them a job environment.

#include "framework/TeskPrototypeEnvironment.h"

TeskPrototypeEnvironment& dummyEnv1();
TeskPrototypeEnvironment& dummyEnvFull();
TeskPrototypeEnvironment& dummyEnvIncr();
TeskPrototypeEnvironment& dummyEnvRestore();
