// Flow content the daemon may hand over: text that is not text, huge
// strings, every privacy mask, extreme counters and unset addresses. The
// script sees every byte unchanged and the worker goes on.
#include <arpa/inet.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <map>
#include <sstream>

#include "pipeline-fixture.hpp"

using namespace lpptest;

namespace {

// Hands every string of the flow table to the sink, its path as target.
const char *const kWalker = R"(
local function walk(prefix, t, seen)
  for k, v in pairs(t) do
    local path = prefix .. tostring(k)
    if type(v) == "string" then
      lpp.dispatch(path, {}, v, LPP_FORMAT_RAW, LPP_COMPRESSOR_NONE)
    elseif type(v) == "table" and not seen[v] then
      seen[v] = true
      walk(path .. ".", v, seen)
    end
  end
end
function ProcessFlowEvent(event, flows)
  walk("", flows[1], {})
  lpp.print("walked")
end
)";

std::string Mebibyte()
{
    std::string text(1 << 20, '\0');
    for (std::size_t i = 0; i < text.size(); i++) text[i] = static_cast<char>((i * 131) & 0xff);
    return text;
}

TEST_F(PipelineTest, TextFieldsKeepZeroBytesInvalidUtf8AndMebibyteLengths)
{
    PayloadCapture sink;
    Start(kWalker);

    const std::string zeros("a\0b\0", 4);
    const std::string invalid = "\xff\xfe\xc0\x80\xed\xa0\x80\xf4\x90\x80\x80";
    const std::string huge = Mebibyte();
    auto flow = MakeFlow();
    flow->iface->ifname = zeros;
    flow->dns_host_name = zeros;
    flow->host_server_name = invalid;
    flow->master_protocol = VD_PROTO_TLS;
    flow->detected_protocol_name = huge;
    flow->detected_application_name = invalid + zeros;
    flow->http.url = huge + "u";
    flow->http.user_agent = zeros + invalid;
    flow->dhcp.fingerprint = huge + "d";
    flow->ssh.client_agent = invalid + "s";
    flow->tls.server_cn = zeros + "cn";
    flow->tls.alpn = {zeros + "1", huge + "2"};
    flow->ssdp_user_agent = invalid + "ssdp";
    flow->mdns_domain_name = huge + "m";
    flow->tags = {zeros + "t", invalid + "t", huge + "t"};
    json doc{{std::string("k\0ey", 4), invalid}, {"nested", {{"deep", huge + "j"}}}};
    SendFlow(Event::FLOW_NEW, flow, doc);
    ASSERT_TRUE(WaitForLine(": walked")) << log.Text();

    std::map<std::string, std::string> seen;
    for (const auto &payload : sink.Payloads()) seen[payload.target] = payload.bytes;
    const std::map<std::string, std::string> expected{
        {"iface.name", zeros},
        {"dns_host_name", zeros},
        {"host_server_name", invalid},
        {"ssl.client_sni", invalid},
        {"detected_protocol_name", huge},
        {"detected_application_name", invalid + zeros},
        {"http.url", huge + "u"},
        {"http.user_agent", zeros + invalid},
        {"dhcp.fingerprint", huge + "d"},
        {"ssh.client_agent", invalid + "s"},
        {"tls.server_cn", zeros + "cn"},
        {"ssl.alpn.2", huge + "2"},
        {"ssdp.user_agent", invalid + "ssdp"},
        {"mdns.domain_name", huge + "m"},
        // Tags come in byte order: the mebibyte starts with a zero byte.
        {"tags.1", huge + "t"},
        {"tags.2", zeros + "t"},
        {"tags.3", invalid + "t"},
        {std::string("k\0ey", 4), invalid},
        {"nested.deep", huge + "j"},
    };
    for (const auto &[path, bytes] : expected) {
        auto found = seen.find(path);
        ASSERT_NE(found, seen.end()) << path;
        EXPECT_EQ(found->second.size(), bytes.size()) << path;
        EXPECT_TRUE(found->second == bytes) << path;
    }
    EXPECT_TRUE(log.Matching("error").empty()) << log.Text();
}

