// The waits: output that does not depend on thread timing, also under load
// (a slow handler, thousands of queued records, both cores busy, a worker
// that dies mid-recording), and flows that change after an event is sent.
#include <atomic>
#include <thread>

#include "vx-e2e-support.hpp"

namespace {

using Waits = vxReplayTest;

std::string Line(const std::string &text) { return text + "\n"; }

const char *const mixed_script = R"(
PREFIX = PREFIX or "first"
local seen = 0
function ProcessFlowEvent(event, flows)
    seen = seen + 1
    lpp.print(PREFIX .. " event " .. event .. " " .. flows[1].host_server_name .. " " .. flows[1].stats.total_bytes)
end
function ProcessFlowMap(flows)
    local names = {}
    for i, f in ipairs(flows) do names[i] = f.host_server_name .. "=" .. f.stats.total_bytes end
    lpp.print(PREFIX .. " map " .. table.concat(names, ","))
end
function ProcessAgentEvent(event)
    lpp.print(PREFIX .. " agent " .. event .. " after " .. seen)
    if event == LPP_EVENT_UPDATE_COMPLETE then
        lpp.dispatch("cycle", { "x" }, PREFIX .. seen, LPP_FORMAT_JSON, 0)
    end
end
)";

// A recording of flows, flow maps, update cycles, changes, purges and a
// reload to a changed script, about count flow events long.
std::string MixedRecording(int count)
{
    std::string rec;
    for (int i = 0; i < count; i++) {
        const std::string id = std::string("f").append(std::to_string(i % 37));
        rec += Line("{\"op\":\"flow\",\"event\":\"new\",\"id\":\"" + id +
            "\",\"set\":{\"flags\":{\"detection_init\":true},\"host_server_name\":\"h" + std::to_string(i) +
            "\",\"stats\":{\"total_bytes\":" + std::to_string(i * 10) + "}}}");
        if (i % 10 == 9) rec += Line("{\"op\":\"update\",\"id\":\"" + id + "\",\"set\":{\"stats\":{\"total_bytes\":1}}}");
        if (i % 25 == 24) {
            rec += Line("{\"op\":\"agent\",\"event\":\"update_init\"}");
            rec += Line("{\"op\":\"flow_map\"}");
            rec += Line("{\"op\":\"agent\",\"event\":\"update_complete\"}");
        }
        if (i % 40 == 39) rec += Line("{\"op\":\"purge\",\"id\":\"" + id + "\"}");
        if (i == count / 2) {
            rec += Line("{\"op\":\"file\",\"path\":\"script.lua\",\"text\":" +
                json(std::string("PREFIX = 'second'\n") + mixed_script).dump() + "}");
        }
    }
    return rec;
}


// The same run several times: every output byte-identical.
void ExpectIdenticalRuns(vxReplayTest &test, const std::function<vxReplayRun()> &run_once, int runs,
    vxReplayRun *first_run = nullptr)
{
    vxReplayRun first = run_once();
    ASSERT_EQ(first.status, 0) << first.err;
    for (int i = 1; i < runs; i++) {
        vxReplayRun again = run_once();
        EXPECT_EQ(again.status, 0);
        EXPECT_EQ(again.out, first.out) << "run " << i;
        EXPECT_EQ(again.sinks, first.sinks) << "run " << i;
    }
    (void)test;
    if (first_run) *first_run = first;
}

TEST_F(Waits, RepeatedRunsGiveIdenticalOutput)
{
    const std::string rec = MixedRecording(400) + Line("{\"op\":\"reload\"}") +
        Line("{\"op\":\"agent\",\"event\":\"update_init\"}");
    vxReplayRun first;
    ExpectIdenticalRuns(*this, [&] { return RunScript(mixed_script, rec); }, 5, &first);
    // Everything was handled: 400 flow events and 16 cycles, then the new
    // script after the reload.
    EXPECT_EQ(LinesWith(first.out, "lua: first event ").size(), 400u);
    EXPECT_EQ(LinesWith(first.out, "lua: second event ").size(), 0u) << "the reload comes at the end";
    EXPECT_EQ(LinesWith(first.out, "lua: first agent 13").size(), 16u);
    EXPECT_EQ(LinesWith(first.out, "lua: second agent 12 after 0").size(), 1u);
}

