// Many daemon threads and reload requests at once: every record is handled
// at most once and in its producer's order, and every flow share returns.
#include <atomic>
#include <cstdio>
#include <map>
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
  lpp.print("seen " .. f.producer .. " " .. f.seq)
end
function ProcessAgentEvent(event) end
)";
}

TEST_F(PipelineTest, ProducersAndReloadsLoseNothingAndKeepOrder)
{
    Start(CountingScript(0));

    std::vector<std::shared_ptr<vdFlow>> flows;
    for (int t = 0; t < kThreads; t++) flows.push_back(MakeFlow());

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
    ASSERT_FALSE(plugin->HasEnded()) << log.Text();

    std::map<int, int> last_seq;
    std::size_t handled = 0;
    for (const auto &line : Printed("seen ")) {
        std::istringstream fields(line);
        std::string producer;
        int seq;
        fields >> producer >> seq;
        if (producer == "end") continue;
        int p = std::stoi(producer);
        auto last = last_seq.find(p);
        ASSERT_TRUE(last == last_seq.end() || last->second < seq)
            << "producer " << p << " record " << seq << " after " << last->second;
        last_seq[p] = seq;
        handled++;
    }
    EXPECT_GT(handled, 0u);
    EXPECT_LE(handled, static_cast<std::size_t>(kThreads * kEventsPerThread));
    EXPECT_GT(log.Matching(": Loading configuration: ").size(), 1u);

    Stop();
    for (auto &flow : flows) EXPECT_EQ(flow.use_count(), 1);
}

}  // namespace
