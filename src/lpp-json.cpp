// JSON-to-Lua conversion.
#include "lpp-plugin.hpp"

lppLuaRef CreateLuaValue(lua_State *, const json &) { return lppLuaRef(); }
