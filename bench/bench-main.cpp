// The benchmark program: Google Benchmark's own table, then a summary of the
// figures the plugin is held to, each beside its bar, and the memory figures.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

// Keeps every run while the console shows it.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    SummaryReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &reports) override
    {
        for (const Run &run : reports) {
            // With repetitions, the median stands for the benchmark.
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            // Names without their repetition and minimum-time parts.
            std::string name = run.run_name.str();
            for (const char *part : {"/repeats:", "/min_time:"}) {
                const std::size_t at = name.find(part);
                if (at != std::string::npos) name.erase(at, name.find('/', at + 1) - at);
            }
            if (run.run_type == Run::RT_Iteration && runs.count(name) && runs.at(name).aggregate) continue;
            runs[name] = Figure{run.run_type == Run::RT_Aggregate, run.error_occurred, run.error_message,
                run.GetAdjustedRealTime() * Scale(run.time_unit), run.GetAdjustedCPUTime() * Scale(run.time_unit),
                {}};
            for (const auto &[counter, value] : run.counters) runs[name].counters[counter] = value.value;
        }
        ConsoleReporter::ReportRuns(reports);
    }

    struct Figure {
        bool aggregate;
        bool failed;
        std::string error;
        double real_ns;
        double cpu_ns;
        std::map<std::string, double> counters;
    };
    std::map<std::string, Figure> runs;

private:
    static double Scale(benchmark::TimeUnit unit)
    {
        switch (unit) {
        case benchmark::kSecond: return 1e9;
        case benchmark::kMillisecond: return 1e6;
        case benchmark::kMicrosecond: return 1e3;
        default: return 1;
        }
    }
};

class Summary {
public:
    explicit Summary(const SummaryReporter &reporter) : runs(reporter.runs) {}

    const SummaryReporter::Figure *Find(const std::string &name)
    {
        auto found = runs.find(name);
        if (found == runs.end()) return nullptr;
        if (found->second.failed) {
            std::printf("  %-34s FAILED: %s\n", name.c_str(), found->second.error.c_str());
            failed = true;
            return nullptr;
        }
        return &found->second;
    }

    void Line(const char *what, const std::string &figure, const std::string &bar, bool met)
    {
        std::printf("  %-34s %-40s %-22s %s\n", what, figure.c_str(), bar.c_str(), met ? "met" : "NOT MET");
        if (!met) missed = true;
    }

    void Info(const char *what, const std::string &figure) { std::printf("  %-34s %s\n", what, figure.c_str()); }

    bool failed = false;
    bool missed = false;

private:
    const std::map<std::string, SummaryReporter::Figure> &runs;
};

std::string Format(const char *format, double a, double b = 0, double c = 0)
{
    char text[128];
    std::snprintf(text, sizeof(text), format, a, b, c);
    return text;
}

