// The functions that scripts call through the global table lpp, each made
// with the binding library's wrapper lppLuaFunction (lpp-binding.hpp).
#pragma once

#include <string>

#include <lua.hpp>

// The format and compressor arguments of lpp.dispatch.
enum : lua_Integer {
    LPP_FORMAT_RAW = 0,       // the payload as given
    LPP_FORMAT_JSON = 1,      // JSON text
    LPP_FORMAT_MSGPACK = 2,   // MessagePack
    LPP_COMPRESSOR_NONE = 0,  // sent as it is
    LPP_COMPRESSOR_GZIP = 1,  // gzip-compressed by the sink
};

// Creates the global table lpp with its fields debug, print and dispatch, in
// that order. Raises Lua errors (memory, alignment): call it inside a
// protected call. [-0, +0, e]
//
// lpp.print(message) and lpp.debug(message): one line "<tag>: <message>" in
// the daemon's log, the debug log for lpp.debug. Each keeps a non-owning
// reference to tag, which must outlive the state, in upvalue 1; a value put
// there in its place is refused with "plugin reference lost". A failure of
// the log raises its text. [-0, +0, v]
//
// lpp.dispatch(target, channels, payload, format, compressor): hands the
// payload to the daemon's sinks. The host's failure raises "lua: error:
// dispatch exception: <text>"; a failure to build its arguments, the text as
// it is. [-0, +0, v]
void lppScriptInstall(lua_State *L, const std::string *tag);

// Adds lpp.worker to the global table lpp: a function that returns number
// and count, this state's worker and the number of workers. Both are kept
// in its upvalues; anything else put there is refused with "worker number
// lost". Raises Lua errors (memory): call it inside a protected call.
// [-0, +0, e]
void lppScriptInstallWorker(lua_State *L, lua_Integer number, lua_Integer count);
