// The debug library as scripts see it: Lua's own, with every function that
// could reach the state of C code replaced by one that refuses with a Lua
// error in the calling script. A C function trusts its upvalues, its stack
// slots and the registry to hold what it put there, and C code identifies its
// userdata by their metatables: a script that changed any of these would make
// a C function use a value as what it is not. What stays is what cannot break
// memory: tracebacks, getinfo, hooks, the locals and upvalues of Lua functions
// and Lua frames, the metatables of values other than userdata.
#pragma once

#include <lua.hpp>

// Replaces, in the debug library that the state has loaded (package.loaded
// and the global "debug", the same table), getupvalue, setupvalue, upvalueid,
// upvaluejoin, getlocal, setlocal, getregistry, setmetatable and
// setuservalue with their guarded versions. Lua's functions are light C
// functions that nothing else holds: once replaced, no script reaches them.
// Call it after the standard libraries are open and before any script runs;
// a state without the debug library is left as it is. [-0, +0, m]
void lppGuardDebugLibrary(lua_State *L);
