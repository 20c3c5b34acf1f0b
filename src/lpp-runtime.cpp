// The Lua runtime's build: libraries, constants, the lpp table, the script;
// the look-up of its handlers, and the full collection.
#include <cstddef>
#include <iterator>
#include <string>
#include <string_view>

#include <netinet/in.h>

#include <dlfcn.h>

#include "lpp-debug-guard.hpp"
#include "lpp-file.hpp"
#include "lpp-runtime.hpp"
#include "lpp-script-hooks.hpp"
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

using Event = vdPluginProcessor::Event;

constexpr lua_Integer Code(Event event) { return static_cast<lua_Integer>(event); }

// The integer globals of every state, in the order they are set. Each value is
// the daemon's own name for the code, or lpp.dispatch's, or the IANA protocol
// number: IPPROTO_* where POSIX's <netinet/in.h> has it, a literal otherwise.
constexpr lppConstant lppConstants[] = {
    {"LPP_EVENT_NONE", Code(Event::NONE)},
    {"LPP_EVENT_FLOW_MAP", Code(Event::FLOW_MAP)},
    {"LPP_EVENT_FLOW_NEW", Code(Event::FLOW_NEW)},
    {"LPP_EVENT_FLOW_EXPIRING", Code(Event::FLOW_EXPIRING)},
    {"LPP_EVENT_FLOW_EXPIRED", Code(Event::FLOW_EXPIRED)},
    {"LPP_EVENT_FLOW_INTEL", Code(Event::FLOW_INTEL)},
    {"LPP_EVENT_DPI_NEW", Code(Event::DPI_NEW)},
    {"LPP_EVENT_DPI_UPDATE", Code(Event::DPI_UPDATE)},
    {"LPP_EVENT_DPI_COMPLETE", Code(Event::DPI_COMPLETE)},
    {"LPP_EVENT_INTERFACES", Code(Event::INTERFACES)},
    {"LPP_EVENT_PKT_CAPTURE_STATS", Code(Event::PKT_CAPTURE_STATS)},
    {"LPP_EVENT_PKT_GLOBAL_STATS", Code(Event::PKT_GLOBAL_STATS)},
    {"LPP_EVENT_UPDATE_INIT", Code(Event::UPDATE_INIT)},
    {"LPP_EVENT_UPDATE_COMPLETE", Code(Event::UPDATE_COMPLETE)},
    {"LPP_FORMAT_RAW", LPP_FORMAT_RAW},
    {"LPP_FORMAT_JSON", LPP_FORMAT_JSON},
    {"LPP_FORMAT_MSGPACK", LPP_FORMAT_MSGPACK},
    {"LPP_COMPRESSOR_NONE", LPP_COMPRESSOR_NONE},
    {"LPP_COMPRESSOR_GZIP", LPP_COMPRESSOR_GZIP},
    {"LPP_LOWER_UNKNOWN", vdFlow::LOWER_UNKNOWN},
    {"LPP_LOWER_LOCAL", vdFlow::LOWER_LOCAL},
    {"LPP_LOWER_OTHER", vdFlow::LOWER_OTHER},
    {"LPP_OTHER_UNKNOWN", vdFlow::OTHER_UNKNOWN},
    {"LPP_OTHER_UNSUPPORTED", vdFlow::OTHER_UNSUPPORTED},
    {"LPP_OTHER_LOCAL", vdFlow::OTHER_LOCAL},
    {"LPP_OTHER_MULTICAST", vdFlow::OTHER_MULTICAST},
    {"LPP_OTHER_BROADCAST", vdFlow::OTHER_BROADCAST},
    {"LPP_OTHER_REMOTE", vdFlow::OTHER_REMOTE},
    {"LPP_OTHER_ERROR", vdFlow::OTHER_ERROR},
    {"LPP_TUNNEL_NONE", vdFlow::TUNNEL_NONE},
    {"LPP_TUNNEL_GTP", vdFlow::TUNNEL_GTP},
    {"LPP_ORIGIN_UNKNOWN", vdFlow::ORIGIN_UNKNOWN},
    {"LPP_ORIGIN_LOWER", vdFlow::ORIGIN_LOWER},
    {"LPP_ORIGIN_UPPER", vdFlow::ORIGIN_UPPER},
    {"LPP_ADDRTYPE_NONE", vdAddr::TYPE_NONE},
    {"LPP_ADDRTYPE_LOCAL", vdAddr::TYPE_LOCAL},
    {"LPP_ADDRTYPE_LOCALNET", vdAddr::TYPE_LOCALNET},
    {"LPP_ADDRTYPE_RESERVED", vdAddr::TYPE_RESERVED},
    {"LPP_ADDRTYPE_MULTICAST", vdAddr::TYPE_MULTICAST},
    {"LPP_ADDRTYPE_BROADCAST", vdAddr::TYPE_BROADCAST},
    {"LPP_ADDRTYPE_OTHER", vdAddr::TYPE_OTHER},
    {"LPP_ADDRTYPE_ERROR", vdAddr::TYPE_ERROR},
    {"LPP_IPPROTO_AH", 51},
    {"LPP_IPPROTO_DCCP", 33},
    {"LPP_IPPROTO_EGP", 8},
    {"LPP_IPPROTO_ENCAP", 98},
    {"LPP_IPPROTO_ESP", 50},
    {"LPP_IPPROTO_GRE", 47},
    {"LPP_IPPROTO_ICMP", IPPROTO_ICMP},
    {"LPP_IPPROTO_IDP", 22},
    {"LPP_IPPROTO_IGMP", 2},
    {"LPP_IPPROTO_IP", IPPROTO_IP},
    {"LPP_IPPROTO_IPIP", 4},
    {"LPP_IPPROTO_IPV6", IPPROTO_IPV6},
    {"LPP_IPPROTO_MPLS", 137},
    {"LPP_IPPROTO_MTP", 92},
    {"LPP_IPPROTO_PIM", 103},
    {"LPP_IPPROTO_PUP", 12},
    {"LPP_IPPROTO_RAW", IPPROTO_RAW},
    {"LPP_IPPROTO_RSVP", 46},
    {"LPP_IPPROTO_SCTP", 132},
    {"LPP_IPPROTO_TCP", IPPROTO_TCP},
    {"LPP_IPPROTO_TP", 29},
    {"LPP_IPPROTO_UDP", IPPROTO_UDP},
    {"LPP_IPPROTO_UDPLITE", 136},
};

