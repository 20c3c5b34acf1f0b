// The configuration's "workers" end to end: routing of flow events, flow-map
// shares and agent events over the workers, lpp.worker(), the member's
// errors, reloads, failures, limits and the status per worker.
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

#include "vx-e2e-support.hpp"

namespace {

using Workers = vxReplayTest;

// Every handler prints its worker number first.
const char *const routing_script = R"(
local me = lpp.worker()
function ProcessFlowEvent(event, flows)
    lpp.print("flow " .. me .. " " .. flows[1].host_server_name .. " " .. event)
end
function ProcessFlowMap(flows)
    local names = {}
    for i, f in ipairs(flows) do names[i] = f.host_server_name end
    lpp.print("map " .. me .. " " .. table.concat(names, ","))
end
function ProcessAgentEvent(event) lpp.print("agent " .. me .. " " .. event) end
)";

// Flow "fN" with a digest of its own, and flows "zN" whose digest is 0.
std::string RoutingRecording()
{
    std::ostringstream recording;
    for (int n = 0; n < 12; n++) {
        const std::string id = "f" + std::to_string(n);
        recording << "{\"op\":\"flow\",\"event\":\"new\",\"id\":\"" << id << "\",\"set\":{\"host_server_name\":\""
                  << id << "\",\"digest_lower\":" << (0x0123456789abcdefull * (n + 1))
                  << ",\"flags\":{\"detection_init\":true}}}\n";
    }
    for (int n = 0; n < 3; n++) {
        const std::string id = "z" + std::to_string(n);
        recording << "{\"op\":\"flow\",\"event\":\"new\",\"id\":\"" << id << "\",\"set\":{\"host_server_name\":\""
                  << id << "\",\"flags\":{\"detection_init\":true}}}\n";
    }
    recording << "{\"op\":\"agent\",\"event\":12}\n{\"op\":\"flow_map\"}\n{\"op\":\"agent\",\"event\":13}\n";
    for (int n = 0; n < 12; n++) recording << "{\"op\":\"flow\",\"event\":\"dpi_update\",\"id\":\"f" << n << "\"}\n";
    for (int n = 0; n < 3; n++) recording << "{\"op\":\"flow\",\"event\":\"dpi_update\",\"id\":\"z" << n << "\"}\n";
    return recording.str();
}

TEST_F(Workers, FlowsAMapAndAgentEventsAreSharedOutByTheRule)
{
    const int count = 4;
    auto run = RunScript(routing_script, RoutingRecording(), {}, {{"workers", count}});
    ASSERT_EQ(run.status, 0) << run.err;

    // Every event of a flow reaches one worker; digest 0 goes to worker 1.
    std::map<std::string, std::set<int>> flow_workers;
    for (const auto &line : LinesWith(run.out, "lua: flow ")) {
        std::istringstream fields(line);
        int worker;
        std::string name;
        fields >> worker >> name;
        flow_workers[name].insert(worker);
    }
    ASSERT_EQ(flow_workers.size(), 15u) << run.out;
    std::set<int> used;
    for (const auto &[name, workers] : flow_workers) {
        ASSERT_EQ(workers.size(), 1u) << name << " reached more than one worker";
        if (name[0] == 'z') {
            EXPECT_EQ(*workers.begin(), 1) << name;
        }
        used.insert(*workers.begin());
    }
    EXPECT_GT(used.size(), 1u) << "the flows were not shared out";

    // The map's shares: disjoint, complete, each flow with its own worker,
    // and no worker given an empty share.
    std::set<std::string> mapped;
    for (const auto &line : LinesWith(run.out, "lua: map ")) {
        std::istringstream fields(line);
        int worker;
        std::string names;
        fields >> worker >> names;
        ASSERT_FALSE(names.empty()) << line;
        std::istringstream list(names);
        for (std::string name; std::getline(list, name, ',');) {
            EXPECT_TRUE(mapped.insert(name).second) << name << " in two shares";
            EXPECT_EQ(flow_workers[name], std::set<int>{worker}) << name;
        }
    }
    EXPECT_EQ(mapped.size(), 15u);

    // Agent events reach every worker, in order with its own share of the map.
    for (int worker = 1; worker <= count; worker++) {
        std::vector<std::string> own;
        const std::string me = " " + std::to_string(worker) + " ";
        for (const auto &line : LinesWith(run.out, "lua: ")) {
            if (line.find(me) != std::string::npos && (line.rfind("agent", 0) == 0 || line.rfind("map", 0) == 0))
                own.push_back(line.substr(0, line.find(' ')) + (line.rfind("agent", 0) == 0 ? line.substr(line.rfind(' ')) : ""));
        }
        const bool has_share = used.count(worker) != 0;
        std::vector<std::string> expected = {"agent 12"};
        if (has_share) expected.push_back("map");
        expected.push_back("agent 13");
        EXPECT_EQ(own, expected) << "worker " << worker;
    }
}

