// lpp.print, lpp.debug and lpp.dispatch, each a reading of its arguments and
// a C++ work joined by the binding library's wrapper (lppLuaFunction).
//
// None of them allocates in Lua or runs a metamethod before its work is done.
// A script reaches these functions' frames with the debug library only from
// code that runs meanwhile, and the only such code would be a finaliser run
// by a collector step, which only an allocation starts: so the arguments and
// every pointer into them stay as read. The checks that can raise (the
// plugin reference, the channels' type) come first, in the reading, while no
// C++ object with a destructor lives in the frame. The wrapper runs the work
// with every exception caught and raises the error text once it has left it.
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include <vessixd.hpp>

#include "lpp-binding.hpp"
#include "lpp-script.hpp"

namespace {

// Metatable of the userdata that holds a closure's reference to the tag.
const char *const lppPluginRefMetatable = "lpp.plugin_reference";

// The reference does not own the tag: there is nothing to release.
int ReleaseNothing(lua_State *) { return 0; }

// Registry key of the references' metatable, besides its name: the plugin
// reads it back raw, never through the registry's metamethods.
const char lppPluginRefMetatableKey = 0;

void PushPluginClosure(lua_State *L, const std::string *tag, lua_CFunction function)
{
    void *memory = lua_newuserdatauv(L, sizeof(tag), 0);
    if (reinterpret_cast<std::uintptr_t>(memory) % alignof(const std::string *) != 0)
        luaL_error(L, "cannot properly align memory for '%s'", lppPluginRefMetatable);
    std::memcpy(memory, &tag, sizeof(tag));
    if (luaL_newmetatable(L, lppPluginRefMetatable)) {
        lua_pushcfunction(L, ReleaseNothing);
        lua_setfield(L, -2, "__gc");
        lua_pushvalue(L, -1);
        lua_rawsetp(L, LUA_REGISTRYINDEX, &lppPluginRefMetatableKey);
    }
    lua_setmetatable(L, -2);
    lua_pushcclosure(L, function, 1);
}

// The debug library lets a script replace a closure's upvalue; anything but
// a reference of our making is refused rather than read as one. The check
// reads raw and allocates nothing: no script code runs between it and the
// use of the pointer.
const std::string *UpvalueTag(lua_State *L)
{
    const int reference = lua_upvalueindex(1);
    bool ours = lua_type(L, reference) == LUA_TUSERDATA && lua_rawlen(L, reference) == sizeof(std::string *) &&
        lua_getmetatable(L, reference);
    if (ours) {
        lua_rawgetp(L, LUA_REGISTRYINDEX, &lppPluginRefMetatableKey);
        ours = lua_rawequal(L, -1, -2);
        lua_pop(L, 2);
    }
    if (!ours) luaL_error(L, "plugin reference lost");
    const std::string *tag = nullptr;
    std::memcpy(&tag, lua_touserdata(L, reference), sizeof(tag));
    return tag;
}

// print and debug: the tag and the message.
struct WriteArgs {
    const std::string *tag;
    const char *message;
    std::size_t length;
    lppNumberText number;
};

void ReadWrite(lua_State *L, WriteArgs &args)
{
    args.tag = UpvalueTag(L);
    args.message = lppArgString(L, 1, &args.length, args.number);
}

// print and debug differ in the log they write to only.
template <void (*Log)(const char *format, ...)>
void Write(lua_State *, const WriteArgs &args, const char *&)
{
    Log("%s: %s\n", args.tag->c_str(), args.message);
}

// dispatch: the channels stay at index 2, walked by the work; format and
// compressor as the daemon's flags.
struct DispatchArgs {
    const char *target;
    std::size_t target_length;
    const char *payload;
    std::size_t payload_length;
    std::uint8_t flags;
    lppNumberText target_number;
    lppNumberText payload_number;
};

void ReadDispatch(lua_State *L, DispatchArgs &args)
{
    // Not luaL_checktype: its message is built with allocations and raw
    // reads of a metatable, between which a finaliser could replace that
    // metatable in this frame.
    const int channels_type = lua_type(L, 2);
    if (channels_type != LUA_TTABLE)
        luaL_error(L, "bad argument #2 to 'dispatch' (table expected, got %s)", lua_typename(L, channels_type));
    args.target = lppArgString(L, 1, &args.target_length, args.target_number);
    args.payload = lppArgString(L, 3, &args.payload_length, args.payload_number);
    const std::uint32_t format = lppArgUnsigned(L, 4);
    if (format == LPP_FORMAT_JSON)
        args.flags |= static_cast<std::uint8_t>(vdPlugin::DispatchFlags::FORMAT_JSON);
    else if (format == LPP_FORMAT_MSGPACK)
        args.flags |= static_cast<std::uint8_t>(vdPlugin::DispatchFlags::FORMAT_MSGPACK);
    if (lppArgUnsigned(L, 5) == LPP_COMPRESSOR_GZIP)
        args.flags |= static_cast<std::uint8_t>(vdPlugin::DispatchFlags::GZ_DEFLATE);
}

void Dispatch(lua_State *L, const DispatchArgs &args, const char *&step)
{
    // The walk pushes copies of keys and values and nothing else: it
    // allocates nothing and runs no script code, so the table cannot
    // change under it and lua_next never meets a key it does not know.
    std::set<std::string> channels;
    lppNumberText number;
    lua_pushnil(L);
    while (lua_next(L, 2) != 0) {
        std::size_t length = 0;
        const char *name = lppArgString(L, -1, &length, number);
        channels.emplace(name, length);
        lua_pop(L, 1);
    }
    std::string target(args.target, args.target_length);
    // Only the host's failure is a dispatch exception; a failure to build
    // the arguments keeps its own text.
    step = "dispatch exception";
    // The payload is handed over where it lies: its string stays at index 3
    // (a number's text in args) until the call returns.
    vdPlugin::DispatchSinkPayload(target, channels, args.payload_length,
        reinterpret_cast<const unsigned char *>(args.payload), vdFlags<vdPlugin::DispatchFlags>(args.flags));
}

}  // namespace

void lppScriptInstall(lua_State *L, const std::string *tag)
{
    lua_newtable(L);
    PushPluginClosure(L, tag, lppLuaFunction<WriteArgs, ReadWrite, Write<vd_dprintf>>);
    lua_setfield(L, -2, "debug");
    PushPluginClosure(L, tag, lppLuaFunction<WriteArgs, ReadWrite, Write<vd_printf>>);
    lua_setfield(L, -2, "print");
    lua_pushcfunction(L, (lppLuaFunction<DispatchArgs, ReadDispatch, Dispatch>));
    lua_setfield(L, -2, "dispatch");
    lua_setglobal(L, "lpp");
}

namespace {

// lpp.worker(): the upvalues may have been replaced through the debug
// library, so each is checked to be an integer before it is returned.
// [-0, +2, v]
int Worker(lua_State *L)
{
    if (!lua_isinteger(L, lua_upvalueindex(1)) || !lua_isinteger(L, lua_upvalueindex(2)))
        return luaL_error(L, "worker number lost");
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_pushvalue(L, lua_upvalueindex(2));
    return 2;
}

}  // namespace

void lppScriptInstallWorker(lua_State *L, lua_Integer number, lua_Integer count)
{
    if (lua_getglobal(L, "lpp") != LUA_TTABLE) luaL_error(L, "lpp is not a table");
    lua_pushinteger(L, number);
    lua_pushinteger(L, count);
    lua_pushcclosure(L, Worker, 2);
    lua_setfield(L, -2, "worker");
    lua_pop(L, 1);
}
