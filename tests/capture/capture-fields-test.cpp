// What a script would read from the flows of known captures: placement,
// tunnels, digests and the detection details nDPI gives.
#include <gtest/gtest.h>

#include <xxhash.h>

#include "capture-test-util.hpp"

namespace {

void Put16(std::string &bytes, std::uint16_t value)
{
    bytes.push_back(char(value >> 8));
    bytes.push_back(char(value & 0xff));
}

vxCaptureOptions LocalOptions(const std::string &net)
{
    vxCaptureOptions options = QuietOptions();
    options.local_nets = {net};
    return options;
}

TEST(CaptureFields, TlsFlowCarriesHandshakeCertificateAndPlacement)
{
    RecordingDriver driver;
    Replay("443-curl.pcap", driver, LocalOptions("192.168.1.0/24"));
    ASSERT_EQ(driver.flows.size(), 1u);
    vdFlow &flow = *driver.flows[0];

    // 178.62.197.130 sorts below 192.168.1.13; the client (upper) spoke first.
    EXPECT_EQ(flow.lower_addr.GetString(vdAddr::MAKE_WITH_PORT), "178.62.197.130:443");
    EXPECT_EQ(flow.upper_addr.GetString(vdAddr::MAKE_WITH_PORT), "192.168.1.13:55523");
    EXPECT_EQ(flow.origin, vdFlow::ORIGIN_UPPER);
    EXPECT_EQ(flow.lower_map, vdFlow::LOWER_OTHER);
    EXPECT_EQ(flow.other_type, vdFlow::OTHER_REMOTE);
    EXPECT_EQ(flow.ip_version, 4);
    EXPECT_EQ(flow.ip_protocol, 6);
    EXPECT_TRUE(flow.lower_mac.IsValid());
    EXPECT_TRUE(flow.upper_mac.IsValid());
    EXPECT_EQ(flow.last_seen_at - flow.first_seen_at, 1096u);

    EXPECT_EQ(flow.detected_protocol, 91);
    EXPECT_EQ(flow.master_protocol, 91);
    EXPECT_EQ(flow.detected_protocol_name, "TLS");
    EXPECT_EQ(flow.detected_application, 26);
    EXPECT_EQ(flow.detected_application_name, "ntop");
    EXPECT_TRUE(flow.HasTLSClientSNI());
    EXPECT_EQ(flow.host_server_name, "www.ntop.org");
    EXPECT_EQ(flow.tls.version, 0x0303);
    EXPECT_EQ(flow.tls.cipher_suite, 0xc02f);  // TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256
    EXPECT_EQ(flow.tls.alpn, (std::vector<std::string>{"h2", "http/1.1"}));
    EXPECT_EQ(flow.tls.issuer_dn, "C=US, O=Let's Encrypt, CN=Let's Encrypt Authority X3");
    EXPECT_EQ(flow.tls.subject_dn, "CN=www.ntop.org");
    EXPECT_EQ(flow.tls.server_cn, "www.ntop.org");
    EXPECT_EQ(Hex(flow.tls.fingerprint), "dba7e43e6dbb21ab684735e80b8f15dfdbc7c96f");
    EXPECT_FALSE(flow.flags.detection_guessed);

    EXPECT_EQ(flow.stats.lower_total_packets, 58u);
    EXPECT_EQ(flow.stats.upper_total_packets, 51u);
    EXPECT_EQ(flow.stats.lower_total_bytes + flow.stats.upper_total_bytes, 73982u);
    EXPECT_EQ(flow.stats.detection_packets, 7);
    EXPECT_GE(flow.tcp.fin_acks, 1);
}

TEST(CaptureFields, DigestsHashTheDocumentedKeyFields)
{
    RecordingDriver driver;
    Replay("443-curl.pcap", driver);
    ASSERT_EQ(driver.flows.size(), 1u);
    vdFlow &flow = *driver.flows[0];

    std::string key;
    key.push_back(4);
    key.push_back(6);
    Put16(key, 0);
    key += std::string("\xb2\x3e\xc5\x82", 4);  // 178.62.197.130
    key += std::string("\xc0\xa8\x01\x0d", 4);  // 192.168.1.13
    Put16(key, 443);
    Put16(key, 55523);
    key += "eth0";
    std::uint64_t lower = XXH64(key.data(), key.size(), 0);
    EXPECT_EQ(flow.digest_lower, lower);

    auto metadata = [&](std::uint16_t protocol, std::uint16_t application, const std::string &host) {
        std::string bytes;
        for (int shift = 56; shift >= 0; shift -= 8) bytes.push_back(char((lower >> shift) & 0xff));
        Put16(bytes, protocol);
        Put16(bytes, application);
        bytes += host;
        return XXH64(bytes.data(), bytes.size(), 0);
    };
    EXPECT_EQ(flow.digest_mdata,
        (std::vector<std::uint64_t>{metadata(0, 0, ""), metadata(91, 26, "www.ntop.org")}));
}

TEST(CaptureFields, GtpTunnelGivesTheInnerFlowAndTheOuterEndpoints)
{
    RecordingDriver driver;
    Replay("http_origin_different_than_host.pcap", driver);
    ASSERT_EQ(driver.flows.size(), 1u);
    vdFlow &flow = *driver.flows[0];

    EXPECT_EQ(Endpoints(flow), "TCP 10.140.206.74:34536 <-> 18.135.206.102:80");
    EXPECT_EQ(flow.vlan_id, 113);
    EXPECT_EQ(flow.tunnel_type, vdFlow::TUNNEL_GTP);
    EXPECT_EQ(flow.gtp.version, 1);
    EXPECT_EQ(flow.gtp.ip_version, 4);
    EXPECT_EQ(flow.gtp.lower_addr.GetString(vdAddr::MAKE_WITH_PORT), "10.132.15.176:2152");
    EXPECT_EQ(flow.gtp.upper_addr.GetString(vdAddr::MAKE_WITH_PORT), "10.134.25.5:2152");
    EXPECT_NE(flow.gtp.lower_teid, 0u);
    EXPECT_NE(flow.gtp.upper_teid, 0u);
    EXPECT_EQ(flow.gtp.lower_type, vdAddr::TYPE_RESERVED);  // reserved (private) addresses
    EXPECT_EQ(flow.detected_protocol, 7);
    EXPECT_EQ(flow.host_server_name, "csb.performgroup.io");
    EXPECT_EQ(flow.http.url, "csb.performgroup.io/?topreferer=optawidgets.365scores.com");
    EXPECT_TRUE(flow.HasHttpUserAgent());
}

TEST(CaptureFields, IpV6InsideGtpOverQinQ)
{
    RecordingDriver driver;
    Replay("ipv6_in_gtp.pcap", driver);
    ASSERT_EQ(driver.flows.size(), 2u);
    for (auto &flow : driver.flows) {
        EXPECT_EQ(flow->ip_version, 6);
        EXPECT_EQ(flow->tunnel_type, vdFlow::TUNNEL_GTP);
        EXPECT_EQ(flow->gtp.ip_version, 4);
        EXPECT_NE(flow->vlan_id, 0);
    }
}

TEST(CaptureFields, QinQAndPppoeDnsQuery)
{
    RecordingDriver driver;
    Replay("dns.pcap", driver);
    vdFlow *flow = FindFlow(driver, "82.178.113.245:47255", "82.178.158.181:53");
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(flow->vlan_id, 785);  // the inner tag
    EXPECT_EQ(flow->detected_protocol, 5);
    EXPECT_EQ(flow->detected_application_name, "WhatsApp");
    EXPECT_EQ(flow->host_server_name, "e7.whatsapp.net");
}

TEST(CaptureFields, LinuxCookedCaptureWithHttpRequests)
{
    RecordingDriver driver;
    Replay("quickplay.pcap", driver);
    EXPECT_EQ(driver.flows.size(), 21u);
    int with_url = 0;
    for (auto &flow : driver.flows) {
        // The cooked headers of this capture carry no link address.
        EXPECT_FALSE(flow->lower_mac.IsValid() || flow->upper_mac.IsValid());
        if (flow->HasHttpURL() && flow->HasHttpUserAgent()) ++with_url;
    }
    EXPECT_GE(with_url, 5);
}

TEST(CaptureFields, LocalNetworkServicesAndDnsHints)
{
    RecordingDriver driver;
    Replay("android.pcap", driver, LocalOptions("192.168.2.0/24"));

    vdFlow *dhcp = FindFlow(driver, "0.0.0.0:68", "255.255.255.255:67");
    ASSERT_NE(dhcp, nullptr);
    EXPECT_EQ(dhcp->detected_protocol, 18);
    EXPECT_EQ(dhcp->dhcp.fingerprint, "1,121,3,6,15,119,252,95,44,46");
    EXPECT_EQ(dhcp->lower_map, vdFlow::LOWER_LOCAL);
    EXPECT_EQ(dhcp->other_type, vdFlow::OTHER_BROADCAST);

    vdFlow *mdns = FindFlow(driver, "192.168.2.1:5353", "224.0.0.251:5353");
    ASSERT_NE(mdns, nullptr);
    EXPECT_EQ(mdns->mdns_domain_name, "_spotify-connect._tcp.local");
    EXPECT_EQ(mdns->other_type, vdFlow::OTHER_MULTICAST);

    // A DNS answer earlier in the capture names the server of a later flow.
    vdFlow *http = FindFlow(driver, "17.253.53.201:80", "192.168.2.16:58338");
    ASSERT_NE(http, nullptr);
    EXPECT_EQ(http->dns_host_name, "captive.apple.com");
    EXPECT_TRUE(http->flags.dhc_hit);
    EXPECT_EQ(http->lower_map, vdFlow::LOWER_OTHER);
    EXPECT_EQ(http->other_type, vdFlow::OTHER_REMOTE);
    EXPECT_EQ(http->origin, vdFlow::ORIGIN_UPPER);

    vdFlow *local = FindFlow(driver, "192.168.2.1:53", "192.168.2.16:52953");
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(local->other_type, vdFlow::OTHER_LOCAL);  // both sides local
}

TEST(CaptureFields, SshAgentsAndQuicSni)
{
    RecordingDriver ssh;
    Replay("ssh.pcap", ssh);
    vdFlow *flow = FindFlow(ssh, "127.0.0.1:8000", "127.0.0.1:58496");
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(flow->detected_protocol, 92);
    EXPECT_EQ(flow->ssh.client_agent.rfind("SSH-2.0-OpenSSH_8.2p1", 0), 0u) << flow->ssh.client_agent;
    EXPECT_EQ(flow->ssh.server_agent.rfind("SSH-2.0-", 0), 0u) << flow->ssh.server_agent;

    RecordingDriver quic;
    Replay("quic_0RTT.pcap", quic);
    vdFlow *q = FindFlow(quic, "[::1]:4443", "[::1]:60459");
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->detected_protocol, 188);
    EXPECT_TRUE(q->HasTLSClientSNI());
    EXPECT_EQ(q->host_server_name, "abcd");
    EXPECT_EQ(q->tls.alpn, (std::vector<std::string>{"h3-32"}));
    EXPECT_FALSE(q->risk.risks.empty());
    EXPECT_GT(q->risk.score, 0);
}