TEST_F(Workers, LppWorkerOnlyWithTheMemberAndTheTopLevelOncePerState)
{
    const std::string script =
        "lpp.print('top ' .. (lpp.worker and table.concat({lpp.worker()}, ' of ') or 'none'))\n"
        "function ProcessAgentEvent(event) end\n";
    const struct {
        json conf;
        std::vector<std::string> lines;
    } cases[] = {
        {json::object(), {"none"}},
        {{{"workers", 1}}, {"1 of 1"}},
        {{{"workers", 3}}, {"1 of 3", "2 of 3", "3 of 3"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.conf.dump());
        auto run = RunScript(script, "", {"-d"}, c.conf);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(LinesWith(run.out, "lua: top "), c.lines);
        // The plugin's own reload lines once, not once per worker.
        EXPECT_EQ(LinesWith(run.out, "lua: Loading configuration").size(), 1u) << run.out;
        EXPECT_EQ(LinesWith(run.out, "lua: " + Path("script.lua") + ": ProcessAgentEvent: defined").size(), 1u)
            << run.out;
    }
}

TEST_F(Workers, AWrongValueFailsTheReload)
{
    for (const json &value : {json(0), json(65), json(2.5), json("2"), json(nullptr), json(true), json(-1)}) {
        SCOPED_TRACE(value.dump());
        auto run = RunScript("function ProcessAgentEvent() end\n", "", {}, {{"workers", value}});
        EXPECT_EQ(run.status, 3);
        EXPECT_NE((run.out + run.err).find("conf.json: workers: expected an integer from 1 to 64"),
            std::string::npos) << run.out << run.err;
    }
    auto run = RunScript("function ProcessAgentEvent() end\n", "", {}, {{"workers", 64}});
    EXPECT_EQ(run.status, 0) << run.err;
}

TEST_F(Workers, FailuresEndEveryWorkerWithTheFirstFailingWorkersText)
{
    const struct {
        const char *script;
        const char *text;
    } cases[] = {
        // Only some states fail: the first in worker order reports.
        {"local n = lpp.worker()\nif n >= 2 then error('state ' .. n) end\nfunction ProcessAgentEvent() end\n",
            "initialization: Runtime Error: "},
        // States that define different handlers.
        {"function ProcessAgentEvent() end\nif lpp.worker() == 3 then function ProcessFlowMap() end end\n",
            "worker 3 defines other handlers than worker 1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.script);
        auto run = RunScript(c.script, "", {}, {{"workers", 3}});
        EXPECT_EQ(run.status, 3);
        const std::string all = run.out + run.err;
        EXPECT_NE(all.find(c.text), std::string::npos) << all;
        EXPECT_EQ(all.find("state 3"), std::string::npos) << all;
    }
}

TEST_F(Workers, AReloadRebuildsEveryStateForANewScriptOrNewWorkers)
{
    auto script = [](int version) {
        return "VERSION = " + std::to_string(version) +
            "\nlpp.print('top ' .. VERSION .. ' ' .. (lpp.worker and select(2, lpp.worker()) or 0))\n"
            "function ProcessAgentEvent(event) end\n";
    };
    auto file = [](const std::string &path, const std::string &text) {
        return json{{"op", "file"}, {"path", path}, {"text", text}}.dump() + "\n";
    };
    auto conf = [this](const json &members) {
        json all = members;
        all["script"] = Path("script.lua");
        return all.dump();
    };
    const std::string reload = "{\"op\":\"reload\"}\n";
    const std::string recording = reload                                  // nothing changed
        + file("script.lua", script(2)) + reload                          // a new script
        + file("conf.json", conf({{"workers", 3}})) + reload               // more workers
        + file("conf.json", conf({{"workers", 1}})) + reload               // fewer
        + file("conf.json", conf(json::object())) + reload                 // the member gone
        + file("conf.json", conf({{"workers", 1}})) + reload;              // and back: a change too
    auto run = RunScript(script(1), recording, {"-d"}, {{"workers", 2}});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(LinesWith(run.out, "lua: top "),
        (std::vector<std::string>{"1 2", "1 2", "2 2", "2 2", "2 3", "2 3", "2 3", "2 1", "2 0", "2 1"}));
    EXPECT_EQ(LinesWith(run.out, "lua: Loading configuration").size(), 7u);
    EXPECT_EQ(LinesWith(run.out, "lua: " + Path("script.lua") + ": not reloading, no change.").size(), 1u);
}

TEST_F(Workers, EachStateIsBuiltAndRunOnItsWorkersOwnThreadWhichOutlivesReloads)
{
    // The thread's id and name, from the system's own account.
    const std::string script = R"lua(
local function thread()
    local file = assert(io.open("/proc/thread-self/stat"))
    local line = file:read("l")
    file:close()
    return line:match("^(%d+) %((.-)%)")
end
local me = lpp.worker()
local built_id, built_name = thread()
function ProcessAgentEvent(event)
    local id, name = thread()
    lpp.print(table.concat({"thread", me, built_id, built_name, id, name}, " "))
end
)lua";
    const std::string recording = "{\"op\":\"agent\",\"event\":12}\n" +
        json{{"op", "file"}, {"path", "script.lua"}, {"text", script + "-- changed\n"}}.dump() +
        "\n{\"op\":\"reload\"}\n{\"op\":\"agent\",\"event\":12}\n";
    auto run = RunScript(script, recording, {}, {{"workers", 3}});
    ASSERT_EQ(run.status, 0) << run.err;
    std::map<int, std::vector<std::string>> ids;
    for (const auto &line : LinesWith(run.out, "lua: thread ")) {
        std::istringstream fields(line);
        int worker;
        std::string built_id, built_name, id, name;
        fields >> worker >> built_id >> built_name >> id >> name;
        EXPECT_EQ(built_id, id) << "worker " << worker << "'s state was built on another thread";
        if (worker > 1) {
            EXPECT_EQ(name, "lua-w" + std::to_string(worker));
        }
        ids[worker].push_back(id);
    }
    ASSERT_EQ(ids.size(), 3u) << run.out;
    for (const auto &[worker, seen] : ids) {
        ASSERT_EQ(seen.size(), 2u) << run.out;
        EXPECT_EQ(seen[0], seen[1]) << "worker " << worker << " had another thread after the reload";
    }
}

TEST_F(Workers, StatusCombinesTheWorkersAndShowsEach)
{
    auto run = RunScript(routing_script, RoutingRecording() + "{\"op\":\"status\"}\n",
        {"--status", Path("status.jsonl")},
        {{"workers", 3}, {"status", true}, {"limits", {{"instructions", 1000000}}}});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = LinesWith(ReadFileText(Path("status.jsonl")), "");
    ASSERT_EQ(lines.size(), 2u);
    const json status = json::parse(lines[1])["lua"];
    ASSERT_TRUE(status["workers"].is_array());
    ASSERT_EQ(status["workers"].size(), 3u);
    EXPECT_EQ(status["limits"]["instructions"], 1000000);
    std::uint64_t flow_calls = 0, agent_calls = 0, memory = 0, flows_max = 0;
    double seconds = 0, seconds_max = 0;
    for (const json &worker : status["workers"]) {
        ASSERT_EQ(worker.size(), 4u) << worker.dump();
        flow_calls += worker["handlers"]["ProcessFlowEvent"]["calls"].get<std::uint64_t>();
        agent_calls += worker["handlers"]["ProcessAgentEvent"]["calls"].get<std::uint64_t>();
        EXPECT_EQ(worker["handlers"]["ProcessAgentEvent"]["calls"], 2) << "each worker sees each agent event";
        memory += worker["lua"]["memory"].get<std::uint64_t>();
        flows_max = std::max(flows_max, worker["queue"]["flows_max"].get<std::uint64_t>());
        seconds += worker["handlers"]["ProcessFlowEvent"]["seconds"].get<double>();
        seconds_max = std::max(seconds_max, worker["handlers"]["ProcessFlowEvent"]["seconds_max"].get<double>());
    }
    EXPECT_EQ(flow_calls, 30u);
    EXPECT_EQ(status["handlers"]["ProcessFlowEvent"]["calls"], flow_calls);
    EXPECT_EQ(status["handlers"]["ProcessAgentEvent"]["calls"], agent_calls);
    EXPECT_EQ(status["lua"]["memory"], memory);
    EXPECT_EQ(status["queue"]["flows_max"], flows_max);
    EXPECT_DOUBLE_EQ(status["handlers"]["ProcessFlowEvent"]["seconds"].get<double>(), seconds);
    EXPECT_EQ(status["handlers"]["ProcessFlowEvent"]["seconds_max"].get<double>(), seconds_max);

    // Without the member, no "workers" in the document, and no lpp.worker().
    run = RunScript("function ProcessAgentEvent() end\nassert(lpp.worker == nil)\n", "{\"op\":\"status\"}\n",
        {"--status", Path("plain.jsonl")}, {{"status", true}});
    ASSERT_EQ(run.status, 0) << run.err;
    const json plain = json::parse(LinesWith(ReadFileText(Path("plain.jsonl")), "")[1])["lua"];
    EXPECT_TRUE(plain.contains("queue"));
    EXPECT_FALSE(plain.contains("workers"));
}

TEST_F(Workers, LimitsHoldPerState)
{
    // A runaway call in one worker is cut there; the others go on.
    const std::string script = R"(
function ProcessFlowEvent(event, flows)
    if flows[1].host_server_name == "f0" then while true do end end
    lpp.print("flow " .. lpp.worker() .. " " .. flows[1].host_server_name)
end
)";
    auto run = RunScript(script, RoutingRecording() + "{\"op\":\"status\"}\n", {"--status", Path("status.jsonl")},
        {{"workers", 4}, {"status", true}, {"limits", {{"instructions", 100000}}}});
    ASSERT_EQ(run.status, 0) << run.err;
    const json status = json::parse(LinesWith(ReadFileText(Path("status.jsonl")), "")[1])["lua"];
    EXPECT_EQ(status["limits"]["instructions"], 100000) << "the limit is in force";
    int cut_workers = 0;
    for (const json &worker : status["workers"])
        cut_workers += worker["handlers"]["ProcessFlowEvent"]["instruction_limit"].get<int>() == 2;
    EXPECT_EQ(cut_workers, 1) << status.dump();
    EXPECT_EQ(status["handlers"]["ProcessFlowEvent"]["instruction_limit"], 2);
    EXPECT_EQ(LinesWith(run.out, "lua: flow ").size(), 28u);
}

}  // namespace

