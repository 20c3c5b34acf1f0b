// Scripts that try to take the worker down: each failure is logged like any
// script error and the next event is handled as usual.
#include <thread>

#include "hostile-fixture.hpp"

using namespace lpptest;

// One huge allocation must fail as a Lua memory error, not end the process:
// the sanitizers' allocators return null for it as the system's does.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char *__tsan_default_options() { return "allocator_may_return_null=1"; }

namespace {

bool Contains(const std::string &text, const std::string &needle)
{
    return text.find(needle) != std::string::npos;
}

TEST_F(HostileTest, InfiniteRecursionIsAStackOverflowError)
{
    Start(Script(R"(
    local function down(n) return 1 + down(n + 1) end
    down(1)
)"));
    ASSERT_TRUE(HostileThenNext()) << log.Text();
    EXPECT_TRUE(Contains(OnlyError(), "stack overflow")) << log.Text();
}

TEST_F(HostileTest, RecursionThroughMetamethodsHitsTheCallLimit)
{
    // Each __index call nests a C call: Lua's C-call limit ends it, and the
    // message handler still runs after the overflow.
    Start(Script(R"(
    local t = setmetatable({}, {})
    getmetatable(t).__index = function(self, key) return self[key .. "x"] end
    local _ = t.start
)"));
    ASSERT_TRUE(HostileThenNext()) << log.Text();
    EXPECT_TRUE(Contains(OnlyError(), "stack overflow")) << log.Text();
}

TEST_F(HostileTest, DeepPcallNestingUnwindsAndHandlingGoesOn)
{
    Start(Script(R"(
    local depth = 0
    local function nest() depth = depth + 1; return pcall(nest) end
    local ok = nest()
    local xok, xerr = xpcall(error, function(m) error(m) end, "inner")
    print_line("nesting " .. tostring(depth > 100) .. " " .. tostring(ok) .. " " .. tostring(xok))
    error("after nesting")
)"));
    ASSERT_TRUE(HostileThenNext()) << log.Text();
    // Only the innermost pcall meets the overflow; the outer ones return.
    EXPECT_EQ(log.Matching(": nesting true true false").size(), 1u) << log.Text();
    EXPECT_TRUE(Contains(OnlyError(), "after nesting")) << log.Text();
}

TEST_F(HostileTest, HugeAllocationIsALoggedMemoryError)
{
    Start(Script(R"(
    -- The read buffer is sized before anything is read.
    local huge = io.tmpfile():read(1 << 45)
    print_line("allocated " .. tostring(huge))
)"));
    ASSERT_TRUE(HostileThenNext()) << log.Text();
    const std::string head = std::string(kTag) + ": ProcessFlowEvent: error: not enough memory";
    EXPECT_EQ(OnlyError().compare(0, head.size(), head), 0) << log.Text();
    EXPECT_TRUE(log.Matching("allocated").empty());
}

TEST_F(HostileTest, TableErrorValuesWithOrWithoutTostringGetTheDefaultText)
{
    Start(Script(R"(
    local plain = {code = 1}
    local named = setmetatable({}, {__tostring = function() return "custom text" end})
    local failing = setmetatable({}, {__tostring = function() error("tostring fails") end})
    local values = {plain = plain, named = named, failing = failing}
    if f.value == "nil" then error(nil) end
    error(values[f.value])
)"));
    for (const char *value : {"plain", "named", "failing", "nil"}) {
        auto flow = MakeFlow();
        SendFlow(Event::FLOW_NEW, flow, json{{"case", "hostile"}, {"value", value}});
    }
    ASSERT_TRUE(HostileThenNext()) << log.Text();
    auto errors = Errors();
    ASSERT_EQ(errors.size(), 5u) << log.Text();
    const std::string head = std::string(kTag) +
        ": ProcessFlowEvent: error: An unknown error has triggered the default error handler\n"
        "stack traceback:\n";
    for (const auto &line : errors) EXPECT_EQ(line.compare(0, head.size(), head), 0) << line;
    EXPECT_FALSE(Contains(log.Text(), "custom text"));
    EXPECT_FALSE(Contains(log.Text(), "tostring fails"));
}

TEST_F(HostileTest, HandlerThatYieldsGetsLuasError)
{
    Start(Script(R"(
    local co = coroutine.wrap(function() coroutine.yield(1) end)
    co()
    coroutine.yield("out of the handler")
)"));
    ASSERT_TRUE(HostileThenNext()) << log.Text();
    EXPECT_TRUE(Contains(OnlyError(), "attempt to yield from outside a coroutine")) << log.Text();
}

TEST_F(HostileTest, DispatchWithWrongArgumentTypesNeverCrashes)
{
    PayloadCapture sink;
    Start(Script(R"(
    local cases = {
      {nil, {}, "p", 0, 0},
      {{}, {}, "p", 0, 0},
      {print, {}, "p", 0, 0},
      {true, {}, "p", 0, 0},
      {"t", {{}, print, true, 1.5, "a", [{}] = io.stdout}, "p", 0, 0},
      {"t", {}, {}, 0, 0},
      {"t", {}, nil, "x", {}},
      {"t", {}, "p", 0/0, 1/0},
      {"t", {}, "p", -1, -(2^63)},
      {"t", {}, "p", 2^64, 1e308},
      {"t", {}, "p", "1e400", "0x10"},
      {"t", {}, "p", coroutine.create(print), io.stdout},
      {"t", nil, "p", 0, 0},
      {"t", 42, "p", 0, 0},
      {"t", "channel", "p", 0, 0},
      {"t", print, "p", 0, 0},
    }
    for i = 1, #cases + 3 do
      local c = cases[i] or {}
      local ok, err = pcall(lpp.dispatch, table.unpack(c, 1, 5))
      print_line("case " .. i .. " " .. tostring(ok) .. " " .. tostring(err))
    end
    error("done")
)"));
    ASSERT_TRUE(HostileThenNext()) << log.Text();
    EXPECT_TRUE(Contains(OnlyError(), "done"));

    auto cases = Printed("case ");
    ASSERT_EQ(cases.size(), 19u) << log.Text();
    for (std::size_t i = 0; i < cases.size(); i++) {
        const bool bad_channels = i >= 12;
        EXPECT_EQ(Contains(cases[i], " true nil"), !bad_channels) << cases[i];
        if (bad_channels) {
            EXPECT_TRUE(Contains(cases[i], "table expected")) << cases[i];
        }
    }
    auto payloads = sink.Payloads();
    ASSERT_EQ(payloads.size(), 12u);
    for (std::size_t i = 0; i < 4; i++) EXPECT_EQ(payloads[i].target, "");
    EXPECT_EQ(payloads[4].channels, (std::set<std::string>{"", "1.5", "a"}));
    EXPECT_EQ(payloads[5].bytes, "");
    EXPECT_EQ(payloads[6].bytes, "");
    for (const auto &payload : payloads) EXPECT_EQ(payload.flags, 0) << payload.target;
}

TEST_F(HostileTest, DispatchOfA64MiBPayloadArrivesWhole)
{
    PayloadCapture sink;
    Start(Script(R"(
    local big = string.rep("\0x", 32 * 1024 * 1024)
    lpp.dispatch("big", {"c"}, big, LPP_FORMAT_RAW, LPP_COMPRESSOR_NONE)
    big = nil
    collectgarbage()
)"));
    ASSERT_TRUE(HostileThenNext()) << log.Text();
    EXPECT_TRUE(Errors().empty()) << log.Text();
    auto payloads = sink.Payloads();
    ASSERT_EQ(payloads.size(), 1u);
    ASSERT_EQ(payloads[0].bytes.size(), 64u * 1024 * 1024);
    EXPECT_EQ(payloads[0].bytes.compare(0, 4, std::string("\0x\0x", 4)), 0);
    EXPECT_EQ(payloads[0].bytes.back(), 'x');
}

TEST_F(HostileTest, ScriptThatReplacesLppOrTheConstants)
{
    Start(Script(R"(
    if f.step == 1 then
      LPP_EVENT_FLOW_NEW = "changed"; LPP_FORMAT_JSON = {}; LPP_COMPRESSOR_GZIP = nil
      lpp.dispatch = 42
      lpp.print("ok " .. tostring(LPP_EVENT_FLOW_NEW))
      lpp.dispatch("t", {}, "p", 0, 0)
    elseif f.step == 2 or f.step == 4 then
      local library = f.step == 2 and debug or unguarded
      library.setupvalue(lpp.debug, 1, io.stdout)
      lpp.debug("through a foreign reference")
    elseif f.step == 3 or f.step == 5 then
      local library = f.step == 3 and debug or unguarded
      library.setupvalue(lpp.print, 1, nil)
      lpp.print("through no reference")
    else
      lpp = nil
      lpp.print("unreachable")
    end
)", "local unguarded = " + kUnguardedDebug + "\n"));
    // Steps 2 and 3 meet the debug library's refusal; 4 and 5 do the same
    // through Lua's own, unguarded, and meet the plugin's checks.
    for (int step = 1; step <= 6; step++) {
        auto flow = MakeFlow();
        SendFlow(Event::FLOW_NEW, flow, json{{"case", "hostile"}, {"step", step}});
    }
    // print_line kept the original lpp.print, whose upvalue step 5 replaced:
    // from then on it raises instead of printing.
    auto next = MakeFlow();
    SendFlow(Event::FLOW_NEW, next, json{{"case", "next"}, {"n", 1}});
    ASSERT_TRUE(WaitFor([this] { return Errors().size() == 7 || plugin->HasEnded(); })) << log.Text();
    ASSERT_FALSE(plugin->HasEnded()) << log.Text();
    auto errors = Errors();
    EXPECT_EQ(log.Matching(": ok changed").size(), 1u) << log.Text();
    EXPECT_TRUE(Contains(errors[0], "attempt to call a number value")) << errors[0];
    EXPECT_TRUE(Contains(errors[1], "debug.setupvalue: upvalues of C functions are not accessible")) << errors[1];
    EXPECT_TRUE(Contains(errors[2], "debug.setupvalue: upvalues of C functions are not accessible")) << errors[2];
    EXPECT_TRUE(Contains(errors[3], "plugin reference lost")) << errors[3];
    EXPECT_TRUE(Contains(errors[4], "plugin reference lost")) << errors[4];
    EXPECT_TRUE(Contains(errors[5], "attempt to index a nil value (global 'lpp')")) << errors[5];
    EXPECT_TRUE(Contains(errors[6], "plugin reference lost")) << errors[6];
    EXPECT_TRUE(log.Matching("through").empty());

    // A reload gives the next script a fresh lpp and fresh constants.
    dir.Write("script.lua", Script("", "-- second version\n") +
            "function ProcessAgentEvent(e) lpp.print('fresh ' .. LPP_EVENT_FLOW_NEW .. ' ' .. LPP_COMPRESSOR_GZIP) end\n");
    plugin->DispatchEvent(vdPlugin::Event::RELOAD);
    ASSERT_TRUE(WaitFor([this] { return !plugin->ReloadRequested(); }));
    SendAgent(Event::UPDATE_INIT);
    ASSERT_TRUE(WaitForLine(": fresh 2 1")) << log.Text();
}

TEST_F(HostileTest, GlobalTableMetamethodsThatRaiseAreScriptErrors)
{
    // Looking a handler up runs the global table's __index once the script
    // has removed the handler; what that raises is the script's error.
    Start(Script(R"(
    setmetatable(_G, {__index = function(_, name) error("no global " .. name) end})
    ProcessAgentEvent = nil
)", "function ProcessAgentEvent(e) end\n"));
    ASSERT_TRUE(HostileThenNext(1)) << log.Text();
    SendAgent(Event::UPDATE_INIT);
    auto next = MakeFlow();
    SendFlow(Event::FLOW_NEW, next, json{{"case", "next"}, {"n", 2}});
    ASSERT_TRUE(WaitFor([this] { return !log.Matching("alive 2").empty() || plugin->HasEnded(); }))
        << log.Text();
    ASSERT_FALSE(plugin->HasEnded()) << log.Text();
    auto errors = log.Matching(": ProcessAgentEvent: error: ");
    ASSERT_EQ(errors.size(), 1u) << log.Text();
    EXPECT_TRUE(Contains(errors[0], "no global ProcessAgentEvent")) << errors[0];
}

TEST_F(HostileTest, PluginFunctionsReachedThroughTheDebugLibraryRefuseForeignCalls)
{
    // The function that runs the plugin's protected work is on the call
    // stack while a global lookup runs __index. Called by a script, with
    // nothing or with a light userdata of its own, it must raise, not run.
    // Nothing else in the registry is a function with the builder's many
    // upvalues: the key strings are out of the script's reach, even through
    // Lua's own debug library; the plugin's refuses the registry.
    Start(Script(R"(
    local runner = stolen_runner()
    local builders = 0
    print_line("registry " .. select(2, pcall(debug.getregistry)))
    for _, v in pairs(unguarded.getregistry()) do
      if type(v) == "function" and debug.getinfo(v, "u").nups > 100 then builders = builders + 1 end
    end
    local fake = debug.upvalueid(function() return runner end, 1)
    local outcomes = {}
    for _, args in ipairs({{}, {fake}, {fake, 1, 2}}) do
      local ok, err = pcall(runner, table.unpack(args, 1, 3))
      outcomes[#outcomes + 1] = tostring(ok) .. ":" .. tostring(err)
    end
    print_line("stolen " .. tostring(runner ~= nil) .. " " .. builders)
    for _, outcome in ipairs(outcomes) do print_line("outcome " .. outcome) end
)", "local unguarded = " + kUnguardedDebug + R"(
local runner
setmetatable(_G, {__index = function(_, name)
  if name == "ProcessAgentEvent" then
    runner = runner or debug.getinfo(2, "f").func
    return function() end
  end
end})
function stolen_runner() return runner end
)"));
    ASSERT_TRUE(HostileThenNext()) << log.Text();
    EXPECT_TRUE(Errors().empty()) << log.Text();
    ASSERT_EQ(log.Matching(": stolen true 0").size(), 1u) << log.Text();
    EXPECT_EQ(log.Matching(": registry debug.getregistry: the registry is not accessible").size(), 1u) << log.Text();
    auto outcomes = log.Matching(": outcome ");
    ASSERT_EQ(outcomes.size(), 3u) << log.Text();
    for (const auto &outcome : outcomes)
        EXPECT_TRUE(Contains(outcome, "outcome false:protected body called out of turn")) << outcome;
}

TEST_F(HostileTest, ProtectedBodyTakenByACallHookRunsOnlyInThePluginsOwnCall)
{
    // A call hook sees the function that runs a protected body, and its
    // argument, as the plugin's lua_pcall calls it (here for the handler
    // lookup of the next event). The guarded debug library refuses the C
    // frame's argument; taken all the same through Lua's own library and
    // called by the script, twice, the body must refuse both times; the
    // plugin's own call then runs the body and the handler.
    Start(Script("debug.sethook(take_body, 'c')", "local unguarded = " + kUnguardedDebug + R"(
local outcomes = "none"
function take_body()
  local info = debug.getinfo(2, "fS")
  if info.what ~= "C" then return end
  -- Levels from the closure: 1 itself, 2 pcall, 3 this hook, 4 the hooked C function.
  local _, guarded = pcall(function() return debug.getlocal(4, 1) end)
  local _, argument = unguarded.getlocal(2, 1)
  if type(argument) ~= "userdata" then return end
  debug.sethook()
  local results = {}
  for round = 1, 2 do
    local ok, err = pcall(info.func, argument)
    results[round] = tostring(ok) .. ":" .. tostring(err)
  end
  outcomes = tostring(guarded):match("debug%.getlocal: .*") .. " | " .. table.concat(results, " / ")
end
function key_signature() return outcomes end
)"));
    // One event more than usual: a lookup that failed would print no
    // "alive 1", and the hook is gone after it.
    auto hostile = MakeFlow();
    SendFlow(Event::FLOW_NEW, hostile, json{{"case", "hostile"}});
    std::shared_ptr<vdFlow> next[2] = {MakeFlow(), MakeFlow()};
    for (int n = 1; n <= 2; n++) SendFlow(Event::FLOW_NEW, next[n - 1], json{{"case", "next"}, {"n", n}});
    ASSERT_TRUE(WaitFor([this] { return !log.Matching("alive 2").empty() || plugin->HasEnded(); })) << log.Text();
    EXPECT_TRUE(Errors().empty()) << log.Text();
    const std::string refused = "false:protected body called out of turn";
    EXPECT_EQ(Printed("alive 1 "),
        std::vector<std::string>{"debug.getlocal: locals of C functions are not accessible | " + refused + " / " +
            refused})
        << log.Text();
}

TEST_F(HostileTest, CollectgarbageInHandlersAndFinalizers)
{
    Start(Script(R"(
    for _, option in ipairs({"collect", "step", "generational", "incremental", "stop",
                             "restart", "count", "isrunning", "generational"}) do
      collectgarbage(option)
    end
    local doomed = setmetatable({}, {__gc = function()
      collectgarbage("collect")
      collectgarbage("step")
      print_line("finalized")
      error("raised in a finalizer")
    end})
    doomed = nil
    collectgarbage("collect")
    collectgarbage("stop")
)", R"(
keeper = setmetatable({}, {__gc = function() lpp.print("closing state") end})
)"));
    ASSERT_TRUE(HostileThenNext()) << log.Text();
    EXPECT_TRUE(Errors().empty()) << log.Text();
    EXPECT_EQ(log.Matching(": finalized").size(), 1u) << log.Text();

    // Handling goes on with the collector stopped by the script, through
    // the worker's forced full collection of the 100th pass.
    for (int i = 2; i < 150; i++) {
        auto flow = MakeFlow();
        SendFlow(Event::FLOW_NEW, flow, json{{"case", "next"}, {"n", i}});
    }
    ASSERT_TRUE(WaitForLine("alive 149")) << log.Text();
    EXPECT_TRUE(log.Matching("closing state").empty());
    Stop();
    EXPECT_EQ(log.Matching(": closing state").size(), 1u) << log.Text();
}

TEST_F(HostileTest, TopLevelErrorAfterDefiningHandlersEndsTheLoopUntilRestarted)
{
    Start(Script(""));
    ASSERT_TRUE(HostileThenNext(1)) << log.Text();

    dir.Write("script.lua", Script("") + "error('top level fails')\n");
    plugin->DispatchEvent(vdPlugin::Event::RELOAD);
    ASSERT_TRUE(WaitFor([this] { return plugin->HasEnded(); })) << log.Text();
    EXPECT_TRUE(plugin->EndedByException());
    EXPECT_TRUE(plugin->ReloadRequested());
    auto failures = log.Matching(script_file + ": initialization: Runtime Error: ");
    ASSERT_EQ(failures.size(), 1u) << log.Text();
    EXPECT_TRUE(Contains(failures[0], "top level fails"));

    // The handlers it defined are in the new state, so records still queue;
    // they wait, holding their flows, until the daemon starts the loop again.
    auto waiting = MakeFlow();
    SendFlow(Event::FLOW_NEW, waiting, json{{"case", "next"}, {"n", 2}});
    EXPECT_EQ(plugin->Queue().Records(), 1u);
    EXPECT_EQ(waiting.use_count(), 2);

    dir.Write("script.lua", Script("", "-- repaired\n"));
    plugin->Join();
    plugin->Create();
    ASSERT_TRUE(WaitFor([this] { return !plugin->ReloadRequested() || plugin->HasEnded(); }));
    ASSERT_FALSE(plugin->HasEnded()) << log.Text();
    // The rebuild discarded the waiting record.
    EXPECT_TRUE(WaitFor([&] { return waiting.use_count() == 1; }));
    ASSERT_TRUE(HostileThenNext(3)) << log.Text();
    EXPECT_TRUE(log.Matching("alive 2").empty());
}

// Scripts that turn the debug library on the plugin's own values: the
// frames of its C functions, reached from a finaliser that one of their
// allocations runs; the flow-table builder and references in the registry.
// Each case runs twice: with the debug library scripts have, which refuses
// the attack, and with Lua's own, unguarded, loaded as native code, which
// lets it reach the plugin's own defences. Either way it must leave the
// process whole, the payloads intact, and the flow tables of the events
// after it with the keys of an untouched one.
struct DebugCase {
    const char *name;
    const char *hostile;
    int payloads;       // payloads the hostile event dispatches, each "payload <round>"
    bool during_build;  // whether its finalisers run while tables are built
    // What the debug library scripts have answers, or null when the attack
    // finds no frame of the plugin's to refuse: lpp.dispatch allocates
    // nothing in Lua, so no finaliser runs inside it.
    const char *refusal;
};

// Stashes the main thread, so that a finaliser running on any thread can
// reach its frames; arm(action) makes finalisers that run action at nearly
// every collection step from then on (steps come often, cycles back to back); wreck_lowest(value) overwrites each local of
// the lowest call frame of the main and the running thread, when that frame
// is a C function's: a handler is a Lua frame, so during handling this hits
// only a C function that the worker called (as it builds tables) outside
// any handler.
const char *const kDebugPrelude = R"(
local main = coroutine.running()
-- Prints the first refusal of the debug library that a finaliser meets.
local refused = false
local function note(ok, message)
  if not ok and not refused and tostring(message):find("not accessible") then
    refused = true
    lpp.print("refused " .. tostring(message))
  end
end
local function lowest_level(co)
  local level = 0
  while debug.getinfo(co, level + 1, "l") do level = level + 1 end
  local info = debug.getinfo(co, level, "S")
  -- The running thread's levels count from here: the caller's one less.
  if co == coroutine.running() then level = level - 1 end
  return level, info ~= nil and info.what == "C"
end
-- Whether a finaliser has run while the main thread was in the worker's own C
-- call (a table being built), for the test to see that the attack was made.
local reached = false
function arm(action)
  collectgarbage("incremental", 10, 1000, 0)
  local mt = {}
  mt.__gc = function()
    reached = reached or select(2, lowest_level(main))
    note(pcall(action))
    setmetatable({}, mt)
  end
  for _ = 1, 20 do setmetatable({}, mt) end
  collectgarbage("step")
end
function wreck_lowest(value)
  for _, co in ipairs({main, coroutine.running()}) do
    local level, c_function = lowest_level(co)
    local n = 1
    while c_function and debug.getlocal(co, level, n) do debug.setlocal(co, level, n, value); n = n + 1 end
  end
end
-- The flow-table builder as a script finds it: a C function with many
-- upvalues, or a thread of the plugin's, in the registry.
function each_builder(action)
  local registry = debug.getregistry()
  for key, value in pairs(registry) do
    local kind = type(value)
    if (kind == "function" and debug.getinfo(value, "u").nups > 100) or (kind == "thread" and value ~= main) then
      action(registry, key, value)
    end
  end
end
-- A finaliser that runs inside lpp.dispatch replaces local slot of its frame.
function dispatch_with(slot)
  local function fin()
    local info = debug.getinfo(2, "f")
    if info and info.func == lpp.dispatch then note(pcall(debug.setlocal, 3, slot, 12345)) end
  end
  collectgarbage("generational", 1, 100)
  local channels = {}
  for i = 1, 2000 do channels[i] = i + 0.5 end
  for round = 1, 100 do
    for _ = 1, 100 do setmetatable({}, {__gc = fin}) end
    pcall(lpp.dispatch, "t", channels, "payload " .. round, 0, 0)
  end
  collectgarbage("incremental")
end
function key_signature(f)
  local names = {}
  for key, value in pairs(f) do
    local name = tostring(key)
    if type(value) == "table" then
      local inner = {}
      for k in pairs(value) do inner[#inner + 1] = tostring(k) end
      table.sort(inner)
      name = name .. "{" .. table.concat(inner, ",") .. "}"
    end
    names[#names + 1] = name
  end
  table.sort(names)
  return table.concat(names, " ") .. " | " .. tostring(reached)
end
)";

class DebugLibraryTest : public HostileTest, public ::testing::WithParamInterface<DebugCase> {};

TEST_P(DebugLibraryTest, LeavesThePluginWholeAndLaterTablesAsSpecified)
{
    for (const bool guarded : {true, false}) {
        SCOPED_TRACE(guarded ? "the debug library scripts have" : "Lua's own debug library");
        PayloadCapture sink;
        const std::string library = guarded ? "" : "local debug = " + kUnguardedDebug + "\n";
        Start(Script(GetParam().hostile, library + kDebugPrelude));
        auto untouched = MakeFlow();
        SendFlow(Event::FLOW_NEW, untouched, json{{"case", "next"}, {"n", 0}});
        ASSERT_TRUE(WaitForLine("alive 0 ")) << log.Text();
        ASSERT_TRUE(HostileThenNext(1)) << log.Text();
        // More tables built while the script's finalisers keep running.
        for (int n = 2; n <= 3; n++) {
            auto flow = MakeFlow();
            SendFlow(Event::FLOW_NEW, flow, json{{"case", "next"}, {"n", n}});
        }
        ASSERT_TRUE(WaitFor([this] { return !log.Matching("alive 3 ").empty() || plugin->HasEnded(); }))
            << log.Text();
        ASSERT_FALSE(plugin->HasEnded()) << log.Text();
        if (guarded && GetParam().refusal != nullptr) {
            EXPECT_FALSE(log.Matching(GetParam().refusal).empty()) << log.Text();
            for (const auto &error : Errors()) EXPECT_TRUE(Contains(error, GetParam().refusal)) << error;
        } else {
            EXPECT_TRUE(Errors().empty()) << log.Text();
            EXPECT_TRUE(log.Matching("not accessible").empty()) << log.Text();
        }

        auto alive = Printed("alive ");
        ASSERT_EQ(alive.size(), 4u) << log.Text();
        auto keys = [](const std::string &line) {
            return line.substr(line.find(' '), line.rfind(" | ") - line.find(' '));
        };
        const std::string expected = keys(alive[0]);
        EXPECT_TRUE(Contains(expected, " stats{")) << expected;
        for (const auto &line : alive) EXPECT_EQ(keys(line), expected) << line;
        const std::string reached = GetParam().during_build ? " | true" : " | false";
        EXPECT_EQ(alive[3].substr(alive[3].rfind(" | ")), reached);

        auto payloads = sink.Payloads();
        ASSERT_EQ(payloads.size(), static_cast<std::size_t>(GetParam().payloads));
        for (std::size_t i = 0; i < payloads.size(); i++) {
            EXPECT_EQ(payloads[i].bytes, "payload " + std::to_string(i + 1));
            EXPECT_EQ(payloads[i].channels.size(), 2000u);
        }
        Stop();
        log.Clear();
    }
}

const char *const kCLocalsRefused = "locals of C functions are not accessible";
const char *const kRegistryRefused = "debug.getregistry: the registry is not accessible";

const DebugCase kDebugCases[] = {
    {"DispatchChannelsReplaced", "dispatch_with(2)", 100, false, nullptr},
    {"DispatchPayloadReplaced", "dispatch_with(3)", 100, false, nullptr},
    {"DispatchNamesReplaced", "dispatch_with(6)", 100, false, nullptr},
    {"TableUnderConstructionReplaced", "arm(function() wreck_lowest('x') end)", 0, true, kCLocalsRefused},
    {"RegistryReferencesReplaced", R"(
    arm(function()
      local registry = debug.getregistry()
      for key, value in pairs(registry) do
        if math.type(key) == "integer" and key > 2 and type(value) == "table" then registry[key] = 12345 end
      end
    end))", 0, true, kRegistryRefused},
    {"BuilderKeysRenamed", R"(
    each_builder(function(_, _, builder)
      if type(builder) == "thread" then return coroutine.close(builder) end
      for i = 1, debug.getinfo(builder, "u").nups do
        local _, text = debug.getupvalue(builder, i)
        debug.setupvalue(builder, i, string.upper(text))
      end
    end))", 0, false, kRegistryRefused},
    {"BuilderKeysRemoved", R"(
    each_builder(function(_, _, builder)
      if type(builder) == "thread" then return coroutine.resume(builder) end
      for i = 1, debug.getinfo(builder, "u").nups do debug.setupvalue(builder, i, nil) end
    end))", 0, false, kRegistryRefused},
    {"BuilderReplacedInTheRegistry",
        "each_builder(function(registry, key) registry[key] = function() return {} end end)", 0, false,
        kRegistryRefused},
};

INSTANTIATE_TEST_SUITE_P(Cases, DebugLibraryTest, ::testing::ValuesIn(kDebugCases),
    [](const ::testing::TestParamInfo<DebugCase> &info) { return std::string(info.param.name); });

// Under the configuration's limits, each way of running away is cut in the
// call that runs away, counted against its limit, and the state goes on.
// Loops that would not end without a limit are bounded where a regression
// would otherwise run away with the test.
TEST_F(HostileTest, LimitsCutRunawayCallsAndTheStateGoesOn)
{
    struct Case {
        const char *name;
        const char *hostile;
        const char *message;
        const char *counter;
        // A time limit of that many seconds in place of the instruction
        // limit; the call must end within a C call of it.
        double seconds = 0;
        // A line the script's own code logs on the way.
        const char *logged = nullptr;
        // Top-level code, run before a reload brings in the limits.
        const char *before_limits = nullptr;
    };
    const Case cases[] = {
        {"endless loop", "while true do end", "instruction limit exceeded", "instruction_limit"},
        {"loop in a coroutine it resumes",
            "coroutine.wrap(function() while true do end end)()", "instruction limit exceeded",
            "instruction_limit"},
        {"loop that catches the limit's error",
            "while true do pcall(function() while true do end end) end",
            "instruction limit exceeded", "instruction_limit"},
        // Four times the limit, no more: were the limit not enforced, the
        // case would end without an error instead of taking the machine's
        // memory.
        {"memory bomb", "local t = {} for i = 1, 1 << 16 do t[i] = string.rep('x', 4096) .. i end",
            "not enough memory", "memory_limit"},
        {"one huge string", "local s = string.rep('x', 1 << 28)", "not enough memory",
            "memory_limit"},
        {"loop under the script's own line and count hook, which gethook returns", R"(
    local said = false
    local function own(event) if not said then said = true print_line("own hook: " .. event) end end
    debug.sethook(own, "l", 1000)
    local hook, mask, count = debug.gethook()
    if hook ~= own or mask ~= "l" or count ~= 1000 then
      error("gethook: " .. tostring(hook) .. " " .. tostring(mask) .. " " .. tostring(count))
    end
    for i = 1, 3e8 do end)",
            "instruction limit exceeded", "instruction_limit", 0, "own hook: line"},
        {"loop in a coroutine whose own count hook removes itself", R"(
    local co = coroutine.create(function()
      debug.sethook(function(event) print_line("own hook: " .. event) debug.sethook() end, "", 100)
      for i = 1, 3e8 do end
    end)
    local _, message = coroutine.resume(co)
    error(message, 0))",
            "instruction limit exceeded", "instruction_limit", 0, "own hook: count"},
        {"loop after debug.sethook()", "debug.sethook() for i = 1, 3e8 do end", "instruction limit exceeded",
            "instruction_limit"},
        {"coroutine made before a reload added the limit",
            "local _, message = coroutine.resume(spin) error(message, 0)", "instruction limit exceeded",
            "instruction_limit", 0, nullptr, "local spin = coroutine.create(function() for i = 1, 3e8 do end end)"},
        {"coroutine.wrap's, made before a reload added the limit", "spin()", "instruction limit exceeded",
            "instruction_limit", 0, nullptr, "local spin = coroutine.wrap(function() for i = 1, 3e8 do end end)"},
        {"endless loop under a time limit", "while true do end", "time limit exceeded", "time_limit", 0.25},
        {"loop that catches the time limit's error",
            "while true do pcall(function() while true do end end) end", "time limit exceeded", "time_limit",
            0.25},
        {"loop around a C call that sleeps", "for i = 1, 40 do os.execute('sleep 0.05') end",
            "time limit exceeded", "time_limit", 0.25},
        {"the same in a coroutine that wrap made",
            "coroutine.wrap(function() for i = 1, 40 do os.execute('sleep 0.05') end end)()",
            "time limit exceeded", "time_limit", 0.25},
        {"the same under the script's own call hook",
            "debug.sethook(function() end, 'c') for i = 1, 40 do os.execute('sleep 0.05') end",
            "time limit exceeded", "time_limit", 0.25},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const json members = (c.seconds != 0) ? json{{"seconds", c.seconds}, {"memory", 64 << 20}}
                                              : json{{"instructions", 2000000}, {"memory", 64 << 20}};
        const json limits = {{"limits", members}, {"status", true}};
        if (c.before_limits == nullptr) {
            Start(Script(c.hostile), limits);
        } else {
            Start(Script(c.hostile, c.before_limits), {{"status", true}});
            json conf = limits;
            conf["script"] = script_file;
            dir.Write("plugin.json", conf.dump());
            plugin->DispatchEvent(vdPlugin::Event::RELOAD);
            ASSERT_TRUE(WaitFor([this] { return !plugin->ReloadRequested() || plugin->HasEnded(); }));
        }
        json in_force = {{"instructions", 0}, {"memory", 0}, {"queue", 0}, {"seconds", 0}};
        in_force.update(members);
        ASSERT_EQ(Status()["limits"], in_force);
        ASSERT_TRUE(HostileThenNext()) << log.Text();
        EXPECT_TRUE(Contains(OnlyError(), c.message)) << log.Text();
        if (c.logged != nullptr) {
            EXPECT_EQ(log.Matching(c.logged).size(), 1u) << log.Text();
        }
        json handler = Status()["handlers"]["ProcessFlowEvent"];
        EXPECT_EQ(handler["calls"], 2);
        EXPECT_EQ(handler["errors"], 1);
        EXPECT_EQ(handler[c.counter], 1) << handler.dump();
        if (c.seconds != 0) {
            EXPECT_LT(handler["seconds_max"].get<double>(), c.seconds + 1.5) << handler.dump();
        }
        EXPECT_LE(Status()["lua"]["memory"].get<std::uint64_t>(), 64u << 20);
        // The summary line adds up calls and errors apart.
        json document = json::object();
        plugin->GetStatus(document);
        plugin->DisplayStatus(document);
        EXPECT_EQ(log.Matching("handlers: 2 calls, 1 errors;").size(), 1u) << log.Text();
        Stop();
        log.Clear();
    }
}

// The status document shows how long a handler call, or the plugin's
// collection, has been running while it runs: a worker stuck in C calls or a
// finalizer shows as such.
TEST_F(HostileTest, RunningSecondsShowWhatTheWorkerIsStuckIn)
{
    const char *prelude = R"(
collectgarbage("stop")
setmetatable({}, {__gc = function() os.execute("sleep 1") end}))";
    Start(Script("for i = 1, 20 do os.execute('sleep 0.05') end", prelude),
        {{"limits", {{"seconds", 30}}}, {"status", true}});
    ASSERT_EQ(Status()["limits"]["seconds"], 30);
    auto running = [this](const char *part) {
        json status = Status();
        return part[0] == 'c' ? status["collect"]["running_seconds"].get<double>()
                              : status["handlers"]["ProcessFlowEvent"]["running_seconds"].get<double>();
    };
    EXPECT_EQ(running("handler"), 0);
    auto hostile = MakeFlow();
    SendFlow(Event::FLOW_NEW, hostile, json{{"case", "hostile"}});
    EXPECT_TRUE(WaitFor([&] { return running("handler") > 0.2; }));
    EXPECT_EQ(running("collect"), 0);
    ASSERT_TRUE(WaitFor([&] { return running("handler") == 0; }, std::chrono::seconds(10)));

    // The worker's full collection comes every hundredth pass; its finalizer
    // sleeps.
    for (int n = 1; n <= 100; n++) {
        auto next = MakeFlow();
        SendFlow(Event::FLOW_NEW, next, json{{"case", "next"}, {"n", n}});
    }
    EXPECT_TRUE(WaitFor([&] { return running("collect") > 0.2; }, std::chrono::seconds(10))) << log.Text();
    EXPECT_TRUE(WaitFor([&] { return running("collect") == 0; }, std::chrono::seconds(10)));
    EXPECT_TRUE(WaitForLine("alive 100")) << log.Text();
    EXPECT_TRUE(Errors().empty()) << log.Text();
}

// A flow table that the memory limit keeps from being built costs that event
// alone: the next one is handled.
TEST_F(HostileTest, FlowTablesBeyondTheMemoryLimitSkipTheirEvent)
{
    Start(Script(""), {{"limits", {{"memory", 16 << 20}}}, {"status", true}});
    ASSERT_EQ(Status()["limits"]["memory"], 16 << 20);
    auto big = MakeFlow();
    SendFlow(Event::FLOW_NEW, big, json{{"case", "next"}, {"n", 0}, {"blob", std::string(20 << 20, 'z')}});
    ASSERT_TRUE(HostileThenNext()) << log.Text();
    EXPECT_TRUE(log.Matching("alive 0").empty());
    const auto errors = Errors();
    ASSERT_GE(errors.size(), 1u) << log.Text();
    EXPECT_TRUE(Contains(errors[0], "not enough memory")) << errors[0];
    EXPECT_GE(Status()["handlers"]["ProcessFlowEvent"]["memory_limit"].get<int>(), 1);
}

}  // namespace