TEST_F(Waits, BothCoresBusy)
{
    const std::string rec = MixedRecording(300);
    vxReplayRun quiet = RunScript(mixed_script, rec);
    ASSERT_EQ(quiet.status, 0);
    std::atomic<bool> stop{false};
    std::vector<std::thread> spinners;
    for (int i = 0; i < 3; i++)
        spinners.emplace_back([&] {
            volatile unsigned long x = 0;
            while (!stop) x = x + 1;
        });
    for (int i = 0; i < 3; i++) {
        vxReplayRun busy = RunScript(mixed_script, rec);
        EXPECT_EQ(busy.status, 0);
        EXPECT_EQ(busy.out, quiet.out) << "run " << i;
        EXPECT_EQ(busy.sinks, quiet.sinks) << "run " << i;
    }
    stop = true;
    for (auto &t : spinners) t.join();
}

TEST_F(Waits, AFlowChangedAfterAnEventIsSeenAsItWasSent)
{
    // The handler is slow, so the replay is far ahead of it; each line
    // changes the flow right after the event. The handler of each event
    // must see the flow as it stood when that event was sent.
    std::string rec;
    for (int i = 0; i < 20; i++) {
        const std::string n = std::to_string(i);
        rec += Line("{\"op\":\"flow\",\"event\":\"dpi_update\",\"id\":\"a\",\"set\":{\"host_server_name\":\"name" + n +
            "\",\"stats\":{\"total_bytes\":" + n + "},\"tls\":{\"version\":" + n +
            "},\"master_protocol\":91,\"risk\":{\"score\":" + n + ",\"risks\":[" + n + "]},\"lower_addr\":\"10.0.0." + n +
            "\",\"lower_port\":" + n + ",\"flags\":{\"detection_init\":true,\"expiring\":" + (i % 2 ? "true" : "false") + "}}}");
        rec += Line("{\"op\":\"update\",\"id\":\"a\",\"set\":{\"host_server_name\":\"changed\",\"stats\":{\"total_bytes\":999},"
                    "\"tls\":{\"version\":999},\"risk\":{\"score\":999,\"risks\":[999]},\"lower_addr\":\"192.0.2.1\",\"lower_port\":999}}");
        if (i % 5 == 4) {
            rec += Line("{\"op\":\"update\",\"id\":\"a\",\"set\":{\"host_server_name\":\"map" + n + "\"}}");
            rec += Line("{\"op\":\"flow_map\"}");
            rec += Line("{\"op\":\"purge\",\"id\":\"a\"}");
        }
    }
    auto run = RunScript(R"(
local function Slow() local t = os.clock() while os.clock() - t < 0.01 do end end
function ProcessFlowEvent(event, flows)
    Slow()
    local f = flows[1]
    lpp.print(string.format("%s %d %d %d %d %s:%d %s", f.host_server_name, f.stats.total_bytes,
        f.tls.version, f.risk.ndpi_score, f.risk.risks[1], f.lower_addr, f.lower_port, tostring(f.flags.expiring)))
end
function ProcessFlowMap(flows)
    Slow()
    lpp.print("map " .. flows[1].host_server_name .. " " .. flows[1].stats.total_bytes)
end
)", rec);
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> expected;
    for (int i = 0; i < 20; i++) {
        const std::string n = std::to_string(i);
        expected.push_back(
            "name" + n + " " + n + " " + n + " " + n + " " + n + " 10.0.0." + n + ":" + n + (i % 2 ? " true" : " false"));
        if (i % 5 == 4) expected.push_back("map map" + n + " 999");
    }
    auto lines = LinesWith(run.out, "lua: ");
    lines.erase(lines.begin());  // the banner
    EXPECT_EQ(lines, expected);
}

