// The script's handlers as the worker calls them: arguments, routing, order,
// errors, and what ends the worker.
#include <atomic>
#include <thread>

#include "pipeline-fixture.hpp"

using namespace lpptest;

namespace {

const char *const kFlowPrinter = R"(
function ProcessFlowEvent(event, flows)
  lpp.print(string.format("seen %d %d %d", event, #flows, flows[1].stats.lower_bytes))
end
)";

TEST_F(PipelineTest, ScriptSeesCountersAsTheyWereAtQueueTime)
{
    LoadWithoutWorker(kFlowPrinter);
    auto flow = MakeFlow();
    flow->stats.lower_bytes = 100;
    SendFlow(Event::FLOW_NEW, flow);
    flow->stats.lower_bytes = 999;
    SendFlow(Event::FLOW_EXPIRED, flow);
    flow->stats.lower_bytes = 5000;

    plugin->Create();
    ASSERT_TRUE(WaitFor([this] { return Printed("seen ").size() == 2; })) << log.Text();
    EXPECT_EQ(Printed("seen "), (std::vector<std::string>{"2 1 100", "4 1 999"}));
}

TEST_F(PipelineTest, GatesFollowTheHandlersTheScriptDefines)
{
    LoadWithoutWorker("function ProcessFlowStats(flows) end");
    auto flow = MakeDetectedFlow();
    vdFlowMap map(4);
    map.Acquire(1).push_back(flow);
    map.Release(1);

    plugin->DispatchProcessorEvent(vdPluginProcessor::Event::FLOW_MAP, &map);
    SendFlow(Event::FLOW_NEW, flow);
    SendAgent(Event::UPDATE_INIT);
    EXPECT_EQ(plugin->Queue().Records(), 1u) << "only the flow map passes";

    Stop();
    LoadWithoutWorker("function ProcessAgentEvent(event) end");
    plugin->DispatchProcessorEvent(vdPluginProcessor::Event::FLOW_MAP, &map);
    SendFlow(Event::FLOW_NEW, flow);
    SendFlow(Event::FLOW_NEW, flow, json::object());
    EXPECT_EQ(plugin->Queue().Records(), 0u);
    SendAgent(Event::UPDATE_COMPLETE);
    EXPECT_EQ(plugin->Queue().Records(), 1u);
}

TEST_F(PipelineTest, RecordsAreHandledInIntakeOrder)
{
    Start(R"(
function ProcessFlowEvent(event, flows) lpp.print("seen flow " .. flows[1].seq) end
function ProcessAgentEvent(event) lpp.print("seen agent " .. event) end
)");
    auto flow = MakeFlow();
    std::vector<std::string> expected;
    for (int i = 0; i < 200; i++) {
        if (i % 10 == 9) {
            SendAgent((i / 10) % 2 ? Event::UPDATE_COMPLETE : Event::UPDATE_INIT);
            expected.push_back("agent " + std::to_string(12 + (i / 10) % 2));
        } else {
            SendFlow(Event::FLOW_INTEL, flow, json{{"seq", i}});
            expected.push_back("flow " + std::to_string(i));
        }
    }
    ASSERT_TRUE(WaitFor([&] { return Printed("seen ").size() == expected.size(); })) << log.Text();
    EXPECT_EQ(Printed("seen "), expected);
}

TEST_F(PipelineTest, FlowMapGoesToMapThenStatsWithTablesBuiltAgain)
{
    LoadWithoutWorker(R"(
function ProcessFlowMap(flows)
  lpp.print(string.format("seen map %d %s", #flows, tostring(flows[1].ip_version)))
  flows[1].stats.lower_bytes = -1
  flows[1].touched = true
  flows[3] = "extra"
end
function ProcessFlowStats(flows)
  lpp.print(string.format("seen stats %d %d %s %s", #flows, flows[1].stats.lower_bytes,
    tostring(flows[1].touched), tostring(flows[1].ip_version)))
end
)");
    vdFlowMap map(2);
    auto a = MakeDetectedFlow(), b = MakeDetectedFlow();
    a->stats.lower_bytes = 7;
    map.Acquire(0).push_back(a);
    map.Release(0);
    map.Acquire(1).push_back(b);
    map.Release(1);
    plugin->DispatchProcessorEvent(vdPluginProcessor::Event::FLOW_MAP, &map);

    plugin->Create();
    ASSERT_TRUE(WaitFor([this] { return Printed("seen ").size() == 2; })) << log.Text();
    EXPECT_EQ(Printed("seen "), (std::vector<std::string>{"map 2 4", "stats 2 7 nil nil"}));
}

TEST_F(PipelineTest, OnlyTheDefinedFlowMapHandlerIsCalled)
{
    LoadWithoutWorker(R"(
function ProcessFlowStats(flows) lpp.print("seen stats " .. #flows) end
)");
    vdFlowMap map(1);
    map.Acquire(0).push_back(MakeDetectedFlow());
    map.Release(0);
    plugin->DispatchProcessorEvent(vdPluginProcessor::Event::FLOW_MAP, &map);
    plugin->Create();
    ASSERT_TRUE(WaitForLine("seen stats 1")) << log.Text();
    EXPECT_TRUE(log.Matching("function not found").empty()) << log.Text();
}

TEST_F(PipelineTest, EventsWithoutAHandlerAreDropped)
{
    LoadWithoutWorker(R"(
function ProcessAgentEvent(event) lpp.print("seen agent " .. event) end
function ProcessFlowEvent(event, flows) lpp.print("seen flow " .. event) end
function ProcessFlowMap(flows) lpp.print("seen map") end
)");
    auto flow = MakeFlow();
    for (Event event : {Event::NONE, Event::INTERFACES, Event::PKT_CAPTURE_STATS, Event::PKT_GLOBAL_STATS,
             Event{14}, Event{65535}, Event::UPDATE_INIT})
        SendAgent(event);
    for (Event event : {Event::NONE, Event::INTERFACES, Event::PKT_CAPTURE_STATS, Event::PKT_GLOBAL_STATS,
             Event{14}, Event::DPI_COMPLETE})
        SendFlow(event, flow);
    EXPECT_EQ(plugin->Queue().Records(), 13u);

    plugin->Create();
    ASSERT_TRUE(WaitFor([this] { return plugin->Queue().Records() == 0; }));
    ASSERT_TRUE(WaitFor([this] { return Printed("seen ").size() == 2; })) << log.Text();
    EXPECT_EQ(Printed("seen "), (std::vector<std::string>{"agent 12", "flow 8"}));
}

TEST_F(PipelineTest, HandlerReceivesTheEventNumberAndOneFlow)
{
    Start(R"(
function ProcessFlowEvent(event, flows)
  lpp.print(string.format("seen %s %d %d %s", math.type(event), event, #flows, type(flows[1])))
  return 1, 2, 3
end
)");
    auto flow = MakeFlow();
    SendFlow(Event::FLOW_NEW, flow);
    ASSERT_TRUE(WaitForLine("seen ")) << log.Text();
    EXPECT_EQ(Printed("seen "), (std::vector<std::string>{"integer 2 1 table"}));
    EXPECT_TRUE(log.Matching("error").empty()) << log.Text();
}

TEST_F(PipelineTest, HandlerErrorIsLoggedOnceAndHandlingGoesOn)
{
    Start(R"(
local calls = 0
function ProcessFlowEvent(event, flows)
  calls = calls + 1
  if calls == 1 then error("first call fails") end
  lpp.print("seen call " .. calls)
end
)");
    auto flow = MakeFlow();
    SendFlow(Event::FLOW_NEW, flow);
    SendFlow(Event::FLOW_EXPIRING, flow);
    ASSERT_TRUE(WaitForLine("seen call 2")) << log.Text();

    auto errors = log.Matching(": ProcessFlowEvent: error: ");
    ASSERT_EQ(errors.size(), 1u) << log.Text();
    const std::string expected_head =
        std::string(kTag) + ": ProcessFlowEvent: error: " + script_file + ":5: first call fails\nstack traceback:\n";
    EXPECT_EQ(errors[0].compare(0, expected_head.size(), expected_head), 0) << errors[0];
    EXPECT_NE(errors[0].find("in function 'ProcessFlowEvent'"), std::string::npos) << errors[0];
}

TEST_F(PipelineTest, NonStringErrorValuesGetTheDefaultText)
{
    Start(R"(
function ProcessAgentEvent(event)
  if event == 12 then error({code = 1}) else error(42) end
end
)");
    SendAgent(Event::UPDATE_INIT);
    SendAgent(Event::UPDATE_COMPLETE);
    ASSERT_TRUE(WaitFor([this] { return log.Matching(": ProcessAgentEvent: error: ").size() == 2; }))
        << log.Text();
    for (const auto &line : log.Matching(": ProcessAgentEvent: error: "))
        EXPECT_EQ(line.rfind(std::string(kTag) +
                      ": ProcessAgentEvent: error: An unknown error has triggered the default error handler\n",
                      0),
            0u)
            << line;
}

TEST_F(PipelineTest, HandlerReplacedByANumberLogsLuasErrorAndGoesOn)
{
    // Only nil counts as missing: false is called like any other value.
    for (const char *value : {"42", "false"}) {
        Stop();
        log.Clear();
        Start(std::string("function ProcessFlowEvent(event, flows) ProcessFlowEvent = ") + value + R"( end
function ProcessAgentEvent(event) lpp.print("seen agent " .. event) end
)");
        auto flow = MakeFlow();
        SendFlow(Event::FLOW_NEW, flow);
        SendFlow(Event::FLOW_EXPIRING, flow);
        SendFlow(Event::FLOW_EXPIRED, flow);
        SendAgent(Event::UPDATE_COMPLETE);
        ASSERT_TRUE(WaitForLine("seen agent 13")) << log.Text();
        auto errors = log.Matching(": ProcessFlowEvent: error: ");
        ASSERT_EQ(errors.size(), 2u) << log.Text();
        const std::string type = value[0] == 'f' ? "boolean" : "number";
        for (const auto &line : errors)
            EXPECT_NE(line.find("attempt to call a " + type + " value"), std::string::npos) << line;
        EXPECT_FALSE(plugin->HasEnded());
    }
}

TEST_F(PipelineTest, EachHandlerReceivesItsArgumentsAndNoMore)
{
    Start(R"(
local function Count(name, ...) lpp.print("args " .. name .. " " .. select("#", ...)) end
function ProcessAgentEvent(...) Count("agent", ...) end
function ProcessFlowEvent(...) Count("flow", ...) end
function ProcessFlowMap(...) Count("map", ...) end
function ProcessFlowStats(...) Count("stats", ...) end
)");
    auto flow = MakeDetectedFlow();
    vdFlowMap map(1);
    map.Acquire(0).push_back(flow);
    map.Release(0);
    SendAgent(Event::UPDATE_INIT);
    SendFlow(Event::FLOW_NEW, flow);
    plugin->DispatchProcessorEvent(vdPluginProcessor::Event::FLOW_MAP, &map);
    ASSERT_TRUE(WaitForLine("args stats ")) << log.Text();
    EXPECT_EQ(Printed("args "), (std::vector<std::string>{"agent 1", "flow 2", "map 1", "stats 1"}));
}

TEST_F(PipelineTest, HandlerSetToNilEndsTheWorker)
{
    Start(R"(
function ProcessFlowEvent(event, flows) ProcessFlowEvent = nil end
function ProcessAgentEvent(event) lpp.print("seen agent " .. event) end
)");
    auto flow = MakeFlow();
    SendFlow(Event::FLOW_NEW, flow);
    SendFlow(Event::FLOW_EXPIRING, flow);
    SendAgent(Event::UPDATE_INIT);
    ASSERT_TRUE(WaitFor([this] { return plugin->HasEnded(); })) << log.Text();
    EXPECT_TRUE(plugin->EndedByException());
    EXPECT_EQ(log.Matching(std::string(kTag) + ": " + script_file + ": ProcessFlowEvent function not found.\n")
                  .size(),
        1u)
        << log.Text();
    // The record after the failing one stays queued, unhandled.
    EXPECT_TRUE(Printed("seen ").empty());
    EXPECT_EQ(plugin->Queue().Records(), 1u);
    EXPECT_EQ(flow.use_count(), 1) << "the record in hand was destroyed";
}

}  // namespace

namespace {

TEST_F(PipelineTest, DetectionFieldsChangedTogetherUnderTheFlowLockAreSeenTogether)
{
    // A daemon thread renames the flow under its lock while the worker
    // builds tables: the two names, read under that lock, always agree.
    Start(R"(
local handled = 0
function ProcessFlowEvent(event, flows)
  handled = handled + 1
  local f = flows[1]
  if f.dns_host_name ~= f.host_server_name then lpp.print("torn " .. f.dns_host_name .. " " .. f.host_server_name) end
end
function ProcessAgentEvent(event) lpp.print("handled " .. handled) end
)");
    auto flow = MakeFlow();
    std::atomic<bool> stop{false};
    std::vector<std::string> names;
    for (int i = 0; i < 64; i++) names.push_back("host-" + std::to_string(i) + std::string(i * 16, 'x'));
    std::thread daemon([&flow, &stop, &names] {
        for (std::size_t i = 0; !stop.load(); i++) {
            std::lock_guard<std::recursive_mutex> guard(flow->lock);
            flow->dns_host_name = names[i % names.size()];
            flow->host_server_name = names[i % names.size()];
        }
    });
    const int events = 5000;
    for (int i = 0; i < events; i++) SendFlow(Event::FLOW_NEW, flow);
    SendAgent(Event::UPDATE_COMPLETE);
    const bool handled = WaitForLine("handled ");
    stop = true;
    daemon.join();
    ASSERT_TRUE(handled) << log.Text();
    EXPECT_EQ(Printed("handled "), std::vector<std::string>{std::to_string(events)});
    EXPECT_EQ(Printed("torn "), std::vector<std::string>{});
}

}  // namespace
