// Flow fields onto vdFlow: every member reaches its field, with the stand-in's
// representation (TEIDs in network order, ports with their addresses).
#include <arpa/inet.h>

#include <functional>

#include <gtest/gtest.h>

#include "vx-flow-fields.hpp"

namespace {

std::shared_ptr<vdFlow> NewFlow()
{
    auto flow = std::make_shared<vdFlow>();
    vxInitFlow(*flow);
    return flow;
}

TEST(FlowFields, EveryMemberReachesItsField)
{
    auto flow = NewFlow();
    const json every = json::parse(R"({
        "iface": {"name": "wan0", "role": 2},
        "digest_lower": "00000000000000ff",
        "digest_mdata": [1, "ABCDEF", 18446744073709551615],
        "ip_version": 6, "ip_dscp": 46, "ip_protocol": 17, "lower_map": 2, "other_type": 5,
        "tunnel_type": 1, "origin": 2, "privacy_mask": 15, "vlan_id": 4094,
        "first_seen_at": 1700000000000, "last_seen_at": 18446744073709551615,
        "lower_mac": "aa:bb:cc:dd:ee:ff", "upper_mac": "00:11:22:33:44:55",
        "lower_addr": "2001:db8::1", "lower_port": 443, "upper_addr": "10.1.2.3", "upper_port": 65535,
        "flags": {"detection_complete": true, "detection_guessed": true, "detection_init": true,
                  "detection_updated": true, "dhc_hit": true, "fhc_hit": true, "expiring": true,
                  "expired": true, "soft_dissector": true},
        "tcp": {"fin_acks": 3, "last_seq": 4294967295},
        "stats": {"lower_bytes": 1, "upper_bytes": 2, "total_bytes": 3, "lower_total_bytes": 4,
                  "upper_total_bytes": 5, "lower_packets": 6, "upper_packets": 7, "total_packets": 8,
                  "lower_total_packets": 9, "upper_total_packets": 10, "detection_packets": 11,
                  "lower_rate": 1.5, "upper_rate": 2.0, "tcp_seq_errors": 12, "tcp_resets": 13,
                  "tcp_retrans": 14},
        "gtp": {"version": 1, "ip_version": 4, "ip_dscp": 8, "lower_addr": "192.0.2.1",
                "upper_addr": "192.0.2.2", "lower_port": 2152, "upper_port": 2153,
                "lower_teid": 1, "upper_teid": 305419896, "lower_type": 3, "upper_type": 4,
                "lower_map": 1, "other_type": 3},
        "dns_host_name": "dns.example", "host_server_name": "a\u0000b",
        "detected_protocol": 188, "detected_application": 300, "master_protocol": 91,
        "detected_protocol_name": "QUIC", "detected_application_name": "Google",
        "category": {"application": 1, "protocol": 2, "domain": 3, "lower_net": 4, "upper_net": 5,
                     "overlay": 4294967295},
        "http": {"user_agent": "ua", "url": "/u"},
        "dhcp": {"fingerprint": "1,3,6", "class_ident": "MSFT 5.0"},
        "ssh": {"client_agent": "c", "server_agent": "s"},
        "tls": {"version": 772, "cipher_suite": 4865, "encrypted_ch_version": 65037,
                "server_cn": "cn", "issuer_dn": "idn", "subject_dn": "sdn", "client_ja4": "ja4",
                "fingerprint": "00FFa1", "alpn": ["h3", "h2"], "alpn_server": ["h3"]},
        "smtp_tls": true,
        "bt_info_hash": "0102",
        "ssdp_user_agent": "ssdp", "mdns_domain_name": "printer.local",
        "stun": {"mapped": "1.2.3.4:3478", "peer": "[2001:db8::9]:19302", "relayed": null},
        "risk": {"score": 100, "score_client": 60, "score_server": 40, "risks": [27, 6, 6]},
        "tags": ["b", "a", "b"]
    })");
    vxApplyFlowFields(*flow, every);

