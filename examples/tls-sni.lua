-- Logs each TLS (and QUIC) connection once, when detection has completed:
-- who talked to which server name, with which TLS version, ALPN and JA4.

local logged = {}

-- "1.2.3.4:443", "[2001:db8::1]:443".
local function Endpoint(ip, port)
    if ip:find(":", 1, true) then return string.format("[%s]:%d", ip, port) end
    return string.format("%s:%d", ip, port)
end

local function Describe(flow)
    local tls = flow.tls
    local sni = tls.client_sni or "(no SNI)"
    local alpn = tls.alpn_client and table.concat(tls.alpn_client, ",") or "-"
    return string.format("%s -> %s %s sni=%s version=%s alpn=%s ja4=%s",
        Endpoint(flow.local_ip, flow.local_port), Endpoint(flow.other_ip, flow.other_port),
        flow.detected_protocol_name, sni, flow.ssl.version, alpn,
        tls.client_ja4 or "-")
end

function ProcessFlowEvent(event, flows)
    local flow = flows[1]
    if event == LPP_EVENT_DPI_COMPLETE or event == LPP_EVENT_DPI_UPDATE then
        -- Only flows the daemon recognised as TLS or QUIC carry a tls table.
        if flow.tls ~= nil and not logged[flow.digest] then
            logged[flow.digest] = true
            lpp.print(Describe(flow))
            if flow.tls.server_cn then
                lpp.debug("  certificate: " .. flow.tls.server_cn ..
                    " issued by " .. (flow.tls.issuer_dn or "?"))
            end
        end
    elseif event == LPP_EVENT_FLOW_EXPIRED then
        logged[flow.digest] = nil
    end
end
