// Lua runtime build: libraries, constants, the lpp table, the script.
#include <cstddef>
#include <string>

#include <dlfcn.h>

#include "lpp-file.hpp"
#include "lpp-plugin.hpp"
#include "lpp-script.hpp"

namespace {

struct lppLibrary {
    const char *name;
    lua_CFunction open;
};

// Every standard library of Lua 5.4, in the order they are opened.
const lppLibrary lppLibraries[] = {
    {LUA_GNAME, luaopen_base},
    {LUA_LOADLIBNAME, luaopen_package},
    {LUA_COLIBNAME, luaopen_coroutine},
    {LUA_STRLIBNAME, luaopen_string},
    {LUA_UTF8LIBNAME, luaopen_utf8},
    {LUA_TABLIBNAME, luaopen_table},
    {LUA_MATHLIBNAME, luaopen_math},
    {LUA_IOLIBNAME, luaopen_io},
    {LUA_OSLIBNAME, luaopen_os},
    {LUA_DBLIBNAME, luaopen_debug},
};

struct lppConstant {
    const char *name;
    lua_Integer value;
};

// The integer globals of every state, in the order they are set.
const lppConstant lppConstants[] = {
    {"LPP_EVENT_NONE", 0},
    {"LPP_EVENT_FLOW_MAP", 1},
    {"LPP_EVENT_FLOW_NEW", 2},
    {"LPP_EVENT_FLOW_EXPIRING", 3},
    {"LPP_EVENT_FLOW_EXPIRED", 4},
    {"LPP_EVENT_FLOW_INTEL", 5},
    {"LPP_EVENT_DPI_NEW", 6},
    {"LPP_EVENT_DPI_UPDATE", 7},
    {"LPP_EVENT_DPI_COMPLETE", 8},
    {"LPP_EVENT_INTERFACES", 9},
    {"LPP_EVENT_PKT_CAPTURE_STATS", 10},
    {"LPP_EVENT_PKT_GLOBAL_STATS", 11},
    {"LPP_EVENT_UPDATE_INIT", 12},
    {"LPP_EVENT_UPDATE_COMPLETE", 13},
    {"LPP_FORMAT_RAW", 0},
    {"LPP_FORMAT_JSON", 1},
    {"LPP_FORMAT_MSGPACK", 2},
    {"LPP_COMPRESSOR_NONE", 0},
    {"LPP_COMPRESSOR_GZIP", 1},
    {"LPP_LOWER_UNKNOWN", 0},
    {"LPP_LOWER_LOCAL", 1},
    {"LPP_LOWER_OTHER", 2},
    {"LPP_OTHER_UNKNOWN", 0},
    {"LPP_OTHER_UNSUPPORTED", 1},
    {"LPP_OTHER_LOCAL", 2},
    {"LPP_OTHER_MULTICAST", 3},
    {"LPP_OTHER_BROADCAST", 4},
    {"LPP_OTHER_REMOTE", 5},
    {"LPP_OTHER_ERROR", 6},
    {"LPP_TUNNEL_NONE", 0},
    {"LPP_TUNNEL_GTP", 1},
    {"LPP_ORIGIN_UNKNOWN", 0},
    {"LPP_ORIGIN_LOWER", 1},
    {"LPP_ORIGIN_UPPER", 2},
    {"LPP_ADDRTYPE_NONE", 1},
    {"LPP_ADDRTYPE_LOCAL", 2},
    {"LPP_ADDRTYPE_LOCALNET", 3},
    {"LPP_ADDRTYPE_RESERVED", 4},
    {"LPP_ADDRTYPE_MULTICAST", 5},
    {"LPP_ADDRTYPE_BROADCAST", 6},
    {"LPP_ADDRTYPE_OTHER", 7},
    {"LPP_ADDRTYPE_ERROR", 127},
    {"LPP_IPPROTO_AH", 51},
    {"LPP_IPPROTO_DCCP", 33},
    {"LPP_IPPROTO_EGP", 8},
    {"LPP_IPPROTO_ENCAP", 98},
    {"LPP_IPPROTO_ESP", 50},
    {"LPP_IPPROTO_GRE", 47},
    {"LPP_IPPROTO_ICMP", 1},
    {"LPP_IPPROTO_IDP", 22},
    {"LPP_IPPROTO_IGMP", 2},
    {"LPP_IPPROTO_IP", 0},
    {"LPP_IPPROTO_IPIP", 4},
    {"LPP_IPPROTO_IPV6", 41},
    {"LPP_IPPROTO_MPLS", 137},
    {"LPP_IPPROTO_MTP", 92},
    {"LPP_IPPROTO_PIM", 103},
    {"LPP_IPPROTO_PUP", 12},
    {"LPP_IPPROTO_RAW", 255},
    {"LPP_IPPROTO_RSVP", 46},
    {"LPP_IPPROTO_SCTP", 132},
    {"LPP_IPPROTO_TCP", 6},
    {"LPP_IPPROTO_TP", 29},
    {"LPP_IPPROTO_UDP", 17},
    {"LPP_IPPROTO_UDPLITE", 136},
};

static_assert(sizeof(lppConstants) / sizeof(lppConstants[0]) == 65);

struct lppHandler {
    lppHandlerId id;
    std::uint8_t bit;
};

// The handlers a script may define, in the order they are looked for.
const lppHandler lppHandlers[] = {
    {LPP_HANDLER_ID_AGENT_EVENT, LPP_HANDLER_AGENT_EVENT},
    {LPP_HANDLER_ID_FLOW_EVENT, LPP_HANDLER_FLOW_EVENT},
    {LPP_HANDLER_ID_FLOW_MAP, LPP_HANDLER_FLOW_MAP},
    {LPP_HANDLER_ID_FLOW_STATS, LPP_HANDLER_FLOW_STATS},
};

// Lua's C modules (cjson, zlib, lpeg...) are built to find the Lua API in the
// process's global scope, not linked against the Lua library. A daemon that
// loads this plugin with RTLD_LOCAL keeps the Lua library out of that scope,
// and require then fails with an undefined symbol. Reopening the library that
// holds the Lua API as RTLD_GLOBAL (RTLD_NOLOAD: only if already loaded)
// makes its symbols global. The handle stays open for the life of the
// process: closing it could hand the library back to local scope.
void PublishLuaSymbols()
{
    static const bool done = [] {
        Dl_info info{};
        if (dladdr(reinterpret_cast<void *>(&lua_checkstack), &info) == 0 || info.dli_fname == nullptr)
            return false;
        return dlopen(info.dli_fname, RTLD_NOW | RTLD_GLOBAL | RTLD_NOLOAD) != nullptr;
    }();
    (void)done;
}

}  // namespace

