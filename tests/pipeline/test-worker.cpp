// The worker loop: start, reloads, termination.
#include <filesystem>
#include <fstream>
#include <thread>

#include "pipeline-fixture.hpp"

using namespace lpptest;

namespace {

// A handler that blocks until the test creates the file "go" beside the
// script, so that the test can act while the worker is busy.
std::string BlockingScript(const std::string &dir, const std::string &extra = "")
{
    return "local go = '" + dir + "/go'\n" + R"(
function ProcessAgentEvent(event)
  lpp.print("seen agent " .. event)
  if event == 12 then
    while true do
      local f = io.open(go)
      if f then f:close(); break end
    end
  end
end
)" + extra;
}

TEST_F(PipelineTest, TerminateBeforeStartWritesOnlyTheBanner)
{
    Construct("function ProcessAgentEvent(e) end");
    log.Clear();
    plugin->Terminate();
    plugin->Create();
    ASSERT_TRUE(WaitFor([this] { return plugin->HasEnded(); }));
    EXPECT_FALSE(plugin->EndedByException());
    ASSERT_EQ(log.Lines().size(), 1u) << log.Text();
    EXPECT_EQ(log.Lines()[0], std::string(kTag) + ": Vessix Lua Processor Plugin v1.2.5 running the configured Lua script.\n");
    EXPECT_TRUE(plugin->ReloadRequested()) << "no reload happened";
}

TEST_F(PipelineTest, FirstPassLoadsTheScript)
{
    Start("function ProcessAgentEvent(e) end");
    EXPECT_EQ(log.Matching(": Loading configuration: ").size(), 1u) << log.Text();
    EXPECT_EQ(plugin->Runtime().HandlerMask(), 0x01);
}

TEST_F(PipelineTest, ReloadRequestsBeforeAPassCountAsOne)
{
    Start(BlockingScript(dir.Path()));
    SendAgent(Event::UPDATE_INIT);
    ASSERT_TRUE(WaitForLine("seen agent 12"));
    // The worker is inside the handler now.
    plugin->DispatchEvent(vdPlugin::Event::RELOAD);
    plugin->DispatchEvent(vdPlugin::Event::STATUS_UPDATE);
    plugin->DispatchEvent(vdPlugin::Event::RELOAD);
    SendAgent(Event::UPDATE_COMPLETE);
    dir.Write("go", "");
    ASSERT_TRUE(WaitFor([this] { return !plugin->ReloadRequested(); }));
    ASSERT_TRUE(WaitFor([this] { return log.Matching(": not reloading, no change.").size() == 1; }))
        << log.Text();
    // The unchanged script keeps the queued record.
    ASSERT_TRUE(WaitForLine("seen agent 13")) << log.Text();
    EXPECT_EQ(log.Matching(": Loading configuration: ").size(), 2u) << log.Text();

    // A request made while Reload runs (the new script's top level waits
    // for "go2") is absorbed by that reload: the passes after it, which
    // take the two records, reload no more.
    dir.Write("script.lua", "lpp.print('building')\nwhile not io.open('" + dir.Path() + "/go2') do end\n" +
            BlockingScript(dir.Path()));
    plugin->DispatchEvent(vdPlugin::Event::RELOAD);
    ASSERT_TRUE(WaitForLine("building")) << log.Text();
    plugin->DispatchEvent(vdPlugin::Event::RELOAD);
    dir.Write("go2", "");
    ASSERT_TRUE(WaitFor([this] { return !plugin->ReloadRequested(); }));
    SendAgent(Event::UPDATE_COMPLETE);
    ASSERT_TRUE(WaitFor([this] { return log.Matching("seen agent 13").size() == 2; })) << log.Text();
    SendAgent(Event::UPDATE_COMPLETE);
    ASSERT_TRUE(WaitFor([this] { return log.Matching("seen agent 13").size() == 3; })) << log.Text();
    EXPECT_EQ(log.Matching(": Loading configuration: ").size(), 3u) << log.Text();
}

TEST_F(PipelineTest, SuccessfulReloadDiscardsQueuedRecords)
{
    Start(BlockingScript(dir.Path()));
    auto flow = MakeFlow();
    SendAgent(Event::UPDATE_INIT);
    ASSERT_TRUE(WaitForLine("seen agent 12"));
    SendAgent(Event::UPDATE_COMPLETE);
    SendFlow(Event::FLOW_NEW, flow);  // no flow handler: not queued
    plugin->DispatchEvent(vdPlugin::Event::RELOAD);
    dir.Write("script.lua", BlockingScript(dir.Path(), "-- changed\n"));
    dir.Write("go", "");
    ASSERT_TRUE(WaitFor([this] { return !plugin->ReloadRequested(); }));
    SendAgent(Event::UPDATE_COMPLETE);
    SendAgent(Event::UPDATE_INIT);
    ASSERT_TRUE(WaitFor([this] { return Printed("seen ").size() >= 3; })) << log.Text();
    EXPECT_EQ(Printed("seen "), (std::vector<std::string>{"agent 12", "agent 13", "agent 12"}));
    EXPECT_EQ(log.Matching(": Loading configuration: ").size(), 2u);
}

TEST_F(PipelineTest, FailingReloadEndsTheWorkerWithTheFlagSet)
{
    Start(BlockingScript(dir.Path()));
    SendAgent(Event::UPDATE_INIT);
    ASSERT_TRUE(WaitForLine("seen agent 12"));
    SendAgent(Event::UPDATE_COMPLETE);
    dir.Write("script.lua", "function ProcessAgentEvent(event");
    plugin->DispatchEvent(vdPlugin::Event::RELOAD);
    dir.Write("go", "");
    ASSERT_TRUE(WaitFor([this] { return plugin->HasEnded(); })) << log.Text();
    EXPECT_TRUE(plugin->EndedByException());
    EXPECT_TRUE(plugin->ReloadRequested());
    EXPECT_EQ(log.Matching(std::string(kTag) + ": error loading script: " + script_file + ": ").size(), 1u)
        << log.Text();
    EXPECT_EQ(plugin->Queue().Records(), 1u) << "a failed build keeps the queue";
}

