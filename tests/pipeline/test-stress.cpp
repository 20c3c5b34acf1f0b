// Many daemon threads and reload requests at once: every record is handled
// at most once and in its producer's order, and every flow share returns.
#include <atomic>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "pipeline-fixture.hpp"

using namespace lpptest;

namespace {

constexpr int kEventsPerThread = kSanitized ? 20000 : 60000;
constexpr int kThreads = 4;

std::string CountingScript(int version)
{
    return "-- version " + std::to_string(version) + R"(
function ProcessFlowEvent(event, flows)
  local f = flows[1]
  lpp.print("seen " .. f.producer .. " " .. f.seq .. " " .. (lpp.worker and lpp.worker() or 1))
end
function ProcessAgentEvent(event) end
)";
}

// Without "workers" (one worker on the plugin's thread) and with four, where
// each producer's flow may go to another worker's queue and thread; with
// "resize", the reloads also switch between three and four workers while
// the producers route, and the status is read meanwhile.
class StressTest : public PipelineTest, public ::testing::WithParamInterface<json> {};

INSTANTIATE_TEST_SUITE_P(Workers, StressTest,
    ::testing::Values(json::object(), json{{"workers", 4}}, json{{"workers", 4}, {"resize", true}}));

TEST_P(StressTest, ProducersAndReloadsLoseNothingAndKeepOrder)
{
    json members = GetParam();
    const bool resize = members.value("resize", false);
    members.erase("resize");
    Start(CountingScript(0), members);

    std::vector<std::shared_ptr<vdFlow>> flows;
    for (int t = 0; t < kThreads; t++) {
        flows.push_back(MakeFlow());
        // Digests that the workers share out (0 would send every flow to
        // worker 1).
        flows.back()->digest_lower = 0x1000000000000000ull * (t + 1) + 12345u * t;
    }

    std::atomic<int> running{kThreads};
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; t++) {
        producers.emplace_back([this, t, &flows, &running] {
            for (int i = 0; i < kEventsPerThread; i++) {
                json doc{{"producer", t}, {"seq", i}};
                plugin->DispatchProcessorEvent(vdPluginProcessor::Event::FLOW_INTEL, flows[t], doc);
                if (i % 1000 == 0) plugin->DispatchProcessorEvent(vdPluginProcessor::Event::UPDATE_INIT);
            }
            running--;
        });
    }
    // Reloads alternate between two script versions, so each one rebuilds
    // and discards what is queued. Each version is renamed over the script,
    // as an editor saves it: written in place, a reload could read it half
    // written, find no handler and end the worker, as it should.
    int version = 0;
    while (running.load() > 0) {
        const std::string temporary = dir.Write("script.lua.new", CountingScript(++version % 2));
        EXPECT_EQ(std::rename(temporary.c_str(), script_file.c_str()), 0);
        if (resize) {
            json conf{{"script", script_file}, {"workers", 3 + version % 2}, {"status", true}};
            const std::string conf_temporary = dir.Write("plugin.json.new", conf.dump());
            EXPECT_EQ(std::rename(conf_temporary.c_str(), (dir.Path() + "/plugin.json").c_str()), 0);
            EXPECT_TRUE(Status().is_null() || Status()["workers"].size() >= 3u);
        }
        plugin->DispatchEvent(vdPlugin::Event::RELOAD);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (auto &producer : producers) producer.join();

    // Drain: the last record is a marker the script prints.
    auto marker = MakeFlow();
    json end_doc{{"producer", "end"}, {"seq", 0}};
    plugin->DispatchProcessorEvent(vdPluginProcessor::Event::FLOW_INTEL, marker, end_doc);
    ASSERT_TRUE(WaitFor([this] { return plugin->Queue().Records() == 0 && !plugin->ReloadRequested(); },
        std::chrono::seconds(120)));
    ASSERT_TRUE(WaitFor([&] { return marker.use_count() == 1; }, std::chrono::seconds(60)));
    // Every worker's records handled or discarded: each flow share is back.
    for (auto &flow : flows) ASSERT_TRUE(WaitFor([&] { return flow.use_count() == 1; }, std::chrono::seconds(60)));
    ASSERT_FALSE(plugin->HasEnded()) << log.Text();

    std::map<int, int> last_seq;
    std::map<int, int> worker_of;
    std::size_t handled = 0;
    for (const auto &line : Printed("seen ")) {
        std::istringstream fields(line);
        std::string producer;
        int seq, worker;
        fields >> producer >> seq >> worker;
        if (producer == "end") continue;
        int p = std::stoi(producer);
        // Every record of a flow reaches the same worker, while the
        // number of workers stays.
        if (!resize) {
            ASSERT_EQ(worker_of.emplace(p, worker).first->second, worker) << "producer " << p;
        }
        auto last = last_seq.find(p);
        ASSERT_TRUE(last == last_seq.end() || last->second < seq)
            << "producer " << p << " record " << seq << " after " << last->second;
        last_seq[p] = seq;
        handled++;
    }
    EXPECT_GT(handled, 0u);
    std::set<int> workers_used;
    for (const auto &[producer, worker] : worker_of) workers_used.insert(worker);
    if (members.contains("workers") && !resize) {
        EXPECT_GT(workers_used.size(), 1u) << "the flows were not shared out";
    }
    EXPECT_LE(handled, static_cast<std::size_t>(kThreads * kEventsPerThread));
    EXPECT_GT(log.Matching(": Loading configuration: ").size(), 1u);

    Stop();
    for (auto &flow : flows) EXPECT_EQ(flow.use_count(), 1);
}

}  // namespace
