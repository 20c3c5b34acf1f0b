// The event intake: what each daemon event puts on the queue, and when.
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lpp-plugin.hpp"
#include "lpp-test-support.hpp"

namespace {

using Event = vdPluginProcessor::Event;

Event Number(unsigned value) { return static_cast<Event>(value); }
unsigned Code(Event event) { return static_cast<unsigned>(event); }

// A plugin without a script whose runtime claims the handlers of mask.
std::unique_ptr<lppPlugin> MakeTestPlugin(std::uint8_t mask)
{
    auto plugin = std::make_unique<lppPlugin>(
        "lua", std::map<std::string, std::string>{{"conf_filename", "/nonexistent/lua.json"}});
    plugin->Runtime().SetHandlerMask(mask);
    return plugin;
}

std::shared_ptr<vdFlow> DetectedFlow()
{
    auto flow = lpptest::MakeFlow();
    flow->flags.detection_init = true;
    return flow;
}

// Takes every queued record off the plugin's queue.
std::vector<lppEvent> TakeAll(lppPlugin &plugin)
{
    std::vector<lppEvent> records;
    while (plugin.Queue().Records() != 0) records.push_back(*plugin.Queue().Take());
    return records;
}

void FillStats(vdFlow::Stats &stats, std::uint64_t base)
{
    stats.lower_bytes = base + 0x100000001ULL;
    stats.upper_bytes = base + 0x200000002ULL;
    stats.total_bytes = base + 0x300000003ULL;
    stats.lower_total_bytes = base + 0x400000004ULL;
    stats.upper_total_bytes = base + 0xffffffff00000005ULL;
    stats.lower_packets = static_cast<std::uint32_t>(base + 6);
    stats.upper_packets = static_cast<std::uint32_t>(base + 7);
    stats.total_packets = static_cast<std::uint32_t>(base + 8);
    stats.lower_total_packets = static_cast<std::uint32_t>(base + 9);
    stats.upper_total_packets = 0xfffffff0u + static_cast<std::uint32_t>(base % 8);
    stats.detection_packets = static_cast<std::uint8_t>(base + 11);
    stats.lower_rate = 1.5f + static_cast<float>(base);
    stats.upper_rate = 2.25f + static_cast<float>(base);
    stats.tcp_seq_errors = static_cast<std::uint32_t>(base + 14);
    stats.tcp_resets = static_cast<std::uint32_t>(base + 15);
    stats.tcp_retrans = static_cast<std::uint32_t>(base + 16);
}

void ExpectSnapshot(const lppEvent::Entry &entry, const vdFlow::Stats &stats)
{
    EXPECT_EQ(entry.stats.lower_bytes, stats.lower_bytes);
    EXPECT_EQ(entry.stats.upper_bytes, stats.upper_bytes);
    EXPECT_EQ(entry.stats.total_bytes, stats.total_bytes);
    EXPECT_EQ(entry.stats.lower_total_bytes, stats.lower_total_bytes);
    EXPECT_EQ(entry.stats.upper_total_bytes, stats.upper_total_bytes);
    EXPECT_EQ(entry.stats.lower_packets, stats.lower_packets);
    EXPECT_EQ(entry.stats.upper_packets, stats.upper_packets);
    EXPECT_EQ(entry.stats.total_packets, stats.total_packets);
    EXPECT_EQ(entry.stats.lower_total_packets, stats.lower_total_packets);
    EXPECT_EQ(entry.stats.upper_total_packets, stats.upper_total_packets);
    EXPECT_EQ(entry.stats.detection_packets, stats.detection_packets);
    EXPECT_EQ(entry.stats.lower_rate, stats.lower_rate);
    EXPECT_EQ(entry.stats.upper_rate, stats.upper_rate);
    EXPECT_EQ(entry.stats.tcp_seq_errors, stats.tcp_seq_errors);
    EXPECT_EQ(entry.stats.tcp_resets, stats.tcp_resets);
    EXPECT_EQ(entry.stats.tcp_retrans, stats.tcp_retrans);
}

}  // namespace

