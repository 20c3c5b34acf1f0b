// Flow tables: what a script knows about one flow.
//
// The table is built in one protected call. Texts that need C++ strings
// (address, digest and hash texts) are rendered into a per-thread scratch
// before the Lua operations that copy them, and the detection half is copied
// there under the flow's lock, so that no object with a destructor is alive in
// the protected body while Lua may raise, and the lock is never held while Lua
// allocates. Key strings are made once per state, on the build thread
// (lppPushBuildThread), instead of being hashed anew for every table; the
// table is built on that thread's stack too, out of every script's reach.
// Which keys each table has, and so its size hint, is the schema's
// (lpp-flowtable-schema.hpp); this file fills them.
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <arpa/inet.h>

#include "lpp-flowtable-lua.hpp"
#include "lpp-flowtable-schema.hpp"
#include "lpp-runtime.hpp"

namespace {

// A text of the table: either one of the cached fixed strings or a rendered one.
struct FlowText {
    lppFlowString fixed = LPP_FS_NONE;
    std::string rendered;
};

// Everything rendered in C++ before Lua copies it. Reused from flow to flow
// so that steady-state building allocates nothing here.
struct FlowTexts {
    std::string digest_lower;
    std::vector<std::string> digest_mdata;
    std::size_t digest_mdata_count = 0;
    FlowText lower_mac, upper_mac, lower_ip, upper_ip;
};

// The detection half of a flow, copied under the flow's lock so that the
// lock is not held while Lua allocates: the daemon's own structures, the
// flow's Has... answers, and the texts rendered from its addresses and
// hashes. Reused from flow to flow: assignments keep the capacity of strings
// and vectors, and the risk set reuses its nodes (kept while flows without
// risks pass), so steady-state copying allocates nothing.
struct Detection {
    bool has_gtp = false;
    vdFlow::Gtp gtp;
    std::string gtp_lower_addr, gtp_upper_addr;

    std::string dns_host_name, host_server_name;
    std::uint16_t detected_protocol = 0, detected_application = 0;
    std::string detected_protocol_name, detected_application_name;
    vdFlow::Category category;

    bool http_user_agent = false, http_url = false;
    bool dhcp_fingerprint = false, dhcp_class_ident = false;
    bool ssh_client = false, ssh_server = false;
    vdFlow::Http http;
    vdFlow::Dhcp dhcp;
    vdFlow::Ssh ssh;

    bool has_tls = false, tls_sni = false, tls_ech = false, tls_server_cn = false;
    bool tls_issuer_dn = false, tls_subject_dn = false, tls_client_ja4 = false;
    vdFlow::Tls tls;
    std::string tls_fingerprint;

    bool smtp = false, smtp_tls = false;
    bool bt = false, ssdp = false, mdns = false, stun = false;
    std::string bt_info_hash, ssdp_user_agent, mdns_domain_name;
    bool stun_set[5] = {};
    std::string stun_text[5];

