// The worker thread: reloads on request, collects garbage, and hands queued
// records to the script's handlers one at a time.
#include "lpp-plugin.hpp"

void *lppPlugin::Entry()
{
    vd_printf("%s: %s v%s running the configured Lua script.\n", tag.c_str(), LPP_NAME, LPP_VERSION);

    if (ShouldTerminate()) return nullptr;

    unsigned passes = 0;
    do {
        ServeReload();

        // The tables the handlers built are left to the collector; a full
        // cycle every 100th pass bounds what piles up between its own steps.
        if (passes >= 99) {
            runtime.Collect();
            passes = 0;
        } else {
            passes++;
        }

        std::optional<lppEvent> taken = queue.Take();
        if (!taken) continue;
        lppEvent &record = *taken;

        const std::uint8_t mask = runtime.HandlerMask();
        using Event = vdPluginProcessor::Event;
        switch (static_cast<Event>(record.event)) {
        case Event::FLOW_MAP:
            if (mask & LPP_HANDLER_FLOW_MAP) runtime.Invoke(LPP_HANDLER_ID_FLOW_MAP, record);
            if (runtime.HandlerMask() & LPP_HANDLER_FLOW_STATS) runtime.Invoke(LPP_HANDLER_ID_FLOW_STATS, record);
            break;
        case Event::FLOW_NEW: case Event::FLOW_EXPIRING: case Event::FLOW_EXPIRED: case Event::FLOW_INTEL:
        case Event::DPI_NEW: case Event::DPI_UPDATE: case Event::DPI_COMPLETE:
            if (mask & LPP_HANDLER_FLOW_EVENT) runtime.Invoke(LPP_HANDLER_ID_FLOW_EVENT, record);
            break;
        case Event::UPDATE_INIT: case Event::UPDATE_COMPLETE:
            if (mask & LPP_HANDLER_AGENT_EVENT) runtime.Invoke(LPP_HANDLER_ID_AGENT_EVENT, record);
            break;
        default:
            // Dropped unhandled: Event::NONE, which callers queue as a marker
            // that a pass has taken, and every number with no handler.
            break;
        }
    } while (!ShouldTerminate());

    return nullptr;
}

void lppPlugin::ServeReload()
{
    if (!reload.load()) return;
    Reload();
    // Cleared only now: a request made while Reload ran is served by it, and
    // a Reload that throws leaves the request standing.
    reload.exchange(false);
}