TEST(PluginMembers, InitialValues)
{
    lpptest::LogCapture log(false);
    lppPlugin plugin("lua", {{"conf_filename", "lua.json"}});
    EXPECT_TRUE(plugin.ReloadRequested());
    EXPECT_EQ(plugin.Runtime().HandlerMask(), 0);
    EXPECT_EQ(plugin.Queue().Records(), 0u);
    EXPECT_TRUE(plugin.Runtime().ScriptPath().empty());
    EXPECT_TRUE(plugin.Runtime().ScriptDigest().empty());
    EXPECT_NE(plugin.Runtime().State(), nullptr);
}

TEST(PluginReloadRequest, OnlyEventZeroSetsTheFlag)
{
    // A configuration and a script, so that the first request is served.
    lpptest::GlobalConfigScope config;
    lpptest::TempDir dir;
    lpptest::LogCapture log(false);
    const std::string script = dir.Write("script.lua", "function ProcessAgentEvent() end\n");
    auto plugin = std::make_unique<lppPlugin>("lua",
        std::map<std::string, std::string>{{"conf_filename", dir.Write("lua.json", json{{"script", script}}.dump())}});
    plugin->ServeReload();
    ASSERT_FALSE(plugin->ReloadRequested());
    int value = 0;
    for (unsigned event : {1u, 2u, 13u, 255u, 65535u}) {
        plugin->DispatchEvent(static_cast<vdPlugin::Event>(event), &value);
        EXPECT_FALSE(plugin->ReloadRequested()) << event;
    }
    plugin->DispatchEvent(vdPlugin::Event::RELOAD);
    EXPECT_TRUE(plugin->ReloadRequested());
    // Requests before the worker acts count as one; other events leave a
    // pending request alone.
    plugin->DispatchEvent(vdPlugin::Event::RELOAD, &value);
    plugin->DispatchEvent(vdPlugin::Event::STATUS_UPDATE);
    EXPECT_TRUE(plugin->ReloadRequested());
    EXPECT_EQ(plugin->Queue().Records(), 0u);
}

TEST(PluginIntake, GatesOfEveryOverload)
{
    // Calls every overload once; returns the event numbers queued.
    auto feed = [](lppPlugin &plugin) {
        vdFlowMap map(1);
        map.Acquire(0).push_back(DetectedFlow());
        map.Release(0);
        auto flow = DetectedFlow();
        json doc = {{"k", 1}};
        vdPluginProcessor::Interfaces interfaces = {{"eth0", std::make_shared<vdInterface>("eth0", 0)}};
        vdPacketStats stats;
        vdInstanceStatus status;
        plugin.DispatchProcessorEvent(Event::FLOW_MAP, &map);
        plugin.DispatchProcessorEvent(Event::FLOW_NEW, flow);
        plugin.DispatchProcessorEvent(Event::FLOW_EXPIRING, flow, doc);
        plugin.DispatchProcessorEvent(Event::INTERFACES, &interfaces);
        plugin.DispatchProcessorEvent(Event::PKT_CAPTURE_STATS, std::string("eth0"), &stats);
        plugin.DispatchProcessorEvent(Event::PKT_GLOBAL_STATS, &stats);
        plugin.DispatchProcessorEvent(Event::UPDATE_INIT, &status);
        plugin.DispatchProcessorEvent(Event::UPDATE_COMPLETE);
        std::vector<unsigned> numbers;
        for (const auto &record : TakeAll(plugin)) numbers.push_back(record.event);
        return numbers;
    };
    for (unsigned mask = 0; mask < 0x100; mask++) {
        auto plugin = MakeTestPlugin(static_cast<std::uint8_t>(mask));
        std::vector<unsigned> expected;
        if (mask & 0x0c) expected.push_back(Code(Event::FLOW_MAP));
        if (mask & 0x02) expected.insert(expected.end(), {Code(Event::FLOW_NEW), Code(Event::FLOW_EXPIRING)});
        if (mask & 0x01) expected.insert(expected.end(), {Code(Event::UPDATE_INIT), Code(Event::UPDATE_COMPLETE)});
        EXPECT_EQ(feed(*plugin), expected) << "mask " << mask;
    }
}

