// Load and faults: many daemon threads, reloads and script replacements at
// once, a failed reload with records queued, and destruction with a full
// queue. Every flow share comes back and every queued event is accounted
// for, handled or discarded.
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "pipeline-fixture.hpp"

using namespace lpptest;

namespace {

constexpr int kEvents = kSanitized ? 100000 : 1000000;
constexpr int kProducers = 4;
// Producers wait while this many records are queued, so that a slow worker
// does not make memory the limit of the test.
constexpr std::size_t kQueueBound = 2000;

// Which events the script handled and which flows came back. Each event has
// a flow of its own, which the producer drops right after queueing it: the
// plugin's share is then the last, and its release tells the event's fate.
class Ledger {
public:
    explicit Ledger(std::size_t events)
        : handled(std::make_unique<std::atomic<std::uint8_t>[]>(events)),
          released(std::make_unique<std::atomic<std::uint8_t>[]>(events)), size(events)
    {
    }

    // A flow for event id whose release is recorded.
    std::shared_ptr<vdFlow> Flow(std::size_t id)
    {
        auto *made = new vdFlow();
        made->iface = iface;
        return std::shared_ptr<vdFlow>(made, [this, id](vdFlow *flow) {
            // Classified when the last share goes: a record handled after
            // this would be a use of a released flow.
            if (handled[id].load() != 0)
                released_handled++;
            else
                released_unhandled++;
            released[id].fetch_add(1);
            delete flow;
        });
    }

    // Called from the log sink for each "h <id>" line of the script.
    void Handled(std::size_t id)
    {
        if (id >= size) {
            bad_ids++;
            return;
        }
        if (handled[id].fetch_add(1) != 0) handled_twice++;
        // Each producer sends its ids in increasing order.
        std::size_t &last = last_handled[id % kProducers];
        if (last != 0 && id <= last) out_of_order++;
        last = id;
        handled_lines++;
    }

    std::size_t ReleasedOnce() const
    {
        std::size_t count = 0;
        for (std::size_t id = 0; id < size; id++) count += released[id].load() == 1;
        return count;
    }

    std::shared_ptr<vdInterface> iface = MakeFlow()->iface;
    std::unique_ptr<std::atomic<std::uint8_t>[]> handled;
    std::unique_ptr<std::atomic<std::uint8_t>[]> released;
    std::size_t size;
    std::atomic<std::size_t> released_handled{0};
    std::atomic<std::size_t> released_unhandled{0};
    std::atomic<std::size_t> handled_lines{0};
    std::atomic<std::size_t> handled_twice{0};
    std::atomic<std::size_t> bad_ids{0};
    std::size_t last_handled[kProducers] = {};
    std::size_t out_of_order = 0;
};

std::string LoadScript(int version)
{
    return "-- version " + std::to_string(version) + R"(
local print_line = lpp.print
function ProcessFlowEvent(event, flows)
  local id = flows[1].id
  if id then print_line("h " .. id) end
end
function ProcessFlowMap(flows) end
function ProcessAgentEvent(event) end
)";
}

class LoadTest : public PipelineTest {
protected:
    // Sends the script's "h <id>" lines to ledger and keeps the other lines.
    void CountHandled(Ledger &ledger)
    {
        const std::string head = std::string(kTag) + ": h ";
        vd_standin_set_log_sink([this, &ledger, head](const std::string &line) {
            if (line.compare(0, head.size(), head) == 0) {
                ledger.Handled(std::stoul(line.substr(head.size())));
                return;
            }
            std::lock_guard<std::mutex> guard(other_mutex);
            other_lines.push_back(line);
        });
    }

    std::size_t OtherLines(const std::string &needle)
    {
        std::lock_guard<std::mutex> guard(other_mutex);
        std::size_t count = 0;
        for (const auto &line : other_lines) count += line.find(needle) != std::string::npos;
        return count;
    }

    std::mutex other_mutex;
    std::vector<std::string> other_lines;

    // Replaces the script as an editor would: a new file renamed over it.
    void ReplaceScript(const std::string &content)
    {
        std::string temporary = dir.Write("script.lua.new", content);
        ASSERT_EQ(std::rename(temporary.c_str(), script_file.c_str()), 0);
    }

