// lpp.print, lpp.debug and lpp.dispatch.
//
// None of them allocates in Lua or runs a metamethod before its work is done.
// A script reaches these functions' frames with the debug library only from
// code that runs meanwhile, and the only such code would be a finaliser run
// by a collector step, which only an allocation starts: so the arguments and
// every pointer into them stay as read. The checks that can raise (the
// plugin reference, the channels' type) come first, while no C++ object with
// a destructor lives in the frame. The C++ work runs afterwards in a block
// that catches every exception; the error text is kept outside the frame and
// raised as a Lua error only once the block has been left.
#include <cstdint>
#include <cstring>
#include <exception>
#include <set>
#include <string>
#include <vector>

#include "lpp-plugin.hpp"
#include "lpp-script.hpp"

namespace {

// Metatable of the userdata that holds a closure's plugin reference.
const char *const lppPluginRefMetatable = "lpp.plugin_reference";

// Error text of the last failed call, raised once the C++ block is left.
thread_local std::string lppScriptError;

// The message when an exception other than a standard one was caught.
const char *const lppCatchAllText = "caught (...) exception";

// The reference does not own the plugin: there is nothing to release.
int ReleaseNothing(lua_State *) { return 0; }

// Registry key of the references' metatable, besides its name: the plugin
// reads it back raw, never through the registry's metamethods.
const char lppPluginRefMetatableKey = 0;

void PushPluginClosure(lua_State *L, lppPlugin *plugin, lua_CFunction function)
{
    void *memory = lua_newuserdatauv(L, sizeof(lppPlugin *), 0);
    if (reinterpret_cast<std::uintptr_t>(memory) % alignof(lppPlugin *) != 0)
        luaL_error(L, "cannot properly align memory for '%s'", lppPluginRefMetatable);
    std::memcpy(memory, &plugin, sizeof(plugin));
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
lppPlugin *UpvaluePlugin(lua_State *L)
{
    const int reference = lua_upvalueindex(1);
    bool ours = lua_type(L, reference) == LUA_TUSERDATA && lua_rawlen(L, reference) == sizeof(lppPlugin *) &&
        lua_getmetatable(L, reference);
    if (ours) {
        lua_rawgetp(L, LUA_REGISTRYINDEX, &lppPluginRefMetatableKey);
        ours = lua_rawequal(L, -1, -2);
        lua_pop(L, 2);
    }
    if (!ours) luaL_error(L, "plugin reference lost");
    lppPlugin *plugin = nullptr;
    std::memcpy(&plugin, lua_touserdata(L, reference), sizeof(plugin));
    return plugin;
}

// Whether lppScriptError holds the text; building it can itself fail for
// want of memory, and nothing may be thrown from a catch handler here.
thread_local bool lppScriptErrorStored = false;

void StoreError(const char *text, bool dispatching) noexcept
{
    try {
        lppScriptError = dispatching ? lppLuaError(std::string("dispatch exception: ") + text).what()
                                     : text;
        lppScriptErrorStored = true;
    } catch (...) {
        lppScriptErrorStored = false;
    }
}

// Raises the stored error text; called with no C++ object alive in the
// caller's frame.
int RaiseScriptError(lua_State *L)
{
    if (!lppScriptErrorStored) {
        lua_pushliteral(L, "not enough memory");
        return lua_error(L);
    }
    lua_pushlstring(L, lppScriptError.data(), lppScriptError.size());
    lppScriptError.clear();
    lppScriptErrorStored = false;
    return lua_error(L);
}

int WriteLine(lua_State *L, bool debug)
{
    lppPlugin *plugin = UpvaluePlugin(L);
    lppNumberText number;
    std::size_t length = 0;
    const char *message = lppArgString(L, 1, &length, number);

    bool failed = false;
    try {
        const char *tag = plugin->GetTag().c_str();
        if (debug)
            vd_dprintf("%s: %s\n", tag, message);
        else
            vd_printf("%s: %s\n", tag, message);
    } catch (const std::exception &e) {
        StoreError(e.what(), false);
        failed = true;
    } catch (...) {
        StoreError(lppCatchAllText, false);
        failed = true;
    }
    if (failed) return RaiseScriptError(L);
    return 0;
}

}  // namespace

int lppScriptPrint(lua_State *L) { return WriteLine(L, false); }

int lppScriptDebug(lua_State *L) { return WriteLine(L, true); }

int lppScriptDispatch(lua_State *L)
{
    // Not luaL_checktype: its message is built with allocations and raw
    // reads of a metatable, between which a finaliser could replace that
    // metatable in this frame.
    const int channels_type = lua_type(L, 2);
    if (channels_type != LUA_TTABLE)
        return luaL_error(L, "bad argument #2 to 'dispatch' (table expected, got %s)",
            lua_typename(L, channels_type));
    lppNumberText target_number, payload_number;
    std::size_t target_length = 0;
    const char *target = lppArgString(L, 1, &target_length, target_number);
    std::size_t payload_length = 0;
    const char *payload = lppArgString(L, 3, &payload_length, payload_number);
    const std::uint32_t format = lppArgUnsigned(L, 4);
    const std::uint32_t compressor = lppArgUnsigned(L, 5);
    lua_settop(L, 5);
    luaL_checkstack(L, 2, nullptr);

    bool failed = false;
    bool calling = false;
    try {
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
        std::vector<unsigned char> buffer(reinterpret_cast<const unsigned char *>(payload),
            reinterpret_cast<const unsigned char *>(payload) + payload_length);

        std::uint8_t flags = 0;
        if (format == LPP_FORMAT_JSON)
            flags |= static_cast<std::uint8_t>(vdPlugin::DispatchFlags::FORMAT_JSON);
        else if (format == LPP_FORMAT_MSGPACK)
            flags |= static_cast<std::uint8_t>(vdPlugin::DispatchFlags::FORMAT_MSGPACK);
        if (compressor == LPP_COMPRESSOR_GZIP)
            flags |= static_cast<std::uint8_t>(vdPlugin::DispatchFlags::GZ_DEFLATE);

        std::string target_name(target, target_length);
        calling = true;
        vdPlugin::DispatchSinkPayload(target_name, channels, buffer.size(), buffer.data(),
            vdFlags<vdPlugin::DispatchFlags>(flags));
    } catch (const std::exception &e) {
        // Only the host's failure is a dispatch exception; a failure to
        // build the arguments keeps its own text.
        StoreError(e.what(), calling);
        failed = true;
    } catch (...) {
        StoreError(lppCatchAllText, false);
        failed = true;
    }
    if (failed) return RaiseScriptError(L);
    return 0;
}

void lppScriptInstall(lua_State *L, lppPlugin *plugin)
{
    lua_newtable(L);
    PushPluginClosure(L, plugin, lppScriptDebug);
    lua_setfield(L, -2, "debug");
    PushPluginClosure(L, plugin, lppScriptPrint);
    lua_setfield(L, -2, "print");
    lua_pushcfunction(L, lppScriptDispatch);
    lua_setfield(L, -2, "dispatch");
    lua_setglobal(L, "lpp");
}