TEST(PluginIntake, ACallThatPassedTheGateCompletesWhenTheMaskChanges)
{
    // The snapshot walk is held at bucket 1 after it took bucket 0's flow;
    // then a reload finds no handler and clears the mask. The call read the
    // mask once, at its start, and still queues its record.
    auto plugin = MakeTestPlugin(0x04);
    vdFlowMap map(2);
    auto first = DetectedFlow(), second = DetectedFlow();
    map.Acquire(0).push_back(first);
    map.Release(0);
    map.Acquire(1).push_back(second);
    std::thread daemon([&] { plugin->DispatchProcessorEvent(Event::FLOW_MAP, &map); });
    ASSERT_TRUE(lpptest::WaitFor([&] { return first.use_count() == 3; }));
    plugin->Runtime().SetHandlerMask(0);
    map.Release(1);
    daemon.join();
    auto records = TakeAll(*plugin);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Entries().size(), 2u);
}

TEST(PluginIntake, EventNumbersAreStoredUnchanged)
{
    auto plugin = MakeTestPlugin(0x0f);
    auto flow = DetectedFlow();
    vdFlowMap map(1);
    map.Acquire(0).push_back(flow);
    map.Release(0);
    json doc;
    for (unsigned number : {0u, 9u, 14u, 256u, 65535u}) {
        plugin->DispatchProcessorEvent(Number(number), &map);
        plugin->DispatchProcessorEvent(Number(number), flow);
        plugin->DispatchProcessorEvent(Number(number), flow, doc);
        plugin->DispatchProcessorEvent(Number(number));
        for (const auto &record : TakeAll(*plugin)) EXPECT_EQ(record.event, number);
    }
}

TEST(PluginIntake, CountersAreThoseAtQueueTime)
{
    auto plugin = MakeTestPlugin(0x0f);
    auto flow = DetectedFlow();
    FillStats(flow->stats, 0);
    const vdFlow::Stats queued = flow->stats;
    vdFlowMap map(2);
    map.Acquire(1).push_back(flow);
    map.Release(1);

    json doc = {{"name", "first"}, {"list", {1, 2, 3}}};
    plugin->DispatchProcessorEvent(Event::FLOW_NEW, flow);
    plugin->DispatchProcessorEvent(Event::FLOW_INTEL, flow, doc);
    plugin->DispatchProcessorEvent(Event::FLOW_MAP, &map);

    // The daemon moves on before the worker takes the records.
    FillStats(flow->stats, 1000);
    doc["name"] = "changed";

    auto records = TakeAll(*plugin);
    ASSERT_EQ(records.size(), 3u);
    for (const auto &record : records) {
        ASSERT_EQ(record.Entries().size(), 1u);
        EXPECT_EQ(record.Entries()[0].flow, flow);
        ExpectSnapshot(record.Entries()[0], queued);
    }
    EXPECT_TRUE(records[0].Entries()[0].doc.is_null());
    EXPECT_EQ(records[1].Entries()[0].doc, (json{{"name", "first"}, {"list", {1, 2, 3}}}));
    EXPECT_TRUE(records[2].Entries()[0].doc.is_null());

    // A copied entry carries the snapshot, the document and one more share.
    lppEvent::Entry copy = records[1].Entries()[0];
    EXPECT_EQ(copy.doc, records[1].Entries()[0].doc);
    ExpectSnapshot(copy, queued);
    EXPECT_EQ(flow.use_count(), 6);  // flow, map, three entries, the copy
}

TEST(PluginIntake, QueuedRecordKeepsItsFlowAlive)
{
    auto plugin = MakeTestPlugin(0x0f);
    vdFlowMap map(1);
    std::weak_ptr<vdFlow> single, mapped;
    {
        auto flow = DetectedFlow();
        single = flow;
        plugin->DispatchProcessorEvent(Event::FLOW_EXPIRED, flow);
        auto other = DetectedFlow();
        mapped = other;
        map.Acquire(0).push_back(other);
        map.Release(0);
        plugin->DispatchProcessorEvent(Event::FLOW_MAP, &map);
    }
    // The daemon drops both flows from its map.
    map.Acquire(0).clear();
    map.Release(0);
    EXPECT_FALSE(single.expired());
    EXPECT_FALSE(mapped.expired());

    auto records = TakeAll(*plugin);
    ASSERT_EQ(records.size(), 2u);
    records.erase(records.begin());
    EXPECT_TRUE(single.expired());
    EXPECT_FALSE(mapped.expired());
    records.clear();
    EXPECT_TRUE(mapped.expired());
}

