// Flow tables: the plugin's CreateFlowTable against the floor builder, per
// table, on the same flow in the same kind of Lua state; and the Lua memory
// a live flow table holds.
#include <time.h>

#include <exception>

#include "bench-floor.hpp"
#include "bench-flows.hpp"
#include "bench-support.hpp"

namespace lppbench {
namespace {

// Top-level keys of the table on top of the stack (no error can arise).
int CountKeys(lua_State *L)
{
    int count = 0;
    lua_pushnil(L);
    while (lua_next(L, -2) != 0) {
        count++;
        lua_pop(L, 1);
    }
    return count;
}

// Keys of one table of each builder; 0 when a builder failed. Both must
// agree, and the full form must have more keys than the counters-only form,
// or the benchmark measures something else than a flow table.
int PluginKeys(lppLuaRuntime &plugin, const lppEvent::Entry &entry, bool counters_only)
{
    lppLuaRef table = plugin.CreateFlowTable(entry, counters_only);
    if (!table.Valid()) return 0;
    lua_State *L = plugin.State();
    table.Push();
    int keys = lua_type(L, -1) == LUA_TTABLE ? CountKeys(L) : 0;
    lua_pop(L, 1);
    return keys;
}

constexpr int kFullKeys = 46;      // the benchmark flow's full table
constexpr int kCountersKeys = 6;   // iface, four digest entries, stats

void PluginTable(benchmark::State &state, bool counters_only)
{
    lppLuaRuntime plugin{"bench"};
    auto flow = MakeTlsFlow();
    lppEvent::Entry entry(flow);
    try {
        int keys = PluginKeys(plugin, entry, counters_only);
        if (keys != (counters_only ? kCountersKeys : kFullKeys)) {
            state.SkipWithError(("flow table has " + std::to_string(keys) + " keys").c_str());
            return;
        }
        for (auto _ : state) {
            lppLuaRef table = plugin.CreateFlowTable(entry, counters_only);
            benchmark::DoNotOptimize(table.Get());
        }
    } catch (const std::exception &e) {
        state.SkipWithError(e.what());
        return;
    }
    state.SetItemsProcessed(state.iterations());
}

void FloorTable(benchmark::State &state, bool counters_only)
{
    lppLuaRuntime plugin{"bench"};
    lua_State *L = plugin.State();
    auto flow = MakeTlsFlow();
    lppEvent::Entry entry(flow);
    FloorBuilder floor;
    floor.Open(L);
    floor.Build(entry, counters_only);
    int keys = CountKeys(L);
    lua_pop(L, 1);
    if (keys != (counters_only ? kCountersKeys : kFullKeys)) {
        floor.Close();
        state.SkipWithError(("floor table has " + std::to_string(keys) + " keys").c_str());
        return;
    }
    for (auto _ : state) {
        floor.Build(entry, counters_only);
        lua_pop(L, 1);
    }
    floor.Close();
    state.SetItemsProcessed(state.iterations());
}

void BM_FlowTableFull(benchmark::State &state) { PluginTable(state, false); }
void BM_FlowTableCounters(benchmark::State &state) { PluginTable(state, true); }
void BM_FlowTableFloor(benchmark::State &state) { FloorTable(state, false); }
void BM_FlowTableFloorCounters(benchmark::State &state) { FloorTable(state, true); }

// The plugin is judged by its ratio to the floor: repetitions, interleaved
// with --benchmark_enable_random_interleaving, give medians that a busy
// machine disturbs less than one run of each.
BENCHMARK(BM_FlowTableFull)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_FlowTableFloor)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_FlowTableCounters)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_FlowTableFloorCounters)->Repetitions(5)->ReportAggregatesOnly(true);

double ThreadCpuNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// The plugin and the floor in alternating batches of tables, each in a Lua
// state of its own, timed by this thread's CPU clock: both meet the same
// machine load, which on a busy machine moves separate runs far more than
// the difference being measured. The ratio is the bar's figure.
void PairedTables(benchmark::State &state, bool counters_only)
{
    constexpr int kBatch = 50;
    lppLuaRuntime plugin{"bench"};
    lppLuaRuntime floor_plugin{"bench"};
    lua_State *F = floor_plugin.State();
    auto flow = MakeTlsFlow();
    lppEvent::Entry entry(flow);
    const int expected = counters_only ? kCountersKeys : kFullKeys;
    FloorBuilder floor;
    floor.Open(F);
    floor.Build(entry, counters_only);
    const int floor_keys = CountKeys(F);
    lua_pop(F, 1);
    double plugin_ns = 0;
    double floor_ns = 0;
    std::int64_t tables = 0;
    try {
        const int plugin_keys = PluginKeys(plugin, entry, counters_only);
        if (plugin_keys != expected || floor_keys != expected) {
            state.SkipWithError(("tables have " + std::to_string(plugin_keys) + " and " +
                std::to_string(floor_keys) + " keys").c_str());
            floor.Close();
            return;
        }
        bool plugin_first = true;
        for (auto _ : state) {
            for (int turn = 0; turn < 2; turn++) {
                const double start = ThreadCpuNanoseconds();
                if (plugin_first == (turn == 0)) {
                    for (int i = 0; i < kBatch; i++) {
                        lppLuaRef table = plugin.CreateFlowTable(entry, counters_only);
                        benchmark::DoNotOptimize(table.Get());
                    }
                    plugin_ns += ThreadCpuNanoseconds() - start;
                } else {
                    for (int i = 0; i < kBatch; i++) {
                        floor.Build(entry, counters_only);
                        lua_pop(F, 1);
                    }
                    floor_ns += ThreadCpuNanoseconds() - start;
                }
            }
            plugin_first = !plugin_first;
            tables += kBatch;
        }
    } catch (const std::exception &e) {
        floor.Close();
        state.SkipWithError(e.what());
        return;
    }
    floor.Close();
    state.counters["plugin_ns"] = plugin_ns / static_cast<double>(tables);
    state.counters["floor_ns"] = floor_ns / static_cast<double>(tables);
    state.counters["ratio"] = plugin_ns / floor_ns;
}

void BM_FlowTableFullVsFloor(benchmark::State &state) { PairedTables(state, false); }
void BM_FlowTableCountersVsFloor(benchmark::State &state) { PairedTables(state, true); }
BENCHMARK(BM_FlowTableFullVsFloor)->MinTime(2);
BENCHMARK(BM_FlowTableCountersVsFloor)->MinTime(2);

// Lua memory held by one live flow table: many tables kept alive in an
// array, measured after full collections.
void BM_MemoryFlowTable(benchmark::State &state)
{
    constexpr int kTables = 2000;
    double per_table = 0;
    for (auto _ : state) {
        lppLuaRuntime plugin{"bench"};
        lua_State *L = plugin.State();
        auto flow = MakeTlsFlow();
        lppEvent::Entry entry(flow);
        try {
            // Key strings are made once per state: make them before measuring.
            { lppLuaRef warm = plugin.CreateFlowTable(entry, false); }
            int array = LUA_NOREF;
            lppProtectedCall(L, 0, 0, [&array](lua_State *S) -> int {
                lua_createtable(S, kTables, 0);
                array = luaL_ref(S, LUA_REGISTRYINDEX);
                return 0;
            });
            lppLuaRef tables(L, array);
            lua_gc(L, LUA_GCCOLLECT);
            const double before = lua_gc(L, LUA_GCCOUNT) * 1024.0 + lua_gc(L, LUA_GCCOUNTB);
            for (int i = 1; i <= kTables; i++) {
                lppLuaRef table = plugin.CreateFlowTable(entry, false);
                lppProtectedCall(L, 0, 0, [&tables, &table, i](lua_State *S) -> int {
                    tables.Push();
                    table.Push();
                    lua_rawseti(S, -2, i);
                    lua_pop(S, 1);
                    return 0;
                });
            }
            lua_gc(L, LUA_GCCOLLECT);
            const double after = lua_gc(L, LUA_GCCOUNT) * 1024.0 + lua_gc(L, LUA_GCCOUNTB);
            per_table = (after - before) / kTables;
        } catch (const std::exception &e) {
            state.SkipWithError(e.what());
            return;
        }
    }
    state.counters["lua_bytes_per_table"] = per_table;
}
BENCHMARK(BM_MemoryFlowTable)->Iterations(1);

}  // namespace
}  // namespace lppbench
