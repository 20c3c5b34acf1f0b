// Which daemon event reaches which of the script's handlers, and what each
// handler is passed: read by the intake's gates (is a handler there to want
// the event?), the worker's dispatch (which handlers a record goes to) and
// the handler call (which arguments it builds).
#pragma once

#include <cstdint>

#include <vessixd.hpp>

#include "lpp-runtime.hpp"

// The kinds of record, by the intake overload that brings them and by how
// they are shared out among workers.
enum class lppIntake : std::uint8_t {
    NONE,      // event 0 and numbers no handler takes
    AGENT,     // the event alone: agent events, to every worker
    FLOW,      // one flow, to the worker of that flow
    FLOW_MAP,  // a flow-map snapshot, split by the flows' workers
};

struct lppHandlerRoute {
    lppIntake intake;    // the records the handler is called for
    bool pass_event;     // receives the event number
    bool pass_flows;     // receives the array of the record's flow tables
    bool counters_only;  // ... in their counters-only form
};

// Indexed by lppHandlerId; a record goes to its handlers in this order.
inline constexpr lppHandlerRoute lppHandlerRoutes[LPP_HANDLER_ID_COUNT] = {
    {lppIntake::AGENT, true, false, false},     // ProcessAgentEvent
    {lppIntake::FLOW, true, true, false},       // ProcessFlowEvent
    {lppIntake::FLOW_MAP, false, true, false},  // ProcessFlowMap
    {lppIntake::FLOW_MAP, false, true, true},   // ProcessFlowStats
};

// The handler mask bits of the handlers that take records of intake.
constexpr std::uint8_t lppHandlersOf(lppIntake intake)
{
    std::uint8_t mask = 0;
    for (int id = 0; id < LPP_HANDLER_ID_COUNT; id++)
        if (lppHandlerRoutes[id].intake == intake) mask = static_cast<std::uint8_t>(mask | (1u << id));
    return mask;
}

// The kind of a record of event number event.
constexpr lppIntake lppIntakeOf(std::uint16_t event)
{
    using Event = vdPluginProcessor::Event;
    switch (static_cast<Event>(event)) {
    case Event::FLOW_MAP:
        return lppIntake::FLOW_MAP;
    case Event::FLOW_NEW: case Event::FLOW_EXPIRING: case Event::FLOW_EXPIRED: case Event::FLOW_INTEL:
    case Event::DPI_NEW: case Event::DPI_UPDATE: case Event::DPI_COMPLETE:
        return lppIntake::FLOW;
    case Event::UPDATE_INIT: case Event::UPDATE_COMPLETE:
        return lppIntake::AGENT;
    default:
        return lppIntake::NONE;
    }
}

static_assert(lppHandlersOf(lppIntake::FLOW_MAP) == (LPP_HANDLER_FLOW_MAP | LPP_HANDLER_FLOW_STATS));
static_assert(lppHandlersOf(lppIntake::NONE) == 0);