void lppPlugin::BuildRuntime()
{
    PublishLuaSymbols();

    // The previous state, and the script in it, end here, before the new
    // script is known to load.
    lua.Reset();
    lua_State *L = lua;

    lppProtectedCall(L, 0, 0, [](lua_State *state) -> int {
        for (const lppLibrary &library : lppLibraries) {
            luaL_requiref(state, library.name, library.open, 1);
            lua_pop(state, 1);
        }
        return 0;
    });

    // Outside any Lua frame: the daemon's "instance not found" leaves the
    // build as it is.
    const vdGlobalConfig &config = vdGlobalConfig::GetInstance();
    const std::string *paths[] = {&config.path_state_config, &config.path_state_shared,
        &config.path_state_volatile, &config.path_state_persistent};

    lppPlugin *plugin = this;
    lppProtectedCall(L, 0, 0, [&paths, plugin](lua_State *state) -> int {
        static const char *const names[] = {
            "LPP_PATH_CONFIG", "LPP_PATH_SHARED", "LPP_PATH_VOLATILE", "LPP_PATH_PERSISTENT"};
        for (std::size_t index = 0; index < 4; index++) {
            lua_pushlstring(state, paths[index]->data(), paths[index]->size());
            lua_setglobal(state, names[index]);
        }
        for (const lppConstant &constant : lppConstants) {
            lua_pushinteger(state, constant.value);
            lua_setglobal(state, constant.name);
        }
        lppScriptInstall(state, plugin);
        return 0;
    });

    // Lua's loader opens the script by name and would wait on a pipe that
    // took the script's place since it was hashed.
    if (lppFile(script_path).IsRefused()) {
        throw vdException("%s: error loading script: %s: cannot open %s: not a regular file", tag.c_str(),
            script_path.c_str(), script_path.c_str());
    }

    // The loader's status and message come back as values: a script that
    // does not load is not a Lua error.
    int status = LUA_OK;
    const char *path = script_path.c_str();
    lppProtectedCall(L, 0, 1, [path, &status](lua_State *state) -> int {
        status = luaL_loadfilex(state, path, "bt");
        return 1;
    });
    if (status != LUA_OK) {
        std::string message = (lua_type(L, -1) == LUA_TSTRING) ? lua_tostring(L, -1) : "";
        lua_pop(L, 1);
        throw vdException("%s: error loading script: %s: %s", tag.c_str(), script_path.c_str(),
            message.c_str());
    }

    // The chunk runs under the default message handler, below it.
    if (!lua_checkstack(L, 1)) {
        lua_pop(L, 1);
        throw lppLuaError("stack overflow");
    }
    lua_pushcfunction(L, lppDefaultMessageHandler);
    lua_insert(L, -2);
    const int handler = lua_gettop(L) - 1;
    {
        lppScriptCall top_level(lua.Budget());
        status = lua_pcall(L, 0, 0, handler);
    }
    if (status != LUA_OK) {
        std::string message =
            (lua_type(L, -1) == LUA_TSTRING) ? lua_tostring(L, -1) : lppUnknownErrorText;
        lua_settop(L, handler - 1);
        throw vdException("%s: initialization: %s: %s", script_path.c_str(), "Runtime Error",
            message.c_str());
    }
    lua_settop(L, handler - 1);

    handler_mask.exchange(0);
    for (const lppHandler &candidate : lppHandlers) {
        if (ScriptHasFunction(lppHandlerNames[candidate.id])) handler_mask.fetch_or(candidate.bit);
    }
    if (handler_mask.load() == 0)
        throw vdException("%s: %s: no script functions defined", tag.c_str(), script_path.c_str());
}

bool lppPlugin::ScriptHasFunction(const std::string &name)
{
    // Reading a global may run the script's metamethods on _G.
    bool callable = false;
    const char *global = name.c_str();
    lppScriptCall lookup(lua.Budget());
    lppProtectedCall(lua, 0, 0, [global, &callable](lua_State *state) -> int {
        lppPushGlobals(state);
        const int type = lua_getfield(state, -1, global);
        if (type == LUA_TFUNCTION) {
            callable = true;
        } else if ((type == LUA_TTABLE || type == LUA_TUSERDATA) && lua_getmetatable(state, -1)) {
            // Pushing the key may run a finaliser that replaces the
            // metatable in this frame before the raw read.
            lua_pushliteral(state, "__call");
            lppCheckHeld(state, -2, LUA_TTABLE, "a metatable");
            callable = lua_rawget(state, -2) != LUA_TNIL;
        }
        return 0;
    });

    if (callable)
        vd_dprintf("%s: %s: %s: defined\n", tag.c_str(), script_path.c_str(), name.c_str());
    else
        vd_dprintf("%s: %s: %s: not defined.\n", tag.c_str(), script_path.c_str(), name.c_str());
    return callable;
}
