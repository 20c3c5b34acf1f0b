// Building the Lua runtime: libraries, constants, the script's first run and
// the detection of its handlers.
#include <string>
#include <vector>

#include "runtime-fixture.hpp"

namespace lpptest {
namespace {

class BuildTest : public RuntimeTest {};

TEST_F(BuildTest, OnlyFlowStatsSetsItsBitAndLogsEachLookup)
{
    Load(kHandler);
    const std::string path = runtime.ScriptPath();
    EXPECT_EQ(runtime.HandlerMask(), 0x08);

    auto defined = log.Matching(": defined\n");
    ASSERT_EQ(defined.size(), 1u);
    EXPECT_EQ(defined[0], "lua-test: " + path + ": ProcessFlowStats: defined\n");
    EXPECT_EQ(log.Matching(": not defined.\n"),
        (std::vector<std::string>{"lua-test: " + path + ": ProcessAgentEvent: not defined.\n",
            "lua-test: " + path + ": ProcessFlowEvent: not defined.\n",
            "lua-test: " + path + ": ProcessFlowMap: not defined.\n"}));
}

TEST_F(BuildTest, CallableValuesCountAndOthersDoNot)
{
    Load(R"(
        ProcessFlowMap = setmetatable({}, { __call = function() end })
        -- io's files are full userdata; their shared metatable gains __call.
        getmetatable(io.stdout).__call = function() end
        ProcessAgentEvent = io.stdout
        ProcessFlowEvent = 42
        ProcessFlowStats = setmetatable({}, { __index = function() end })
    )");
    EXPECT_EQ(runtime.HandlerMask(), 0x04 | 0x01);

    Load("ProcessFlowStats = {}\nProcessFlowEvent = function() end\n");
    EXPECT_EQ(runtime.HandlerMask(), 0x02);

    // A __call field counts when it is not nil, whatever it holds; numbers
    // and strings never count, metatable or not.
    Load(R"(
        ProcessFlowMap = setmetatable({}, { __call = false })
        debug.setmetatable(0, { __call = function() end })
        ProcessFlowEvent = 42
        getmetatable('').__call = function() end
        ProcessFlowStats = 'text'
    )");
    EXPECT_EQ(runtime.HandlerMask(), 0x04);
}

TEST_F(BuildTest, NoHandlerFailsAfterTheTopLevelRan)
{
    Load("function ProcessAgentEvent() end\n");
    ASSERT_EQ(runtime.HandlerMask(), 0x01);

    std::string message = LoadFailure("lpp.print('top level ran')\nRan = true\n");
    EXPECT_EQ(message, "lua-test: " + runtime.ScriptPath() + ": no script functions defined");
    EXPECT_EQ(log.Matching("top level ran"), std::vector<std::string>{"lua-test: top level ran\n"});
    EXPECT_EQ(Global("Ran"), "<boolean>");
    EXPECT_EQ(runtime.HandlerMask(), 0);
}

TEST_F(BuildTest, SyntaxErrorFailsAfterTheOldStateIsGone)
{
    Load(std::string("Old = 'old script'\n") + kHandler);
    ASSERT_EQ(Global("Old"), "old script");

    std::string message = LoadFailure("x = = 1\n");
    const std::string path = runtime.ScriptPath();
    EXPECT_EQ(message.rfind("lua-test: error loading script: " + path + ": " + path + ":1:", 0), 0u)
        << message;
    EXPECT_NE(message.find("near '='"), std::string::npos) << message;
    EXPECT_EQ(Global("Old"), "<nil>");
    // Libraries and constants were already in place when the load failed.
    EXPECT_EQ(Integer("LPP_IPPROTO_TCP"), 6);
    EXPECT_EQ(runtime.HandlerMask(), 0x08);

    // A script replaced by a named pipe after it was hashed: the loader
    // refuses it without waiting for a writer.
    const std::string pipe = dir.Fifo("pipe.lua");
    PipeWatchdog watchdog(pipe);
    try {
        runtime.Build(pipe, runtime.ScriptDigest());
        ADD_FAILURE() << "build did not fail";
    } catch (const vdException &e) {
        EXPECT_EQ(std::string(e.what()),
            "lua-test: error loading script: " + pipe + ": cannot open " + pipe + ": not a regular file");
    }
    EXPECT_FALSE(watchdog.Stop()) << "blocked opening " << pipe;
}

TEST_F(BuildTest, RuntimeErrorReportsPathFirstWithMessageAndTraceback)
{
    Load(kHandler);
    std::string message =
        LoadFailure(std::string(kHandler) + "local function fail() error('boom') end\nfail()\n");
    const std::string path = runtime.ScriptPath();
    const std::string head =
        path + ": initialization: Runtime Error: " + path + ":2: boom\nstack traceback:\n";
    EXPECT_EQ(message.rfind(head, 0), 0u) << message;
    EXPECT_NE(message.find("in function 'error'"), std::string::npos) << message;
    EXPECT_NE(message.find(path + ":3: in main chunk"), std::string::npos) << message;
    EXPECT_EQ(runtime.HandlerMask(), 0x08);

    // A number is not a message either.
    for (const char *top_level : {"error({})\n", "error(42)\n"}) {
        message = LoadFailure(top_level);
        EXPECT_EQ(message.rfind(runtime.ScriptPath() +
                                    ": initialization: Runtime Error: An unknown error has triggered "
                                    "the default error handler\nstack traceback:\n",
                      0),
            0u)
            << message;
    }
}

// A chunk compiled by Lua itself, as luac writes it.
std::string Precompile(const std::string &source)
{
    lua_State *L = luaL_newstate();
    std::string chunk;
    if (luaL_loadstring(L, source.c_str()) == LUA_OK) {
        lua_dump(
            L,
            [](lua_State *, const void *data, std::size_t size, void *out) -> int {
                static_cast<std::string *>(out)->append(static_cast<const char *>(data), size);
                return 0;
            },
            &chunk, 0);
    }
    lua_close(L);
    return chunk;
}

TEST_F(BuildTest, PrecompiledChunkLoads)
{
    std::string chunk = Precompile("Compiled = LPP_FORMAT_MSGPACK\nfunction ProcessFlowMap() end\n");
    ASSERT_EQ(chunk.rfind(LUA_SIGNATURE, 0), 0u);
    Load(chunk);
    EXPECT_EQ(Global("Compiled"), "2");
    EXPECT_EQ(runtime.HandlerMask(), 0x04);
}

TEST_F(BuildTest, ConstantsAndPathsAreSetInEveryNewState)
{
    vdGlobalConfig &config = global.Get();
    config.path_state_config = "/test/config";
    config.path_state_shared = "/test/shared";
    config.path_state_volatile = "/test/volatile";
    config.path_state_persistent = "/test/persistent";

    Load(std::string(kHandler) + "Seen = LPP_IPPROTO_UDPLITE\nLPP_IPPROTO_UDPLITE = -1\n");
    EXPECT_EQ(Integer("Seen"), 136);
    EXPECT_EQ(Integer("LPP_IPPROTO_UDPLITE"), -1);
    EXPECT_EQ(Global("LPP_PATH_CONFIG"), "/test/config");
    EXPECT_EQ(Global("LPP_PATH_SHARED"), "/test/shared");
    EXPECT_EQ(Global("LPP_PATH_VOLATILE"), "/test/volatile");
    EXPECT_EQ(Global("LPP_PATH_PERSISTENT"), "/test/persistent");

    Load(std::string(kHandler) + "-- a new build\n");
    EXPECT_EQ(Integer("LPP_IPPROTO_UDPLITE"), 136);

    const std::vector<std::pair<const char *, lua_Integer>> expected = {{"LPP_EVENT_NONE", 0},
        {"LPP_EVENT_FLOW_MAP", 1}, {"LPP_EVENT_FLOW_NEW", 2}, {"LPP_EVENT_FLOW_EXPIRING", 3},
        {"LPP_EVENT_FLOW_EXPIRED", 4}, {"LPP_EVENT_FLOW_INTEL", 5}, {"LPP_EVENT_DPI_NEW", 6},
        {"LPP_EVENT_DPI_UPDATE", 7}, {"LPP_EVENT_DPI_COMPLETE", 8}, {"LPP_EVENT_INTERFACES", 9},
        {"LPP_EVENT_PKT_CAPTURE_STATS", 10}, {"LPP_EVENT_PKT_GLOBAL_STATS", 11},
        {"LPP_EVENT_UPDATE_INIT", 12}, {"LPP_EVENT_UPDATE_COMPLETE", 13}, {"LPP_FORMAT_RAW", 0},
        {"LPP_FORMAT_JSON", 1}, {"LPP_FORMAT_MSGPACK", 2}, {"LPP_COMPRESSOR_NONE", 0},
        {"LPP_COMPRESSOR_GZIP", 1}, {"LPP_LOWER_UNKNOWN", 0}, {"LPP_LOWER_LOCAL", 1},
        {"LPP_LOWER_OTHER", 2}, {"LPP_OTHER_UNKNOWN", 0}, {"LPP_OTHER_UNSUPPORTED", 1},
        {"LPP_OTHER_LOCAL", 2}, {"LPP_OTHER_MULTICAST", 3}, {"LPP_OTHER_BROADCAST", 4},
        {"LPP_OTHER_REMOTE", 5}, {"LPP_OTHER_ERROR", 6}, {"LPP_TUNNEL_NONE", 0},
        {"LPP_TUNNEL_GTP", 1}, {"LPP_ORIGIN_UNKNOWN", 0}, {"LPP_ORIGIN_LOWER", 1},
        {"LPP_ORIGIN_UPPER", 2}, {"LPP_ADDRTYPE_NONE", 1}, {"LPP_ADDRTYPE_LOCAL", 2},
        {"LPP_ADDRTYPE_LOCALNET", 3}, {"LPP_ADDRTYPE_RESERVED", 4}, {"LPP_ADDRTYPE_MULTICAST", 5},
        {"LPP_ADDRTYPE_BROADCAST", 6}, {"LPP_ADDRTYPE_OTHER", 7}, {"LPP_ADDRTYPE_ERROR", 127},
        {"LPP_IPPROTO_AH", 51}, {"LPP_IPPROTO_DCCP", 33}, {"LPP_IPPROTO_EGP", 8},
        {"LPP_IPPROTO_ENCAP", 98}, {"LPP_IPPROTO_ESP", 50}, {"LPP_IPPROTO_GRE", 47},
        {"LPP_IPPROTO_ICMP", 1}, {"LPP_IPPROTO_IDP", 22}, {"LPP_IPPROTO_IGMP", 2},
        {"LPP_IPPROTO_IP", 0}, {"LPP_IPPROTO_IPIP", 4}, {"LPP_IPPROTO_IPV6", 41},
        {"LPP_IPPROTO_MPLS", 137}, {"LPP_IPPROTO_MTP", 92}, {"LPP_IPPROTO_PIM", 103},
        {"LPP_IPPROTO_PUP", 12}, {"LPP_IPPROTO_RAW", 255}, {"LPP_IPPROTO_RSVP", 46},
        {"LPP_IPPROTO_SCTP", 132}, {"LPP_IPPROTO_TCP", 6}, {"LPP_IPPROTO_TP", 29},
        {"LPP_IPPROTO_UDP", 17}, {"LPP_IPPROTO_UDPLITE", 136}};
    ASSERT_EQ(expected.size(), 65u);
    for (const auto &[name, value] : expected) EXPECT_EQ(Integer(name), value) << name;
}

TEST_F(BuildTest, StandardLibrariesAndTheLppTableAreThere)
{
    Load(std::string(kHandler) + R"(
        local names = { '_G', 'package', 'coroutine', 'string', 'utf8', 'table', 'math',
                        'io', 'os', 'debug' }
        local seen = {}
        for _, name in ipairs(names) do
            seen[#seen + 1] = name .. '=' .. type(_G[name])
        end
        Libraries = table.concat(seen, ' ')
        Preloaded = package.loaded.io == io and package.loaded.debug == debug
        LppFunctions = type(lpp.debug) .. type(lpp.print) .. type(lpp.dispatch)
        LuaPrint = type(print)
    )");
    EXPECT_EQ(Global("Libraries"),
        "_G=table package=table coroutine=table string=table utf8=table table=table "
        "math=table io=table os=table debug=table");
    EXPECT_EQ(Global("Preloaded"), "<boolean>");
    EXPECT_EQ(Global("LppFunctions"), "functionfunctionfunction");
    EXPECT_EQ(Global("LuaPrint"), "function");
}

// Without limits, the plugin's debug.sethook and debug.gethook and its
// coroutine functions behave as Lua's own: each script leaves the same Result
// in a plugin state as in a state with Lua's standard libraries alone.
TEST_F(BuildTest, HooksAndCoroutinesWithoutLimitsBehaveAsLuasOwn)
{
    const char *const scripts[] = {
        R"(local n = 0 debug.sethook(function(e) n = n + 1 end, "", 100)
for i = 1, 1000 do end
debug.sethook() Result = n)",
        R"(local t = {} debug.sethook(function(e, line) t[#t + 1] = e .. (line or "") end, "l")
local a = 1
local b = 2
debug.sethook() Result = table.concat(t, ","))",
        R"(local t = {} local function f() return 1 end
debug.sethook(function(e) t[#t + 1] = e end, "cr") f() debug.sethook() Result = table.concat(t, ","))",
        R"(local f = function() end debug.sethook(f, "crl", 5) local g, m, c = debug.gethook()
debug.sethook() local after = debug.gethook() debug.sethook(f, "") local off = debug.gethook()
Result = tostring(g == f) .. m .. c .. tostring(after) .. tostring(off))",
        R"(local co = coroutine.create(function() coroutine.yield(type(debug.gethook())) end)
debug.sethook(co, function() end, "l", 3) local _, inside = coroutine.resume(co)
local g, m, c = debug.gethook(co) Result = inside .. type(g) .. m .. c .. tostring(debug.gethook()))",
        R"(local w = coroutine.wrap(function() error("boom") end)
local ok, e = pcall(function() return w() end) Result = tostring(ok) .. " " .. e)",
        R"(local w = coroutine.wrap(function() error({}) end)
local ok, e = pcall(function() return w() end) Result = tostring(ok) .. " " .. type(e))",
        R"(local w = coroutine.wrap(function() end) w()
local ok, e = pcall(function() return w() end) Result = e)",
        R"(local co = coroutine.create(function(a, b) local c = coroutine.yield(a + b) return c * 2 end)