    EXPECT_EQ(flow->iface->ifname, "wan0");
    EXPECT_EQ(flow->iface->role, 2);
    EXPECT_EQ(flow->digest_lower, 0xffu);
    EXPECT_EQ(flow->digest_mdata, (std::vector<std::uint64_t>{1, 0xabcdef, UINT64_MAX}));
    EXPECT_EQ(flow->ip_version, 6);
    EXPECT_EQ(flow->ip_dscp, 46);
    EXPECT_EQ(flow->ip_protocol, 17);
    EXPECT_EQ(flow->lower_map, 2);
    EXPECT_EQ(flow->other_type, 5);
    EXPECT_EQ(flow->tunnel_type, 1);
    EXPECT_EQ(flow->origin, 2);
    EXPECT_EQ(flow->privacy_mask, 15);
    EXPECT_EQ(flow->vlan_id, 4094);
    EXPECT_EQ(flow->first_seen_at, 1700000000000u);
    EXPECT_EQ(flow->last_seen_at, UINT64_MAX);
    EXPECT_EQ(flow->lower_mac.GetString(), "aa:bb:cc:dd:ee:ff");
    EXPECT_EQ(flow->upper_mac.GetString(), "00:11:22:33:44:55");
    EXPECT_EQ(flow->lower_addr.GetString(vdAddr::MAKE_WITH_PORT), "[2001:db8::1]:443");
    EXPECT_EQ(flow->upper_addr.GetString(vdAddr::MAKE_WITH_PORT), "10.1.2.3:65535");
    EXPECT_TRUE(flow->flags.detection_complete && flow->flags.detection_guessed &&
        flow->flags.detection_init && flow->flags.detection_updated && flow->flags.dhc_hit &&
        flow->flags.fhc_hit && flow->flags.expiring && flow->flags.expired && flow->flags.soft_dissector);
    EXPECT_EQ(flow->tcp.fin_acks, 3);
    EXPECT_EQ(flow->tcp.last_seq, 4294967295u);
    const auto &s = flow->stats;
    EXPECT_EQ(s.lower_bytes + s.upper_bytes + s.total_bytes + s.lower_total_bytes + s.upper_total_bytes, 15u);
    EXPECT_EQ(s.lower_packets + s.upper_packets + s.total_packets + s.lower_total_packets +
        s.upper_total_packets, 40u);
    EXPECT_EQ(s.upper_total_packets, 10u);
    EXPECT_EQ(s.detection_packets, 11);
    EXPECT_FLOAT_EQ(s.lower_rate, 1.5f);
    EXPECT_FLOAT_EQ(s.upper_rate, 2.0f);
    EXPECT_EQ(s.tcp_seq_errors, 12u);
    EXPECT_EQ(s.tcp_resets, 13u);
    EXPECT_EQ(s.tcp_retrans, 14u);
    auto &g = flow->gtp;
    EXPECT_EQ(g.version, 1);
    EXPECT_EQ(g.ip_version, 4);
    EXPECT_EQ(g.ip_dscp, 8);
    EXPECT_EQ(g.lower_addr.GetString(vdAddr::MAKE_WITH_PORT), "192.0.2.1:2152");
    EXPECT_EQ(g.upper_addr.GetString(vdAddr::MAKE_WITH_PORT), "192.0.2.2:2153");
    // The bytes of n in network order, whatever the host's order.
    const auto *teid = reinterpret_cast<const std::uint8_t *>(&g.lower_teid);
    EXPECT_EQ(std::vector<std::uint8_t>(teid, teid + 4), (std::vector<std::uint8_t>{0, 0, 0, 1}));
    EXPECT_EQ(ntohl(g.upper_teid), 305419896u);
    EXPECT_EQ(g.lower_type, 3);
    EXPECT_EQ(g.upper_type, 4);
    EXPECT_EQ(g.lower_map, 1);
    EXPECT_EQ(g.other_type, 3);
    EXPECT_EQ(flow->dns_host_name, "dns.example");
    EXPECT_EQ(flow->host_server_name, std::string("a\0b", 3));
    EXPECT_EQ(flow->detected_protocol, 188);
    EXPECT_EQ(flow->detected_application, 300);
    EXPECT_EQ(flow->GetMasterProtocol(), 91);
    EXPECT_EQ(flow->detected_protocol_name, "QUIC");
    EXPECT_EQ(flow->detected_application_name, "Google");
    EXPECT_EQ(flow->category.application, 1u);
    EXPECT_EQ(flow->category.protocol, 2u);
    EXPECT_EQ(flow->category.domain, 3u);
    EXPECT_EQ(flow->category.lower_net, 4u);
    EXPECT_EQ(flow->category.upper_net, 5u);
    EXPECT_EQ(flow->category.overlay, 4294967295u);
    EXPECT_EQ(flow->http.user_agent, "ua");
    EXPECT_EQ(flow->http.url, "/u");
    EXPECT_EQ(flow->dhcp.fingerprint, "1,3,6");
    EXPECT_EQ(flow->dhcp.class_ident, "MSFT 5.0");
    EXPECT_EQ(flow->ssh.client_agent, "c");
    EXPECT_EQ(flow->ssh.server_agent, "s");
    EXPECT_EQ(flow->tls.version, 772);
    EXPECT_EQ(flow->tls.cipher_suite, 4865);
    EXPECT_EQ(flow->tls.encrypted_ch_version, 65037);
    EXPECT_EQ(flow->tls.server_cn, "cn");
    EXPECT_EQ(flow->tls.issuer_dn, "idn");
    EXPECT_EQ(flow->tls.subject_dn, "sdn");
    EXPECT_EQ(flow->tls.client_ja4, "ja4");
    EXPECT_EQ(flow->tls.fingerprint, (std::vector<std::uint8_t>{0x00, 0xff, 0xa1}));
    EXPECT_EQ(flow->tls.alpn, (std::vector<std::string>{"h3", "h2"}));
    EXPECT_EQ(flow->tls.alpn_server, (std::vector<std::string>{"h3"}));
    EXPECT_TRUE(flow->smtp_tls);
    EXPECT_EQ(flow->bt_info_hash, (std::vector<std::uint8_t>{1, 2}));
    EXPECT_EQ(flow->ssdp_user_agent, "ssdp");
    EXPECT_EQ(flow->mdns_domain_name, "printer.local");
    EXPECT_EQ(flow->stun.mapped.GetString(vdAddr::MAKE_WITH_PORT), "1.2.3.4:3478");
    EXPECT_EQ(flow->stun.peer.GetString(vdAddr::MAKE_WITH_PORT), "[2001:db8::9]:19302");
    EXPECT_FALSE(flow->stun.relayed.IsValid());
    EXPECT_EQ(flow->risk.score, 100);
    EXPECT_EQ(flow->risk.score_client, 60);
    EXPECT_EQ(flow->risk.score_server, 40);
    EXPECT_EQ(flow->risk.risks, (std::set<std::uint32_t>{6, 27}));
    EXPECT_EQ(flow->tags, (std::set<std::string>{"a", "b"}));

