// Recordings end to end: every op, every flow field and every event name
// reach the plugin as the daemon would send them.
#include <algorithm>

#include "vx-e2e-support.hpp"

namespace {

// Prints every flow table, its keys sorted, one "path=value" line each.
const char *const dump_script = R"(
local function Dump(prefix, value)
    if type(value) ~= "table" then
        lpp.print(prefix .. "=" .. tostring(value))
        return
    end
    local keys = {}
    for k in pairs(value) do keys[#keys + 1] = k end
    table.sort(keys, function(a, b) return tostring(a) < tostring(b) end)
    for _, k in ipairs(keys) do Dump(prefix .. "." .. tostring(k), value[k]) end
end

function ProcessFlowEvent(event, flows)
    lpp.print("flow event " .. event .. " " .. #flows)
    Dump("flow", flows[1])
end

function ProcessFlowMap(flows)
    local names = {}
    for i, flow in ipairs(flows) do names[i] = flow.host_server_name end
    lpp.print("map " .. table.concat(names, ","))
end

function ProcessFlowStats(flows)
    lpp.print("stats " .. #flows .. " first total " .. flows[1].stats.total_bytes)
end

function ProcessAgentEvent(event)
    lpp.print("agent " .. event)
end
)";

bool Has(const std::vector<std::string> &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

using Recording = vxReplayTest;

TEST_F(Recording, EveryFlowFieldReachesTheFlowTable)
{
    auto run = RunScript(dump_script,
        R"({"op":"flow","event":"new","id":"all","json":{"extra":5,"list":[1,"two"]},"set":)" + vxEveryFieldSet() +
            "}\n");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const auto lines = LinesWith(run.out, "lua: ");
    const std::vector<std::string> expected = {
        "flow event 2 1",
        "flow.extra=5", "flow.list.1=1", "flow.list.2=two",
        "flow.iface.name=wan0", "flow.iface.role=2",
        "flow.digest_lower=00000000000000ff", "flow.digest=abcdef0123456789",
        "flow.digest_mdata=abcdef0123456789",
        "flow.digest_prev.1=0000000000000001", "flow.digest_prev.2=abcdef0123456789",
        "flow.ip_version=4", "flow.ip_dscp=46", "flow.ip_protocol=6", "flow.vlan_id=4094",
        "flow.first_seen_at=1700000000000", "flow.last_seen_at=1700000005000",
        "flow.lower_map=1", "flow.other_type=5", "flow.tunnel_type=1", "flow.origin=1",
        "flow.lower_mac=aa:bb:cc:dd:ee:ff", "flow.upper_mac=00:11:22:33:44:55",
        "flow.local_mac=aa:bb:cc:dd:ee:ff", "flow.other_mac=00:11:22:33:44:55",
        "flow.lower_addr=192.168.1.10", "flow.upper_addr=93.184.216.34",
        "flow.local_ip=192.168.1.10", "flow.other_ip=93.184.216.34",
        "flow.lower_port=51514", "flow.upper_port=443",
        "flow.flags.detection_complete=true", "flow.flags.detection_guessed=false",
        "flow.flags.detection_init=true", "flow.flags.detection_updated=true",
        "flow.flags.dhc_hit=true", "flow.flags.fhc_hit=false", "flow.flags.expiring=true",
        "flow.flags.expired=false", "flow.flags.soft_dissector=true",
        "flow.tcp.fin_acks=2", "flow.tcp.last_seq=123456",
        "flow.stats.lower_bytes=100", "flow.stats.upper_bytes=200", "flow.stats.total_bytes=300",
        "flow.stats.local_bytes=100", "flow.stats.other_bytes=200",
        "flow.stats.total_local_bytes=1000", "flow.stats.total_other_bytes=2000",
        "flow.stats.lower_packets=3", "flow.stats.upper_packets=4", "flow.stats.total_packets=7",
        "flow.stats.total_local_packets=30", "flow.stats.total_other_packets=40",
        "flow.stats.detection_packets=5", "flow.stats.lower_rate=1.5", "flow.stats.upper_rate=2.5",
        "flow.stats.tcp_seq_errors=6", "flow.stats.tcp_resets=7", "flow.stats.tcp_retrans=8",
        "flow.gtp.version=1", "flow.gtp.ip_version=4", "flow.gtp.ip_dscp=8",
        "flow.gtp.lower_addr=10.0.0.1", "flow.gtp.upper_addr=10.0.0.2",
        "flow.gtp.lower_port=2152", "flow.gtp.upper_port=2153",
        "flow.gtp.local_teid=1", "flow.gtp.other_teid=2",
        "flow.gtp.lower_type=3", "flow.gtp.upper_type=4", "flow.gtp.lower_map=1",
        "flow.gtp.other_type_id=3",
        "flow.dns_host_name=dns.example", "flow.host_server_name=www.example.com",
        "flow.detected_protocol=188", "flow.detected_application=126",
        "flow.detected_protocol_name=QUIC", "flow.detected_application_name=Google",
        "flow.category.application=11", "flow.category.protocol=12", "flow.category.domain=13",
        "flow.category.lower_net=14", "flow.category.upper_net=15", "flow.category.overlay=16",
        "flow.http.user_agent=curl/8", "flow.http.url=/x",
        "flow.dhcp.fingerprint=1,3,6", "flow.dhcp.class_ident=MSFT 5.0",
        "flow.ssh.client_agent=SSH-2.0-c", "flow.ssh.server_agent=SSH-2.0-s",
        "flow.tls.version=771", "flow.tls.cipher_suite=4865", "flow.tls.encrypted_ch.version=65037",
        "flow.tls.server_cn=cn.example", "flow.tls.issuer_dn=CN=issuer", "flow.tls.subject_dn=CN=subject",
        "flow.tls.client_ja4=t13d_ja4", "flow.tls.fingerprint=00ff10", "flow.tls.client_sni=www.example.com",
        "flow.tls.alpn_client.1=h3", "flow.tls.alpn_client.2=h2", "flow.tls.alpn_server.1=h3",
        "flow.smtp.tls=true", "flow.bt.info_hash=0102abcd", "flow.ssdp.user_agent=upnp/1.0",
        "flow.mdns.domain_name=printer.local",
        "flow.stun.mapped=1.2.3.4:3478", "flow.stun.peer=[2001:db8::9]:19302",
        "flow.stun.relayed=5.6.7.8:1", "flow.stun.response=9.9.9.9:2", "flow.stun.other=[::1]:3",
        "flow.risk.ndpi_score=110", "flow.risk.ndpi_score_client=10", "flow.risk.ndpi_score_server=100",
        "flow.risk.risks.1=6", "flow.risk.risks.2=27",
        "flow.tags.1=alpha", "flow.tags.2=zeta",
    };
    for (const auto &line : expected) EXPECT_TRUE(Has(lines, line)) << line;
}

TEST_F(Recording, AddressesPortsAndDigestsInTheirTexts)
{
    auto run = RunScript(dump_script, R"(
{"op":"flow","event":"new","id":"v6","set":{"ip_version":6,"lower_map":2,"lower_addr":"2001:db8::1","lower_port":1,"upper_addr":"::ffff:10.0.0.1","upper_port":65535,"digest_lower":18446744073709551615}}
{"op":"flow","event":"new","id":"none","set":{"stun":{"mapped":"[2001:db8::1]:3478"}}}
)");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const auto lines = LinesWith(run.out, "lua: ");
    for (const char *line : {"flow.lower_addr=2001:db8::1", "flow.upper_addr=::ffff:10.0.0.1",
             "flow.other_ip=2001:db8::1", "flow.local_ip=::ffff:10.0.0.1", "flow.other_port=1",
             "flow.local_port=65535", "flow.digest_lower=ffffffffffffffff", "flow.digest=ffffffffffffffff",
             "flow.stun.mapped=[2001:db8::1]:3478",
             // A flow never given an address or interface.
             "flow.lower_addr=", "flow.lower_port=0", "flow.lower_mac=00:00:00:00:00:00", "flow.iface.name=eth0",
             "flow.iface.role=0", "flow.digest_lower=0000000000000000"})
        EXPECT_TRUE(Has(lines, line)) << line;
}

TEST_F(Recording, EveryOpAndEveryEventName)
{
    auto run = RunScript(std::string(dump_script), std::string(R"(
{"op":"flow","event":"new","id":"a","set":{"host_server_name":"a","flags":{"detection_init":true}}}
{"op":"flow","event":"expiring","id":"a"}
{"op":"flow","event":"expired","id":"a"}
{"op":"flow","event":"intel","id":"a"}
{"op":"flow","event":"dpi_new","id":"a"}
{"op":"flow","event":"dpi_update","id":"a"}
{"op":"flow","event":"dpi_complete","id":"a"}
{"op":"flow","event":"flow_map","id":"a"}
{"op":"flow","event":"interfaces","id":"a"}
{"op":"flow","event":"pkt_capture_stats","id":"a"}
{"op":"flow","event":"pkt_global_stats","id":"a"}
{"op":"flow","event":0,"id":"a"}
{"op":"flow","event":14,"id":"a"}
{"op":"update","id":"a","set":{"stats":{"total_bytes":77}}}
{"op":"flow_map"}
{"op":"flow_map","event":"update_init"}
{"op":"agent","event":"update_init"}
{"op":"agent","event":"update_complete","status":true}
{"op":"interfaces"}
{"op":"iface_stats"}
{"op":"global_stats"}
{"op":"interfaces","event":"update_init"}
{"op":"iface_stats","event":13}
{"op":"global_stats","event":"update_complete"}
{"op":"dispatch_event","event":1}
{"op":"sleep","ms":1}
{"op":"wait"}
{"op":"purge","id":"a"}
{"op":"flow_map"}
{"op":"sink","fail":null}
{"op":"file","path":"script.lua","text":"function ProcessAgentEvent(event) lpp.print(\"next agent \" .. event) end"}
{"op":"reload"}
{"op":"agent","event":13}
{"op":"flow","event":"new","id":"b"}
)"));
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const auto lines = LinesWith(run.out, "lua: ");
    std::vector<std::string> events;
    for (const auto &line : lines)
        if (line.rfind("flow.", 0) != 0 && line.rfind("Vessix", 0) != 0) events.push_back(line);
    const std::vector<std::string> expected = {
        "flow event 2 1", "flow event 3 1", "flow event 4 1", "flow event 5 1", "flow event 6 1",
        "flow event 7 1", "flow event 8 1",
        // Event 1 through the single-flow overload: routed as a flow map.
        "map a", "stats 1 first total 0",
        // The map, after the update.
        "map a", "stats 1 first total 77",
        // "update_init" through the flow-map overload is routed by its
        // number, to the agent handler.
        "agent 12",
        "agent 12", "agent 13",
        // After the purge the map is empty: nothing queued. After the reload
        // only the new script's handler runs, and flow events pass no gate.
        "next agent 13",
    };
    EXPECT_EQ(events, expected) << run.out;
}

TEST_F(Recording, FlowMapBucketsAndEligibility)
{
    // Flow k goes to bucket k mod 3: a d | b e | c. A purged and re-created
    // flow is a new flow at the back of its new bucket. Flows whose detection
    // is not initialised, or that expired, are left out; expiring ones stay.
    auto run = RunScript(dump_script, R"(
{"op":"update","id":"a","set":{"host_server_name":"a","flags":{"detection_init":true}}}
{"op":"update","id":"b","set":{"host_server_name":"b","flags":{"detection_init":true}}}
{"op":"update","id":"c","set":{"host_server_name":"c","flags":{"detection_init":true}}}
{"op":"update","id":"d","set":{"host_server_name":"d","flags":{"detection_init":true,"expiring":true}}}
{"op":"update","id":"e","set":{"host_server_name":"e","flags":{"detection_init":true}}}
{"op":"update","id":"x","set":{"host_server_name":"x"}}
{"op":"flow_map"}
{"op":"purge","id":"b"}
{"op":"update","id":"b","set":{"host_server_name":"b2","flags":{"detection_init":true}}}
{"op":"update","id":"e","set":{"flags":{"expired":true}}}
{"op":"flow_map"}
)", {"--buckets", "3"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(LinesWith(run.out, "lua: map "), (std::vector<std::string>{"a,d,b,e,c", "a,d,b2,c"}))
        << run.out;
}

}  // namespace