TEST_F(Waits, ThousandsOfQueuedRecords)
{
    // The replay queues far faster than the script handles; the end of the
    // recording waits for all of them, and an update waits for the records
    // that hold its flow.
    std::string rec;
    const int count = 5000;
    for (int i = 0; i < count; i++)
        rec += Line("{\"op\":\"flow\",\"event\":\"new\",\"id\":\"f" + std::to_string(i % 50) +
            "\",\"set\":{\"stats\":{\"total_bytes\":" + std::to_string(i) + "}}}");
    rec += Line("{\"op\":\"update\",\"id\":\"f0\",\"set\":{\"stats\":{\"total_bytes\":0}}}");
    rec += Line("{\"op\":\"agent\",\"event\":13}");
    const char *script = R"(
local count, sum = 0, 0
function ProcessFlowEvent(event, flows)
    count = count + 1
    sum = sum + flows[1].stats.total_bytes
    local x = 0
    for i = 1, 2000 do x = x + i end
end
function ProcessAgentEvent(event) lpp.print("handled " .. count .. " sum " .. sum) end
)";
    auto run = RunScript(script, rec);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(LinesWith(run.out, "lua: handled "),
        (std::vector<std::string>{std::to_string(count) + " sum " + std::to_string(count * (count - 1LL) / 2)}));
}

TEST_F(Waits, AWorkerThatDiesMidRecordingStopsTheReplay)
{
    // Thousands of records queued behind a slow handler when the worker
    // dies: the replay stops with status 3 rather than waiting for records
    // nobody will take.
    std::string rec;
    for (int i = 0; i < 3000; i++)
        rec += Line("{\"op\":\"flow\",\"event\":\"new\",\"id\":\"f" + std::to_string(i % 3) +
            "\",\"set\":{\"stats\":{\"total_bytes\":" + std::to_string(i) + "}}}");
    auto run = RunScript(R"(
n = 0
function ProcessFlowEvent(event, flows)
    n = n + 1
    local t = os.clock() while os.clock() - t < 0.001 do end
    if n == 50 then ProcessFlowEvent = nil end
end
)", rec);
    EXPECT_EQ(run.status, 3);
    EXPECT_NE(run.out.find("ProcessFlowEvent function not found."), std::string::npos) << run.out;
}

TEST_F(Waits, AReloadWaitsForQueuedRecordsAndThenForTheReload)
{
    // Records queued before a reload reach the old script (the replay
    // drains first, so the rebuild discards nothing); those after it reach
    // the new one.
    std::string rec;
    for (int i = 0; i < 100; i++) rec += Line("{\"op\":\"flow\",\"event\":\"new\",\"id\":\"a\"}");
    rec += Line("{\"op\":\"file\",\"path\":\"script.lua\",\"text\":"
                "\"function ProcessFlowEvent(e, f) lpp.print('new') end\"}");
    rec += Line("{\"op\":\"reload\"}");
    for (int i = 0; i < 5; i++) rec += Line("{\"op\":\"flow\",\"event\":\"new\",\"id\":\"a\"}");
    rec += Line("{\"op\":\"reload\"}");
    rec += Line("{\"op\":\"flow\",\"event\":\"new\",\"id\":\"a\"}");
    for (int attempt = 0; attempt < 3; attempt++) {
        auto run = RunScript(R"(
function ProcessFlowEvent(e, f)
    local t = os.clock() while os.clock() - t < 0.002 do end
    lpp.print("old")
end
)", rec, {"-d"});
        ASSERT_EQ(run.status, 0) << run.err;
        auto lines = LinesWith(run.out, "lua: ");
        std::vector<std::string> handled;
        for (const auto &line : lines)
            if (line == "old" || line == "new" || line.find("not reloading, no change.") != std::string::npos)
                handled.push_back(line == "old" || line == "new" ? line : "no change");
        std::vector<std::string> expected(100, "old");
        expected.insert(expected.end(), 5, "new");
        expected.push_back("no change");
        expected.push_back("new");
        EXPECT_EQ(handled, expected) << run.out;
    }
}