    // Written back, every member the line gave is there (nested members
    // too), in the recording's own texts, and reads into an equal flow.
    const json written = vxFlowFieldsOf(*flow);
    std::function<void(const json &, const json &, const std::string &)> every_member_written =
        [&](const json &in, const json &out, const std::string &path) {
            for (const auto &[name, value] : in.items()) {
                ASSERT_TRUE(out.contains(name)) << path << name;
                if (value.is_object()) every_member_written(value, out[name], path + name + ".");
            }
        };
    every_member_written(every, written, "");
    EXPECT_EQ(written["gtp"].size(), 13u);
    EXPECT_EQ(written["stats"].size(), 16u);
    EXPECT_EQ(written["tls"].size(), 10u);
    EXPECT_EQ(written["flags"].size(), 9u);
    EXPECT_EQ(written["digest_lower"], "00000000000000ff");
    EXPECT_EQ(written["digest_mdata"], json({"0000000000000001", "0000000000abcdef", "ffffffffffffffff"}));
    EXPECT_EQ(written["gtp"]["upper_teid"], 305419896);
    EXPECT_EQ(written["gtp"]["lower_port"], 2152);
    EXPECT_EQ(written["lower_addr"], "2001:db8::1");
    EXPECT_EQ(written["lower_port"], 443);
    EXPECT_EQ(written["stun"]["peer"], "[2001:db8::9]:19302");
    EXPECT_EQ(written["stun"]["relayed"], nullptr);
    EXPECT_EQ(written["stats"]["lower_rate"], 1.5);
    EXPECT_EQ(written["tls"]["fingerprint"], "00ffa1");
    EXPECT_EQ(written["host_server_name"], std::string("a\0b", 3));
    EXPECT_EQ(written["risk"]["risks"], json({6, 27}));
    auto copy = NewFlow();
    vxApplyFlowFields(*copy, written);
    EXPECT_EQ(vxFlowFieldsOf(*copy), written);
}

