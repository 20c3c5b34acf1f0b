// Lua runtime build: libraries, constants, the lpp table, the script.
#include "lpp-plugin.hpp"

void lppPlugin::BuildRuntime() { throw vdException("%s: runtime build not available", tag.c_str()); }

bool lppPlugin::ScriptHasFunction(const std::string &) { return false; }