TEST(CaptureFields, BitTorrentInfoHash)
{
    RecordingDriver driver;
    Replay("bittorrent.pcap", driver);
    ASSERT_EQ(driver.flows.size(), 24u);
    for (auto &flow : driver.flows) {
        EXPECT_EQ(flow->detected_protocol, 37);
        // What nDPI's own reader prints for every flow of this capture.
        EXPECT_EQ(Hex(flow->bt_info_hash), "dcfcdccfb9e670ccc3dd40c78c161f2bea243126") << Endpoints(*flow);
    }
}

TEST(CaptureFields, SmtpAndGuessedFlows)
{
    RecordingDriver smtp;
    Replay("smtp-starttls.pcap", smtp);
    for (auto &flow : smtp.flows) {
        EXPECT_EQ(flow->GetMasterProtocol(), 3);
        EXPECT_TRUE(flow->smtp_tls) << Endpoints(*flow);
    }

    // Two TCP flows nDPI cannot name: detection ends as a guess.
    RecordingDriver stun;
    Replay("stun.pcap", stun);
    vdFlow *unknown = FindFlow(stun, "10.77.110.51:41588", "10.206.50.239:42000");
    ASSERT_NE(unknown, nullptr);
    EXPECT_TRUE(unknown->flags.detection_guessed);
    EXPECT_TRUE(unknown->flags.detection_complete);
    EXPECT_EQ(unknown->detected_protocol, 0);
    EXPECT_EQ(unknown->vlan_id, 1611);
}

}  // namespace
