// The guarded functions of the debug library. Each checks its arguments as
// Lua's own does, in the same order and with the same messages, so scripts
// see the manual's behaviour wherever nothing is refused. They work from the
// C API (lua_getstack, lua_getlocal...) directly rather than calling Lua's
// functions: a call through them would add a frame and shift every level.
#include "lpp-debug-guard.hpp"

#include <cstring>
#include <iterator>

namespace {

// Raises the refusal of a debug function: "debug.<name>: <why>", with the
// position of the script's call in front. [-0, +0, v]
int Refuse(lua_State *L, const char *name, const char *why)
{
    return luaL_error(L, "debug.%s: %s", name, why);
}

const char *const kCUpvalues = "upvalues of C functions are not accessible";
const char *const kCLocals = "locals of C functions are not accessible";

// The thread the function works on and the index of the first argument after
// it: a thread as first argument, or the running one. [-0, +0, -]
lua_State *TargetThread(lua_State *L, int *arg)
{
    if (lua_isthread(L, 1)) {
        *arg = 1;
        return lua_tothread(L, 1);
    }
    *arg = 0;
    return L;
}

// Makes room for n values on another thread's stack. [-0, +0, v]
void CheckOtherStack(lua_State *L, lua_State *L1, int n)
{
    if (L != L1 && !lua_checkstack(L1, n)) luaL_error(L, "stack overflow");
}

// The frame at level of L1 in ar, or the argument error Lua's functions
// raise for a level out of range. [-0, +0, v]
void FrameAt(lua_State *L, lua_State *L1, int level, int level_arg, lua_Debug *ar)
{
    if (!lua_getstack(L1, level, ar)) luaL_argerror(L, level_arg, "level out of range");
}

// Whether the frame in ar runs a C function. Its stack slots are that
// function's own: values it has not checked since it put them there, such
// as the buffer box a string function is writing into. [-0, +0, -]
bool RunsC(lua_State *L1, lua_Debug *ar)
{
    lua_getinfo(L1, "S", ar);
    return ar->what != nullptr && std::strcmp(ar->what, "C") == 0;
}

// Checks that argument index is a Lua function, as the upvalue functions
// need: a C function's upvalues hold its private state (the position of a
// gmatch iterator, a file, a plugin reference). [-0, +0, v]
void CheckLuaFunction(lua_State *L, int index, const char *name)
{
    luaL_checktype(L, index, LUA_TFUNCTION);
    if (lua_iscfunction(L, index)) Refuse(L, name, kCUpvalues);
}

// debug.getupvalue (f, up) and debug.setupvalue (f, up, value).
int AuxUpvalue(lua_State *L, bool get)
{
    const int n = static_cast<int>(luaL_checkinteger(L, 2));
    CheckLuaFunction(L, 1, get ? "getupvalue" : "setupvalue");
    const char *name = get ? lua_getupvalue(L, 1, n) : lua_setupvalue(L, 1, n);
    if (name == nullptr) return 0;
    lua_pushstring(L, name);
    lua_insert(L, get ? -2 : -1);
    return get ? 2 : 1;
}

int GetUpvalue(lua_State *L)
{
    return AuxUpvalue(L, true);
}

int SetUpvalue(lua_State *L)
{
    luaL_checkany(L, 3);
    return AuxUpvalue(L, false);
}

// The identity of upvalue up of the Lua function at argf (its index in
// argnup); null when there is no such upvalue. [-0, +0, v]
void *CheckedUpvalueId(lua_State *L, int argf, int argnup, const char *name)
{
    const int n = static_cast<int>(luaL_checkinteger(L, argnup));
    CheckLuaFunction(L, argf, name);
    return lua_upvalueid(L, argf, n);
}

// debug.upvalueid (f, n)
int UpvalueId(lua_State *L)
{
    void *id = CheckedUpvalueId(L, 1, 2, "upvalueid");
    if (id != nullptr)
        lua_pushlightuserdata(L, id);
    else
        luaL_pushfail(L);
    return 1;
}

// debug.upvaluejoin (f1, n1, f2, n2)
int UpvalueJoin(lua_State *L)
{
    luaL_argcheck(L, CheckedUpvalueId(L, 1, 2, "upvaluejoin") != nullptr, 2, "invalid upvalue index");
    luaL_argcheck(L, CheckedUpvalueId(L, 3, 4, "upvaluejoin") != nullptr, 4, "invalid upvalue index");
    lua_upvaluejoin(L, 1, static_cast<int>(lua_tointeger(L, 2)), 3, static_cast<int>(lua_tointeger(L, 4)));
    return 0;
}

// debug.getlocal ([thread,] f, local): a function value gives its parameter
// names, as Lua's does; a level gives the local of a Lua frame.
int GetLocal(lua_State *L)
{
    int arg = 0;
    lua_State *L1 = TargetThread(L, &arg);
    const int nvar = static_cast<int>(luaL_checkinteger(L, arg + 2));
    if (lua_isfunction(L, arg + 1)) {
        lua_pushvalue(L, arg + 1);
        lua_pushstring(L, lua_getlocal(L, nullptr, nvar));
        return 1;
    }
    lua_Debug ar;
    const int level = static_cast<int>(luaL_checkinteger(L, arg + 1));
    FrameAt(L, L1, level, arg + 1, &ar);
    if (RunsC(L1, &ar)) return Refuse(L, "getlocal", kCLocals);
    CheckOtherStack(L, L1, 1);
    const char *name = lua_getlocal(L1, &ar, nvar);
    if (name == nullptr) {
        luaL_pushfail(L);
        return 1;
    }
    lua_xmove(L1, L, 1);
    lua_pushstring(L, name);
    lua_rotate(L, -2, 1);
    return 2;
}

// Whether the slot a Lua frame names so is the virtual machine's own: a
// temporary or a loop's state, which the next instruction uses without
// checking its type (the table a constructor fills, a loop's counters).
// Named locals and varargs are the script's. [-0, +0, -]
bool IsMachineSlot(const char *name)
{
    return name[0] == '(' && std::strcmp(name, "(vararg)") != 0;
}

// debug.setlocal ([thread,] level, local, value)
int SetLocal(lua_State *L)
{
    int arg = 0;
    lua_State *L1 = TargetThread(L, &arg);
    lua_Debug ar;
    const int level = static_cast<int>(luaL_checkinteger(L, arg + 1));
    const int nvar = static_cast<int>(luaL_checkinteger(L, arg + 2));
    FrameAt(L, L1, level, arg + 1, &ar);
    luaL_checkany(L, arg + 3);
    if (RunsC(L1, &ar)) return Refuse(L, "setlocal", kCLocals);
    lua_settop(L, arg + 3);
    // One slot for the look at the local's name, then one for the value.
    CheckOtherStack(L, L1, 1);
    const char *current = lua_getlocal(L1, &ar, nvar);
    if (current != nullptr) {
        lua_pop(L1, 1);
        if (IsMachineSlot(current))
            return Refuse(L, "setlocal", "temporaries of the virtual machine are not accessible");
    }
    lua_xmove(L, L1, 1);
    const char *name = lua_setlocal(L1, &ar, nvar);
    if (name == nullptr) lua_pop(L1, 1);
    lua_pushstring(L, name);
    return 1;
}

// debug.getregistry (): the registry holds Lua's own entries (the main
// thread, the global table, the loaded modules and C libraries) and the
// plugin's, which C code reads back as it stored them.
int GetRegistry(lua_State *L)
{
    return Refuse(L, "getregistry", "the registry is not accessible");
}

// debug.setmetatable (value, table): C code tells its userdata apart by
// their metatables (luaL_checkudata), and every light userdata shares one:
// another metatable on a userdata would pass one C type off as another.
int SetMetatable(lua_State *L)
{
    const int t = lua_type(L, 2);
    luaL_argexpected(L, t == LUA_TNIL || t == LUA_TTABLE, 2, "nil or table");
    const int kind = lua_type(L, 1);
    if (kind == LUA_TUSERDATA || kind == LUA_TLIGHTUSERDATA)
        return Refuse(L, "setmetatable", "metatables of userdata are not accessible");
    lua_settop(L, 2);
    lua_setmetatable(L, 1);
    return 1;
}

// debug.setuservalue (udata, value, n): only C code makes full userdata, and
// it reads their user values back as it stored them.
int SetUserValue(lua_State *L)
{
    static_cast<void>(luaL_optinteger(L, 3, 1));
    luaL_checktype(L, 1, LUA_TUSERDATA);
    luaL_checkany(L, 2);
    return Refuse(L, "setuservalue", "user values of userdata are not accessible");
}

const luaL_Reg kGuarded[] = {
    {"getupvalue", GetUpvalue},
    {"setupvalue", SetUpvalue},
    {"upvalueid", UpvalueId},
    {"upvaluejoin", UpvalueJoin},
    {"getlocal", GetLocal},
    {"setlocal", SetLocal},
    {"getregistry", GetRegistry},
    {"setmetatable", SetMetatable},
    {"setuservalue", SetUserValue},
};

}  // namespace

void lppGuardDebugLibrary(lua_State *L)
{
    luaL_checkstack(L, 3, nullptr);
    luaL_getsubtable(L, LUA_REGISTRYINDEX, LUA_LOADED_TABLE);
    if (lua_getfield(L, -1, LUA_DBLIBNAME) == LUA_TTABLE) {
        for (const luaL_Reg &function : kGuarded) {
            lua_pushcfunction(L, function.func);
            lua_setfield(L, -2, function.name);
        }
    }
    lua_pop(L, 2);
}