local r = {} for _, args in ipairs({{1, 2}, {5}, {}}) do
  local results = {coroutine.resume(co, table.unpack(args))}
  for i = 1, #results do r[#r + 1] = tostring(results[i]) end
end
Result = table.concat(r, " ") .. " " .. coroutine.status(co))",
        R"(local w = coroutine.wrap(function(...) local n = select("#", ...) while true do n = n + select("#", coroutine.yield(n)) end end)
Result = w(1, 2, 3) .. w() .. w(nil, nil))",
        R"(local _, a = pcall(coroutine.resume, 1) local _, b = pcall(coroutine.wrap, 1)
local _, c = pcall(coroutine.create) Result = a .. "|" .. b .. "|" .. c)",
        R"(local co co = coroutine.create(function()
  return coroutine.status(co), coroutine.isyieldable(), coroutine.running() == co end)
local _, s, y, r = coroutine.resume(co) Result = s .. tostring(y) .. tostring(r))",
    };
    for (const char *script : scripts) {
        SCOPED_TRACE(script);
        Load(std::string(kHandler) + script);
        lua_State *stock = luaL_newstate();
        luaL_openlibs(stock);
        ASSERT_EQ(luaL_dofile(stock, (dir.Path() + "/script.lua").c_str()), LUA_OK) << lua_tostring(stock, -1);
        lua_getglobal(stock, "Result");
        const std::string expected = luaL_tolstring(stock, -1, nullptr);
        lua_close(stock);
        EXPECT_EQ(Global("Result"), expected);
    }
}

