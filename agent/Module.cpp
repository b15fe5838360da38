// The agent module, libddb_agent.so, is the ddb_agent archive linked whole
// (with the layers below it); its interface is module.map. CMake wants one
// source of the module's own, and this is it.
