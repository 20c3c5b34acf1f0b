// The benchmarks' floor builder must build the very table the plugin builds,
// or the comparison between them measures different work; and it must fill
// every key of the flow-table schema, or a key added there but not to the
// floor would make both builders agree on a table that lacks it.
#include <arpa/inet.h>

#include "bench-flows.hpp"
#include "bench-floor.hpp"
#include "flowtable-fixture.hpp"
#include "lpp-flowtable-schema.hpp"

namespace lpptest {
namespace {

class FloorBuilderTest : public FlowTableTest {
public:
    lppLuaRef FloorTable(const std::shared_ptr<vdFlow> &flow, bool counters_only)
    {
        auto shared = flow;
        lppEvent::Entry entry(shared);
        lppbench::FloorBuilder &floor = builder;
        int ref = LUA_NOREF;
        lppStackGuard guard(L());
        lppProtectedCall(L(), 0, 0, [&floor, &entry, &ref, counters_only](lua_State *S) -> int {
            floor.Open(S);
            floor.Build(entry, counters_only);
            ref = luaL_ref(S, LUA_REGISTRYINDEX);
            floor.Close();
            return 0;
        });
        lppLuaRef table(L(), ref);
        EXPECT_TRUE(table.Valid());
        return table;
    }

    std::string FloorCanon(const std::shared_ptr<vdFlow> &flow, bool counters_only)
    {
        return Canon(FloorTable(flow, counters_only));
    }

    // Both forms of both builders agree on flow.
    void ExpectSameTables(const std::shared_ptr<vdFlow> &flow)
    {
        for (bool counters_only : {false, true}) {
            SCOPED_TRACE(counters_only ? "counters only" : "full");
            std::string plugin_table = FlowCanon(flow, counters_only);
            EXPECT_EQ(FloorCanon(flow, counters_only), plugin_table);
        }
    }

    lppbench::FloorBuilder builder;
};

TEST_F(FloorBuilderTest, BenchmarkTlsFlow)
{
    auto flow = lppbench::MakeTlsFlow();
    ExpectSameTables(flow);
    // The benchmark flow carries every sub-table of the full form.
    // Only top-level lines have " = " (nested entries are written k=v).
    std::string full = FlowCanon(flow);
    for (const char *key : {"ssl = {", "tls = {", "category = {", "risk = {", "risks = @risk", "tags = {",
             "flags = {", "tcp = {", "local_origin = "})
        EXPECT_NE(full.find(key), std::string::npos) << key;
}

TEST_F(FloorBuilderTest, EveryOptionalEntryWithSidesSwappedAndMasked)
{
    auto flow = lppbench::MakeTlsFlow(7);
    flow->lower_map = vdFlow::LOWER_OTHER;
    flow->origin = vdFlow::ORIGIN_UPPER;
    flow->privacy_mask =
        vdFlow::PRIVACY_LOWER_MAC | vdFlow::PRIVACY_UPPER_MAC | vdFlow::PRIVACY_UPPER_IP | vdFlow::PRIVACY_LOWER_IP;
    flow->other_type = vdFlow::OTHER_MULTICAST;
    flow->tunnel_type = vdFlow::TUNNEL_GTP;
    flow->gtp.version = 1;
    flow->gtp.lower_addr.SetFromString("10.0.0.1");
    flow->gtp.lower_addr.SetPort(2152);
    flow->gtp.upper_addr.SetFromString("10.0.0.2");
    flow->gtp.lower_teid = htonl(1);
    flow->gtp.upper_teid = htonl(9);
    flow->gtp.lower_map = vdFlow::LOWER_OTHER;
    flow->gtp.other_type = vdFlow::OTHER_MULTICAST;
    flow->http.user_agent = "curl/8";
    flow->http.url = "/index.html";
    flow->dhcp.fingerprint = "1,3,6";
    flow->dhcp.class_ident = "MSFT 5.0";
    flow->ssh.client_agent = "OpenSSH_9.2";
    flow->ssh.server_agent = "OpenSSH_9.6";
    flow->bt_info_hash = {0xaa, 0xbb};
    flow->ssdp_user_agent = "UPnP/1.0";
    flow->mdns_domain_name = "printer.local";
    flow->stun.peer.SetFromString("2001:db8::1");
    flow->stun.peer.SetPort(3478);
    flow->detected_application_name.clear();
    ExpectSameTables(flow);

    flow->ip_version = 6;
    flow->ip_protocol = 17;
    flow->master_protocol = 3;
    flow->detected_protocol = 188;
    flow->lower_mac.Clear();
    flow->digest_mdata.clear();
    ExpectSameTables(flow);
}

TEST_F(FloorBuilderTest, FillsEveryKeyOfTheSchema)
{
    auto flow = lppbench::MakeTlsFlow();
    flow->tunnel_type = vdFlow::TUNNEL_GTP;
    flow->http = {"curl/8", "/index.html"};
    flow->dhcp = {"1,3,6", "MSFT 5.0"};
    flow->ssh = {"OpenSSH_9.2", "OpenSSH_9.6"};
    // SMTP underneath and QUIC detected: smtp, ssl and tls at once.
    flow->master_protocol = VD_PROTO_SMTP;
    flow->detected_protocol = VD_PROTO_QUIC;
    flow->bt_info_hash = {0xaa, 0xbb};
    flow->ssdp_user_agent = "UPnP/1.0";
    flow->mdns_domain_name = "printer.local";
    for (vdAddr *addr : {&flow->stun.mapped, &flow->stun.peer, &flow->stun.relayed, &flow->stun.response,
             &flow->stun.other})
        addr->SetFromString("192.0.2.7");
    ExpectSameTables(flow);

    // String keys of every table reached, each table counted once.
    Run(R"(function CountKeys(t, seen)
        seen = seen or {}
        if seen[t] then return 0 end
        seen[t] = true
        local n = 0
        for k, v in pairs(t) do
            if type(k) == "string" then n = n + 1 end
            if type(v) == "table" then n = n + CountKeys(v, seen) end
        end
        return n
    end)");
    EXPECT_EQ(Call("CountKeys", FloorTable(flow, false)), std::to_string(lppFlowKeys()));
    int counters = lppFlowKeys("flow") + lppFlowKeys("iface") + lppFlowKeys("stats") + lppFlowKeys("tcp_stats");
    EXPECT_EQ(Call("CountKeys", FloorTable(flow, true)), std::to_string(counters));
}

}  // namespace
}  // namespace lpptest