TEST_F(Waits, AScriptWithTheAgentHandlerAloneIsWaitedForByItsThread)
{
    // No marker passes such a script's gates: the replay watches the worker
    // thread instead, also across a reload.
    std::string rec;
    for (int i = 0; i < 30; i++) rec += Line("{\"op\":\"agent\",\"event\":" + std::string(i % 2 ? "12" : "13") + "}");
    rec += Line("{\"op\":\"file\",\"path\":\"script.lua\",\"text\":"
                "\"function ProcessAgentEvent(e) lpp.print('second ' .. e) end\"}");
    rec += Line("{\"op\":\"reload\"}");
    rec += Line("{\"op\":\"agent\",\"event\":12}");
    rec += Line("{\"op\":\"wait\"}");
    rec += Line("{\"op\":\"file\",\"path\":\"script.lua\",\"text\":"
                "\"function ProcessFlowEvent(e, f) lpp.print('third ' .. e) end\"}");
    rec += Line("{\"op\":\"reload\"}");
    rec += Line("{\"op\":\"flow\",\"event\":\"new\",\"id\":\"a\"}");
    const char *script = R"(
local n = 0
function ProcessAgentEvent(e)
    n = n + 1
    local t = os.clock() while os.clock() - t < 0.002 do end
    lpp.print("first " .. n .. " " .. e)
end
)";
    vxReplayRun first;
    ExpectIdenticalRuns(*this, [&] { return RunScript(script, rec); }, 3, &first);
    auto lines = LinesWith(first.out, "lua: ");
    ASSERT_EQ(lines.size(), 33u) << first.out;
    EXPECT_EQ(lines[30], "first 30 12");
    EXPECT_EQ(lines[31], "second 12");
    EXPECT_EQ(lines[32], "third 2");
}

TEST_F(Waits, AReloadRequestedWithoutWaitingChangesTheGates)
{
    // dispatch_event 0 asks for a reload the replay does not wait for; two
    // waits later it has run. The new script takes agent events alone, so
    // the later waits cannot rely on markers any more.
    const std::string rec =
        Line("{\"op\":\"flow\",\"event\":\"new\",\"id\":\"a\"}") +
        Line("{\"op\":\"file\",\"path\":\"script.lua\",\"text\":"
             "\"function ProcessAgentEvent(e) lpp.print('new ' .. e) end\"}") +
        Line("{\"op\":\"dispatch_event\",\"event\":0}") + Line("{\"op\":\"wait\"}") +
        Line("{\"op\":\"wait\"}") + Line("{\"op\":\"agent\",\"event\":12}") +
        Line("{\"op\":\"flow\",\"event\":\"new\",\"id\":\"a\"}") + Line("{\"op\":\"agent\",\"event\":13}");
    for (int attempt = 0; attempt < 3; attempt++) {
        auto run = RunScript("function ProcessFlowEvent(e, f) lpp.print('old ' .. e) end", rec);
        ASSERT_EQ(run.status, 0) << run.err;
        auto lines = LinesWith(run.out, "lua: ");
        lines.erase(lines.begin());
        EXPECT_EQ(lines, (std::vector<std::string>{"old 2", "new 12", "new 13"}));
    }
}

TEST_F(Waits, AReloadRequestedByDispatchEventIsWaitedForAsAReloadLine)
{
    // Two requests in a row both run (neither swallows the other), and the
    // flow lines after them reach the script that the second one built.
    const std::string request = Line("{\"op\":\"dispatch_event\",\"event\":0}");
    std::string rec = Line("{\"op\":\"file\",\"path\":\"script.lua\",\"text\":"
                           "\"function ProcessFlowEvent(e) lpp.print('new ' .. e) end\"}") +
        request + request;
    for (int i = 0; i < 5; i++)
        rec += Line("{\"op\":\"flow\",\"event\":\"new\",\"id\":\"f" + std::to_string(i) + "\"}");
    const int runs = lpptest::kSanitized ? 5 : 20;
    for (int i = 0; i < runs; i++) {
        auto run = RunScript("function ProcessFlowEvent(e) lpp.print('old ' .. e) end", rec, {"-d"});
        ASSERT_EQ(run.status, 0) << run.err;
        ASSERT_EQ(LinesWith(run.out, "lua: Loading configuration: ").size(), 3u) << "run " << i << "\n" << run.out;
        ASSERT_EQ(LinesWith(run.out, "lua: new ").size(), 5u) << "run " << i << "\n" << run.out;
    }
}

