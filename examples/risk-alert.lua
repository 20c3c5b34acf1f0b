-- Prints flows that the daemon found risky, and dispatches an alert for
-- each to the sink target "alerts" on the channel "security".

-- Flows whose risk score is below this are only logged at debug level.
local MIN_SCORE = 50

local alerted = {}

-- A JSON string literal.
local function JsonString(text)
    return '"' .. text:gsub('[%c"\\]', function(c)
        return string.format("\\u%04x", c:byte())
    end) .. '"'
end

-- "1.2.3.4:443", "[2001:db8::1]:443".
local function Endpoint(ip, port)
    if ip:find(":", 1, true) then return string.format("[%s]:%d", ip, port) end
    return string.format("%s:%d", ip, port)
end

local function Risks(flow)
    local codes = {}
    for _, code in ipairs(flow.risk.risks) do codes[#codes + 1] = tostring(code) end
    return table.concat(codes, ",")
end

function ProcessFlowEvent(event, flows)
    local flow = flows[1]
    if event == LPP_EVENT_FLOW_EXPIRED then
        alerted[flow.digest] = nil
        return
    end
    -- flow.risk is there only when the daemon flagged a risk.
    if flow.risk == nil or alerted[flow.digest] then return end

    local score = flow.risk.ndpi_score
    local line = string.format("risk score %d (client %d, server %d): %s %s -> %s risks %s",
        score, flow.risk.ndpi_score_client, flow.risk.ndpi_score_server,
        flow.detected_protocol_name, Endpoint(flow.local_ip, flow.local_port),
        Endpoint(flow.other_ip, flow.other_port), Risks(flow))
    if score < MIN_SCORE then
        lpp.debug(line)
        return
    end
    alerted[flow.digest] = true
    lpp.print(line)
    local alert = string.format(
        '{"digest":%s,"score":%d,"protocol":%s,"local":%s,"other":%s,"risks":[%s]}',
        JsonString(flow.digest), score, JsonString(flow.detected_protocol_name),
        JsonString(flow.local_ip), JsonString(flow.other_ip), Risks(flow))
    lpp.dispatch("alerts", { "security" }, alert, LPP_FORMAT_JSON, LPP_COMPRESSOR_NONE)
end