struct MaskCase {
    std::shared_ptr<vdFlow> flow;
    std::string lower_mac, upper_mac, lower_addr, upper_addr;
};

MaskCase MaskedFlow(unsigned mask, bool ipv6)
{
    MaskCase c{MakeFlow(), "", "", "", ""};
    vdFlow &flow = *c.flow;
    flow.privacy_mask = static_cast<std::uint8_t>(mask);
    flow.ip_version = ipv6 ? 6 : 4;
    EXPECT_TRUE(flow.lower_mac.SetFromString("02:00:00:00:00:01"));
    EXPECT_TRUE(flow.upper_mac.SetFromString("02:00:00:00:00:02"));
    EXPECT_TRUE(flow.lower_addr.SetFromString(ipv6 ? "2001:db8::1" : "192.0.2.1"));
    EXPECT_TRUE(flow.upper_addr.SetFromString(ipv6 ? "2001:db8::2" : "198.51.100.2"));
    flow.lower_addr.SetPort(1000);
    flow.upper_addr.SetPort(2000);
    c.lower_mac = (mask & 0x01) ? "00:52:14:00:00:00" : flow.lower_mac.GetString();
    c.upper_mac = (mask & 0x02) ? "00:52:ff:00:00:00" : flow.upper_mac.GetString();
    c.upper_addr = (mask & 0x04) ? (ipv6 ? "fe:80::ffff:7fff:fe" : "127.255.0.254")
                                 : flow.upper_addr.GetString();
    c.lower_addr = (mask & 0x08) ? (ipv6 ? "fe:80::ffff:7fff:fd" : "127.255.0.253")
                                 : flow.lower_addr.GetString();
    return c;
}

TEST_F(PipelineTest, EveryPrivacyMaskValueMasksOnlyItsAddresses)
{
    Start(R"(
function ProcessFlowEvent(event, flows)
  local f = flows[1]
  lpp.print(string.format("mask %d %d %s %s %s %s %d %d %s %s", f.privacy_mask, f.ip_version,
    f.lower_mac, f.upper_mac, f.lower_addr, f.upper_addr, f.lower_port, f.upper_port,
    f.local_ip, f.other_ip))
end
)");
    std::vector<std::string> expected;
    for (unsigned mask = 0; mask < 256; mask++) {
        for (bool ipv6 : {false, true}) {
            MaskCase c = MaskedFlow(mask, ipv6);
            SendFlow(Event::FLOW_NEW, c.flow);
            expected.push_back(std::to_string(mask) + (ipv6 ? " 6 " : " 4 ") + c.lower_mac + " " +
                c.upper_mac + " " + c.lower_addr + " " + c.upper_addr + " 1000 2000 " +
                c.lower_addr + " " + c.upper_addr);
        }
    }
    ASSERT_TRUE(WaitFor([&] { return Printed("mask ").size() == expected.size(); })) << log.Text();
    EXPECT_EQ(Printed("mask "), expected);
}

