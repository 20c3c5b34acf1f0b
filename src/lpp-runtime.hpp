// The Lua runtime: one Lua state running the user's script, the handlers it
// defines, their invocation with flow tables, and what the calls cost. Built,
// called and closed on the worker thread; the handler mask, the handler
// statistics and the state's memory count are read on the daemon's threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "lpp-binding.hpp"
#include "lpp-event.hpp"
#include "lpp-limits.hpp"

// The script's handlers, in the order a build looks for them; the status
// document names and counts them.
enum lppHandlerId : int {
    LPP_HANDLER_ID_AGENT_EVENT,
    LPP_HANDLER_ID_FLOW_EVENT,
    LPP_HANDLER_ID_FLOW_MAP,
    LPP_HANDLER_ID_FLOW_STATS,
    LPP_HANDLER_ID_COUNT,
};
extern const char *const lppHandlerNames[LPP_HANDLER_ID_COUNT];

// Bits of the handler mask: which handlers the script defines.
enum : std::uint8_t {
    LPP_HANDLER_AGENT_EVENT = 1 << LPP_HANDLER_ID_AGENT_EVENT,
    LPP_HANDLER_FLOW_EVENT = 1 << LPP_HANDLER_ID_FLOW_EVENT,
    LPP_HANDLER_FLOW_MAP = 1 << LPP_HANDLER_ID_FLOW_MAP,
    LPP_HANDLER_FLOW_STATS = 1 << LPP_HANDLER_ID_FLOW_STATS,
};

// What runs now: the steady-clock time at which a piece of work of the
// worker's began, 0 while none runs. Written by the worker, read by status
// readers, so that a call stuck in one C function or a finalizer shows.
class lppRunningSince {
public:
    void Begin() { since.store(lppSteadyNanoseconds(), std::memory_order_relaxed); }
    void End() { since.store(0, std::memory_order_relaxed); }
    // How long the work in progress has run; 0 when none runs.
    double Seconds() const
    {
        const std::int64_t began = since.load(std::memory_order_relaxed);
        return (began == 0) ? 0.0 : static_cast<double>(lppSteadyNanoseconds() - began) / 1e9;
    }

private:
    std::atomic<std::int64_t> since{0};
};

// What one handler has done since the runtime was created. Written by the
// worker alone, read by status readers on the daemon's threads.
struct lppHandlerStats {
    std::atomic<std::uint64_t> calls{0};
    std::atomic<std::uint64_t> errors{0};
    std::atomic<std::uint64_t> instruction_limit{0};
    std::atomic<std::uint64_t> memory_limit{0};
    std::atomic<std::uint64_t> time_limit{0};
    std::atomic<double> seconds{0};
    std::atomic<double> seconds_max{0};
    // When the call in progress began (steady-clock nanoseconds, 0: none).
    lppRunningSince running;
};

// Converts a JSON value into a Lua value and returns a registry reference to
// it (a reference to nil for null, binary and discarded values).
lppLuaRef CreateLuaValue(lua_State *L, const json &value);

class lppLuaRuntime {
public:
    // tag begins every log line of the runtime and of lpp.print and lpp.debug.
    explicit lppLuaRuntime(std::string tag) : tag(std::move(tag)) {}

    // Remembers path and digest as the script's (before the build, so that a
    // script that fails to build is not built again until its content
    // changes), then builds a new state that has run the script at path.
    void Build(const std::string &path, const std::vector<std::uint8_t> &digest);

    // Calls the script's handler by protected call with what it receives:
    // the event number (ProcessAgentEvent, ProcessFlowEvent) and an array of
    // the event's flow tables (ProcessFlowEvent, ProcessFlowMap, and the
    // counters-only form for ProcessFlowStats). A script error is logged, a
    // missing global thrown; either way the call is counted in the handler's
    // statistics. Worker thread only.
    void Invoke(lppHandlerId handler, lppEvent &event);

    // A full collection cycle, counted as one call of the script: the
    // finalizers it runs are the script's code.
    void Collect();

    // Builds the flow table of entry (the counters-only form when
    // counters_only is true). Worker thread only.
    lppLuaRef CreateFlowTable(const lppEvent::Entry &entry, bool counters_only);
    // Builds the flow table of entry as CreateFlowTable does and stores it in
    // the table at index array of the build thread (lppPushBuildThread),
    // under index. Worker thread only.
    void AppendFlowTable(
        lua_State *thread, int array, lua_Integer index, const lppEvent::Entry &entry, bool counters_only);

    // The worker this runtime is, number of count, given to the script as
    // lpp.worker() by the builds from now on; 0 of 0: no lpp.worker().
    void SetWorker(unsigned number, unsigned count)
    {
        worker_number = number;
        worker_count = count;
    }
    // Whether the builds from now on log which handlers the script defines.
    void SetHandlerLog(bool log) { log_handlers = log; }

    // Whether the current state defines a callable global name.
    bool ScriptHasFunction(const std::string &name);

    // The limits of every call from now on, in the current state too.
    void SetLimits(const lppLimits &limits) { lua.SetLimits(limits.instructions, limits.memory, limits.seconds); }

    // Which handlers the script defines (LPP_HANDLER_* bits); Build sets it,
    // the intake reads it on the daemon's threads. A plugin fed without a
    // script (intake tests and benchmarks) is given one.
    std::uint8_t HandlerMask() const { return handler_mask.load(); }
    void SetHandlerMask(std::uint8_t mask) { handler_mask.store(mask); }

    lua_State *State() const { return lua.Get(); }
    // Empty until a script has been accepted.
    const std::string &ScriptPath() const { return script_path; }
    const std::vector<std::uint8_t> &ScriptDigest() const { return script_digest; }
    const lppHandlerStats &Stats(lppHandlerId handler) const { return handler_stats[handler]; }
    // The full collection in progress (Collect); any thread.
    const lppRunningSince &Collecting() const { return collecting; }
    // Bytes held by the state; any thread.
    std::size_t MemoryUsed() const { return lua.Budget().memory_used.load(std::memory_order_relaxed); }

private:
    // Builds the handler's arguments and calls it; returns whether the call
    // failed. Part of Invoke, timed and counted there.
    bool CallHandler(lppHandlerId handler, lppEvent &event);

    // Declared before the state: lpp.print and lpp.debug read it, from
    // finalizers too, until the state is closed.
    const std::string tag;
    lppLuaState lua;
    std::atomic<std::uint8_t> handler_mask{0};
    std::string script_path;
    std::vector<std::uint8_t> script_digest;
    lppHandlerStats handler_stats[LPP_HANDLER_ID_COUNT];
    lppRunningSince collecting;
    unsigned worker_number = 0;
    unsigned worker_count = 0;
    bool log_handlers = true;
};
