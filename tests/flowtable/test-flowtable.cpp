// Whole flow tables, as a script receives them, for each kind of flow.
#include <arpa/inet.h>

#include "flowtable-fixture.hpp"

namespace lpptest {
namespace {

using FlowTable = FlowTableTest;

TEST_F(FlowTable, PlainTcpWithLowerMapLocal)
{
    EXPECT_EQ(FlowCanon(PlainTcpFlow()), Join(PlainTcpEntries()));
}

// The lower side becomes the other side: every side-named key swaps.
Entries LowerOtherEntries()
{
    Entries e = PlainTcpEntries();
    e["lower_map"] = "2";
    e["local_ip"] = "\"93.184.216.34\"";
    e["other_ip"] = "\"192.168.1.10\"";
    e["local_mac"] = "\"02:00:00:00:00:02\"";
    e["other_mac"] = "\"02:00:00:00:00:01\"";
    e["local_port"] = "443";
    e["other_port"] = "51514";
    e["category"] = "{application=1,domain=3,local_network=5,lower_net=4,other_network=4,overlay=6,"
                    "protocol=2,upper_net=5}";
    e["stats"] = "{detection_packets=8,local_bytes=20000,local_packets=20,local_rate=0.25,"
                 "lower_bytes=1000,lower_packets=10,lower_rate=1.5,other_bytes=1000,other_packets=10,"
                 "other_rate=1.5,tcp={resets=2,retrans=3,seq_errors=1},tcp_resets=2,tcp_retrans=3,"
                 "tcp_seq_errors=1,total_bytes=21000,total_local_bytes=60000,total_local_packets=70,"
                 "total_other_bytes=5000,total_other_packets=50,total_packets=30,upper_bytes=20000,"
                 "upper_packets=20,upper_rate=0.25}";
    return e;
}

TEST_F(FlowTable, LowerMapOtherSwapsSidesAndOrigin)
{
    auto flow = PlainTcpFlow();
    flow->lower_map = vdFlow::LOWER_OTHER;
    const std::pair<std::uint8_t, const char *> origins[] = {
        {vdFlow::ORIGIN_UNKNOWN, "false"}, {vdFlow::ORIGIN_LOWER, "false"}, {vdFlow::ORIGIN_UPPER, "true"}};
    for (const auto &[origin, local_origin] : origins) {
        SCOPED_TRACE(origin);
        flow->origin = origin;
        Entries e = LowerOtherEntries();
        e["origin"] = std::to_string(origin);
        e["local_origin"] = local_origin;
        EXPECT_EQ(FlowCanon(flow), Join(e));
    }
}

TEST_F(FlowTable, LowerMapUnknownNamesLowerSideLocal)
{
    auto flow = PlainTcpFlow();
    const std::pair<std::uint8_t, const char *> origins[] = {
        {vdFlow::ORIGIN_UNKNOWN, "true"}, {vdFlow::ORIGIN_LOWER, "true"}, {vdFlow::ORIGIN_UPPER, "false"}};
    for (std::uint8_t lower_map : {std::uint8_t{vdFlow::LOWER_UNKNOWN}, std::uint8_t{7}}) {
        flow->lower_map = lower_map;
        for (const auto &[origin, local_origin] : origins) {
            SCOPED_TRACE(std::to_string(lower_map) + "/" + std::to_string(origin));
            flow->origin = origin;
            Entries e = PlainTcpEntries();
            e["lower_map"] = std::to_string(lower_map);
            e["origin"] = std::to_string(origin);
            e["local_origin"] = local_origin;
            EXPECT_EQ(FlowCanon(flow), Join(e));
        }
    }
}

TEST_F(FlowTable, OtherTypeNames)
{
    auto flow = PlainTcpFlow();
    const char *names[] = {"unknown", "unsupported", "local", "multicast", "broadcast", "remote", "error",
        "unknown"};
    for (std::uint8_t code = 0; code < 8; code++) {
        SCOPED_TRACE(code);
        flow->other_type = code;
        Entries e = PlainTcpEntries();
        e["other_type"] = std::to_string(code);
        e["other_type_name"] = e["other_type_str"] = std::string("\"") + names[code] + "\"";
        EXPECT_EQ(FlowCanon(flow), Join(e));
    }
}

void SetMasked(Entries &e, const char *key, const char *side_key, const std::string &text)
{
    e[key] = e[side_key] = "\"" + text + "\"";
}

TEST_F(FlowTable, PrivacyMaskBitsOnIPv4)
{
    auto flow = PlainTcpFlow();
    for (std::uint8_t bit : {0x01, 0x02, 0x04, 0x08, 0x0f}) {
        SCOPED_TRACE(bit);
        flow->privacy_mask = bit;
        Entries e = PlainTcpEntries();
        e["privacy_mask"] = std::to_string(bit);
        if (bit & 0x01) SetMasked(e, "lower_mac", "local_mac", "00:52:14:00:00:00");
        if (bit & 0x02) SetMasked(e, "upper_mac", "other_mac", "00:52:ff:00:00:00");
        if (bit & 0x04) SetMasked(e, "upper_addr", "other_ip", "127.255.0.254");
        if (bit & 0x08) SetMasked(e, "lower_addr", "local_ip", "127.255.0.253");
        EXPECT_EQ(FlowCanon(flow), Join(e));
    }
}

TEST_F(FlowTable, IPv6WithPrivacyMaskAll)
{
    auto flow = PlainTcpFlow();
    flow->ip_version = 6;
    flow->lower_addr.SetFromString("2001:db8::10");
    flow->upper_addr.SetFromString("2001:db8::20");
    flow->privacy_mask =
        vdFlow::PRIVACY_LOWER_MAC | vdFlow::PRIVACY_UPPER_MAC | vdFlow::PRIVACY_UPPER_IP | vdFlow::PRIVACY_LOWER_IP;
    Entries e = PlainTcpEntries();
    e["ip_version"] = "6";
    e["privacy_mask"] = "15";
    SetMasked(e, "lower_mac", "local_mac", "00:52:14:00:00:00");
    SetMasked(e, "upper_mac", "other_mac", "00:52:ff:00:00:00");
    SetMasked(e, "lower_addr", "local_ip", "fe:80::ffff:7fff:fd");
    SetMasked(e, "upper_addr", "other_ip", "fe:80::ffff:7fff:fe");
    EXPECT_EQ(FlowCanon(flow), Join(e));

    // Unmasked, the addresses read as the daemon writes them.
    flow->privacy_mask = 0;
    e = PlainTcpEntries();
    e["ip_version"] = "6";
    SetMasked(e, "lower_addr", "local_ip", "2001:db8::10");
    SetMasked(e, "upper_addr", "other_ip", "2001:db8::20");
    EXPECT_EQ(FlowCanon(flow), Join(e));

    // The placeholder follows the flow's IP version, not the addresses'
    // family: IPv4 addresses on a flow of version 0 or 6 get the IPv6 one.
    for (int version : {0, 6}) {
        SCOPED_TRACE(version);
        auto v4 = PlainTcpFlow();
        v4->ip_version = static_cast<std::uint8_t>(version);
        v4->privacy_mask = vdFlow::PRIVACY_UPPER_IP | vdFlow::PRIVACY_LOWER_IP;
        e = PlainTcpEntries();
        e["ip_version"] = std::to_string(version);
        e["privacy_mask"] = "12";
        SetMasked(e, "lower_addr", "local_ip", "fe:80::ffff:7fff:fd");
        SetMasked(e, "upper_addr", "other_ip", "fe:80::ffff:7fff:fe");
        EXPECT_EQ(FlowCanon(v4), Join(e));
    }
}

TEST_F(FlowTable, NoMacAddresses)
{
    auto flow = PlainTcpFlow();
    flow->lower_mac.Clear();
    flow->upper_mac.Clear();
    Entries e = PlainTcpEntries();
    SetMasked(e, "lower_mac", "local_mac", "00:00:00:00:00:00");
    SetMasked(e, "upper_mac", "other_mac", "00:00:00:00:00:00");
    EXPECT_EQ(FlowCanon(flow), Join(e));
}

TEST_F(FlowTable, UdpFlowHasNoTcpTables)
{
    auto flow = PlainTcpFlow();
    flow->ip_protocol = 17;
    Entries e = PlainTcpEntries();
    e["ip_protocol"] = "17";
    e.erase("tcp");
    std::string stats = e["stats"];
    stats.replace(stats.find("tcp={resets=2,retrans=3,seq_errors=1},"), 38, "");
    e["stats"] = stats;
    EXPECT_EQ(FlowCanon(flow), Join(e));
}

TEST_F(FlowTable, TlsWithEveryOptionalRow)
{
    auto flow = PlainTcpFlow();
    flow->master_protocol = 91;
    flow->detected_protocol = 91;
    flow->detected_protocol_name = "TLS";
    flow->detected_application = 126;
    flow->detected_application_name = "Google";
    flow->host_server_name = "example.com";
    flow->dns_host_name = "example.com";
    flow->tls.version = 0x0303;
    flow->tls.cipher_suite = 0x002f;
    flow->tls.encrypted_ch_version = 0xfe0d;
    flow->tls.server_cn = "*.example.com";
    flow->tls.issuer_dn = "CN=Example CA";
    flow->tls.subject_dn = "CN=example.com";
    flow->tls.client_ja4 = "t13d1516h2_8daaf6152771_b0da82dd1658";
    flow->tls.fingerprint = {0xde, 0xad, 0xbe, 0xef, 0x01};
    flow->tls.alpn = {"h2", "http/1.1"};
    flow->tls.alpn_server = {"h2"};

    Entries e = PlainTcpEntries();
    e["detected_protocol"] = "91";
    e["detected_protocol_name"] = "\"TLS\"";
    e["detected_application"] = "126";
    e["detected_application_name"] = "\"Google\"";
    e["host_server_name"] = e["dns_host_name"] = "\"example.com\"";
    e["ssl"] = "{alpn={[1]=\"h2\",[2]=\"http/1.1\"},alpn_server={[1]=\"h2\"},cipher_suite=\"0x002f\","
               "client_ja4=\"t13d1516h2_8daaf6152771_b0da82dd1658\",client_sni=\"example.com\","
               "encrypted_ch_version=\"0xfe0d\",fingerprint=\"deadbeef01\",issuer_dn=\"CN=Example CA\","
               "server_cn=\"*.example.com\",subject_dn=\"CN=example.com\",version=\"0x0303\"}";
    // Separate ALPN tables: no "@" back-reference to the ssl ones.
    e["tls"] = "{alpn_client={[1]=\"h2\",[2]=\"http/1.1\"},alpn_server={[1]=\"h2\"},cipher_suite=47,"
               "client_ja4=\"t13d1516h2_8daaf6152771_b0da82dd1658\",client_sni=\"example.com\","
               "encrypted_ch={version=65037},fingerprint=\"deadbeef01\",issuer_dn=\"CN=Example CA\","
               "server_cn=\"*.example.com\",subject_dn=\"CN=example.com\",version=771}";
    EXPECT_EQ(FlowCanon(flow), Join(e));
}

TEST_F(FlowTable, QuicWithoutTlsMasterProtocol)
{
    auto flow = PlainTcpFlow();
    flow->ip_protocol = 17;
    flow->tcp = {};
    flow->master_protocol = 7;
    flow->detected_protocol = 188;
    flow->detected_protocol_name = "QUIC";
    flow->host_server_name = "quic.example";
    flow->tls.version = 0x0304;
    flow->tls.cipher_suite = 0x1301;

    Entries e = PlainTcpEntries();
    e["ip_protocol"] = "17";
    e.erase("tcp");
    std::string stats = e["stats"];
    stats.replace(stats.find("tcp={resets=2,retrans=3,seq_errors=1},"), 38, "");
    e["stats"] = stats;
    e["detected_protocol"] = "188";
    e["detected_protocol_name"] = "\"QUIC\"";
    e["host_server_name"] = "\"quic.example\"";
    e["ssl"] = "{cipher_suite=\"0x1301\",client_sni=\"quic.example\",version=\"0x0304\"}";
    e["tls"] = "{cipher_suite=4865,client_sni=\"quic.example\",version=772}";
    EXPECT_EQ(FlowCanon(flow), Join(e));

    // Without a host name there is no server name indication.
    flow->host_server_name = "";
    e["host_server_name"] = "\"\"";
    e["ssl"] = "{cipher_suite=\"0x1301\",version=\"0x0304\"}";
    e["tls"] = "{cipher_suite=4865,version=772}";
    EXPECT_EQ(FlowCanon(flow), Join(e));

    // Neither TLS nor QUIC: no ssl, no tls.
    flow->detected_protocol = 7;
    flow->detected_protocol_name = "";
    e.erase("ssl");
    e.erase("tls");
    e["detected_protocol"] = "7";
    e["detected_protocol_name"] = "\"Unknown\"";
    EXPECT_EQ(FlowCanon(flow), Join(e));
}

std::shared_ptr<vdFlow> GtpFlow(std::uint8_t gtp_lower_map)
{
    auto flow = PlainTcpFlow();
    flow->tunnel_type = vdFlow::TUNNEL_GTP;
    flow->other_type = vdFlow::OTHER_MULTICAST;
    auto &g = flow->gtp;
    g.version = 1;
    g.ip_version = 4;
    g.ip_dscp = 46;
    g.lower_addr.SetFromString("10.0.0.1");
    g.lower_addr.SetPort(2152);
    g.upper_addr.SetFromString("10.0.0.2");
    g.upper_addr.SetPort(2153);
    g.lower_teid = htonl(1);
    g.upper_teid = htonl(0x01020304);
    g.lower_type = vdAddr::TYPE_NONE;
    g.upper_type = vdAddr::TYPE_LOCAL;
    g.lower_map = gtp_lower_map;
    g.other_type = vdFlow::OTHER_MULTICAST;
    return flow;
}

Entries GtpEntries()
{
    Entries e = PlainTcpEntries();
    e["tunnel_type"] = "1";
    e["other_type"] = "3";
    e["other_type_name"] = e["other_type_str"] = "\"multicast\"";
    return e;
}

TEST_F(FlowTable, GtpTunnel)
{
    ASSERT_EQ(htonl(1), 16777216u) << "written for a little-endian host";
    Entries e = GtpEntries();
    e["gtp"] = "{ip_dscp=46,ip_version=4,local_ip=\"10.0.0.1\",local_port=2152,local_teid=1,"
               "lower_addr=\"10.0.0.1\",lower_map=1,lower_port=2152,lower_teid=16777216,lower_type=1,"
               "other_ip=\"10.0.0.2\",other_port=2153,other_teid=16909060,other_type=\"unsupported\","
               "other_type_id=3,upper_addr=\"10.0.0.2\",upper_port=2153,upper_teid=67305985,upper_type=2,"
               "version=1}";
    EXPECT_EQ(FlowCanon(GtpFlow(vdFlow::LOWER_LOCAL)), Join(e));

    // The tunnel's own lower map swaps all six tunnel names, and nothing else.
    e["gtp"] = "{ip_dscp=46,ip_version=4,local_ip=\"10.0.0.2\",local_port=2153,local_teid=16909060,"
               "lower_addr=\"10.0.0.1\",lower_map=2,lower_port=2152,lower_teid=16777216,lower_type=1,"
               "other_ip=\"10.0.0.1\",other_port=2152,other_teid=1,other_type=\"unsupported\","
               "other_type_id=3,upper_addr=\"10.0.0.2\",upper_port=2153,upper_teid=67305985,upper_type=2,"
               "version=1}";
    EXPECT_EQ(FlowCanon(GtpFlow(vdFlow::LOWER_OTHER)), Join(e));

    // Every other tunnel lower map names the lower endpoint local.
    for (int map : {0, 3}) {
        e["gtp"] = "{ip_dscp=46,ip_version=4,local_ip=\"10.0.0.1\",local_port=2152,local_teid=1,"
                   "lower_addr=\"10.0.0.1\",lower_map=" + std::to_string(map) + ",lower_port=2152,"
                   "lower_teid=16777216,lower_type=1,other_ip=\"10.0.0.2\",other_port=2153,other_teid=16909060,"
                   "other_type=\"unsupported\",other_type_id=3,upper_addr=\"10.0.0.2\",upper_port=2153,"
                   "upper_teid=67305985,upper_type=2,version=1}";
        EXPECT_EQ(FlowCanon(GtpFlow(static_cast<std::uint8_t>(map))), Join(e)) << "lower map " << map;
    }

    // Tunnel data on a flow whose tunnel is not GTP is not shown.
    auto other_tunnel = GtpFlow(vdFlow::LOWER_LOCAL);
    other_tunnel->tunnel_type = 2;
    e.erase("gtp");
    e["tunnel_type"] = "2";
    EXPECT_EQ(FlowCanon(other_tunnel), Join(e));
}

TEST_F(FlowTable, GtpOtherTypeNames)
{
    auto flow = GtpFlow(vdFlow::LOWER_UNKNOWN);
    const char *names[] = {"unsupported", "unsupported", "local", "unsupported", "unsupported", "remote",
        "error", "unsupported"};
    Run("function gtp_other(t) return t.gtp.other_type .. '/' .. t.gtp.other_type_id end");
    for (std::uint8_t code = 0; code < 8; code++) {
        SCOPED_TRACE(code);
        flow->gtp.other_type = code;
        lppEvent::Entry entry(flow);
        lppLuaRef table = runtime.CreateFlowTable(entry, false);
        EXPECT_EQ(Call("gtp_other", table), std::string(names[code]) + "/" + std::to_string(code));
    }
}

TEST_F(FlowTable, StunWithOnlyMappedAddress)
{
    auto flow = PlainTcpFlow();
    flow->stun.mapped.SetFromString("198.51.100.7");
    flow->stun.mapped.SetPort(3478);
    Entries e = PlainTcpEntries();
    e["stun"] = "{mapped=\"198.51.100.7:3478\"}";
    EXPECT_EQ(FlowCanon(flow), Join(e));

    flow->stun.other.SetFromString("2001:db8::1");
    flow->stun.other.SetPort(3479);
    e["stun"] = "{mapped=\"198.51.100.7:3478\",other=\"[2001:db8::1]:3479\"}";
    EXPECT_EQ(FlowCanon(flow), Join(e));
}

TEST_F(FlowTable, RisksAndTags)
{
    auto flow = PlainTcpFlow();
    flow->risk.score = 150;
    flow->risk.score_client = 100;
    flow->risk.score_server = 50;
    flow->risk.risks = {40, 2, 15};
    flow->tags = {"zeta", "beta", "Alpha"};
    Entries e = PlainTcpEntries();
    e["risk"] = "{ndpi_risk_score=150,ndpi_risk_score_client=100,ndpi_risk_score_server=50,ndpi_score=150,"
                "ndpi_score_client=100,ndpi_score_server=50,risks={[1]=2,[2]=15,[3]=40}}";
    e["risks"] = "@risk";  // the very same table
    e["tags"] = "{[1]=\"Alpha\",[2]=\"beta\",[3]=\"zeta\"}";
    EXPECT_EQ(FlowCanon(flow), Join(e));

    // A change through one key is seen through the other.
    lppEvent::Entry entry(flow);
    lppLuaRef table = runtime.CreateFlowTable(entry, false);
    Run("function poke(t) t.risks.ndpi_score = -1 return t.risk.ndpi_score end");
    EXPECT_EQ(Call("poke", table), "-1");
}

TEST_F(FlowTable, HttpUrlWithoutUserAgentAndOtherProtocols)
{
    auto flow = PlainTcpFlow();
    flow->master_protocol = 3;
    flow->smtp_tls = true;
    flow->http.url = "/index.html";
    flow->dhcp.class_ident = "MSFT 5.0";
    flow->ssh.server_agent = "SSH-2.0-OpenSSH_9.2";
    flow->bt_info_hash = {0x01, 0x23, 0xab};
    flow->ssdp_user_agent = "UPnP/1.0";
    flow->mdns_domain_name = "printer.local";
    Entries e = PlainTcpEntries();
    e["http"] = "{url=\"/index.html\"}";
    e["dhcp"] = "{class_ident=\"MSFT 5.0\"}";
    e["ssh"] = "{server=\"SSH-2.0-OpenSSH_9.2\",server_agent=\"SSH-2.0-OpenSSH_9.2\"}";
    e["smtp"] = "{tls=true}";
    e["bt"] = "{info_hash=\"0123ab\"}";
    e["ssdp"] = "{user_agent=\"UPnP/1.0\"}";
    e["mdns"] = "{answer=\"printer.local\",domain_name=\"printer.local\"}";
    EXPECT_EQ(FlowCanon(flow), Join(e));

    flow->http = {"curl/8.0", ""};
    flow->dhcp = {"1,3,6,15", ""};
    flow->ssh = {"SSH-2.0-PuTTY", ""};
    flow->smtp_tls = false;
    e["http"] = "{user_agent=\"curl/8.0\"}";
    e["dhcp"] = "{fingerprint=\"1,3,6,15\"}";
    e["ssh"] = "{client=\"SSH-2.0-PuTTY\",client_agent=\"SSH-2.0-PuTTY\"}";
    e["smtp"] = "{tls=false}";
    EXPECT_EQ(FlowCanon(flow), Join(e));
}

Entries CountersOnlyEntries()
{
    Entries full = PlainTcpEntries();
    Entries e;
    for (const char *key : {"iface", "digest_lower", "digest_mdata", "digest", "digest_prev", "stats"})
        e[key] = full[key];
    return e;
}

TEST_F(FlowTable, CountersOnlyForm)
{
    auto flow = PlainTcpFlow();
    flow->risk.risks = {1};
    flow->tags = {"t"};
    flow->tunnel_type = vdFlow::TUNNEL_GTP;
    EXPECT_EQ(FlowCanon(flow, true), Join(CountersOnlyEntries()));

    // Members named like keys of the full form only are not replaced here.
    json doc = {{"stats", "replaced"}, {"note", "kept"}, {"nested", {{"a", {1, nullptr, 3}}}},
        {"ip_version", 9}, {"flags", "f"}, {"tcp", false}};
    Entries e = CountersOnlyEntries();
    e["ip_version"] = "9";
    e["flags"] = "\"f\"";
    e["tcp"] = "false";
    e["note"] = "\"kept\"";
    e["nested"] = "{a={[1]=1,[3]=3}}";
    EXPECT_EQ(FlowCanon(flow, true, doc), Join(e));
}

TEST_F(FlowTable, JsonMembersComeFirstAndTableKeysWin)
{
    auto flow = PlainTcpFlow();
    json doc = {{"stats", {{"lower_bytes", 1}}}, {"digest", "x"}, {"ssl", true}, {"custom", 2.0},
        {"list", {true, "b"}}, {"gone", nullptr}};
    Entries e = PlainTcpEntries();
    // Full form sets no "ssl" for this flow, so the member stays.
    e["ssl"] = "true";
    e["custom"] = "2.0";
    e["list"] = "{[1]=true,[2]=\"b\"}";
    EXPECT_EQ(FlowCanon(flow, false, doc), Join(e));

    // A document that is not an object adds nothing.
    EXPECT_EQ(FlowCanon(flow, false, json::array({1, 2})), Join(PlainTcpEntries()));
    EXPECT_EQ(FlowCanon(flow, false, json("text")), Join(PlainTcpEntries()));
}

TEST_F(FlowTable, CountersFromSnapshotWithLargeValuesAsFloats)
{
    auto flow = PlainTcpFlow();
    flow->stats.lower_bytes = 1ULL << 63;
    flow->stats.upper_bytes = (1ULL << 63) - 1;
    flow->stats.total_bytes = ~0ULL;
    flow->stats.lower_total_bytes = 1ULL << 63;
    flow->first_seen_at = 1ULL << 63;
    lppEvent::Entry entry(flow);
    // Live counters move on after the snapshot; the table must not see it.
    flow->stats = {};
    flow->stats.lower_rate = 9;

    Entries e = CountersOnlyEntries();
    e["stats"] = "{detection_packets=8,local_bytes=9.2233720368547758e+18,local_packets=10,local_rate=1.5,"
                 "lower_bytes=9.2233720368547758e+18,lower_packets=10,lower_rate=1.5,"
                 "other_bytes=9223372036854775807,other_packets=20,other_rate=0.25,"
                 "tcp={resets=2,retrans=3,seq_errors=1},tcp_resets=2,tcp_retrans=3,tcp_seq_errors=1,"
                 "total_bytes=1.8446744073709552e+19,total_local_bytes=9.2233720368547758e+18,"
                 "total_local_packets=50,total_other_bytes=60000,total_other_packets=70,total_packets=30,"
                 "upper_bytes=9223372036854775807,upper_packets=20,upper_rate=0.25}";
    EXPECT_EQ(Canon(runtime.CreateFlowTable(entry, true)), Join(e));

    Run("function seen_at(t) return math.type(t.first_seen_at) .. ' ' .. t.first_seen_at end");
    EXPECT_EQ(Call("seen_at", runtime.CreateFlowTable(entry, false)), "float 9.2233720368548e+18");
}

TEST_F(FlowTable, MetadataDigestLists)
{
    auto flow = PlainTcpFlow();
    flow->digest_mdata = {0x00000000000000ffULL};
    Entries e = CountersOnlyEntries();
    e["digest"] = e["digest_mdata"] = "\"00000000000000ff\"";
    e["digest_prev"] = "{[1]=\"00000000000000ff\"}";
    EXPECT_EQ(FlowCanon(flow, true), Join(e));

    // Without metadata digests every digest key falls back to the lower one.
    flow->digest_mdata.clear();
    e["digest"] = e["digest_mdata"] = "\"0123456789abcdef\"";
    e["digest_prev"] = "{[1]=\"0123456789abcdef\"}";
    EXPECT_EQ(FlowCanon(flow, true), Join(e));
}

TEST_F(FlowTable, TablesAreIndependentAndReferencesReleased)
{
    auto flow = PlainTcpFlow();
    lppEvent::Entry entry(flow);
    lppLuaRef first = runtime.CreateFlowTable(entry, false);
    lppLuaRef second = runtime.CreateFlowTable(entry, false);
    Run("function mutate(t) t.stats.lower_bytes = 0 t.iface.name = 'x' return 0 end");
    Call("mutate", first);
    EXPECT_EQ(Canon(second), Join(PlainTcpEntries()));
    EXPECT_EQ(lua_gettop(L()), 0);

    // The only registry reference a call leaves is the one it returns,
    // and it goes with its holder.
    std::size_t before = RegistryTables();
    {
        lppLuaRef table = runtime.CreateFlowTable(entry, false);
        EXPECT_EQ(RegistryTables(), before + 1);
    }
    EXPECT_EQ(RegistryTables(), before);
}

}  // namespace
}  // namespace lpptest