// True when count entries from the one named first hold the consecutive
// values from value on: the order of setting and the values scripts rely on.
constexpr bool Run(std::string_view first, std::size_t count, lua_Integer value)
{
    std::size_t index = 0;
    while (index < std::size(lppConstants) && lppConstants[index].name != first) index++;
    if (index + count > std::size(lppConstants)) return false;
    for (std::size_t i = 0; i < count; i++)
        if (lppConstants[index + i].value != value + lua_Integer(i)) return false;
    return true;
}

static_assert(std::size(lppConstants) == 65);
static_assert(Run("LPP_EVENT_NONE", 14, 0) && Run("LPP_FORMAT_RAW", 3, 0) && Run("LPP_COMPRESSOR_NONE", 2, 0));
static_assert(Run("LPP_LOWER_UNKNOWN", 3, 0) && Run("LPP_OTHER_UNKNOWN", 7, 0) && Run("LPP_TUNNEL_NONE", 2, 0));
static_assert(Run("LPP_ORIGIN_UNKNOWN", 3, 0) && Run("LPP_ADDRTYPE_NONE", 7, 1) && Run("LPP_ADDRTYPE_ERROR", 1, 127));
static_assert(Run("LPP_IPPROTO_ICMP", 1, 1) && Run("LPP_IPPROTO_IP", 1, 0) && Run("LPP_IPPROTO_IPV6", 1, 41));
static_assert(Run("LPP_IPPROTO_RAW", 1, 255) && Run("LPP_IPPROTO_TCP", 1, 6) && Run("LPP_IPPROTO_UDP", 1, 17));

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

void lppLuaRuntime::Build(const std::string &path, const std::vector<std::uint8_t> &digest)
{
    script_path = path;
    script_digest = digest;
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
        lppGuardDebugLibrary(state);
        lppInstallScriptHooks(state);
        return 0;
    });

    // Outside any Lua frame: the daemon's "instance not found" leaves the
    // build as it is.
    const vdGlobalConfig &config = vdGlobalConfig::GetInstance();
    const std::string *paths[] = {&config.path_state_config, &config.path_state_shared,
        &config.path_state_volatile, &config.path_state_persistent};

    const std::string *log_tag = &tag;
    const lua_Integer worker[2] = {worker_number, worker_count};
    lppProtectedCall(L, 0, 0, [&paths, log_tag, &worker](lua_State *state) -> int {
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
        lppScriptInstall(state, log_tag);
        if (worker[1] != 0) lppScriptInstallWorker(state, worker[0], worker[1]);
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
    const char *file = script_path.c_str();
    lppProtectedCall(L, 0, 1, [file, &status](lua_State *state) -> int {
        status = luaL_loadfilex(state, file, "bt");
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
    for (int id = 0; id < LPP_HANDLER_ID_COUNT; id++) {
        if (ScriptHasFunction(lppHandlerNames[id])) handler_mask.fetch_or(static_cast<std::uint8_t>(1u << id));
    }
    if (handler_mask.load() == 0)
        throw vdException("%s: %s: no script functions defined", tag.c_str(), script_path.c_str());
}

bool lppLuaRuntime::ScriptHasFunction(const std::string &name)
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

    if (!log_handlers) return callable;
    if (callable)
        vd_dprintf("%s: %s: %s: defined\n", tag.c_str(), script_path.c_str(), name.c_str());
    else
        vd_dprintf("%s: %s: %s: not defined.\n", tag.c_str(), script_path.c_str(), name.c_str());
    return callable;
}

void lppLuaRuntime::Collect()
{
    lppScriptCall collection(lua.Budget());
    collecting.Begin();
    lua_gc(lua, LUA_GCCOLLECT);
    collecting.End();
}