TEST_F(BuildTest, MissingGlobalConfigurationEndsTheBuild)
{
    Load(kHandler);
    vdGlobalConfig::Destroy();
    const std::string other = dir.Write("other.lua", kHandler);
    try {
        runtime.Build(other, runtime.ScriptDigest());
        ADD_FAILURE() << "build did not fail";
    } catch (const vdException &e) {
        EXPECT_STREQ(e.what(), "static vdGlobalConfig &vdGlobalConfig::GetInstance(): instance not found");
    }
    EXPECT_EQ(Global("string"), "<table>");
    EXPECT_EQ(Global("LPP_EVENT_NONE"), "<nil>");
    vdGlobalConfig::Create();
}

// A script may make reading a global fail; the lookup must report that as
// the binding's error, not let the Lua error escape.
TEST_F(BuildTest, FailingGlobalLookupIsReportedAsBindingError)
{
    std::string message = LoadFailure(std::string(kHandler) + R"(
        setmetatable(_G, { __index = function(_, name) error('no global ' .. name, 0) end })
    )");
    EXPECT_EQ(message, "lua: error: no global ProcessAgentEvent");

    // The lookup holds a callable table's metatable while it pushes the key
    // "__call", and that push may run a collector step: a finaliser run there
    // replaces the values of the lookup's frame (its lowest C frame). The
    // rehash of a growing table allocates without a step, so the next step
    // comes at that push; in generational mode it runs every pending
    // finaliser. The lookup must refuse, not read the replacement as a table.
    // The guarded debug library refuses C frames' locals, so the finaliser
    // uses Lua's own, loaded as native code, to reach the plugin's check.
    WriteScript(std::string(kHandler) + "local debug = " + kUnguardedDebug + R"(
        local callable = setmetatable({}, { __call = function() end })
        local main = coroutine.running()
        local function replace_lowest_frame()
          local level = 0
          while debug.getinfo(main, level + 1, "l") do level = level + 1 end
          if debug.getinfo(main, level, "S").what ~= "C" then return end
          local n = 1
          while debug.getlocal(main, level, n) do
            debug.setlocal(main, level, n, 12345)
            rawset(_G, "Replaced", true)
            n = n + 1
          end
        end
        collectgarbage("generational")
        setmetatable(_G, { __index = function(_, name)
          if name ~= "ProcessFlowMap" then return nil end
          setmetatable({}, { __gc = replace_lowest_frame })
          local grown = {}
          for i = 1, 100000 do grown[i] = i end
          return callable
        end })
    )");
    message = "built";
    try {
        plugin->Reload();
    } catch (const std::exception &e) {
        message = e.what();
    }
    EXPECT_EQ(Global("Replaced"), "<boolean>");
    EXPECT_EQ(message, "lua: error: a metatable was replaced while the plugin held it");
}

}  // namespace
}  // namespace lpptest