TEST(PluginIntake, FlowMapSnapshotTakesDetectedFlowsNotExpired)
{
    auto plugin = MakeTestPlugin(0x08);
    // Flow k lives in bucket k mod 2, in order of insertion.
    std::vector<std::shared_ptr<vdFlow>> flows;
    for (int k = 0; k < 8; k++) flows.push_back(DetectedFlow());
    flows[1]->flags.detection_init = false;
    flows[2]->flags.expired = true;
    flows[3]->flags.expiring = true;
    flows[4]->flags.detection_init = false;
    flows[4]->flags.expiring = true;
    flows[5]->flags.expiring = true;
    flows[5]->flags.expired = true;
    flows[6]->flags.detection_complete = true;
    vdFlowMap map(2);
    for (std::size_t k = 0; k < flows.size(); k++) {
        map.Acquire(k % 2).push_back(flows[k]);
        map.Release(k % 2);
    }

    plugin->DispatchProcessorEvent(Event::FLOW_MAP, &map);
    auto records = TakeAll(*plugin);
    ASSERT_EQ(records.size(), 1u);
    std::vector<std::shared_ptr<vdFlow>> taken;
    for (const auto &entry : records[0].Entries()) taken.push_back(entry.flow);
    // Bucket 0 (flows 0, 2, 4, 6), then bucket 1 (flows 1, 3, 5, 7).
    EXPECT_EQ(taken, (std::vector<std::shared_ptr<vdFlow>>{flows[0], flows[6], flows[3], flows[7]}));

    // Every bucket was released.
    std::atomic<bool> released{false};
    std::thread other([&] {
        for (std::size_t b = 0; b < map.GetBuckets(); b++) {
            map.Acquire(b);
            map.Release(b);
        }
        released = true;
    });
    ASSERT_TRUE(lpptest::WaitFor([&] { return released.load(); }));
    other.join();

    // The same flows as single-flow events are queued whatever their flags.
    for (auto &flow : flows) plugin->DispatchProcessorEvent(Event::FLOW_EXPIRING, flow);
    EXPECT_EQ(plugin->Queue().Records(), 0u);  // only ProcessFlowStats: no flow events
    plugin->Runtime().SetHandlerMask(0x02);
    for (auto &flow : flows) plugin->DispatchProcessorEvent(Event::FLOW_EXPIRING, flow);
    records = TakeAll(*plugin);
    ASSERT_EQ(records.size(), flows.size());
    for (std::size_t k = 0; k < flows.size(); k++) {
        ASSERT_EQ(records[k].Entries().size(), 1u);
        EXPECT_EQ(records[k].Entries()[0].flow, flows[k]);
    }
}

TEST(PluginIntake, EmptySnapshotsQueueNothing)
{
    auto plugin = MakeTestPlugin(0x0c);
    vdFlowMap no_bucket(0);
    plugin->DispatchProcessorEvent(Event::FLOW_MAP, &no_bucket);
    vdFlowMap empty(4);
    plugin->DispatchProcessorEvent(Event::FLOW_MAP, &empty);
    vdFlowMap none_eligible(2);
    auto undetected = lpptest::MakeFlow();
    auto expired = DetectedFlow();
    expired->flags.expired = true;
    none_eligible.Acquire(0).push_back(undetected);
    none_eligible.Release(0);
    none_eligible.Acquire(1).push_back(expired);
    none_eligible.Release(1);
    plugin->DispatchProcessorEvent(Event::FLOW_MAP, &none_eligible);
    plugin->DispatchProcessorEvent(Event::FLOW_MAP, static_cast<vdFlowMap *>(nullptr));
    EXPECT_EQ(plugin->Queue().Records(), 0u);
    EXPECT_EQ(undetected.use_count(), 2);
    EXPECT_EQ(expired.use_count(), 2);

    // A null flow has nothing to queue either.
    plugin->Runtime().SetHandlerMask(0x0f);
    std::shared_ptr<vdFlow> null_flow;
    json doc = 1;
    plugin->DispatchProcessorEvent(Event::FLOW_NEW, null_flow);
    plugin->DispatchProcessorEvent(Event::FLOW_NEW, null_flow, doc);
    EXPECT_EQ(plugin->Queue().Records(), 0u);
}