TEST_F(Waits, EveryReloadTheRecordingRequestsRunsBeforeTheEnd)
{
    // A reload asked for on the first line, or right after a reload line
    // that rebuilt the script, is not swallowed by the reload before it
    // still clearing its flag (races that show in about one run of a few
    // hundred when the replay goes on too early); one asked for on the
    // last line, after the configuration was broken, runs before the plugin
    // is terminated, so every run ends with its error and status 3.
    const std::string request = Line("{\"op\":\"dispatch_event\",\"event\":0}");
    const std::string run_it = Line("{\"op\":\"wait\"}") + Line("{\"op\":\"wait\"}");
    const std::string rec = request + run_it +
        Line("{\"op\":\"file\",\"path\":\"script.lua\",\"text\":\"function ProcessFlowEvent() end\"}") +
        Line("{\"op\":\"reload\"}") + request + run_it +
        Line("{\"op\":\"file\",\"path\":\"conf.json\",\"text\":\"{\"}") + request;
    // The first race needs about a thousand runs to show; the sanitizer
    // builds check the rest of the tool's behaviour on fewer.
    const int runs = lpptest::kSanitized ? 50 : 1000;
    for (int i = 0; i < runs; i++) {
        auto run = RunScript("function ProcessFlowEvent(e, f) end", rec, {"-d"});
        ASSERT_EQ(run.status, 3) << "run " << i << "\n" << run.out;
        ASSERT_EQ(LinesWith(run.out, "lua: Loading configuration: ").size(), 5u) << "run " << i << "\n" << run.out;
        ASSERT_EQ(LinesWith(run.out, "lua: error loading configuration: ").size(), 1u) << "run " << i << "\n" << run.out;
    }
}

TEST_F(Waits, AScriptWithFlowMapHandlersAloneIsWaitedForThroughTheFlowMap)
{
    // The single-flow gate is closed, so the markers go through the
    // flow-map overload; a flow changed after a flow map is still seen as
    // it was in that map.
    std::string rec;
    for (int i = 0; i < 30; i++) {
        const std::string n = std::to_string(i);
        rec += Line("{\"op\":\"update\",\"id\":\"a\",\"set\":{\"flags\":{\"detection_init\":true},"
                    "\"host_server_name\":\"" + n + "\"}}");
        rec += Line("{\"op\":\"flow_map\"}");
    }
    rec += Line("{\"op\":\"update\",\"id\":\"a\",\"set\":{\"host_server_name\":\"changed\"}}");
    auto run = RunScript(R"(
function ProcessFlowMap(flows)
    local t = os.clock() while os.clock() - t < 0.005 do end
    lpp.print("name " .. flows[1].host_server_name)
end
)", rec);
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> expected;
    for (int i = 0; i < 30; i++) expected.push_back(std::to_string(i));
    EXPECT_EQ(LinesWith(run.out, "lua: name "), expected);
}

TEST_F(Waits, MarkersRefusedByAFullQueueAreSentAgain)
{
    // A queue of one flow entry and a slow script: most events and many
    // markers are refused. A wait still returns only once the queue is
    // empty, so the flow sent after it is always handled.
    std::string rec;
    for (int i = 0; i < 40; i++)
        rec += Line("{\"op\":\"flow\",\"event\":\"new\",\"id\":\"f" + std::to_string(i) + "\"}");
    rec += Line("{\"op\":\"wait\"}") + Line("{\"op\":\"flow\",\"event\":\"dpi_complete\",\"id\":\"f0\"}");
    const char *script = R"(
function ProcessFlowEvent(event, flows)
    local spin = 0
    for i = 1, 200000 do spin = spin + i end
    lpp.print("event " .. event)
end
)";
    for (int attempt = 0; attempt < 3; attempt++) {
        auto run = RunScript(script, rec, {"--status", Path("status.jsonl")},
            {{"limits", {{"queue", 1}}}, {"status", true}});
        ASSERT_EQ(run.status, 0) << run.err;
        auto lines = LinesWith(run.out, "lua: event ");
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "8") << run.out;
        const json status = json::parse(ReadFileText(Path("status.jsonl")))["lua"];
        EXPECT_EQ(status["handlers"]["ProcessFlowEvent"]["calls"], lines.size());
        EXPECT_EQ(status["queue"]["records"], 0);
    }
}

}  // namespace