TEST(FlowFields, TheDeltaHoldsWhatChangedAndRebuildsTheFlow)
{
    auto flow = NewFlow();
    const json before = vxFlowFieldsOf(*flow);
    // A new flow has no addresses, so no ports either.
    EXPECT_EQ(before["lower_addr"], nullptr);
    EXPECT_FALSE(before.contains("lower_port"));
    vxApplyFlowFields(*flow, json::parse(R"({"lower_addr": "192.0.2.7", "lower_port": 80,
        "stats": {"upper_bytes": 20}, "tls": {"alpn": ["h2"]}})"));
    const json after = vxFlowFieldsOf(*flow);
    const json delta = vxFlowFieldsDelta(before, after);
    EXPECT_EQ(delta, json::parse(R"({"lower_addr": "192.0.2.7", "lower_port": 80,
        "stats": {"upper_bytes": 20}, "tls": {"alpn": ["h2"]}})"));
    auto copy = NewFlow();
    vxApplyFlowFields(*copy, delta);
    EXPECT_EQ(vxFlowFieldsOf(*copy), after);
    EXPECT_EQ(vxFlowFieldsDelta(after, after), json::object());
}

TEST(FlowFields, AbsentMembersStayAndObjectsMerge)
{
    auto flow = NewFlow();
    EXPECT_EQ(flow->iface->ifname, "eth0");
    EXPECT_FALSE(flow->lower_mac.IsValid());
    vxApplyFlowFields(*flow, json::parse(R"({"lower_addr": "192.0.2.7", "lower_port": 80,
        "stats": {"lower_bytes": 10, "upper_bytes": 20}, "tls": {"version": 771},
        "iface": {"role": 1}, "lower_mac": "00:00:00:00:00:01"})"));
    auto iface_before = flow->iface;
    vxApplyFlowFields(*flow, json::parse(R"({"stats": {"lower_bytes": 11}, "tls": {"server_cn": "x"},
        "lower_addr": "192.0.2.8", "iface": {"name": "lan"}, "lower_mac": null})"));
    EXPECT_EQ(flow->stats.lower_bytes, 11u);
    EXPECT_EQ(flow->stats.upper_bytes, 20u);
    EXPECT_EQ(flow->tls.version, 771);
    EXPECT_EQ(flow->tls.server_cn, "x");
    // The address changed, its port stayed, and the cached text follows.
    EXPECT_EQ(flow->lower_addr.GetString(vdAddr::MAKE_WITH_PORT), "192.0.2.8:80");
    EXPECT_EQ(flow->iface->ifname, "lan");
    EXPECT_EQ(flow->iface->role, 1);
    EXPECT_FALSE(flow->lower_mac.IsValid());
    // A record holding the old interface object never sees it change.
    EXPECT_EQ(iface_before->ifname, "eth0");
}

TEST(FlowFields, IntegralFloatsCountAsIntegers)
{
    auto flow = NewFlow();
    vxApplyFlowFields(*flow, json::parse(R"({"ip_version": 4.0, "stats": {"lower_rate": 7}})"));
    EXPECT_EQ(flow->ip_version, 4);
    EXPECT_FLOAT_EQ(flow->stats.lower_rate, 7.0f);
    EXPECT_THROW(vxApplyFlowFields(*flow, json::parse(R"({"ip_version": 4.5})")), vxFieldError);
}

}  // namespace
