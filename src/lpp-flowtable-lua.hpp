// Building blocks of flow tables that run inside a protected call: the JSON
// converter that fills Lua tables without recursing on the C stack, and the
// per-state build thread that holds the key strings and the tables under
// construction.
#pragma once

#include <cstddef>
#include <vector>

#include <lua.hpp>

#include <vessixd.hpp>

// One container being converted: the JSON node and how far it has been walked.
struct lppJsonFrame {
    const json *node;
    std::size_t index;                          // arrays: elements stored so far
    json::object_t::const_iterator member;      // objects: next member
};

// Scratch of the converter, owned outside the protected call so that nothing
// with a destructor lives in the protected body.
using lppJsonFrames = std::vector<lppJsonFrame>;

// Pushes value converted to Lua. Protected body only; frames is scratch (its
// growth may throw std::bad_alloc, which the protected call carries out).
void lppPushJsonValue(lua_State *L, const json &value, lppJsonFrames &frames);

// Stores each member of the JSON object doc in the table on top of the stack,
// converted as lppPushJsonValue does; a document that is not an object adds
// nothing. The table stays on top. Protected body only.
void lppStoreJsonMembers(lua_State *L, const json &doc, lppJsonFrames &frames);

// Pushes onto L, outside any Lua call, L's build thread and returns it: a
// private thread (lppPushPrivateThread) whose stack holds the string of
// lppFlowString i (lpp-flowtable-schema.hpp) at index i. Flow tables and JSON
// values are built on its stack above them, where neither they nor the strings can be reached by a
// script's finaliser that the building runs; the finished value is moved off
// before anything else allocates. A memory error throws lppLuaError.
lua_State *lppPushBuildThread(lua_State *L);
