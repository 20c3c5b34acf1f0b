// Flow tables: what a script knows about one flow.
//
// The table is built in one protected call. Texts that need C++ strings
// (address, digest and hash texts) are rendered into a per-thread scratch
// before the Lua operations that copy them, so that no object with a
// destructor is alive in the protected body while Lua may raise. Key strings
// come from a per-state cache in the registry (lppPushFlowStrings) instead of
// being hashed anew for every table.
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <arpa/inet.h>

#include "lpp-flowtable-lua.hpp"
#include "lpp-plugin.hpp"

namespace {

// Codes of the flow fields the table interprets.
enum : std::uint8_t {
    LOWER_OTHER = 2,
    TUNNEL_GTP = 1,
    ORIGIN_UPPER = 2,
    IPPROTO_TCP_CODE = 6,
};

enum : std::uint8_t {
    PRIVACY_LOWER_MAC = 0x01,
    PRIVACY_UPPER_MAC = 0x02,
    PRIVACY_UPPER_IP = 0x04,
    PRIVACY_LOWER_IP = 0x08,
};

// Keys counted for the size hints of the tables that have a fixed shape.
constexpr int FLOW_KEYS_COUNTERS = 6;
constexpr int FLOW_KEYS_FULL = FLOW_KEYS_COUNTERS + 28 + 21;
constexpr int STATS_KEYS = 23;
constexpr int FLAGS_KEYS = 9;
constexpr int GTP_KEYS = 20;
constexpr int CATEGORY_KEYS = 8;
constexpr int TLS_KEYS = 11;
constexpr int RISK_KEYS = 7;

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

    // Detection half, rendered under the flow's lock.
    std::string gtp_lower_addr, gtp_upper_addr;
    std::string tls_fingerprint, bt_info_hash;
    std::string stun[5];
    char tls_version[8], tls_cipher_suite[8], tls_encrypted_ch_version[8];
};

FlowTexts &Scratch()
{
    thread_local FlowTexts texts;
    return texts;
}

// The keys that name the local and the other side of a flow.
struct SideNames {
    lppFlowString lower_mac, upper_mac, lower_ip, upper_ip, lower_port, upper_port;
    lppFlowString lower_bytes, upper_bytes, lower_total_bytes, upper_total_bytes;
    lppFlowString lower_packets, upper_packets, lower_total_packets, upper_total_packets;
    lppFlowString lower_network, upper_network, lower_rate, upper_rate;
    lppFlowString lower_teid, upper_teid;
};

SideNames ChooseSideNames(std::uint8_t lower_map)
{
    if (lower_map == LOWER_OTHER) {
        return {LPP_FS_other_mac, LPP_FS_local_mac, LPP_FS_other_ip, LPP_FS_local_ip,
            LPP_FS_other_port, LPP_FS_local_port, LPP_FS_other_bytes, LPP_FS_local_bytes,
            LPP_FS_total_other_bytes, LPP_FS_total_local_bytes, LPP_FS_other_packets,
            LPP_FS_local_packets, LPP_FS_total_other_packets, LPP_FS_total_local_packets,
            LPP_FS_other_network, LPP_FS_local_network, LPP_FS_other_rate, LPP_FS_local_rate,
            LPP_FS_other_teid, LPP_FS_local_teid};
    }
    return {LPP_FS_local_mac, LPP_FS_other_mac, LPP_FS_local_ip, LPP_FS_other_ip,
        LPP_FS_local_port, LPP_FS_other_port, LPP_FS_local_bytes, LPP_FS_other_bytes,
        LPP_FS_total_local_bytes, LPP_FS_total_other_bytes, LPP_FS_local_packets,
        LPP_FS_other_packets, LPP_FS_total_local_packets, LPP_FS_total_other_packets,
        LPP_FS_local_network, LPP_FS_other_network, LPP_FS_local_rate, LPP_FS_other_rate,
        LPP_FS_local_teid, LPP_FS_other_teid};
}