    bool has_risk = false;
    vdFlow::Risk risk;
    std::vector<std::string> tags;
};

FlowTexts &Scratch()
{
    thread_local FlowTexts texts;
    return texts;
}

Detection &DetectionScratch()
{
    thread_local Detection detection;
    return detection;
}

// Which key of a local/other pair (named by its local key) holds the value
// of each side of a flow or of its tunnel.
struct Sides {
    explicit Sides(std::uint8_t lower_map) : lower_other(lower_map == vdFlow::LOWER_OTHER) {}
    lppFlowString Lower(lppFlowString local_key) const { return lppFlowPick(local_key, lower_other); }
    lppFlowString Upper(lppFlowString local_key) const { return lppFlowPick(local_key, !lower_other); }
    bool lower_other;
};

lppFlowString OtherTypeName(std::uint8_t code)
{
    switch (code) {
    case vdFlow::OTHER_UNSUPPORTED: return LPP_FS_text_unsupported;
    case vdFlow::OTHER_LOCAL: return LPP_FS_text_local;
    case vdFlow::OTHER_MULTICAST: return LPP_FS_text_multicast;
    case vdFlow::OTHER_BROADCAST: return LPP_FS_text_broadcast;
    case vdFlow::OTHER_REMOTE: return LPP_FS_text_remote;
    case vdFlow::OTHER_ERROR: return LPP_FS_text_error;
    default: return LPP_FS_text_unknown;
    }
}

// GTP knows fewer kinds of other side: whatever is not local, remote or an
// error reads "unsupported".
lppFlowString GtpOtherTypeName(std::uint8_t code)
{
    switch (code) {
    case vdFlow::OTHER_LOCAL: return LPP_FS_text_local;
    case vdFlow::OTHER_REMOTE: return LPP_FS_text_remote;
    case vdFlow::OTHER_ERROR: return LPP_FS_text_error;
    default: return LPP_FS_text_unsupported;
    }
}

void RenderMac(FlowText &text, vdAddr &addr, bool masked, lppFlowString masked_text)
{
    if (masked) {
        text.fixed = masked_text;
    } else if (addr.IsValid()) {
        text.fixed = LPP_FS_NONE;
        text.rendered = addr.GetString(vdAddr::MAKE_DEFAULT);
    } else {
        text.fixed = LPP_FS_text_mac_none;
    }
}

void RenderIp(FlowText &text, vdAddr &addr, bool masked, lppFlowString masked_text)
{
    if (masked) {
        text.fixed = masked_text;
    } else {
        text.fixed = LPP_FS_NONE;
        text.rendered = addr.GetString(vdAddr::MAKE_DEFAULT);
    }
}

// Texts of the first half, read without the flow's lock.
void RenderFlowTexts(vdFlow &flow, bool counters_only, FlowTexts &texts)
{
    vd_xxh64_to_string(flow.digest_lower, texts.digest_lower);
    std::size_t count = flow.digest_mdata.size();
    if (texts.digest_mdata.size() < count) texts.digest_mdata.resize(count);
    for (std::size_t i = 0; i < count; i++) vd_xxh64_to_string(flow.digest_mdata[i], texts.digest_mdata[i]);
    texts.digest_mdata_count = count;
    if (counters_only) return;

    std::uint8_t mask = flow.privacy_mask;
    bool ipv4 = flow.ip_version == 4;
    RenderMac(texts.lower_mac, flow.lower_mac, mask & vdFlow::PRIVACY_LOWER_MAC, LPP_FS_text_mac_masked_lower);
    RenderMac(texts.upper_mac, flow.upper_mac, mask & vdFlow::PRIVACY_UPPER_MAC, LPP_FS_text_mac_masked_upper);
    RenderIp(texts.lower_ip, flow.lower_addr, mask & vdFlow::PRIVACY_LOWER_IP,
        ipv4 ? LPP_FS_text_ip4_masked_lower : LPP_FS_text_ip6_masked_lower);
    RenderIp(texts.upper_ip, flow.upper_addr, mask & vdFlow::PRIVACY_UPPER_IP,
        ipv4 ? LPP_FS_text_ip4_masked_upper : LPP_FS_text_ip6_masked_upper);
}

const char *FormatCode(char (&buffer)[8], std::uint16_t value)
{
    std::snprintf(buffer, sizeof(buffer), "0x%04hx", static_cast<unsigned short>(value));
    return buffer;
}

// Copies the detection half; the caller holds the flow's lock. No Lua here.
void CopyDetection(vdFlow &flow, Detection &d)
{
    d.has_gtp = flow.tunnel_type == vdFlow::TUNNEL_GTP;
    if (d.has_gtp) {
        d.gtp = flow.gtp;
        d.gtp_lower_addr = flow.gtp.lower_addr.GetString(vdAddr::MAKE_DEFAULT);
        d.gtp_upper_addr = flow.gtp.upper_addr.GetString(vdAddr::MAKE_DEFAULT);
    }

    d.dns_host_name = flow.dns_host_name;
    d.host_server_name = flow.host_server_name;
    d.detected_protocol = flow.detected_protocol;
    d.detected_application = flow.detected_application;
    d.detected_protocol_name = flow.detected_protocol_name;
    d.detected_application_name = flow.detected_application_name;
    d.category = flow.category;

    d.http_user_agent = flow.HasHttpUserAgent();
    d.http_url = flow.HasHttpURL();
    if (d.http_user_agent || d.http_url) d.http = flow.http;
    d.dhcp_fingerprint = flow.HasDhcpFingerprint();
    d.dhcp_class_ident = flow.HasDhcpClassIdent();
    if (d.dhcp_fingerprint || d.dhcp_class_ident) d.dhcp = flow.dhcp;
    d.ssh_client = flow.HasSSHClientAgent();
    d.ssh_server = flow.HasSSHServerAgent();
    if (d.ssh_client || d.ssh_server) d.ssh = flow.ssh;

    d.has_tls = flow.GetMasterProtocol() == VD_PROTO_TLS || flow.detected_protocol == VD_PROTO_QUIC;
    if (d.has_tls) {
        d.tls_sni = flow.HasTLSClientSNI();
        d.tls_ech = flow.HasTLSEncryptedCH();
        d.tls_server_cn = flow.HasTLSServerCN();
        d.tls_issuer_dn = flow.HasTLSIssuerDN();
        d.tls_subject_dn = flow.HasTLSSubjectDN();
        d.tls_client_ja4 = flow.HasTLSClientJA4();
        d.tls = flow.tls;
        if (!d.tls.fingerprint.empty()) vd_sha1_to_string(d.tls.fingerprint, d.tls_fingerprint);
    }

    d.smtp = flow.GetMasterProtocol() == VD_PROTO_SMTP;
    d.smtp_tls = flow.smtp_tls;
    d.bt = flow.HasBTInfoHash();
    if (d.bt) vd_sha1_to_string(flow.bt_info_hash, d.bt_info_hash);
    d.ssdp = flow.HasSSDPUserAgent();
    if (d.ssdp) d.ssdp_user_agent = flow.ssdp_user_agent;
    d.mdns = flow.HasMDNSDomainName();
    if (d.mdns) d.mdns_domain_name = flow.mdns_domain_name;
    d.stun = flow.HasSTUNAddress();
    if (d.stun) {
        vdAddr *stun[5] = {&flow.stun.mapped, &flow.stun.peer, &flow.stun.relayed, &flow.stun.response,
            &flow.stun.other};
        for (int i = 0; i < 5; i++) {
            d.stun_set[i] = stun[i]->IsValid();
            if (d.stun_set[i]) d.stun_text[i] = stun[i]->GetString(vdAddr::MAKE_WITH_PORT);
        }
    }

    d.has_risk = !flow.risk.risks.empty();
    if (d.has_risk) d.risk = flow.risk;
    d.tags.assign(flow.tags.begin(), flow.tags.end());
}

// Table operations of the protected body, on the build thread. Every key is
// a cached string and every store is raw: flow tables have no metatables to
// consult.
class TableWriter {
public:
    explicit TableWriter(lua_State *L) : L(L) {}

