-- Exports flows to a collector: one record per expired flow, sent as one
-- JSON array at the end of each update cycle of the daemon.
--
-- Every LPP_EVENT_FLOW_EXPIRED adds a record (addresses, ports, protocol,
-- application, server name, byte and packet counters, first and last seen).
-- At LPP_EVENT_UPDATE_COMPLETE the records gathered are dispatched to sink
-- target "flow-export", channel "flows", marked as JSON to be compressed with
-- gzip (compressing is the sink's work; the flags ask for it). A cycle in
-- which no flow expired sends nothing.
--
-- cjson writes a table's keys in the order pairs() walks them, which changes
-- from run to run. Each record is therefore assembled here, key by key in a
-- fixed order, with cjson encoding the keys and the string values; integers
-- are written with %d, since cjson keeps only 14 significant digits.

local cjson = require "cjson"

-- The record's keys, in the order they are written, and the flow table
-- value behind each.
local fields = {
    { "local_ip", function(flow) return flow.local_ip end },
    { "local_port", function(flow) return flow.local_port end },
    { "other_ip", function(flow) return flow.other_ip end },
    { "other_port", function(flow) return flow.other_port end },
    { "ip_protocol", function(flow) return flow.ip_protocol end },
    { "protocol", function(flow) return flow.detected_protocol_name end },
    { "application", function(flow) return flow.detected_application_name end },
    { "server_name", function(flow) return flow.host_server_name end },
    { "local_bytes", function(flow) return flow.stats.total_local_bytes end },
    { "other_bytes", function(flow) return flow.stats.total_other_bytes end },
    { "local_packets", function(flow) return flow.stats.total_local_packets end },
    { "other_packets", function(flow) return flow.stats.total_other_packets end },
    { "first_seen_at", function(flow) return flow.first_seen_at end },
    { "last_seen_at", function(flow) return flow.last_seen_at end },
}

local function JsonValue(value)
    if math.type(value) == "integer" then return string.format("%d", value) end
    return cjson.encode(value)
end

-- One flow as a JSON object, its keys in the order of fields.
local function Record(flow)
    local parts = {}
    for i, field in ipairs(fields) do
        parts[i] = cjson.encode(field[1]) .. ":" .. JsonValue(field[2](flow))
    end
    return "{" .. table.concat(parts, ",") .. "}"
end

local pending = {}

function ProcessFlowEvent(event, flows)
    if event == LPP_EVENT_FLOW_EXPIRED then
        pending[#pending + 1] = Record(flows[1])
    end
end

function ProcessAgentEvent(event)
    if event == LPP_EVENT_UPDATE_COMPLETE and #pending > 0 then
        local payload = "[" .. table.concat(pending, ",") .. "]"
        pending = {}
        lpp.dispatch("flow-export", { "flows" }, payload, LPP_FORMAT_JSON, LPP_COMPRESSOR_GZIP)
    end
end