// The values a script sees, each as "type:text".
const char *const kCounterPrinter = R"(
local function show(v) return (math.type(v) or type(v)) .. ":" .. tostring(v) end
function ProcessFlowEvent(event, flows)
  local f = flows[1]
  local s = f.stats
  lpp.print("counters " .. table.concat({
    show(s.lower_bytes), show(s.total_bytes), show(s.total_local_bytes), show(s.lower_packets),
    show(s.total_packets), show(s.detection_packets), show(s.lower_rate), show(s.upper_rate),
    show(s.tcp_seq_errors), show(s.tcp.retrans), show(f.first_seen_at), show(f.last_seen_at),
    show(f.vlan_id), show(f.lower_port), show(f.tcp.last_seq), show(f.tcp.fin_acks),
    show(f.risk and f.risk.ndpi_score), show(f.risk and f.risk.risks[#f.risk.risks]),
    show(#f.digest_prev), show(f.ip_dscp)}, " "))
end
)";

TEST_F(PipelineTest, ZeroAndMaximumCountersKeepTheirValues)
{
    Start(kCounterPrinter);
    auto zero = MakeFlow();
    zero->ip_protocol = 6;
    SendFlow(Event::FLOW_NEW, zero);

    constexpr std::uint64_t u64 = std::numeric_limits<std::uint64_t>::max();
    constexpr std::uint32_t u32 = std::numeric_limits<std::uint32_t>::max();
    auto top = MakeFlow();
    top->ip_protocol = 6;
    top->ip_dscp = 0xff;
    top->stats.lower_bytes = top->stats.upper_bytes = top->stats.total_bytes = u64;
    top->stats.lower_total_bytes = top->stats.upper_total_bytes = u64;
    top->stats.lower_packets = top->stats.upper_packets = top->stats.total_packets = u32;
    top->stats.lower_total_packets = top->stats.upper_total_packets = u32;
    top->stats.detection_packets = 0xff;
    top->stats.lower_rate = FLT_MAX;
    top->stats.upper_rate = INFINITY;
    top->stats.tcp_seq_errors = top->stats.tcp_resets = top->stats.tcp_retrans = u32;
    top->first_seen_at = u64;
    top->last_seen_at = (std::uint64_t{1} << 63) - 1;
    top->vlan_id = 0xffff;
    EXPECT_TRUE(top->lower_addr.SetFromString("192.0.2.1"));
    top->lower_addr.SetPort(0xffff);
    top->tcp.last_seq = u32;
    top->tcp.fin_acks = 0xff;
    top->digest_lower = u64;
    top->digest_mdata.assign(1000, u64);
    top->risk.score = 0xffff;
    top->risk.risks = {0, u32};
    SendFlow(Event::FLOW_NEW, top);

    ASSERT_TRUE(WaitFor([&] { return Printed("counters ").size() == 2; })) << log.Text();
    auto printed = Printed("counters ");
    EXPECT_EQ(printed[0],
        "integer:0 integer:0 integer:0 integer:0 integer:0 integer:0 float:0.0 float:0.0 "
        "integer:0 integer:0 integer:0 integer:0 integer:0 integer:0 integer:0 integer:0 "
        "nil:nil nil:nil integer:1 integer:0");
    EXPECT_EQ(printed[1],
        "float:1.844674407371e+19 float:1.844674407371e+19 float:1.844674407371e+19 "
        "integer:4294967295 integer:4294967295 integer:255 float:3.4028234663853e+38 float:inf "
        "integer:4294967295 integer:4294967295 float:1.844674407371e+19 "
        "integer:9223372036854775807 integer:65535 integer:65535 integer:4294967295 integer:255 "
        "integer:65535 integer:4294967295 integer:1000 integer:255");
}

TEST_F(PipelineTest, UnsetAddressesRenderWhereTheTableShowsThem)
{
    Start(R"(
local function show(v) return type(v) .. ":" .. tostring(v) end
function ProcessFlowEvent(event, flows)
  local f = flows[1]
  local g = f.gtp or {}
  lpp.print("unset " .. table.concat({show(f.lower_mac), show(f.upper_mac), show(f.lower_addr),
    show(f.upper_addr), show(f.local_ip), show(f.lower_port), show(g.lower_addr),
    show(g.local_ip), show(g.upper_port), show(f.stun)}, " "))
end
)");
    vdAddr unset;
    const std::string text = unset.GetString();
    for (std::uint8_t version : {0, 4, 6}) {
        auto flow = MakeFlow();
        flow->ip_version = version;
        flow->tunnel_type = vdFlow::TUNNEL_GTP;
        SendFlow(Event::FLOW_NEW, flow);
    }
    ASSERT_TRUE(WaitFor([&] { return Printed("unset ").size() == 3; })) << log.Text();
    const std::string expected = "string:00:00:00:00:00:00 string:00:00:00:00:00:00 string:" + text +
        " string:" + text + " string:" + text + " number:0 string:" + text + " string:" + text +
        " number:0 nil:nil";
    for (const auto &line : Printed("unset ")) EXPECT_EQ(line, expected);
}

}  // namespace
