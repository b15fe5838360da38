#include "framework/DefaultEnvironments.h"

// Function-local statics: built on first use, so no load-order trap.
TeskPrototypeEnvironment& dummyEnv1() {
    static TeskPrototypeEnvironment environment("");
    return environment;
}
TeskPrototypeEnvironment& dummyEnvFull() {
    static TeskPrototypeEnvironment environment("");
    return environment;
}
TeskPrototypeEnvironment& dummyEnvIncr() {
    static TeskPrototypeEnvironment environment("");
    return environment;
}
TeskPrototypeEnvironment& dummyEnvRestore() {
    static TeskPrototypeEnvironment environment("");
    return environment;
}
