-- Bytes per application over each update cycle of the daemon.
--
-- The daemon starts a cycle with LPP_EVENT_UPDATE_INIT, hands over its flow
-- map (ProcessFlowMap) and ends with LPP_EVENT_UPDATE_COMPLETE. The script
-- adds up the bytes of every flow in the map under the flow's application
-- (or its protocol, when no application was detected), and on completion
-- logs one line per application and dispatches a JSON summary to the sink
-- target "app-bytes", channel "stats".

local cjson = require "cjson"

local totals = {}
local flows_seen = 0

-- The application's name, or the protocol's when there is none.
local function AppName(flow)
    if flow.detected_application_name ~= "Unknown" then
        return flow.detected_application_name
    end
    return flow.detected_protocol_name
end

-- Application names in byte order, so that output does not depend on the
-- order in which Lua walks a table.
local function SortedNames()
    local names = {}
    for name in pairs(totals) do names[#names + 1] = name end
    table.sort(names)
    return names
end

function ProcessAgentEvent(event)
    if event == LPP_EVENT_UPDATE_INIT then
        totals = {}
        flows_seen = 0
    elseif event == LPP_EVENT_UPDATE_COMPLETE then
        local parts = {}
        for _, name in ipairs(SortedNames()) do
            local t = totals[name]
            lpp.print(string.format("%-12s %3d flow(s) %10d bytes (local %d, other %d)",
                name, t.flows, t.bytes, t.local_bytes, t.other_bytes))
            -- Names come from the flow: cjson quotes and escapes them. The
            -- objects are assembled here so that their keys keep this order.
            parts[#parts + 1] = string.format('%s:{"flows":%d,"bytes":%d}',
                cjson.encode(name), t.flows, t.bytes)
        end
        local summary = string.format('{"flows":%d,"applications":{%s}}',
            flows_seen, table.concat(parts, ","))
        lpp.dispatch("app-bytes", { "stats" }, summary, LPP_FORMAT_JSON, LPP_COMPRESSOR_NONE)
    end
end

function ProcessFlowMap(flows)
    for _, flow in ipairs(flows) do
        local name = AppName(flow)
        local t = totals[name]
        if t == nil then
            t = { flows = 0, bytes = 0, local_bytes = 0, other_bytes = 0 }
            totals[name] = t
        end
        t.flows = t.flows + 1
        t.bytes = t.bytes + flow.stats.total_bytes
        t.local_bytes = t.local_bytes + flow.stats.local_bytes
        t.other_bytes = t.other_bytes + flow.stats.other_bytes
        flows_seen = flows_seen + 1
    end
end
