// The worker thread: reloads on request, collects garbage, and hands queued
// records to the script's handlers one at a time.
#include <chrono>

#include "lpp-plugin.hpp"

void *lppPlugin::Entry()
{
    vd_printf("%s: %s v%s running the configured Lua script.\n", tag.c_str(), LPP_NAME, LPP_VERSION);

    if (ShouldTerminate()) return nullptr;

    unsigned passes = 0;
    do {
        if (reload.load()) {
            Reload();
            // Cleared only now: a request made while Reload ran is served by
            // it, and a Reload that throws leaves the request standing.
            reload.exchange(false);
        }

        // The tables the handlers built are left to the collector; a full
        // cycle every 100th pass bounds what piles up between its own steps.
        if (passes >= 99) {
            // The finalizers this runs are one call of the script.
            lppScriptCall collection(lua.Budget());
            lua_gc(lua, LUA_GCCOLLECT);
            passes = 0;
        } else {
            passes++;
        }

        std::optional<lppEvent> taken = TakeRecord();
        if (!taken) continue;
        lppEvent &record = *taken;

        const std::uint8_t mask = handler_mask.load();
        using Event = vdPluginProcessor::Event;
        switch (static_cast<Event>(record.event)) {
        case Event::FLOW_MAP:
            if (mask & LPP_HANDLER_FLOW_MAP) ProcessFlowMap(record);
            if (handler_mask.load() & LPP_HANDLER_FLOW_STATS) ProcessFlowStats(record);
            break;
        case Event::FLOW_NEW: case Event::FLOW_EXPIRING: case Event::FLOW_EXPIRED: case Event::FLOW_INTEL:
        case Event::DPI_NEW: case Event::DPI_UPDATE: case Event::DPI_COMPLETE:
            if (mask & LPP_HANDLER_FLOW_EVENT) ProcessFlowEvent(record);
            break;
        case Event::UPDATE_INIT: case Event::UPDATE_COMPLETE:
            if (mask & LPP_HANDLER_AGENT_EVENT) ProcessAgentEvent(record);
            break;
        default:
            // Dropped unhandled: Event::NONE, which callers queue as a marker
            // that a pass has taken, and every number with no handler.
            break;
        }
    } while (!ShouldTerminate());

    return nullptr;
}

std::optional<lppEvent> lppPlugin::TakeRecord()
{
    std::unique_lock<std::mutex> queue_lock = LockQueue();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    event_queue_cond.wait_until(queue_lock, deadline, [this] { return !event_queue.empty(); });
    if (event_queue.empty()) return std::nullopt;

    std::optional<lppEvent> record(std::move(event_queue.front()));
    event_queue.pop_front();
    CountTaken(*record);
    return record;
}