    void Key(lppFlowString key) { lua_pushvalue(L, key); }

    // Creates a table, leaving it on top; returns its absolute index.
    int NewTable(int array_size, int record_size)
    {
        lua_createtable(L, array_size, record_size);
        return lua_gettop(L);
    }

    void Integer(int table, lppFlowString key, lua_Integer value)
    {
        Key(key);
        lua_pushinteger(L, value);
        lua_rawset(L, table);
    }

    // Counters of 2^63 and above do not fit a Lua integer: they become floats.
    void Counter(int table, lppFlowString key, std::uint64_t value)
    {
        Key(key);
        if (value < (std::uint64_t{1} << 63))
            lua_pushinteger(L, static_cast<lua_Integer>(value));
        else
            lua_pushnumber(L, static_cast<lua_Number>(value));
        lua_rawset(L, table);
    }

    void Number(int table, lppFlowString key, lua_Number value)
    {
        Key(key);
        lua_pushnumber(L, value);
        lua_rawset(L, table);
    }

    void Boolean(int table, lppFlowString key, bool value)
    {
        Key(key);
        lua_pushboolean(L, value ? 1 : 0);
        lua_rawset(L, table);
    }

    void String(int table, lppFlowString key, const std::string &value)
    {
        Key(key);
        lua_pushlstring(L, value.data(), value.size());
        lua_rawset(L, table);
    }

    void String(int table, lppFlowString key, const char *value)
    {
        Key(key);
        lua_pushstring(L, value);
        lua_rawset(L, table);
    }

    void Fixed(int table, lppFlowString key, lppFlowString value)
    {
        Key(key);
        Key(value);
        lua_rawset(L, table);
    }

    void Text(int table, lppFlowString key, const FlowText &value)
    {
        if (value.fixed != LPP_FS_NONE)
            Fixed(table, key, value.fixed);
        else
            String(table, key, value.rendered);
    }

    // A name, or "Unknown" when the flow has none.
    void Name(int table, lppFlowString key, const std::string &value)
    {
        if (value.empty())
            Fixed(table, key, LPP_FS_text_detected_unknown);
        else
            String(table, key, value);
    }

    // Stores the table on top under key in table, which is below it with the
    // key pushed before the new table (see BeginTable).
    void EndTable(int table) { lua_rawset(L, table); }

    // Pushes key and a new table to be filled; returns the new table's index.
    int BeginTable(lppFlowString key, int array_size, int record_size)
    {
        Key(key);
        return NewTable(array_size, record_size);
    }

    void StringArray(int table, lppFlowString key, const std::vector<std::string> &values)
    {
        int array = BeginTable(key, static_cast<int>(values.size()), 0);
        lua_Integer index = 1;
        for (const std::string &value : values) {
            lua_pushlstring(L, value.data(), value.size());
            lua_rawseti(L, array, index++);
        }
        EndTable(table);
    }

