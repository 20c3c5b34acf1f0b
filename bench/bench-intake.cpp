// Event intake on the daemon's threads: one flow event from one or more
// producers while a consumer drains the queue, the walk of a large flow map,
// and the memory of a queued record.
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "bench-flows.hpp"
#include "bench-support.hpp"

namespace lppbench {
namespace {

constexpr auto kFlowEvent = vdPluginProcessor::Event::FLOW_NEW;
constexpr auto kFlowMapEvent = vdPluginProcessor::Event::FLOW_MAP;
constexpr std::uint16_t kStopEvent = 0;

// Stands in for the worker's loop: takes records off the queue one at a time
// as the worker does, spends handling on each (none: handles each at once),
// and checks that each producer's records arrive complete and in order. A
// producer numbers its records through its own flow's lower byte counter,
// which the intake snapshots.
class Drain {
public:
    Drain(BenchPlugin &plugin, std::size_t producers,
        std::chrono::nanoseconds handling = std::chrono::nanoseconds(0))
        : plugin(plugin), last(producers, 0), handling(handling)
    {
        for (std::size_t i = 0; i < producers; i++) {
            flows.push_back(MakeTlsFlow(static_cast<std::uint32_t>(i)));
            flows.back()->stats.lower_bytes = 0;
        }
        thread = std::thread([this] { Run(); });
    }

    ~Drain()
    {
        // An event number no producer uses tells the drain to stop once it
        // has taken every record before it.
        plugin.Queue().Push(lppEvent(kStopEvent));
        thread.join();
    }

    std::shared_ptr<vdFlow> &Flow(std::size_t producer) { return flows[producer]; }