void PrintSummary(const SummaryReporter &reporter)
{
    Summary s(reporter);
    std::printf("\nSummary (per-table and intake figures are CPU time; throughputs are wall-clock)\n");
    const std::pair<const char *, const char *> tables[] = {
        {"BM_FlowTableFull", "BM_FlowTableFloor"}, {"BM_FlowTableCounters", "BM_FlowTableFloorCounters"}};
    for (const auto &[plugin, floor] : tables) {
        const auto *p = s.Find(plugin);
        const auto *f = s.Find(floor);
        if (p && f)
            s.Info(plugin, Format("%.2f us, floor %.2f us (separate runs: %.2fx)", p->cpu_ns / 1e3,
                f->cpu_ns / 1e3, p->cpu_ns / f->cpu_ns));
    }
    for (const char *paired : {"BM_FlowTableFullVsFloor", "BM_FlowTableCountersVsFloor"}) {
        const auto *r = s.Find(paired);
        if (r && r->counters.count("ratio"))
            s.Line(paired, Format("%.2f us vs %.2f us: %.2fx", r->counters.at("plugin_ns") / 1e3,
                r->counters.at("floor_ns") / 1e3, r->counters.at("ratio")), "<= 1.20x floor",
                r->counters.at("ratio") <= 1.2);
    }
    if (const auto *r = s.Find("BM_IntakeFlowEvent/threads:1"))
        s.Line("intake, 1 producer", Format("%.0f ns (wall %.0f ns)", r->cpu_ns, r->real_ns), "< 300 ns",
            r->cpu_ns < 300);
    for (const char *name : {"BM_IntakeFlowEvent/threads:2", "BM_IntakeFlowEvent/threads:4"})
        if (const auto *r = s.Find(name)) s.Info(name, Format("%.0f ns per event; none lost or reordered", r->cpu_ns));
    if (const auto *r = s.Find("BM_IntakeFlowEventLoaded/threads:1"))
        s.Info("intake, 1 producer, busy consumer", Format("%.0f ns per event", r->cpu_ns));
    if (const auto *r = s.Find("BM_IntakeFlowEventAlone"))
        s.Info("intake alone, 1 producer", Format("%.1f ns per event", r->cpu_ns));
    if (const auto *r = s.Find("BM_FlowMapSnapshot/100000"))
        s.Line("snapshot walk, 100000 flows", Format("%.1f ms (wall %.1f ms)", r->cpu_ns / 1e6, r->real_ns / 1e6),
            "< 30 ms", r->cpu_ns < 30e6);
    if (const auto *r = s.Find("BM_EndToEndFlowEvents/empty/real_time")) {
        const double rate = r->counters.count("items_per_second") ? r->counters.at("items_per_second") : 0;
        const double worker = r->counters.count("worker_cpu_ns_per_event") ? r->counters.at("worker_cpu_ns_per_event") : 0;
        s.Line("end to end, empty handler", Format("%.0f events/s (worker CPU %.0f ns/event)", rate, worker),
            ">= 150000 events/s", rate >= 150000);
    }
    if (const auto *r = s.Find("BM_EndToEndFlowEvents/app_bytes/real_time")) {
        const double rate = r->counters.count("items_per_second") ? r->counters.at("items_per_second") : 0;
        s.Info("end to end, bytes per application", Format("%.0f events/s", rate));
    }
    if (const auto *r = s.Find("BM_EndToEndLimitsVsNone/real_time");
        r && r->counters.count("ratio"))
        s.Line("end to end, all limits set vs none",
            Format("worker CPU %.0f ns vs %.0f ns per event: %.3fx", r->counters.at("limited_ns"),
                r->counters.at("plain_ns"), r->counters.at("ratio")),
            "<= 1.05x", r->counters.at("ratio") <= 1.05);
    if (const auto *r = s.Find("BM_EndToEndWorkers/real_time"); r && r->counters.count("ratio_2_to_1"))
        s.Line("end to end, 2 and 4 workers vs 1",
            Format("%.0f events/s with 1; %.2fx with 2, %.2fx with 4", r->counters.at("events_per_s_1"),
                r->counters.at("ratio_2_to_1"), r->counters.at("ratio_4_to_1")),
            ">= 1.6x with 2 on 2 cores", r->counters.at("ratio_2_to_1") >= 1.6);
    if (const auto *r = s.Find("BM_ReplayThroughput/real_time")) {
        const double rate = r->counters.count("items_per_second") ? r->counters.at("items_per_second") : 0;
        s.Info("vessix-replay", Format("%.0f recording lines/s", rate));
    }
    std::printf("Memory\n");
    if (const auto *r = s.Find("BM_MemoryQueuedRecord/iterations:1"))
        s.Info("queued flow-event record", Format("%.0f bytes", r->counters.at("bytes_per_record")));
    if (const auto *r = s.Find("BM_MemoryFlowTable/iterations:1"))
        s.Info("live full flow table (Lua)", Format("%.0f bytes", r->counters.at("lua_bytes_per_table")));
    if (s.failed) std::printf("Some benchmarks FAILED: their figures are not to be trusted.\n");
}

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    PrintSummary(reporter);
    return 0;
}
