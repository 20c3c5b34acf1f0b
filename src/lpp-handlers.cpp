// Handler invocation by the Lua runtime: each queued record becomes one
// protected call of the script's global function of the handler's name.
#include <chrono>

#include "lpp-flowtable-lua.hpp"
#include "lpp-routes.hpp"
#include "lpp-runtime.hpp"

const char *const lppHandlerNames[LPP_HANDLER_ID_COUNT] = {
    "ProcessAgentEvent", "ProcessFlowEvent", "ProcessFlowMap", "ProcessFlowStats"};

namespace {

// Only the worker writes the counters: a load and a store, no locked
// read-modify-write.
template <typename T>
void Add(std::atomic<T> &counter, T amount)
{
    counter.store(counter.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
}

}  // namespace

void lppLuaRuntime::Invoke(lppHandlerId handler, lppEvent &event)
{
    lppHandlerStats &stats = handler_stats[handler];
    const lppLuaBudget &budget = lua.Budget();
    lppScriptCall call(lua.Budget());
    const auto start = std::chrono::steady_clock::now();
    stats.running.Begin();
    // Counted on every path; an exception (a vanished handler) is a failure
    // too, on its way to ending the worker.
    auto count = [&](bool failed) {
        stats.running.End();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        Add(stats.calls, std::uint64_t{1});
        Add(stats.seconds, seconds);
        if (seconds > stats.seconds_max.load(std::memory_order_relaxed))
            stats.seconds_max.store(seconds, std::memory_order_relaxed);
        if (!failed) return;
        Add(stats.errors, std::uint64_t{1});
        if (budget.instructions_exceeded)
            Add(stats.instruction_limit, std::uint64_t{1});
        else if (budget.time_exceeded)
            Add(stats.time_limit, std::uint64_t{1});
        else if (budget.memory_refused)
            Add(stats.memory_limit, std::uint64_t{1});
    };
    bool failed = true;
    try {
        failed = CallHandler(handler, event);
    } catch (...) {
        count(true);
        throw;
    }
    count(failed);
}

bool lppLuaRuntime::CallHandler(lppHandlerId handler, lppEvent &event)
{
    const char *name = lppHandlerNames[handler];
    const lppHandlerRoute &route = lppHandlerRoutes[handler];
    const bool pass_flows = route.pass_flows;
    const bool pass_event = route.pass_event;
    const bool counters_only = route.counters_only;
    lua_State *L = lua.Get();
    lppStackGuard stack_guard(L);

    if (!lua_checkstack(L, 8)) throw lppLuaError("stack overflow");
    // A light C function: pushing it allocates nothing.
    lua_pushcfunction(L, lppDefaultMessageHandler);
    const int message_handler = lua_gettop(L);

    // The global is looked up afresh for every call: a script may replace
    // its handlers at any time. The lookup may run an __index metamethod of
    // the global table, hence the protection; what that metamethod raises is
    // the script's error like any other, not a reason to end the worker.
    try {
        lppProtectedCall(L, 0, 1, [name](lua_State *state) {
            lppPushGlobals(state);
            lua_getfield(state, -1, name);
            return 1;
        });
    } catch (const lppLuaError &e) {
        vd_dprintf("%s: %s: error: %s\n", tag.c_str(), name, e.what());
        return true;
    }
    const int function = lua_gettop(L);
    if (lua_isnil(L, function))
        throw vdException("%s: %s: %s function not found.", tag.c_str(), script_path.c_str(), name);

    // The flows array and its tables are built on the build thread and then
    // moved here, below every call frame: a finaliser that the building runs
    // cannot reach them, whatever it does with the debug library.
    int flows = 0;
    if (pass_flows) {
        lua_State *thread = nullptr;
        int array = 0;
        try {
            thread = lppPushBuildThread(L);
            array = lua_gettop(thread) + 1;
            lppProtectedCall(L, 0, 0, [thread](lua_State *S) {
                if (!lua_checkstack(thread, 1)) return luaL_error(S, "stack overflow");
                lua_newtable(thread);
                return 0;
            });
            lua_Integer index = 1;
            for (const auto &entry : event.Entries()) AppendFlowTable(thread, array, index++, entry, counters_only);
            // Moving allocates nothing; the room was checked above.
            lua_xmove(thread, L, 1);
            flows = lua_gettop(L);
        } catch (const lppLuaError &e) {
            // Tables the memory limit keeps from being built cost this event
            // alone; any other failure to build them ends the worker.
            if (!lua.Budget().memory_refused) throw;
            // What was built so far goes to the collector. An error raised
            // on the build thread itself resets that thread (then it is
            // made anew at its next use): its stack is only ever cut down.
            if (thread != nullptr && lua_gettop(thread) >= array - 1) lua_settop(thread, array - 1);
            vd_dprintf("%s: %s: error: %s\n", tag.c_str(), name, e.what());
            return true;
        }
    }

    lua_pushvalue(L, function);
    int nargs = 0;
    if (pass_event) {
        lua_pushinteger(L, static_cast<lua_Integer>(event.event));
        nargs++;
    }
    if (pass_flows) {
        lua_pushvalue(L, flows);
        nargs++;
    }
    const int status = lua_pcall(L, nargs, LUA_MULTRET, message_handler);
    if (status != LUA_OK && status != LUA_YIELD) {
        // The message handler always leaves a string; anything else (an
        // error inside the handler itself) is reported as Lua left it.
        const char *text =
            (lua_type(L, -1) == LUA_TSTRING) ? lua_tostring(L, -1) : "(error object is not a string)";
        vd_dprintf("%s: %s: error: %s\n", tag.c_str(), name, text);
        return true;
    }
    return false;
}