TEST(PluginIntake, EachAppendWakesTheWorker)
{
    auto plugin = MakeTestPlugin(0x0f);
    auto flow = DetectedFlow();
    std::atomic<int> woken{0};
    std::atomic<bool> stop{false};
    // Stands in for the worker: takes one record per wake-up. A take that
    // was not woken returns at its one-second deadline; each record below
    // must arrive well before, so only the append's notification counts.
    const auto woken_by_append = std::chrono::milliseconds(500);
    std::thread worker([&] {
        while (!stop) {
            if (plugin->Queue().Take()) woken++;
        }
    });
    for (int i = 0; i < 5; i++) {
        const int before = woken;
        plugin->DispatchProcessorEvent(Event::FLOW_NEW, flow);
        ASSERT_TRUE(lpptest::WaitFor([&] { return woken == before + 1; }, woken_by_append));
        plugin->DispatchProcessorEvent(Event::UPDATE_INIT);
        ASSERT_TRUE(lpptest::WaitFor([&] { return woken == before + 2; }, woken_by_append));
    }
    // The marker record wakes the worker to see stop.
    stop = true;
    plugin->DispatchProcessorEvent(Event::NONE);
    worker.join();
}

TEST(PluginIntake, RecordsInIntakeOrderFromSeveralThreads)
{
    auto plugin = MakeTestPlugin(0x0f);
    constexpr int kThreads = 4;
    constexpr int kCalls = 300;
    std::vector<std::shared_ptr<vdFlow>> flows;
    std::vector<std::unique_ptr<vdFlowMap>> maps;
    for (int t = 0; t < kThreads; t++) {
        flows.push_back(DetectedFlow());
        maps.push_back(std::make_unique<vdFlowMap>(1));
        maps.back()->Acquire(0).push_back(flows.back());
        maps.back()->Release(0);
    }
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            // Event number: the call's index; which thread made it shows in
            // the flow (agent events carry none, so they use the high bits).
            for (int i = 0; i < kCalls; i++) {
                switch (i % 3) {
                case 0: plugin->DispatchProcessorEvent(Number(i), flows[t]); break;
                case 1: plugin->DispatchProcessorEvent(Number(i), maps[t].get()); break;
                default: plugin->DispatchProcessorEvent(Number(0x8000 | (t << 12) | i)); break;
                }
            }
        });
    }
    go = true;
    for (auto &thread : threads) thread.join();

    auto records = TakeAll(*plugin);
    ASSERT_EQ(records.size(), static_cast<std::size_t>(kThreads * kCalls));
    std::vector<int> next(kThreads, 0);
    for (const auto &record : records) {
        int thread = -1, index = -1;
        if (record.event & 0x8000) {
            thread = (record.event >> 12) & 0x7;
            index = record.event & 0xfff;
        } else {
            ASSERT_EQ(record.Entries().size(), 1u);
            for (int t = 0; t < kThreads; t++)
                if (record.Entries()[0].flow == flows[t]) thread = t;
            index = record.event;
        }
        ASSERT_GE(thread, 0);
        ASSERT_LT(thread, kThreads);
        EXPECT_EQ(index, next[thread]) << "thread " << thread;
        next[thread] = index + 1;
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kCalls));
}