lppFlowString OtherTypeName(std::uint8_t code)
{
    switch (code) {
    case 1: return LPP_FS_text_unsupported;
    case 2: return LPP_FS_text_local;
    case 3: return LPP_FS_text_multicast;
    case 4: return LPP_FS_text_broadcast;
    case 5: return LPP_FS_text_remote;
    case 6: return LPP_FS_text_error;
    default: return LPP_FS_text_unknown;
    }
}

// GTP knows fewer kinds of other side: whatever is not local, remote or an
// error reads "unsupported".
lppFlowString GtpOtherTypeName(std::uint8_t code)
{
    switch (code) {
    case 2: return LPP_FS_text_local;
    case 5: return LPP_FS_text_remote;
    case 6: return LPP_FS_text_error;
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
    RenderMac(texts.lower_mac, flow.lower_mac, mask & PRIVACY_LOWER_MAC, LPP_FS_text_mac_masked_lower);
    RenderMac(texts.upper_mac, flow.upper_mac, mask & PRIVACY_UPPER_MAC, LPP_FS_text_mac_masked_upper);
    RenderIp(texts.lower_ip, flow.lower_addr, mask & PRIVACY_LOWER_IP,
        ipv4 ? LPP_FS_text_ip4_masked_lower : LPP_FS_text_ip6_masked_lower);
    RenderIp(texts.upper_ip, flow.upper_addr, mask & PRIVACY_UPPER_IP,
        ipv4 ? LPP_FS_text_ip4_masked_upper : LPP_FS_text_ip6_masked_upper);
}

void FormatCode(char (&buffer)[8], std::uint16_t value)
{
    std::snprintf(buffer, sizeof(buffer), "0x%04hx", static_cast<unsigned short>(value));
}

// Texts of the detection half; the caller holds the flow's lock.
void RenderDetectionTexts(vdFlow &flow, FlowTexts &texts)
{
    if (flow.tunnel_type == TUNNEL_GTP) {
        texts.gtp_lower_addr = flow.gtp.lower_addr.GetString(vdAddr::MAKE_DEFAULT);
        texts.gtp_upper_addr = flow.gtp.upper_addr.GetString(vdAddr::MAKE_DEFAULT);
    }
    FormatCode(texts.tls_version, flow.tls.version);
    FormatCode(texts.tls_cipher_suite, flow.tls.cipher_suite);
    FormatCode(texts.tls_encrypted_ch_version, flow.tls.encrypted_ch_version);
    if (!flow.tls.fingerprint.empty()) vd_sha1_to_string(flow.tls.fingerprint, texts.tls_fingerprint);
    if (flow.HasBTInfoHash()) vd_sha1_to_string(flow.bt_info_hash, texts.bt_info_hash);
    vdAddr *stun[5] = {&flow.stun.mapped, &flow.stun.peer, &flow.stun.relayed, &flow.stun.response,
        &flow.stun.other};
    for (int i = 0; i < 5; i++)
        if (stun[i]->IsValid()) texts.stun[i] = stun[i]->GetString(vdAddr::MAKE_WITH_PORT);
}

// Table operations of the protected body. Every key is a cached string and
// every store is raw: flow tables have no metatables to consult.
class TableWriter {
public:
    TableWriter(lua_State *L, int strings) : L(L), strings(strings) {}

    void Key(lppFlowString key) { lua_rawgeti(L, strings, key); }

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
    int strings;
};

void BuildStats(TableWriter &w, int flow_table, const lppEvent::Entry &entry, const vdFlow &flow,
    const SideNames &side)
{
    int stats = w.BeginTable(LPP_FS_stats, 0, STATS_KEYS);
    w.Counter(stats, LPP_FS_lower_bytes, entry.lower_bytes);
    w.Counter(stats, LPP_FS_upper_bytes, entry.upper_bytes);
    w.Counter(stats, LPP_FS_total_bytes, entry.total_bytes);
    w.Integer(stats, LPP_FS_lower_packets, entry.lower_packets);
    w.Integer(stats, LPP_FS_upper_packets, entry.upper_packets);
    w.Integer(stats, LPP_FS_total_packets, entry.total_packets);
    w.Integer(stats, LPP_FS_detection_packets, entry.detection_packets);
    w.Counter(stats, side.lower_bytes, entry.lower_bytes);
    w.Counter(stats, side.upper_bytes, entry.upper_bytes);
    w.Counter(stats, side.lower_total_bytes, entry.lower_total_bytes);
    w.Counter(stats, side.upper_total_bytes, entry.upper_total_bytes);
    w.Integer(stats, side.lower_packets, entry.lower_packets);
    w.Integer(stats, side.upper_packets, entry.upper_packets);
    w.Integer(stats, side.lower_total_packets, entry.lower_total_packets);
    w.Integer(stats, side.upper_total_packets, entry.upper_total_packets);
    w.Number(stats, LPP_FS_lower_rate, entry.lower_rate);
    w.Number(stats, LPP_FS_upper_rate, entry.upper_rate);
    w.Integer(stats, LPP_FS_tcp_seq_errors, entry.tcp_seq_errors);
    w.Integer(stats, LPP_FS_tcp_resets, entry.tcp_resets);
    w.Integer(stats, LPP_FS_tcp_retrans, entry.tcp_retrans);
    w.Number(stats, side.lower_rate, entry.lower_rate);
    w.Number(stats, side.upper_rate, entry.upper_rate);
    if (flow.ip_protocol == IPPROTO_TCP_CODE) {
        int tcp = w.BeginTable(LPP_FS_tcp, 0, 3);
        w.Integer(tcp, LPP_FS_seq_errors, entry.tcp_seq_errors);
        w.Integer(tcp, LPP_FS_resets, entry.tcp_resets);
        w.Integer(tcp, LPP_FS_retrans, entry.tcp_retrans);
        w.EndTable(stats);
    }
    w.EndTable(flow_table);
}

// JSON members, interface, digests and counters: the counters-only form.
void BuildCounters(TableWriter &w, int t, const lppEvent::Entry &entry, const vdFlow &flow,
    const SideNames &side, const FlowTexts &texts)
{
    int iface = w.BeginTable(LPP_FS_iface, 0, 2);
    if (flow.iface) {
        w.String(iface, LPP_FS_name, flow.iface->ifname);
        w.Integer(iface, LPP_FS_role, flow.iface->role);
    }
    w.EndTable(t);

    // Without metadata digests, the lower digest stands in for all of them.
    std::size_t count = texts.digest_mdata_count;
    const std::string &last = count ? texts.digest_mdata[count - 1] : texts.digest_lower;
    w.String(t, LPP_FS_digest_lower, texts.digest_lower);
    w.String(t, LPP_FS_digest_mdata, last);
    w.String(t, LPP_FS_digest, last);
    lua_State *L = w.State();
    int prev = w.BeginTable(LPP_FS_digest_prev, count ? static_cast<int>(count) : 1, 0);
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
void BuildIdentity(TableWriter &w, int t, vdFlow &flow, const SideNames &side, const FlowTexts &texts)
{
    w.Integer(t, LPP_FS_ip_version, flow.ip_version);
    w.Integer(t, LPP_FS_ip_dscp, flow.ip_dscp);
    w.Integer(t, LPP_FS_ip_protocol, flow.ip_protocol);
    w.Integer(t, LPP_FS_vlan_id, flow.vlan_id);
    w.Counter(t, LPP_FS_first_seen_at, flow.first_seen_at);
    w.Counter(t, LPP_FS_last_seen_at, flow.last_seen_at);
    w.Integer(t, LPP_FS_lower_map, flow.lower_map);
    w.Integer(t, LPP_FS_other_type, flow.other_type);
    w.Fixed(t, LPP_FS_other_type_name, OtherTypeName(flow.other_type));
    w.Fixed(t, LPP_FS_other_type_str, OtherTypeName(flow.other_type));
    w.Integer(t, LPP_FS_tunnel_type, flow.tunnel_type);
    w.Integer(t, LPP_FS_origin, flow.origin);
    w.Integer(t, LPP_FS_privacy_mask, flow.privacy_mask);

    bool lower_is_local = side.lower_ip == LPP_FS_local_ip;
    w.Boolean(t, LPP_FS_local_origin, flow.origin == ORIGIN_UPPER ? !lower_is_local : lower_is_local);

    w.Text(t, LPP_FS_lower_mac, texts.lower_mac);
    w.Text(t, LPP_FS_upper_mac, texts.upper_mac);
    w.Text(t, side.lower_mac, texts.lower_mac);
    w.Text(t, side.upper_mac, texts.upper_mac);
    w.Text(t, LPP_FS_lower_addr, texts.lower_ip);
    w.Text(t, LPP_FS_upper_addr, texts.upper_ip);
    w.Text(t, side.lower_ip, texts.lower_ip);
    w.Text(t, side.upper_ip, texts.upper_ip);

    std::uint16_t lower_port = flow.lower_addr.GetPort(true);
    std::uint16_t upper_port = flow.upper_addr.GetPort(true);
    w.Integer(t, LPP_FS_lower_port, lower_port);
    w.Integer(t, LPP_FS_upper_port, upper_port);
    w.Integer(t, side.lower_port, lower_port);
    w.Integer(t, side.upper_port, upper_port);

    int flags = w.BeginTable(LPP_FS_flags, 0, FLAGS_KEYS);
    w.Boolean(flags, LPP_FS_detection_complete, flow.flags.detection_complete);
    w.Boolean(flags, LPP_FS_detection_guessed, flow.flags.detection_guessed);
    w.Boolean(flags, LPP_FS_detection_init, flow.flags.detection_init);
    w.Boolean(flags, LPP_FS_detection_updated, flow.flags.detection_updated);
    w.Boolean(flags, LPP_FS_dhc_hit, flow.flags.dhc_hit);
    w.Boolean(flags, LPP_FS_fhc_hit, flow.flags.fhc_hit);
    w.Boolean(flags, LPP_FS_expiring, flow.flags.expiring);
    w.Boolean(flags, LPP_FS_expired, flow.flags.expired);
    w.Boolean(flags, LPP_FS_soft_dissector, flow.flags.soft_dissector);
    w.EndTable(t);

    if (flow.ip_protocol == IPPROTO_TCP_CODE) {
        int tcp = w.BeginTable(LPP_FS_tcp, 0, 2);
        w.Integer(tcp, LPP_FS_fin_acks, flow.tcp.fin_acks);
        w.Integer(tcp, LPP_FS_last_seq, flow.tcp.last_seq);
        w.EndTable(t);
    }
}

void BuildGtp(TableWriter &w, int t, vdFlow &flow, const FlowTexts &texts)
{
    const vdFlow::Gtp &gtp = flow.gtp;
    SideNames side = ChooseSideNames(gtp.lower_map);
    std::uint16_t lower_port = gtp.lower_addr.GetPort(true);
    std::uint16_t upper_port = gtp.upper_addr.GetPort(true);

    int g = w.BeginTable(LPP_FS_gtp, 0, GTP_KEYS);
    w.Integer(g, LPP_FS_version, gtp.version);
    w.Integer(g, LPP_FS_ip_version, gtp.ip_version);
    w.Integer(g, LPP_FS_ip_dscp, gtp.ip_dscp);
    w.String(g, side.lower_ip, texts.gtp_lower_addr);
    w.String(g, side.upper_ip, texts.gtp_upper_addr);
    w.Integer(g, side.lower_port, lower_port);
    w.Integer(g, side.upper_port, upper_port);
    w.Integer(g, side.lower_teid, ntohl(gtp.lower_teid));
    w.Integer(g, side.upper_teid, ntohl(gtp.upper_teid));
    w.Fixed(g, LPP_FS_other_type, GtpOtherTypeName(gtp.other_type));
    w.Integer(g, LPP_FS_lower_teid, gtp.lower_teid);
    w.Integer(g, LPP_FS_upper_teid, gtp.upper_teid);
    w.Integer(g, LPP_FS_lower_type, gtp.lower_type);
    w.Integer(g, LPP_FS_upper_type, gtp.upper_type);
    w.String(g, LPP_FS_lower_addr, texts.gtp_lower_addr);
    w.String(g, LPP_FS_upper_addr, texts.gtp_upper_addr);
    w.Integer(g, LPP_FS_lower_port, lower_port);
    w.Integer(g, LPP_FS_upper_port, upper_port);
    w.Integer(g, LPP_FS_lower_map, gtp.lower_map);
    w.Integer(g, LPP_FS_other_type_id, gtp.other_type);
    w.EndTable(t);
}

void BuildTls(TableWriter &w, int t, vdFlow &flow, const FlowTexts &texts)
{
    const vdFlow::Tls &tls = flow.tls;
    bool sni = flow.HasTLSClientSNI();
    bool ech = flow.HasTLSEncryptedCH();

    // The same connection twice: codes as text in ssl, as numbers in tls.
    for (int numeric = 0; numeric < 2; numeric++) {
        int s = w.BeginTable(numeric ? LPP_FS_tls : LPP_FS_ssl, 0, TLS_KEYS);
        if (numeric) {
            w.Integer(s, LPP_FS_version, tls.version);
            w.Integer(s, LPP_FS_cipher_suite, tls.cipher_suite);
        } else {
            w.String(s, LPP_FS_version, texts.tls_version);
            w.String(s, LPP_FS_cipher_suite, texts.tls_cipher_suite);
        }
        if (sni) w.String(s, LPP_FS_client_sni, flow.host_server_name);
        if (ech) {
            if (numeric) {
                int e = w.BeginTable(LPP_FS_encrypted_ch, 0, 1);
                w.Integer(e, LPP_FS_version, tls.encrypted_ch_version);
                w.EndTable(s);
            } else {
                w.String(s, LPP_FS_encrypted_ch_version, texts.tls_encrypted_ch_version);
            }
        }
        if (flow.HasTLSServerCN()) w.String(s, LPP_FS_server_cn, tls.server_cn);
        if (flow.HasTLSIssuerDN()) w.String(s, LPP_FS_issuer_dn, tls.issuer_dn);
        if (flow.HasTLSSubjectDN()) w.String(s, LPP_FS_subject_dn, tls.subject_dn);
        if (flow.HasTLSClientJA4()) w.String(s, LPP_FS_client_ja4, tls.client_ja4);
        if (!tls.fingerprint.empty()) w.String(s, LPP_FS_fingerprint, texts.tls_fingerprint);
        if (!tls.alpn.empty()) w.StringArray(s, numeric ? LPP_FS_alpn_client : LPP_FS_alpn, tls.alpn);
        if (!tls.alpn_server.empty()) w.StringArray(s, LPP_FS_alpn_server, tls.alpn_server);
        w.EndTable(t);
    }
}

// The detection half; the caller holds the flow's lock.
void BuildDetection(TableWriter &w, int t, vdFlow &flow, const SideNames &side, const FlowTexts &texts)
{
    lua_State *L = w.State();
    if (flow.tunnel_type == TUNNEL_GTP) BuildGtp(w, t, flow, texts);

    w.String(t, LPP_FS_dns_host_name, flow.dns_host_name);
    w.String(t, LPP_FS_host_server_name, flow.host_server_name);
    w.Integer(t, LPP_FS_detected_protocol, flow.detected_protocol);
    w.Integer(t, LPP_FS_detected_application, flow.detected_application);
    w.Name(t, LPP_FS_detected_protocol_name, flow.detected_protocol_name);
    w.Name(t, LPP_FS_detected_application_name, flow.detected_application_name);

    int c = w.BeginTable(LPP_FS_category, 0, CATEGORY_KEYS);
    w.Integer(c, LPP_FS_application, flow.category.application);
    w.Integer(c, LPP_FS_protocol, flow.category.protocol);
    w.Integer(c, LPP_FS_domain, flow.category.domain);
    w.Integer(c, LPP_FS_lower_net, flow.category.lower_net);
    w.Integer(c, LPP_FS_upper_net, flow.category.upper_net);
    w.Integer(c, side.lower_network, flow.category.lower_net);
    w.Integer(c, side.upper_network, flow.category.upper_net);
    w.Integer(c, LPP_FS_overlay, flow.category.overlay);
    w.EndTable(t);

    if (flow.HasHttpUserAgent() || flow.HasHttpURL()) {
        int h = w.BeginTable(LPP_FS_http, 0, 2);
        if (flow.HasHttpUserAgent()) w.String(h, LPP_FS_user_agent, flow.http.user_agent);
        if (flow.HasHttpURL()) w.String(h, LPP_FS_url, flow.http.url);
        w.EndTable(t);
    }
    if (flow.HasDhcpFingerprint() || flow.HasDhcpClassIdent()) {
        int d = w.BeginTable(LPP_FS_dhcp, 0, 2);
        if (flow.HasDhcpFingerprint()) w.String(d, LPP_FS_fingerprint, flow.dhcp.fingerprint);
        if (flow.HasDhcpClassIdent()) w.String(d, LPP_FS_class_ident, flow.dhcp.class_ident);
        w.EndTable(t);
    }
    if (flow.HasSSHClientAgent() || flow.HasSSHServerAgent()) {
        int s = w.BeginTable(LPP_FS_ssh, 0, 4);
        if (flow.HasSSHClientAgent()) {
            w.String(s, LPP_FS_client, flow.ssh.client_agent);
            w.String(s, LPP_FS_client_agent, flow.ssh.client_agent);
        }
        if (flow.HasSSHServerAgent()) {
            w.String(s, LPP_FS_server, flow.ssh.server_agent);
            w.String(s, LPP_FS_server_agent, flow.ssh.server_agent);
        }
        w.EndTable(t);
    }

    if (flow.GetMasterProtocol() == VD_PROTO_TLS || flow.detected_protocol == VD_PROTO_QUIC)
        BuildTls(w, t, flow, texts);
    if (flow.GetMasterProtocol() == VD_PROTO_SMTP) {
        int s = w.BeginTable(LPP_FS_smtp, 0, 1);
        w.Boolean(s, LPP_FS_tls, flow.smtp_tls);
        w.EndTable(t);
    }
    if (flow.HasBTInfoHash()) {
        int b = w.BeginTable(LPP_FS_bt, 0, 1);
        w.String(b, LPP_FS_info_hash, texts.bt_info_hash);
        w.EndTable(t);
    }
    if (flow.HasSSDPUserAgent()) {
        int s = w.BeginTable(LPP_FS_ssdp, 0, 1);
        w.String(s, LPP_FS_user_agent, flow.ssdp_user_agent);
        w.EndTable(t);
    }
    if (flow.HasMDNSDomainName()) {
        int m = w.BeginTable(LPP_FS_mdns, 0, 2);
        w.String(m, LPP_FS_domain_name, flow.mdns_domain_name);
        w.String(m, LPP_FS_answer, flow.mdns_domain_name);
        w.EndTable(t);
    }
    if (flow.HasSTUNAddress()) {
        const vdAddr *stun[5] = {&flow.stun.mapped, &flow.stun.peer, &flow.stun.relayed,
            &flow.stun.response, &flow.stun.other};
        const lppFlowString keys[5] = {LPP_FS_mapped, LPP_FS_peer, LPP_FS_relayed, LPP_FS_response,
            LPP_FS_other};
        int s = w.BeginTable(LPP_FS_stun, 0, 5);
        for (int i = 0; i < 5; i++)
            if (stun[i]->IsValid()) w.String(s, keys[i], texts.stun[i]);
        w.EndTable(t);
    }

    if (!flow.risk.risks.empty()) {
        int r = w.BeginTable(LPP_FS_risk, 0, RISK_KEYS);
        w.Integer(r, LPP_FS_ndpi_score, flow.risk.score);
        w.Integer(r, LPP_FS_ndpi_score_client, flow.risk.score_client);
        w.Integer(r, LPP_FS_ndpi_score_server, flow.risk.score_server);
        w.Integer(r, LPP_FS_ndpi_risk_score, flow.risk.score);
        w.Integer(r, LPP_FS_ndpi_risk_score_client, flow.risk.score_client);
        w.Integer(r, LPP_FS_ndpi_risk_score_server, flow.risk.score_server);
        int codes = w.BeginTable(LPP_FS_risks, static_cast<int>(flow.risk.risks.size()), 0);
        lua_Integer index = 1;
        for (std::uint32_t code : flow.risk.risks) {
            lua_pushinteger(L, code);
            lua_rawseti(L, codes, index++);
        }
        w.EndTable(r);
        // One table under two keys: a change through either is seen through
        // both. (Stored under "risks" first only because "risk" is still
        // pending on the stack; no one can tell the order.)
        w.Key(LPP_FS_risks);
        lua_pushvalue(L, r);
        lua_rawset(L, t);
        w.EndTable(t);
    }

    if (!flow.tags.empty()) {
        int a = w.BeginTable(LPP_FS_tags, static_cast<int>(flow.tags.size()), 0);
        lua_Integer index = 1;
        for (const std::string &tag : flow.tags) {
            lua_pushlstring(L, tag.data(), tag.size());
            lua_rawseti(L, a, index++);
        }
        w.EndTable(t);
    }
}

// Restarts the collector on every path out of the detection half, which
// stops it (see CreateFlowTable).
class CollectorRestart {
public:
    explicit CollectorRestart(lua_State *L) : L(L) {}
    ~CollectorRestart()
    {
        if (stopped) lua_gc(L, LUA_GCRESTART);
    }
    CollectorRestart(const CollectorRestart &) = delete;
    CollectorRestart &operator=(const CollectorRestart &) = delete;

    void Stop()
    {
        if (lua_gc(L, LUA_GCISRUNNING)) {
            lua_gc(L, LUA_GCSTOP);
            stopped = true;
        }
    }
    void Restart()
    {
        if (stopped) lua_gc(L, LUA_GCRESTART);
        stopped = false;
    }

private:
    lua_State *L;
    bool stopped = false;
};

}  // namespace

void lppPushFlowStrings(lua_State *L)
{
    static const char tag = 0;
    if (lua_rawgetp(L, LUA_REGISTRYINDEX, &tag) == LUA_TTABLE) return;
    lua_pop(L, 1);

    static const char *const texts[] = {
#define LPP_FS_TEXT(id, text) text,
        LPP_FLOWTABLE_STRINGS(LPP_FS_TEXT)
#undef LPP_FS_TEXT
    };
    lua_createtable(L, LPP_FS_COUNT - 1, 0);
    for (int i = 1; i < LPP_FS_COUNT; i++) {
        lua_pushstring(L, texts[i - 1]);
        lua_rawseti(L, -2, i);
    }
    lua_pushvalue(L, -1);
    lua_rawsetp(L, LUA_REGISTRYINDEX, &tag);
}

lppLuaRef lppPlugin::CreateFlowTable(const lppEvent::Entry &entry, bool counters_only)
{
    lua_State *L = lua.Get();
    vdFlow &flow = *entry.flow;
    FlowTexts &texts = Scratch();
    RenderFlowTexts(flow, counters_only, texts);
    SideNames side = ChooseSideNames(flow.lower_map);

    // The detection half is read under the flow's lock, taken inside the
    // protected body once the first half is built and released on every
    // path out of this frame. While it is held the collector is stopped, so
    // that no script finaliser runs under the daemon's lock.
    std::unique_lock<std::recursive_mutex> flow_lock(flow.lock, std::defer_lock);
    CollectorRestart collector(L);
    lppJsonFrames frames;
    int ref = LUA_NOREF;

    lppStackGuard guard(L);
    lppProtectedCall(L, 0, 0, [&](lua_State *S) -> int {
        lppPushFlowStrings(S);
        TableWriter w(S, lua_gettop(S));

        int members = entry.doc.is_object() ? static_cast<int>(std::min<std::size_t>(entry.doc.size(), 0xffff)) : 0;
        int t = w.NewTable(0, (counters_only ? FLOW_KEYS_COUNTERS : FLOW_KEYS_FULL) + members);
        lppStoreJsonMembers(S, entry.doc, frames);
        BuildCounters(w, t, entry, flow, side, texts);
        if (!counters_only) {
            BuildIdentity(w, t, flow, side, texts);

            collector.Stop();
            flow_lock.lock();
            RenderDetectionTexts(flow, texts);
            BuildDetection(w, t, flow, side, texts);
            flow_lock.unlock();
            collector.Restart();
        }
        lua_settop(S, t);
        ref = luaL_ref(S, LUA_REGISTRYINDEX);
        return 0;
    });
    return lppLuaRef(L, ref);
}