TEST_F(PipelineTest, TerminatedWorkerEndsAfterTheHandlerInHand)
{
    Start(BlockingScript(dir.Path()));
    SendAgent(Event::UPDATE_INIT);
    ASSERT_TRUE(WaitForLine("seen agent 12"));
    SendAgent(Event::UPDATE_COMPLETE);
    plugin->Terminate();
    dir.Write("go", "");
    ASSERT_TRUE(WaitFor([this] { return plugin->HasEnded(); }));
    EXPECT_FALSE(plugin->EndedByException());
    EXPECT_EQ(plugin->Queue().Records(), 1u) << "records after termination stay queued";
    EXPECT_TRUE(log.Matching("seen agent 13").empty());
}

TEST_F(PipelineTest, IdleWorkerNoticesTerminationAndReloads)
{
    Start("function ProcessAgentEvent(e) lpp.print('seen agent ' .. e) end");
    dir.Write("script.lua", "function ProcessAgentEvent(e) lpp.print('seen new ' .. e) end");
    plugin->DispatchEvent(vdPlugin::Event::RELOAD);
    // An idle worker wakes within its one-second wait and reloads.
    ASSERT_TRUE(WaitFor([this] { return log.Matching(": Loading configuration: ").size() == 2; }));
    ASSERT_TRUE(WaitFor([this] { return !plugin->ReloadRequested(); }));
    SendAgent(Event::UPDATE_INIT);
    ASSERT_TRUE(WaitForLine("seen new 12")) << log.Text();

    // Terminate reaches the worker asleep in its wait; a record appended
    // before the wait's deadline is still handled before the loop ends.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    plugin->Terminate();
    SendAgent(Event::UPDATE_COMPLETE);
    EXPECT_TRUE(WaitFor([this] { return plugin->HasEnded(); }, std::chrono::seconds(5)));
    EXPECT_EQ(Printed("seen new "), (std::vector<std::string>{"12", "13"}));
}

}  // namespace

namespace {

TEST_F(PipelineTest, HundredthPassRunsAFullCollection)
{
    // The script stops Lua's own collector, so only the worker's forced
    // collection can run the finaliser.
    LoadWithoutWorker(R"(
function ProcessAgentEvent(event, n)
  if event == 12 then
    collectgarbage("stop")
    setmetatable({}, {__gc = function() lpp.print("seen collected") end})
  else
    count = (count or 1) + 1
    lpp.print("seen record " .. count)
  end
end
)");
    SendAgent(Event::UPDATE_INIT);
    for (int i = 2; i <= 150; i++) SendAgent(Event::UPDATE_COMPLETE);
    plugin->Create();
    ASSERT_TRUE(WaitFor([this] { return Printed("seen ").size() == 150; })) << log.Text();
    auto printed = Printed("seen ");
    // One record per pass: the collection runs at the start of pass 100,
    // after record 99 and before record 100 (record 1 prints nothing).
    EXPECT_EQ(printed[97], "record 99");
    EXPECT_EQ(printed[98], "collected");
    EXPECT_EQ(printed[99], "record 100");
}

}  // namespace

namespace {

// Flows whose digests the four workers share out.
std::vector<std::shared_ptr<vdFlow>> SpreadFlows(int count)
{
    std::vector<std::shared_ptr<vdFlow>> flows;
    for (int n = 0; n < count; n++) {
        flows.push_back(MakeFlow());
        flows.back()->digest_lower = 0x0123456789abcdefull * static_cast<std::uint64_t>(n + 1);
    }
    return flows;
}

TEST_F(PipelineTest, DestroyingAfterTerminateStopsEveryBusyWorkerAndReleasesTheirQueues)
{
    Start(BlockingScript(dir.Path(), "function ProcessFlowEvent(event, flows) end\n"), {{"workers", 4}});
    // An agent event reaches every worker: all four are inside the handler.
    SendAgent(Event::UPDATE_INIT);
    ASSERT_TRUE(WaitFor([this] { return log.Matching("seen agent 12").size() == 4; })) << log.Text();
    auto flows = SpreadFlows(16);
    for (auto &flow : flows) SendFlow(Event::FLOW_NEW, flow);
    plugin->Terminate();
    dir.Write("go", "");
    // No Join: the destructor stops and joins every worker.
    plugin.reset();
    for (auto &flow : flows) EXPECT_EQ(flow.use_count(), 1);
}

TEST_F(PipelineTest, AWorkerThatFailsEndsThePluginAndEveryWorker)
{
    // Worker 3's handler disappears after its first call: its next record
    // ends its thread, and with it the plugin.
    Start("function ProcessFlowEvent(e, f) if lpp.worker() == 3 then ProcessFlowEvent = nil end end\n",
        {{"workers", 4}});
    auto flows = SpreadFlows(16);
    for (int round = 0; round < 2; round++)
        for (auto &flow : flows) SendFlow(Event::FLOW_NEW, flow);
    ASSERT_TRUE(WaitFor([this] { return plugin->HasEnded(); })) << log.Text();
    EXPECT_TRUE(plugin->EndedByException());
    EXPECT_EQ(log.Matching(": ProcessFlowEvent function not found.").size(), 1u) << log.Text();
    plugin->Join();
    plugin.reset();
    for (auto &flow : flows) EXPECT_EQ(flow.use_count(), 1);
}

}  // namespace