    // Waits until every record sent has been taken; false when records were
    // lost, reordered or not queued at all.
    bool Check(std::string &why)
    {
        std::uint64_t sent = 0;
        for (auto &flow : flows) sent += flow->stats.lower_bytes;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (taken.load() < sent && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (disorder.load()) {
            why = "a record arrived out of its producer's order";
            return false;
        }
        if (taken.load() != sent) {
            why = std::to_string(sent) + " records sent, " + std::to_string(taken.load()) + " taken";
            return false;
        }
        return true;
    }

private:
    // Takes records with the worker's own code.
    void Run()
    {
        for (;;) {
            std::optional<lppEvent> record = plugin.Queue().Take();
            if (!record) continue;
            if (record->event == kStopEvent) return;
            Take(*record);
        }
    }

    void Take(const lppEvent &record)
    {
        // Busy, as a handler is: the thread keeps its core.
        const auto until = std::chrono::steady_clock::now() + handling;
        while (handling.count() > 0 && std::chrono::steady_clock::now() < until) {
        }
        if (record.Entries().size() != 1) {
            disorder = true;
            return;
        }
        const lppEvent::Entry &entry = record.Entries()[0];
        for (std::size_t i = 0; i < flows.size(); i++) {
            if (entry.flow != flows[i]) continue;
            if (entry.stats.lower_bytes != last[i] + 1) disorder = true;
            last[i] = entry.stats.lower_bytes;
        }
        taken++;
    }

    BenchPlugin &plugin;
    std::vector<std::shared_ptr<vdFlow>> flows;
    std::vector<std::uint64_t> last;
    const std::chrono::nanoseconds handling;
    std::atomic<std::uint64_t> taken{0};
    std::atomic<bool> disorder{false};
    std::thread thread;
};

// Shared by the producer threads of one run; made and checked by thread 0
// outside the timed loop (the loop starts and ends with a barrier).
std::unique_ptr<BenchPlugin> intake_plugin;
std::unique_ptr<Drain> intake_drain;

// handling: what the consumer spends on each record.
void RunIntake(benchmark::State &state, std::chrono::nanoseconds handling)
{
    if (state.thread_index() == 0) {
        intake_plugin = std::make_unique<BenchPlugin>();
        intake_plugin->Runtime().SetHandlerMask(LPP_HANDLER_FLOW_EVENT);
        intake_drain = std::make_unique<Drain>(*intake_plugin, static_cast<std::size_t>(state.threads()), handling);
    }
    for (auto _ : state) {
        std::shared_ptr<vdFlow> &flow = intake_drain->Flow(static_cast<std::size_t>(state.thread_index()));
        flow->stats.lower_bytes++;
        intake_plugin->DispatchProcessorEvent(kFlowEvent, flow);
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        std::string why;
        if (!intake_drain->Check(why)) state.SkipWithError(why.c_str());
        intake_drain.reset();
        intake_plugin.reset();
    }
}
// The consumer takes each record at once: producer and consumer meet at the
// queue mutex, and the producer wakes a sleeping consumer, more often the
// quicker the consumer is.
void BM_IntakeFlowEvent(benchmark::State &state) { RunIntake(state, std::chrono::nanoseconds(0)); }
BENCHMARK(BM_IntakeFlowEvent)->Threads(1)->Threads(2)->Threads(4);

// The consumer spends a microsecond on each record, still far less than a
// handler does: the queue is rarely empty, as under load, and the figure is
// what the daemon's thread pays then.
void BM_IntakeFlowEventLoaded(benchmark::State &state) { RunIntake(state, std::chrono::microseconds(1)); }
BENCHMARK(BM_IntakeFlowEventLoaded)->Threads(1);

// The intake alone: flow events of one producer queued while nothing takes
// them, in batches that are discarded outside the timing. With no worker to
// contend with or to wake, what is left is the intake's own code (the gate,
// the routing, the record and its append): steady enough to compare two
// builds within a few per cent, which BM_IntakeFlowEvent is not.
void BM_IntakeFlowEventAlone(benchmark::State &state)
{
    constexpr std::size_t kQueued = 1000;
    BenchPlugin plugin;
    plugin.Runtime().SetHandlerMask(LPP_HANDLER_FLOW_EVENT);
    std::shared_ptr<vdFlow> flow = MakeTlsFlow();
    std::size_t queued = 0;
    for (auto _ : state) {
        flow->stats.lower_bytes++;
        plugin.DispatchProcessorEvent(kFlowEvent, flow);
        if (++queued < kQueued) continue;
        state.PauseTiming();
        const std::size_t records = plugin.Queue().Records();
        plugin.Queue().Discard();
        queued = 0;
        if (records != kQueued) {
            state.SkipWithError((std::to_string(records) + " records queued of " + std::to_string(kQueued)).c_str());
            break;
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IntakeFlowEventAlone);

// The intake walk of a flow map whose flows are all eligible.
void BM_FlowMapSnapshot(benchmark::State &state)
{
    const auto count = static_cast<std::size_t>(state.range(0));
    vdFlowMap map(1024);
    auto prototype = MakeTlsFlow();
    for (std::size_t i = 0; i < count; i++) {
        auto flow = std::make_shared<vdFlow>();
        flow->iface = prototype->iface;
        flow->flags.detection_init = true;
        flow->stats = prototype->stats;
        flow->stats.lower_bytes = i;
        map.Acquire(i % map.GetBuckets()).push_back(std::move(flow));
        map.Release(i % map.GetBuckets());
    }
    BenchPlugin plugin;
    plugin.Runtime().SetHandlerMask(LPP_HANDLER_FLOW_MAP | LPP_HANDLER_FLOW_STATS);

    for (auto _ : state) {
        plugin.DispatchProcessorEvent(kFlowMapEvent, &map);
        state.PauseTiming();
        std::size_t entries = 0;
        if (plugin.Queue().Records() == 1) entries = plugin.Queue().Take()->Entries().size();
        plugin.Queue().Discard();
        if (entries != count) {
            state.SkipWithError(("snapshot took " + std::to_string(entries) + " flows").c_str());
            break;
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FlowMapSnapshot)->Arg(100000)->Unit(benchmark::kMillisecond);

// Heap bytes per queued flow-event record (the record, its entry and the
// queue's share), from the allocator's own count.
void BM_MemoryQueuedRecord(benchmark::State &state)
{
    constexpr std::size_t kRecords = 100000;
    double per_record = 0;
    for (auto _ : state) {
        BenchPlugin plugin;
        plugin.Runtime().SetHandlerMask(LPP_HANDLER_FLOW_EVENT);
        auto flow = MakeTlsFlow();
        malloc_trim(0);
        const std::size_t before = mallinfo2().uordblks;
        for (std::size_t i = 0; i < kRecords; i++) plugin.DispatchProcessorEvent(kFlowEvent, flow);
        const std::size_t after = mallinfo2().uordblks;
        if (plugin.Queue().Records() != kRecords) {
            state.SkipWithError("records were not queued");
            return;
        }
        per_record = static_cast<double>(after - before) / kRecords;
    }
    state.counters["bytes_per_record"] = per_record;
}
BENCHMARK(BM_MemoryQueuedRecord)->Iterations(1);

}  // namespace
}  // namespace lppbench