namespace {

TEST_F(Workers, WaitsHoldForEveryWorkerWhereNoMarkerCanBeQueued)
{
    // ProcessAgentEvent alone: the replay can only watch the threads. The
    // last worker is slow, so a replay that watched the plugin's own thread
    // alone would read the status before it is done.
    const std::string script = R"(
local me, count = lpp.worker()
function ProcessAgentEvent(event)
    if me == count then local t = os.clock() + 0.05 while os.clock() < t do end end
    lpp.print("agent " .. me .. " " .. event)
end
)";
    std::string recording;
    for (int n = 0; n < 4; n++) recording += "{\"op\":\"agent\",\"event\":12}\n";
    recording += "{\"op\":\"status\"}\n";
    auto run = RunScript(script, recording, {"--status", Path("status.jsonl")}, {{"workers", 4}, {"status", true}});
    ASSERT_EQ(run.status, 0) << run.err;
    const json at_op = json::parse(LinesWith(ReadFileText(Path("status.jsonl")), "")[0])["lua"];
    EXPECT_EQ(at_op["handlers"]["ProcessAgentEvent"]["calls"], 16) << at_op.dump();
    EXPECT_EQ(LinesWith(run.out, "lua: agent 4 ").size(), 4u);
}

}  // namespace

namespace {

// The ```lua block of the reference's section on workers.
std::string WorkersRecipe()
{
    std::istringstream input(vxReplayTest::ReadFileText(std::string(LPP_TEST_SOURCE_DIR) + "/docs/scripting.md"));
    std::string line, recipe;
    bool in_section = false, in_block = false;
    while (std::getline(input, line)) {
        if (line.rfind("## ", 0) == 0) in_section = line.rfind("## Workers", 0) == 0;
        if (!in_section) continue;
        if (line == "```lua") in_block = true;
        else if (line == "```") in_block = false;
        else if (in_block) recipe += line + "\n";
    }
    return recipe;
}

TEST_F(Workers, TheReferencesPerCycleReportAddsUpOverWorkers)
{
    const std::string recipe = WorkersRecipe();
    ASSERT_FALSE(recipe.empty());
    const std::string recording = ReadFileText(std::string(LPP_TEST_SOURCE_DIR) + "/examples/app-bytes.jsonl");
    // Per cycle: flows and bytes, summed over the workers' lines.
    auto totals = [](const std::string &out, int count) {
        std::map<int, std::vector<std::pair<long, long>>> per_worker;
        for (const auto &line : LinesWith(out, "lua: cycle ")) {
            int worker = 0, of = 0;
            long flows = 0, bytes = 0;
            EXPECT_EQ(std::sscanf(line.c_str(), "worker=%d/%d flows=%ld bytes=%ld", &worker, &of, &flows, &bytes), 4)
                << line;
            EXPECT_EQ(of, count);
            per_worker[worker].emplace_back(flows, bytes);
        }
        EXPECT_EQ(per_worker.size(), static_cast<std::size_t>(count));
        std::vector<std::pair<long, long>> cycles(2);
        for (const auto &[worker, lines] : per_worker) {
            EXPECT_EQ(lines.size(), 2u) << "worker " << worker;
            for (std::size_t cycle = 0; cycle < std::min<std::size_t>(2, lines.size()); cycle++) {
                cycles[cycle].first += lines[cycle].first;
                cycles[cycle].second += lines[cycle].second;
            }
        }
        return cycles;
    };
    auto one = RunScript(recipe, recording);
    ASSERT_EQ(one.status, 0) << one.out << one.err;
    auto two = RunScript(recipe, recording, {}, {{"workers", 2}});
    ASSERT_EQ(two.status, 0) << two.out << two.err;
    const auto expected = totals(one.out, 1);
    EXPECT_GT(expected[0].first, 0) << one.out;
    EXPECT_EQ(totals(two.out, 2), expected) << two.out;
}

}  // namespace

