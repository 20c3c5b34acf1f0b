// The benchmark flows.
#include "bench-flows.hpp"

#include <string>

namespace lppbench {

std::shared_ptr<vdFlow> MakeTlsFlow(std::uint32_t variant)
{
    auto flow = std::make_shared<vdFlow>();
    flow->iface = std::make_shared<vdInterface>("enp1s0", 1);
    flow->digest_lower = 0x0123456789abcdefULL ^ variant;
    flow->digest_mdata = {0x1111111111111111ULL ^ variant, 0xfedcba9876543210ULL ^ variant};
    flow->ip_version = 4;
    flow->ip_dscp = 0;
    flow->ip_protocol = 6;
    flow->vlan_id = 12;
    flow->first_seen_at = 1700000000000ULL;
    flow->last_seen_at = 1700000042000ULL;
    flow->lower_map = vdFlow::LOWER_LOCAL;
    flow->other_type = vdFlow::OTHER_REMOTE;
    flow->origin = vdFlow::ORIGIN_LOWER;
    flow->lower_mac.SetFromString("02:42:ac:11:00:02");
    flow->upper_mac.SetFromString("00:1b:21:3a:4f:5e");
    flow->lower_addr.SetFromString("192.168." + std::to_string((variant >> 8) & 0xff) + "." +
        std::to_string(variant & 0xff));
    flow->lower_addr.SetPort(static_cast<std::uint16_t>(40000 + variant % 20000));
    flow->upper_addr.SetFromString("142.250.179.110");
    flow->upper_addr.SetPort(443);
    flow->flags.detection_init = true;
    flow->flags.detection_complete = true;
    flow->tcp.fin_acks = 0;
    flow->tcp.last_seq = 2863311530u;

    auto &s = flow->stats;
    s.lower_bytes = 18342;
    s.upper_bytes = 1048576 + variant;
    s.total_bytes = s.lower_bytes + s.upper_bytes;
    s.lower_total_bytes = 92341;
    s.upper_total_bytes = 7340032;
    s.lower_packets = 210;
    s.upper_packets = 795;
    s.total_packets = 1005;
    s.lower_total_packets = 1103;
    s.upper_total_packets = 5210;
    s.detection_packets = 6;
    s.lower_rate = 2445.5f;
    s.upper_rate = 139810.1f;
    s.tcp_seq_errors = 2;
    s.tcp_resets = 0;
    s.tcp_retrans = 7;

    flow->dns_host_name = "www.example.com";
    flow->host_server_name = "www.example.com";
    flow->detected_protocol = 91;
    flow->master_protocol = 91;
    flow->detected_application = 126;
    flow->detected_protocol_name = "TLS";
    flow->detected_application_name = "Google";
    flow->category = {5, 14, 20, 1, 2, 0};

    auto &tls = flow->tls;
    tls.version = 0x0304;
    tls.cipher_suite = 0x1301;
    tls.encrypted_ch_version = 0xfe0d;
    tls.server_cn = "*.example.com";
    tls.issuer_dn = "C=US, O=Google Trust Services, CN=WR2";
    tls.subject_dn = "CN=*.example.com";
    tls.client_ja4 = "t13d1516h2_8daaf6152771_02713d6af862";
    tls.fingerprint = {0x5f, 0x2a, 0x91, 0x0c, 0x7e, 0x33, 0xd4, 0x18, 0xab, 0x60,
        0x0f, 0xe2, 0x47, 0x9c, 0x81, 0x25, 0xbb, 0x3d, 0x90, 0x6e};
    tls.alpn = {"h2", "http/1.1"};
    tls.alpn_server = {"h2"};

    flow->risk.score = 60;
    flow->risk.score_client = 50;
    flow->risk.score_server = 10;
    flow->risk.risks = {15, 27, 36};
    flow->tags = {"cdn", "video"};
    return flow;
}

}  // namespace lppbench