TEST(PluginIntake, DestroyingThePluginReleasesEveryQueuedShare)
{
    lpptest::LogCapture log(true);
    auto plugin = MakeTestPlugin(0x0f);
    log.Clear();
    vdFlowMap map(3);
    std::vector<std::shared_ptr<vdFlow>> flows;
    for (int k = 0; k < 6; k++) {
        flows.push_back(DetectedFlow());
        map.Acquire(k % 3).push_back(flows.back());
        map.Release(k % 3);
    }
    json doc = {{"a", 1}};
    for (int round = 0; round < 3; round++) {
        plugin->DispatchProcessorEvent(Event::FLOW_MAP, &map);
        for (auto &flow : flows) {
            plugin->DispatchProcessorEvent(Event::FLOW_NEW, flow);
            plugin->DispatchProcessorEvent(Event::DPI_UPDATE, flow, doc);
        }
    }
    for (const auto &flow : flows) EXPECT_EQ(flow.use_count(), 2 + 3 * 3);

    plugin.reset();
    for (const auto &flow : flows) EXPECT_EQ(flow.use_count(), 2);
    // Destroyed unprocessed: nothing of the script ran.
    EXPECT_EQ(log.Lines(), std::vector<std::string>{"lua: destroyed\n"});
}

TEST(EventQueue, LimitRefusalsTakesAndDiscardsAsCounted)
{
    // After each step, the status counters and the "queue full" lines so far.
    struct Step {
        char action;  // 'p': push a record of `flows` entries (0: an agent event), 't': take, 'd': discard
        std::size_t flows;
        std::size_t records, queued, flows_max, dropped_records, dropped_flows, discarded, full_lines;
    };
    const Step steps[] = {
        {'p', 2, 1, 2, 2, 0, 0, 0, 0},
        {'p', 0, 2, 3, 3, 0, 0, 0, 0},  // weighs one flow
        {'p', 1, 2, 3, 3, 1, 1, 0, 1},  // at the limit: refused, reported
        {'p', 4, 2, 3, 3, 2, 5, 0, 1},  // the same overload: not reported again
        {'t', 2, 1, 1, 3, 2, 5, 0, 1},  // the oldest record, of two flows
        {'p', 1, 2, 2, 3, 2, 5, 0, 1},
        {'p', 2, 3, 4, 4, 2, 5, 0, 1},  // below the limit when it came: taken whole
        {'p', 1, 3, 4, 4, 3, 6, 0, 2},  // a new overload
        {'d', 0, 0, 0, 4, 3, 6, 3, 2},
        {'p', 1, 1, 1, 4, 3, 6, 3, 2},
    };
    lpptest::LogCapture log(true);
    lppEventQueue queue("lua");
    queue.SetLimit(3);
    auto flow = DetectedFlow();
    for (std::size_t n = 0; n < std::size(steps); n++) {
        const Step &step = steps[n];
        if (step.action == 'p') {
            lppEvent record(Code(step.flows == 0 ? Event::UPDATE_INIT : Event::FLOW_NEW));
            for (std::size_t k = 0; k < step.flows; k++) record.PushFlow(flow);
            queue.Push(std::move(record));
        } else if (step.action == 't') {
            std::optional<lppEvent> taken = queue.Take();
            ASSERT_TRUE(taken) << "step " << n;
            EXPECT_EQ(taken->Entries().size(), step.flows) << "step " << n;
        } else {
            queue.Discard();
        }
        const json expected = {{"records", step.records}, {"flows", step.queued}, {"flows_max", step.flows_max},
            {"dropped_records", step.dropped_records}, {"dropped_flows", step.dropped_flows},
            {"discarded_records", step.discarded}};
        EXPECT_EQ(queue.Status(), expected) << "step " << n;
        EXPECT_EQ(queue.Records(), step.records) << "step " << n;
        EXPECT_EQ(log.Matching(": queue full (").size(), step.full_lines) << "step " << n;
    }
    EXPECT_EQ(log.Matching("lua: queue full (").front(), "lua: queue full (3 flows waiting), dropping events\n");
    EXPECT_EQ(log.Matching("lua: queue full (").back(), "lua: queue full (4 flows waiting), dropping events\n");
    // Every refused or discarded record released its shares: one record of
    // one flow is left.
    EXPECT_EQ(flow.use_count(), 2);
}
