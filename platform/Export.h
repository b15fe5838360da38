#pragma once
// Marks what the agent module (libddb_agent.so) offers a host that loads
// it. Everything is built with hidden visibility, and the module's version
// script (agent/module.map) lets out only these names: what is not marked
// here is no part of the module's interface and may change at will.
#define DDB_EXPORT __attribute__((visibility("default")))