    void WaitWhileQueueFull()
    {
        while (plugin->Queue().Records() > kQueueBound && !plugin->HasEnded())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

TEST_F(LoadTest, ProducersReloadsAndReplacedScriptsAccountForEveryEvent)
{
    Ledger ledger(kEvents);
    Start(LoadScript(0));
    // The script's lines are counted, not kept: a million of them would
    // only cost memory.
    CountHandled(ledger);

    // Flows the daemon keeps across events, as its flow map does.
    std::vector<std::shared_ptr<vdFlow>> kept;
    for (int i = 0; i < 16; i++) kept.push_back(MakeDetectedFlow());
    auto map = std::make_unique<vdFlowMap>(8);
    for (std::size_t i = 0; i < kept.size(); i++) {
        map->Acquire(i % 8).push_back(kept[i]);
        map->Release(i % 8);
    }

    std::atomic<int> running{kProducers};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; p++) {
        producers.emplace_back([&, p] {
            for (std::size_t id = p; id < static_cast<std::size_t>(kEvents); id += kProducers) {
                if (id % 256 < kProducers) WaitWhileQueueFull();
                std::shared_ptr<vdFlow> flow = ledger.Flow(id);
                json doc{{"id", id}};
                plugin->DispatchProcessorEvent(vdPluginProcessor::Event::FLOW_INTEL, flow, doc);
                if (id % 1000 < kProducers) {
                    plugin->DispatchProcessorEvent(vdPluginProcessor::Event::UPDATE_INIT);
                    plugin->DispatchProcessorEvent(vdPluginProcessor::Event::FLOW_MAP, map.get());
                    plugin->DispatchProcessorEvent(vdPluginProcessor::Event::FLOW_EXPIRING, kept[id % kept.size()]);
                }
            }
            running--;
        });
    }

    // Reload requests; every fourth comes with the script replaced by the
    // other valid version, which rebuilds the runtime and discards what is
    // queued. The others find the script unchanged.
    int requests = 0;
    while (running.load() > 0) {
        if (requests++ % 4 == 0) ReplaceScript(LoadScript(requests % 8 == 1));
        plugin->DispatchEvent(vdPlugin::Event::RELOAD);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (auto &producer : producers) producer.join();
    ASSERT_FALSE(plugin->HasEnded()) << log.Text();
    EXPECT_GT(OtherLines(": Loading configuration: "), 1u);

    // Whatever is still queued is destroyed with the plugin.
    Stop();
    vd_standin_set_log_sink(nullptr);
    map.reset();

    EXPECT_EQ(ledger.bad_ids.load(), 0u);
    EXPECT_EQ(ledger.handled_twice.load(), 0u);
    EXPECT_EQ(ledger.ReleasedOnce(), static_cast<std::size_t>(kEvents));
    EXPECT_EQ(ledger.released_handled.load(), ledger.handled_lines.load());
    EXPECT_EQ(ledger.released_handled.load() + ledger.released_unhandled.load(),
        static_cast<std::size_t>(kEvents));
    EXPECT_GT(ledger.handled_lines.load(), 0u);
    for (auto &flow : kept) EXPECT_EQ(flow.use_count(), 1);
    std::printf("%d events: %zu handled, %zu discarded, %zu reloads\n", kEvents,
        ledger.released_handled.load(), ledger.released_unhandled.load(),
        OtherLines(": Loading configuration: "));
}

TEST_F(LoadTest, QueueLimitDropsWhatASlowScriptCannotTakeAndKeepsOrder)
{
    constexpr std::size_t kLimit = 64;
    constexpr std::size_t kSent = lpptest::kSanitized ? 4000 : 40000;
    Ledger ledger(kSent);
    Start(R"(
local print_line = lpp.print
function ProcessFlowEvent(event, flows)
  local spin = 0
  for i = 1, 3000 do spin = spin + i end
  print_line("h " .. flows[1].id)
end
)",
        {{"limits", {{"queue", kLimit}}}, {"status", true}});
    // The limit is in force before the producers start.
    ASSERT_EQ(Status()["limits"]["queue"], kLimit);
    CountHandled(ledger);

    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; p++) {
        producers.emplace_back([&, p] {
            for (std::size_t id = p; id < kSent; id += kProducers) {
                std::shared_ptr<vdFlow> flow = ledger.Flow(id);
                json doc{{"id", id}};
                plugin->DispatchProcessorEvent(vdPluginProcessor::Event::FLOW_INTEL, flow, doc);
            }
        });
    }
    for (auto &producer : producers) producer.join();
    auto dropped = [this] { return Status()["queue"]["dropped_records"].get<std::size_t>(); };
    ASSERT_TRUE(WaitFor([&] { return ledger.handled_lines.load() + dropped() == kSent; },
        std::chrono::seconds(120)))
        << ledger.handled_lines.load() << " handled, " << dropped() << " dropped";