    lua_State *State() const { return L; }

private:
    lua_State *L;
};

void BuildStats(TableWriter &w, int flow_table, const lppEvent::Entry &entry, const vdFlow &flow, Sides side)
{
    const vdFlow::Stats &counts = entry.stats;
    int stats = w.BeginTable(LPP_FS_flow_stats, 0, lppFlowKeys("stats"));
    w.Counter(stats, LPP_FS_stats_lower_bytes, counts.lower_bytes);
    w.Counter(stats, LPP_FS_stats_upper_bytes, counts.upper_bytes);
    w.Counter(stats, LPP_FS_stats_total_bytes, counts.total_bytes);
    w.Integer(stats, LPP_FS_stats_lower_packets, counts.lower_packets);
    w.Integer(stats, LPP_FS_stats_upper_packets, counts.upper_packets);
    w.Integer(stats, LPP_FS_stats_total_packets, counts.total_packets);
    w.Integer(stats, LPP_FS_stats_detection_packets, counts.detection_packets);
    w.Counter(stats, side.Lower(LPP_FS_stats_local_bytes), counts.lower_bytes);
    w.Counter(stats, side.Upper(LPP_FS_stats_local_bytes), counts.upper_bytes);
    w.Counter(stats, side.Lower(LPP_FS_stats_total_local_bytes), counts.lower_total_bytes);
    w.Counter(stats, side.Upper(LPP_FS_stats_total_local_bytes), counts.upper_total_bytes);
    w.Integer(stats, side.Lower(LPP_FS_stats_local_packets), counts.lower_packets);
    w.Integer(stats, side.Upper(LPP_FS_stats_local_packets), counts.upper_packets);
    w.Integer(stats, side.Lower(LPP_FS_stats_total_local_packets), counts.lower_total_packets);
    w.Integer(stats, side.Upper(LPP_FS_stats_total_local_packets), counts.upper_total_packets);
    w.Number(stats, LPP_FS_stats_lower_rate, counts.lower_rate);
    w.Number(stats, LPP_FS_stats_upper_rate, counts.upper_rate);
    w.Integer(stats, LPP_FS_stats_tcp_seq_errors, counts.tcp_seq_errors);
    w.Integer(stats, LPP_FS_stats_tcp_resets, counts.tcp_resets);
    w.Integer(stats, LPP_FS_stats_tcp_retrans, counts.tcp_retrans);
    w.Number(stats, side.Lower(LPP_FS_stats_local_rate), counts.lower_rate);
    w.Number(stats, side.Upper(LPP_FS_stats_local_rate), counts.upper_rate);
    if (flow.ip_protocol == IPPROTO_TCP) {
        int tcp = w.BeginTable(LPP_FS_stats_tcp, 0, lppFlowKeys("tcp_stats"));
        w.Integer(tcp, LPP_FS_tcp_stats_seq_errors, counts.tcp_seq_errors);
        w.Integer(tcp, LPP_FS_tcp_stats_resets, counts.tcp_resets);
        w.Integer(tcp, LPP_FS_tcp_stats_retrans, counts.tcp_retrans);
        w.EndTable(stats);
    }
    w.EndTable(flow_table);
}

// JSON members, interface, digests and counters: the counters-only form.
void BuildCounters(TableWriter &w, int t, const lppEvent::Entry &entry, const vdFlow &flow, Sides side,
    const FlowTexts &texts)
{
    int iface = w.BeginTable(LPP_FS_flow_iface, 0, lppFlowKeys("iface"));
    if (flow.iface) {
        w.String(iface, LPP_FS_iface_name, flow.iface->ifname);
        w.Integer(iface, LPP_FS_iface_role, flow.iface->role);
    }
    w.EndTable(t);

    // Without metadata digests, the lower digest stands in for all of them.
    std::size_t count = texts.digest_mdata_count;
    const std::string &last = count ? texts.digest_mdata[count - 1] : texts.digest_lower;
    w.String(t, LPP_FS_flow_digest_lower, texts.digest_lower);
    w.String(t, LPP_FS_flow_digest_mdata, last);
    w.String(t, LPP_FS_flow_digest, last);
    lua_State *L = w.State();
    int prev = w.BeginTable(LPP_FS_flow_digest_prev, count ? static_cast<int>(count) : 1, 0);
    if (count == 0) {
        lua_pushlstring(L, last.data(), last.size());
        lua_rawseti(L, prev, 1);
    }
    for (std::size_t i = 0; i < count; i++) {
        lua_pushlstring(L, texts.digest_mdata[i].data(), texts.digest_mdata[i].size());
        lua_rawseti(L, prev, static_cast<lua_Integer>(i + 1));
    }
    w.EndTable(t);

    BuildStats(w, t, entry, flow, side);
}

// Identity, addresses, ports, flags and TCP details.
void BuildIdentity(TableWriter &w, int t, vdFlow &flow, Sides side, const FlowTexts &texts)
{
    w.Integer(t, LPP_FS_full_ip_version, flow.ip_version);
    w.Integer(t, LPP_FS_full_ip_dscp, flow.ip_dscp);
    w.Integer(t, LPP_FS_full_ip_protocol, flow.ip_protocol);
    w.Integer(t, LPP_FS_full_vlan_id, flow.vlan_id);
    w.Counter(t, LPP_FS_full_first_seen_at, flow.first_seen_at);
    w.Counter(t, LPP_FS_full_last_seen_at, flow.last_seen_at);
    w.Integer(t, LPP_FS_full_lower_map, flow.lower_map);
    w.Integer(t, LPP_FS_full_other_type, flow.other_type);
    w.Fixed(t, LPP_FS_full_other_type_name, OtherTypeName(flow.other_type));
    w.Fixed(t, LPP_FS_full_other_type_str, OtherTypeName(flow.other_type));
    w.Integer(t, LPP_FS_full_tunnel_type, flow.tunnel_type);
    w.Integer(t, LPP_FS_full_origin, flow.origin);
    w.Integer(t, LPP_FS_full_privacy_mask, flow.privacy_mask);
    w.Boolean(t, LPP_FS_full_local_origin, (flow.origin == vdFlow::ORIGIN_UPPER) == side.lower_other);

    w.Text(t, LPP_FS_full_lower_mac, texts.lower_mac);
    w.Text(t, LPP_FS_full_upper_mac, texts.upper_mac);
    w.Text(t, side.Lower(LPP_FS_full_local_mac), texts.lower_mac);
    w.Text(t, side.Upper(LPP_FS_full_local_mac), texts.upper_mac);
    w.Text(t, LPP_FS_full_lower_addr, texts.lower_ip);
    w.Text(t, LPP_FS_full_upper_addr, texts.upper_ip);
    w.Text(t, side.Lower(LPP_FS_full_local_ip), texts.lower_ip);
    w.Text(t, side.Upper(LPP_FS_full_local_ip), texts.upper_ip);

    std::uint16_t lower_port = flow.lower_addr.GetPort(true);
    std::uint16_t upper_port = flow.upper_addr.GetPort(true);
    w.Integer(t, LPP_FS_full_lower_port, lower_port);
    w.Integer(t, LPP_FS_full_upper_port, upper_port);
    w.Integer(t, side.Lower(LPP_FS_full_local_port), lower_port);
    w.Integer(t, side.Upper(LPP_FS_full_local_port), upper_port);

    int flags = w.BeginTable(LPP_FS_full_flags, 0, lppFlowKeys("flags"));
    w.Boolean(flags, LPP_FS_flags_detection_complete, flow.flags.detection_complete);
    w.Boolean(flags, LPP_FS_flags_detection_guessed, flow.flags.detection_guessed);
    w.Boolean(flags, LPP_FS_flags_detection_init, flow.flags.detection_init);
    w.Boolean(flags, LPP_FS_flags_detection_updated, flow.flags.detection_updated);
    w.Boolean(flags, LPP_FS_flags_dhc_hit, flow.flags.dhc_hit);
    w.Boolean(flags, LPP_FS_flags_fhc_hit, flow.flags.fhc_hit);
    w.Boolean(flags, LPP_FS_flags_expiring, flow.flags.expiring);
    w.Boolean(flags, LPP_FS_flags_expired, flow.flags.expired);
    w.Boolean(flags, LPP_FS_flags_soft_dissector, flow.flags.soft_dissector);
    w.EndTable(t);

    if (flow.ip_protocol == IPPROTO_TCP) {
        int tcp = w.BeginTable(LPP_FS_full_tcp, 0, lppFlowKeys("tcp"));
        w.Integer(tcp, LPP_FS_tcp_fin_acks, flow.tcp.fin_acks);
        w.Integer(tcp, LPP_FS_tcp_last_seq, flow.tcp.last_seq);
        w.EndTable(t);
    }
}

void BuildGtp(TableWriter &w, int t, const Detection &d)
{
    const vdFlow::Gtp &gtp = d.gtp;
    Sides side(gtp.lower_map);
    std::uint16_t lower_port = gtp.lower_addr.GetPort(true);
    std::uint16_t upper_port = gtp.upper_addr.GetPort(true);
    int g = w.BeginTable(LPP_FS_full_gtp, 0, lppFlowKeys("gtp"));
    w.Integer(g, LPP_FS_gtp_version, gtp.version);
    w.Integer(g, LPP_FS_gtp_ip_version, gtp.ip_version);
    w.Integer(g, LPP_FS_gtp_ip_dscp, gtp.ip_dscp);
    w.String(g, side.Lower(LPP_FS_gtp_local_ip), d.gtp_lower_addr);
    w.String(g, side.Upper(LPP_FS_gtp_local_ip), d.gtp_upper_addr);
    w.Integer(g, side.Lower(LPP_FS_gtp_local_port), lower_port);
    w.Integer(g, side.Upper(LPP_FS_gtp_local_port), upper_port);
    w.Integer(g, side.Lower(LPP_FS_gtp_local_teid), ntohl(gtp.lower_teid));
    w.Integer(g, side.Upper(LPP_FS_gtp_local_teid), ntohl(gtp.upper_teid));
    w.Fixed(g, LPP_FS_gtp_other_type, GtpOtherTypeName(gtp.other_type));
    w.Integer(g, LPP_FS_gtp_lower_teid, gtp.lower_teid);
    w.Integer(g, LPP_FS_gtp_upper_teid, gtp.upper_teid);
    w.Integer(g, LPP_FS_gtp_lower_type, gtp.lower_type);
    w.Integer(g, LPP_FS_gtp_upper_type, gtp.upper_type);
    w.String(g, LPP_FS_gtp_lower_addr, d.gtp_lower_addr);
    w.String(g, LPP_FS_gtp_upper_addr, d.gtp_upper_addr);
    w.Integer(g, LPP_FS_gtp_lower_port, lower_port);
    w.Integer(g, LPP_FS_gtp_upper_port, upper_port);
    w.Integer(g, LPP_FS_gtp_lower_map, gtp.lower_map);
    w.Integer(g, LPP_FS_gtp_other_type_id, gtp.other_type);
    w.EndTable(t);
}

void BuildTls(TableWriter &w, int t, const Detection &d)
{
    const vdFlow::Tls &tls = d.tls;
    char code[8];
    // The same connection twice: codes as text in ssl, as numbers in tls,
    // whose keys are the twins of ssl's.
    for (bool numeric : {false, true}) {
        auto key = [numeric](lppFlowString ssl_key) { return lppFlowPick(ssl_key, numeric); };
        int s = numeric ? w.BeginTable(LPP_FS_full_tls, 0, lppFlowKeys("tls"))
                        : w.BeginTable(LPP_FS_full_ssl, 0, lppFlowKeys("ssl"));
        if (numeric) {
            w.Integer(s, LPP_FS_tls_version, tls.version);
            w.Integer(s, LPP_FS_tls_cipher_suite, tls.cipher_suite);
        } else {
            w.String(s, LPP_FS_ssl_version, FormatCode(code, tls.version));
            w.String(s, LPP_FS_ssl_cipher_suite, FormatCode(code, tls.cipher_suite));
        }
        if (d.tls_sni) w.String(s, key(LPP_FS_ssl_client_sni), d.host_server_name);
        if (d.tls_ech) {
            if (numeric) {
                int e = w.BeginTable(LPP_FS_tls_encrypted_ch, 0, lppFlowKeys("encrypted_ch"));
                w.Integer(e, LPP_FS_encrypted_ch_version, tls.encrypted_ch_version);
                w.EndTable(s);
            } else {
                w.String(s, LPP_FS_ssl_encrypted_ch_version, FormatCode(code, tls.encrypted_ch_version));
            }
        }
        if (d.tls_server_cn) w.String(s, key(LPP_FS_ssl_server_cn), tls.server_cn);
        if (d.tls_issuer_dn) w.String(s, key(LPP_FS_ssl_issuer_dn), tls.issuer_dn);
        if (d.tls_subject_dn) w.String(s, key(LPP_FS_ssl_subject_dn), tls.subject_dn);
        if (d.tls_client_ja4) w.String(s, key(LPP_FS_ssl_client_ja4), tls.client_ja4);
        if (!tls.fingerprint.empty()) w.String(s, key(LPP_FS_ssl_fingerprint), d.tls_fingerprint);
        if (!tls.alpn.empty()) w.StringArray(s, key(LPP_FS_ssl_alpn), tls.alpn);
        if (!tls.alpn_server.empty()) w.StringArray(s, key(LPP_FS_ssl_alpn_server), tls.alpn_server);
        w.EndTable(t);
    }
}

// The detection half, from its copy.
void BuildDetection(TableWriter &w, int t, const Detection &d, Sides side)
{
    lua_State *L = w.State();
    if (d.has_gtp) BuildGtp(w, t, d);

    w.String(t, LPP_FS_full_dns_host_name, d.dns_host_name);
    w.String(t, LPP_FS_full_host_server_name, d.host_server_name);
    w.Integer(t, LPP_FS_full_detected_protocol, d.detected_protocol);
    w.Integer(t, LPP_FS_full_detected_application, d.detected_application);
    w.Name(t, LPP_FS_full_detected_protocol_name, d.detected_protocol_name);
    w.Name(t, LPP_FS_full_detected_application_name, d.detected_application_name);

    int c = w.BeginTable(LPP_FS_full_category, 0, lppFlowKeys("category"));
    w.Integer(c, LPP_FS_category_application, d.category.application);
    w.Integer(c, LPP_FS_category_protocol, d.category.protocol);
    w.Integer(c, LPP_FS_category_domain, d.category.domain);
    w.Integer(c, LPP_FS_category_lower_net, d.category.lower_net);
    w.Integer(c, LPP_FS_category_upper_net, d.category.upper_net);
    w.Integer(c, side.Lower(LPP_FS_category_local_network), d.category.lower_net);
    w.Integer(c, side.Upper(LPP_FS_category_local_network), d.category.upper_net);
    w.Integer(c, LPP_FS_category_overlay, d.category.overlay);
    w.EndTable(t);

    if (d.http_user_agent || d.http_url) {
        int h = w.BeginTable(LPP_FS_full_http, 0, lppFlowKeys("http"));
        if (d.http_user_agent) w.String(h, LPP_FS_http_user_agent, d.http.user_agent);
        if (d.http_url) w.String(h, LPP_FS_http_url, d.http.url);
        w.EndTable(t);
    }
    if (d.dhcp_fingerprint || d.dhcp_class_ident) {
        int h = w.BeginTable(LPP_FS_full_dhcp, 0, lppFlowKeys("dhcp"));
        if (d.dhcp_fingerprint) w.String(h, LPP_FS_dhcp_fingerprint, d.dhcp.fingerprint);
        if (d.dhcp_class_ident) w.String(h, LPP_FS_dhcp_class_ident, d.dhcp.class_ident);
        w.EndTable(t);
    }
    if (d.ssh_client || d.ssh_server) {
        int s = w.BeginTable(LPP_FS_full_ssh, 0, lppFlowKeys("ssh"));
        if (d.ssh_client) {
            w.String(s, LPP_FS_ssh_client, d.ssh.client_agent);
            w.String(s, LPP_FS_ssh_client_agent, d.ssh.client_agent);
        }
        if (d.ssh_server) {
            w.String(s, LPP_FS_ssh_server, d.ssh.server_agent);
            w.String(s, LPP_FS_ssh_server_agent, d.ssh.server_agent);
        }
        w.EndTable(t);
    }

    if (d.has_tls) BuildTls(w, t, d);
    if (d.smtp) {
        int s = w.BeginTable(LPP_FS_full_smtp, 0, lppFlowKeys("smtp"));
        w.Boolean(s, LPP_FS_smtp_tls, d.smtp_tls);
        w.EndTable(t);
    }
    if (d.bt) {
        int b = w.BeginTable(LPP_FS_full_bt, 0, lppFlowKeys("bt"));
        w.String(b, LPP_FS_bt_info_hash, d.bt_info_hash);
        w.EndTable(t);
    }
    if (d.ssdp) {
        int s = w.BeginTable(LPP_FS_full_ssdp, 0, lppFlowKeys("ssdp"));
        w.String(s, LPP_FS_ssdp_user_agent, d.ssdp_user_agent);
        w.EndTable(t);
    }
    if (d.mdns) {
        int m = w.BeginTable(LPP_FS_full_mdns, 0, lppFlowKeys("mdns"));
        w.String(m, LPP_FS_mdns_domain_name, d.mdns_domain_name);
        w.String(m, LPP_FS_mdns_answer, d.mdns_domain_name);
        w.EndTable(t);
    }
    if (d.stun) {
        const lppFlowString keys[5] = {LPP_FS_stun_mapped, LPP_FS_stun_peer, LPP_FS_stun_relayed,
            LPP_FS_stun_response, LPP_FS_stun_other};
        int s = w.BeginTable(LPP_FS_full_stun, 0, lppFlowKeys("stun"));
        for (int i = 0; i < 5; i++)
            if (d.stun_set[i]) w.String(s, keys[i], d.stun_text[i]);
        w.EndTable(t);
    }

    if (d.has_risk) {
        int r = w.BeginTable(LPP_FS_full_risk, 0, lppFlowKeys("risk"));
        w.Integer(r, LPP_FS_risk_ndpi_score, d.risk.score);
        w.Integer(r, LPP_FS_risk_ndpi_score_client, d.risk.score_client);
        w.Integer(r, LPP_FS_risk_ndpi_score_server, d.risk.score_server);
        w.Integer(r, LPP_FS_risk_ndpi_risk_score, d.risk.score);
        w.Integer(r, LPP_FS_risk_ndpi_risk_score_client, d.risk.score_client);
        w.Integer(r, LPP_FS_risk_ndpi_risk_score_server, d.risk.score_server);
        int codes = w.BeginTable(LPP_FS_risk_risks, static_cast<int>(d.risk.risks.size()), 0);
        lua_Integer index = 1;
        for (std::uint32_t code : d.risk.risks) {
            lua_pushinteger(L, code);
            lua_rawseti(L, codes, index++);
        }
        w.EndTable(r);
        // One table under two keys: a change through either is seen through
        // both. (Stored under "risks" first only because "risk" is still
        // pending on the stack; no one can tell the order.)
        w.Key(LPP_FS_full_risks);
        lua_pushvalue(L, r);
        lua_rawset(L, t);
        w.EndTable(t);
    }

    if (!d.tags.empty()) {
        int a = w.BeginTable(LPP_FS_full_tags, static_cast<int>(d.tags.size()), 0);
        lua_Integer index = 1;
        for (const std::string &tag : d.tags) {
            lua_pushlstring(L, tag.data(), tag.size());
            lua_rawseti(L, a, index++);
        }
        w.EndTable(t);
    }
}

// Pushes the key strings onto the new build thread.
void PushFlowStrings(lua_State *thread)
{
    for (const char *text : lppFlowTexts) lua_pushstring(thread, text);
}

// Builds entry's flow table on top of the build thread, then runs
// finish(S), S being the main thread, in the same protected call, where
// finish takes the table off the build thread.
template <typename Finish>
void BuildFlowTable(lua_State *L, lua_State *thread, const lppEvent::Entry &entry, bool counters_only,
    Finish finish)
{
    vdFlow &flow = *entry.flow;
    FlowTexts &texts = Scratch();
    RenderFlowTexts(flow, counters_only, texts);
    Sides side(flow.lower_map);

    // The detection half is copied under the flow's lock before any Lua
    // work, so that the daemon's threads wait only for the copy, and no
    // allocation (hence no collector step and no script finaliser) happens
    // while the lock is held.
    Detection &detection = DetectionScratch();
    if (!counters_only) {
        std::lock_guard<std::recursive_mutex> flow_lock(flow.lock);
        CopyDetection(flow, detection);
    }

    lppJsonFrames frames;
    lppProtectedCall(L, 0, 0, [&](lua_State *S) -> int {
        // The room a C function is given; the JSON converter grows the
        // stack further as it descends.
        if (!lua_checkstack(thread, LUA_MINSTACK)) return luaL_error(S, "stack overflow");
        TableWriter w(thread);

        int members = entry.doc.is_object() ? static_cast<int>(std::min<std::size_t>(entry.doc.size(), 0xffff)) : 0;
        int keys = counters_only ? lppFlowKeys("flow") : lppFlowKeys("flow") + lppFlowKeys("full");
        int t = w.NewTable(0, keys + members);
        lppStoreJsonMembers(thread, entry.doc, frames);
        BuildCounters(w, t, entry, flow, side, texts);
        if (!counters_only) {
            BuildIdentity(w, t, flow, side, texts);
            BuildDetection(w, t, detection, side);
        }
        lua_settop(thread, t);
        finish(S);
        return 0;
    });
}

}  // namespace

lua_State *lppPushBuildThread(lua_State *L)
{
    static const char key = 0;
    return lppPushPrivateThread(L, &key, LPP_FS_COUNT - 1, PushFlowStrings);
}

lppLuaRef lppLuaRuntime::CreateFlowTable(const lppEvent::Entry &entry, bool counters_only)
{
    lua_State *L = lua.Get();
    lppStackGuard stack_guard(L);
    lua_State *thread = lppPushBuildThread(L);
    int ref = LUA_NOREF;
    // Nothing allocates between the move and the reference: no finaliser
    // runs while the table lies in the body's frame.
    BuildFlowTable(L, thread, entry, counters_only, [thread, &ref](lua_State *S) {
        lua_xmove(thread, S, 1);
        ref = luaL_ref(S, LUA_REGISTRYINDEX);
    });
    return lppLuaRef(L, ref);
}

void lppLuaRuntime::AppendFlowTable(
    lua_State *thread, int array, lua_Integer index, const lppEvent::Entry &entry, bool counters_only)
{
    BuildFlowTable(lua.Get(), thread, entry, counters_only,
        [thread, array, index](lua_State *) { lua_rawseti(thread, array, index); });
}
