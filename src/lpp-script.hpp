// The functions that scripts call through the global table lpp.
#pragma once

#include <lua.hpp>

class lppPlugin;

// The format and compressor arguments of lpp.dispatch.
enum : lua_Integer {
    LPP_FORMAT_RAW = 0,       // the payload as given
    LPP_FORMAT_JSON = 1,      // JSON text
    LPP_FORMAT_MSGPACK = 2,   // MessagePack
    LPP_COMPRESSOR_NONE = 0,  // sent as it is
    LPP_COMPRESSOR_GZIP = 1,  // gzip-compressed by the sink
};

// Creates the global table lpp with its fields debug, print and dispatch, in
// that order. debug and print keep a non-owning reference to plugin for its
// tag. Raises Lua errors (memory, alignment): call it inside a protected call.
void lppScriptInstall(lua_State *L, lppPlugin *plugin);

// lpp.print(message) and lpp.debug(message): one line "<tag>: <message>" in
// the daemon's log, the debug log for lpp.debug. Upvalue 1 is the plugin
// reference made by lppScriptInstall.
int lppScriptPrint(lua_State *L);
int lppScriptDebug(lua_State *L);

// lpp.dispatch(target, channels, payload, format, compressor): hands the
// payload to the daemon's sinks.
int lppScriptDispatch(lua_State *L);