    const json queue = Status()["queue"];
    EXPECT_LE(queue["flows_max"].get<std::size_t>(), kLimit);
    EXPECT_GT(dropped(), 0u);
    EXPECT_EQ(queue["dropped_flows"], queue["dropped_records"]);
    const std::size_t full_lines =
        OtherLines(": queue full (" + std::to_string(kLimit) + " flows waiting), dropping events");
    EXPECT_GE(full_lines, 1u);
    EXPECT_LE(full_lines, dropped());
    EXPECT_EQ(OtherLines("dropping events"), full_lines);

    Stop();
    vd_standin_set_log_sink(nullptr);
    EXPECT_EQ(ledger.out_of_order, 0u);
    EXPECT_EQ(ledger.handled_twice.load(), 0u);
    EXPECT_EQ(ledger.ReleasedOnce(), kSent);
    EXPECT_EQ(ledger.released_handled.load(), ledger.handled_lines.load());
    std::printf("%zu events: %zu handled, %zu dropped, %zu overloads\n", kSent,
        ledger.handled_lines.load(), kSent - ledger.handled_lines.load(), full_lines);
}

TEST_F(LoadTest, InvalidVersionEndsTheLoopAndQueuedRecordsGoWithThePlugin)
{
    constexpr std::size_t kBefore = 2000;
    constexpr std::size_t kAfter = 2000;
    Ledger ledger(kBefore + kAfter);
    Start(LoadScript(0));
    CountHandled(ledger);
    auto send = [&](std::size_t id) {
        std::shared_ptr<vdFlow> flow = ledger.Flow(id);
        SendFlow(Event::FLOW_INTEL, flow, json{{"id", id}});
    };

    for (std::size_t id = 0; id < kBefore; id++) send(id);
    ReplaceScript(LoadScript(1) + "this is not Lua\n");
    plugin->DispatchEvent(vdPlugin::Event::RELOAD);
    ASSERT_TRUE(WaitFor([this] { return plugin->HasEnded(); }, std::chrono::seconds(120)));
    EXPECT_TRUE(plugin->EndedByException());
    EXPECT_TRUE(plugin->ReloadRequested());

    // The mask is the last good script's: records still queue, and wait.
    for (std::size_t id = kBefore; id < kBefore + kAfter; id++) send(id);
    const std::size_t queued = plugin->Queue().Records();
    EXPECT_GE(queued, kAfter);
    EXPECT_EQ(ledger.released_unhandled.load(), 0u) << "nothing is discarded by a failed reload";

    Stop();
    vd_standin_set_log_sink(nullptr);
    EXPECT_EQ(ledger.handled_twice.load(), 0u);
    EXPECT_EQ(ledger.ReleasedOnce(), kBefore + kAfter);
    EXPECT_EQ(ledger.released_unhandled.load(), queued);
    EXPECT_EQ(ledger.released_handled.load(), ledger.handled_lines.load());
    EXPECT_EQ(ledger.released_handled.load() + queued, kBefore + kAfter);
    EXPECT_EQ(OtherLines(": error loading script: "), 1u);
}

TEST_F(LoadTest, DestroyingWithAHundredThousandQueuedRecordsReleasesEveryFlow)
{
    LoadWithoutWorker(LoadScript(0));
    std::vector<std::shared_ptr<vdFlow>> flows;
    for (int i = 0; i < 1000; i++) flows.push_back(MakeDetectedFlow());
    auto map = std::make_unique<vdFlowMap>(16);
    for (std::size_t i = 0; i < flows.size(); i++) {
        map->Acquire(i % 16).push_back(flows[i]);
        map->Release(i % 16);
    }
    for (int round = 0; round < 100; round++) {
        for (std::size_t i = 0; i < flows.size(); i++) {
            if (i == 0)
                plugin->DispatchProcessorEvent(vdPluginProcessor::Event::FLOW_MAP, map.get());
            else if (i % 2)
                SendFlow(Event::FLOW_NEW, flows[i]);
            else
                SendFlow(Event::DPI_UPDATE, flows[i], json{{"id", i}, {"round", round}});
        }
    }
    EXPECT_EQ(plugin->Queue().Records(), 100000u);
    EXPECT_EQ(flows[0].use_count(), 2 + 100);
    EXPECT_EQ(flows[1].use_count(), 2 + 100 + 100);

    Stop();
    map.reset();
    for (auto &flow : flows) ASSERT_EQ(flow.use_count(), 1);
}

}  // namespace