namespace {

TEST_F(Workers, LppWorkerRefusesUpvaluesReplacedThroughTheDebugLibrary)
{
    // The guarded debug library refuses; Lua's own, loaded as native code,
    // reaches the function's own check.
    const std::string script = R"(
lpp.print("guarded " .. select(2, pcall(debug.setupvalue, lpp.worker, 1, "x")):match("debug%.setupvalue: .*"))
local debug = )" + lpptest::kUnguardedDebug + R"(
for _, value in ipairs({"x", 1.5, {}}) do
    local fresh = lpp.worker
    debug.setupvalue(fresh, 1, value)
    local ok, err = pcall(fresh)
    lpp.print("replaced " .. tostring(ok) .. " " .. tostring(err))
    debug.setupvalue(fresh, 1, 1)
end
debug.setupvalue(lpp.worker, 2, nil)
lpp.print("count " .. tostring(pcall(lpp.worker)))
function ProcessAgentEvent() end
)";
    auto run = RunScript(script, "", {}, {{"workers", 1}});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const auto lines = LinesWith(run.out, "lua: replaced ");
    ASSERT_EQ(lines.size(), 3u) << run.out;
    for (const auto &line : lines) EXPECT_NE(line.find("false") , std::string::npos) << line;
    for (const auto &line : lines) EXPECT_NE(line.find("worker number lost"), std::string::npos) << line;
    EXPECT_EQ(LinesWith(run.out, "lua: count "), std::vector<std::string>{"false"});
    EXPECT_EQ(LinesWith(run.out, "lua: guarded "),
        std::vector<std::string>{"debug.setupvalue: upvalues of C functions are not accessible"});
}

}  // namespace
