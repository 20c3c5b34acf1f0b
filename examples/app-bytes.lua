-- Bytes per application over each update cycle of the daemon.
--
-- The daemon starts a cycle with LPP_EVENT_UPDATE_INIT, hands over its flow
-- map (ProcessFlowMap) and ends with LPP_EVENT_UPDATE_COMPLETE. A flow that
-- expires is in no later map, and one that begins and expires within a cycle
-- is in none at all: its LPP_EVENT_FLOW_EXPIRED, which comes before the
-- cycle's UPDATE_INIT, is all the script sees of it. So the script counts
-- the flows of each map and each flow that expires, under the flow's
-- application (or its protocol, when no application was detected): what the
-- flow's byte totals (since it began) gained since the script last counted
-- it, kept by digest_lower, which stays the same for the flow's whole life.
-- On completion it logs one line per application, dispatches a JSON summary
-- to the sink target "app-bytes", channel "stats", and starts counting the
-- next cycle.

local cjson = require "cjson"

local totals = {}
local flows_seen = 0
-- Per flow (by digest_lower): its local and other byte totals counted so far.
local counted = {}

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

-- Adds what flow gained since it was last counted to its application.
local function Count(flow)
    local key = flow.digest_lower
    local before = counted[key] or { local_bytes = 0, other_bytes = 0 }
    local now = { local_bytes = flow.stats.total_local_bytes, other_bytes = flow.stats.total_other_bytes }
    counted[key] = now
    local name = AppName(flow)
    local t = totals[name]
    if t == nil then
        t = { flows = 0, bytes = 0, local_bytes = 0, other_bytes = 0 }
        totals[name] = t
    end
    local local_bytes = now.local_bytes - before.local_bytes
    local other_bytes = now.other_bytes - before.other_bytes
    t.flows = t.flows + 1
    t.bytes = t.bytes + local_bytes + other_bytes
    t.local_bytes = t.local_bytes + local_bytes
    t.other_bytes = t.other_bytes + other_bytes
    flows_seen = flows_seen + 1
end

function ProcessAgentEvent(event)
    if event == LPP_EVENT_UPDATE_COMPLETE then
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
        -- Not at UPDATE_INIT: the flows that expire in the next cycle come
        -- before it.
        totals = {}
        flows_seen = 0
    end
end

function ProcessFlowMap(flows)
    for _, flow in ipairs(flows) do Count(flow) end
end

function ProcessFlowEvent(event, flows)
    if event ~= LPP_EVENT_FLOW_EXPIRED then return end
    local flow = flows[1]
    local before = counted[flow.digest_lower]
    -- A flow counted in a map and idle since adds nothing to this cycle.
    if before == nil or flow.stats.total_local_bytes ~= before.local_bytes or
        flow.stats.total_other_bytes ~= before.other_bytes then
        Count(flow)
    end
    counted[flow.digest_lower] = nil
end
