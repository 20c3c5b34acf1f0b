// The floor builder. It reads the flow exactly as the plugin must (counters
// from the entry's snapshot, the detection half under the flow's lock, texts
// through vdAddr::GetString, vd_xxh64_to_string and vd_sha1_to_string) and
// skips everything the plugin adds for safety: the protected call, the
// registry reference of the result, and the collector pause.
#include "bench-floor.hpp"

#include <cstdio>

#include <arpa/inet.h>

#include "lpp-flowtable-schema.hpp"

namespace lppbench {

namespace {

int OtherTypeName(std::uint8_t code)
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

int GtpOtherTypeName(std::uint8_t code)
{
    switch (code) {
    case vdFlow::OTHER_LOCAL: return LPP_FS_text_local;
    case vdFlow::OTHER_REMOTE: return LPP_FS_text_remote;
    case vdFlow::OTHER_ERROR: return LPP_FS_text_error;
    default: return LPP_FS_text_unsupported;
    }
}

}  // namespace

void FloorBuilder::Open(lua_State *state)
{
    L = state;
    lua_checkstack(L, LPP_FS_COUNT + 16);
    base = lua_gettop(L);
    for (int i = 1; i < LPP_FS_COUNT; i++) lua_pushstring(L, lppFlowTexts[i - 1]);
}

void FloorBuilder::Close() { lua_settop(L, base); }

void FloorBuilder::Integer(int table, int key, lua_Integer value)
{
    Key(key);
    lua_pushinteger(L, value);
    lua_rawset(L, table);
}

void FloorBuilder::Counter(int table, int key, std::uint64_t value)
{
    Key(key);
    if (value < (std::uint64_t{1} << 63))
        lua_pushinteger(L, static_cast<lua_Integer>(value));
    else
        lua_pushnumber(L, static_cast<lua_Number>(value));
    lua_rawset(L, table);
}

void FloorBuilder::Number(int table, int key, lua_Number value)
{
    Key(key);
    lua_pushnumber(L, value);
    lua_rawset(L, table);
}

void FloorBuilder::Boolean(int table, int key, bool value)
{
    Key(key);
    lua_pushboolean(L, value);
    lua_rawset(L, table);
}

void FloorBuilder::String(int table, int key, const std::string &value)
{
    Key(key);
    lua_pushlstring(L, value.data(), value.size());
    lua_rawset(L, table);
}

void FloorBuilder::Fixed(int table, int key, int value)
{
    Key(key);
    Key(value);
    lua_rawset(L, table);
}

void FloorBuilder::Strings(int table, int key, const std::vector<std::string> &values)
{
    Key(key);
    lua_createtable(L, static_cast<int>(values.size()), 0);
    lua_Integer index = 1;
    for (const std::string &value : values) {
        lua_pushlstring(L, value.data(), value.size());
        lua_rawseti(L, -2, index++);
    }
    lua_rawset(L, table);
}

void FloorBuilder::Build(const lppEvent::Entry &entry, bool counters_only)
{
    vdFlow &flow = *entry.flow;
    const bool lower_other = flow.lower_map == vdFlow::LOWER_OTHER;
    lua_checkstack(L, 16);
    lua_createtable(L, 0, counters_only ? 6 : 55);
    const int t = lua_gettop(L);
    Counters(t, entry, flow, lower_other);
    if (counters_only) return;
    Identity(t, flow, lower_other);
    flow.lock.lock();
    Detection(t, flow, lower_other);
    flow.lock.unlock();
}

void FloorBuilder::Counters(int t, const lppEvent::Entry &e, vdFlow &flow, bool lower_other)
{
    Key(LPP_FS_flow_iface);
    lua_createtable(L, 0, 2);
    String(t + 2, LPP_FS_iface_name, flow.iface->ifname);
    Integer(t + 2, LPP_FS_iface_role, flow.iface->role);
    lua_rawset(L, t);

    vd_xxh64_to_string(flow.digest_lower, text);
    String(t, LPP_FS_flow_digest_lower, text);
    const std::size_t count = flow.digest_mdata.size();
    if (digests.size() < count) digests.resize(count);
    for (std::size_t i = 0; i < count; i++) vd_xxh64_to_string(flow.digest_mdata[i], digests[i]);
    const std::string &last = count ? digests[count - 1] : text;
    String(t, LPP_FS_flow_digest_mdata, last);
    String(t, LPP_FS_flow_digest, last);
    Key(LPP_FS_flow_digest_prev);
    lua_createtable(L, count ? static_cast<int>(count) : 1, 0);
    if (count == 0) {
        lua_pushlstring(L, last.data(), last.size());
        lua_rawseti(L, -2, 1);
    }
    for (std::size_t i = 0; i < count; i++) {
        lua_pushlstring(L, digests[i].data(), digests[i].size());
        lua_rawseti(L, -2, static_cast<lua_Integer>(i + 1));
    }
    lua_rawset(L, t);

    const int s = t + 2;
    Key(LPP_FS_flow_stats);
    lua_createtable(L, 0, 23);
    Counter(s, LPP_FS_stats_lower_bytes, e.stats.lower_bytes);
    Counter(s, LPP_FS_stats_upper_bytes, e.stats.upper_bytes);
    Counter(s, LPP_FS_stats_total_bytes, e.stats.total_bytes);
    Integer(s, LPP_FS_stats_lower_packets, e.stats.lower_packets);
    Integer(s, LPP_FS_stats_upper_packets, e.stats.upper_packets);
    Integer(s, LPP_FS_stats_total_packets, e.stats.total_packets);
    Integer(s, LPP_FS_stats_detection_packets, e.stats.detection_packets);
    Counter(s, lower_other ? LPP_FS_stats_other_bytes : LPP_FS_stats_local_bytes, e.stats.lower_bytes);
    Counter(s, lower_other ? LPP_FS_stats_local_bytes : LPP_FS_stats_other_bytes, e.stats.upper_bytes);
    Counter(s, lower_other ? LPP_FS_stats_total_other_bytes : LPP_FS_stats_total_local_bytes, e.stats.lower_total_bytes);
    Counter(s, lower_other ? LPP_FS_stats_total_local_bytes : LPP_FS_stats_total_other_bytes, e.stats.upper_total_bytes);
    Integer(s, lower_other ? LPP_FS_stats_other_packets : LPP_FS_stats_local_packets, e.stats.lower_packets);
    Integer(s, lower_other ? LPP_FS_stats_local_packets : LPP_FS_stats_other_packets, e.stats.upper_packets);
    Integer(s, lower_other ? LPP_FS_stats_total_other_packets : LPP_FS_stats_total_local_packets, e.stats.lower_total_packets);
    Integer(s, lower_other ? LPP_FS_stats_total_local_packets : LPP_FS_stats_total_other_packets, e.stats.upper_total_packets);
    Number(s, LPP_FS_stats_lower_rate, e.stats.lower_rate);
    Number(s, LPP_FS_stats_upper_rate, e.stats.upper_rate);
    Integer(s, LPP_FS_stats_tcp_seq_errors, e.stats.tcp_seq_errors);
    Integer(s, LPP_FS_stats_tcp_resets, e.stats.tcp_resets);
    Integer(s, LPP_FS_stats_tcp_retrans, e.stats.tcp_retrans);
    Number(s, lower_other ? LPP_FS_stats_other_rate : LPP_FS_stats_local_rate, e.stats.lower_rate);
    Number(s, lower_other ? LPP_FS_stats_local_rate : LPP_FS_stats_other_rate, e.stats.upper_rate);
    if (flow.ip_protocol == IPPROTO_TCP) {
        Key(LPP_FS_stats_tcp);
        lua_createtable(L, 0, 3);
        Integer(s + 2, LPP_FS_tcp_stats_seq_errors, e.stats.tcp_seq_errors);
        Integer(s + 2, LPP_FS_tcp_stats_resets, e.stats.tcp_resets);
        Integer(s + 2, LPP_FS_tcp_stats_retrans, e.stats.tcp_retrans);
        lua_rawset(L, s);
    }
    lua_rawset(L, t);
}

void FloorBuilder::Identity(int t, vdFlow &flow, bool lower_other)
{
    Integer(t, LPP_FS_full_ip_version, flow.ip_version);
    Integer(t, LPP_FS_full_ip_dscp, flow.ip_dscp);
    Integer(t, LPP_FS_full_ip_protocol, flow.ip_protocol);
    Integer(t, LPP_FS_full_vlan_id, flow.vlan_id);
    Counter(t, LPP_FS_full_first_seen_at, flow.first_seen_at);
    Counter(t, LPP_FS_full_last_seen_at, flow.last_seen_at);
    Integer(t, LPP_FS_full_lower_map, flow.lower_map);
    Integer(t, LPP_FS_full_other_type, flow.other_type);
    Fixed(t, LPP_FS_full_other_type_name, OtherTypeName(flow.other_type));
    Fixed(t, LPP_FS_full_other_type_str, OtherTypeName(flow.other_type));
    Integer(t, LPP_FS_full_tunnel_type, flow.tunnel_type);
    Integer(t, LPP_FS_full_origin, flow.origin);
    Integer(t, LPP_FS_full_privacy_mask, flow.privacy_mask);
    Boolean(t, LPP_FS_full_local_origin, (flow.origin == vdFlow::ORIGIN_UPPER) == lower_other);

    // Each address text goes on the stack once and is stored under both of
    // its keys from there.
    const std::uint8_t mask = flow.privacy_mask;
    const bool ipv4 = flow.ip_version == 4;
    auto push_mac = [&](vdAddr &addr, bool masked, int masked_text) {
        if (masked) {
            Key(masked_text);
        } else if (addr.IsValid()) {
            text = addr.GetString(vdAddr::MAKE_DEFAULT);
            lua_pushlstring(L, text.data(), text.size());
        } else {
            Key(LPP_FS_text_mac_none);
        }
    };
    auto push_ip = [&](vdAddr &addr, bool masked, int masked_text) {
        if (masked) {
            Key(masked_text);
        } else {
            text = addr.GetString(vdAddr::MAKE_DEFAULT);
            lua_pushlstring(L, text.data(), text.size());
        }
    };
    auto store_twice = [&](int key, int side_key) {
        Key(key);
        lua_pushvalue(L, -2);
        lua_rawset(L, t);
        Key(side_key);
        lua_insert(L, -2);
        lua_rawset(L, t);
    };
    push_mac(flow.lower_mac, mask & vdFlow::PRIVACY_LOWER_MAC, LPP_FS_text_mac_masked_lower);
    store_twice(LPP_FS_full_lower_mac, lower_other ? LPP_FS_full_other_mac : LPP_FS_full_local_mac);
    push_mac(flow.upper_mac, mask & vdFlow::PRIVACY_UPPER_MAC, LPP_FS_text_mac_masked_upper);
    store_twice(LPP_FS_full_upper_mac, lower_other ? LPP_FS_full_local_mac : LPP_FS_full_other_mac);
    push_ip(flow.lower_addr, mask & vdFlow::PRIVACY_LOWER_IP,
        ipv4 ? LPP_FS_text_ip4_masked_lower : LPP_FS_text_ip6_masked_lower);
    store_twice(LPP_FS_full_lower_addr, lower_other ? LPP_FS_full_other_ip : LPP_FS_full_local_ip);
    push_ip(flow.upper_addr, mask & vdFlow::PRIVACY_UPPER_IP,
        ipv4 ? LPP_FS_text_ip4_masked_upper : LPP_FS_text_ip6_masked_upper);
    store_twice(LPP_FS_full_upper_addr, lower_other ? LPP_FS_full_local_ip : LPP_FS_full_other_ip);

    const std::uint16_t lower_port = flow.lower_addr.GetPort(true);
    const std::uint16_t upper_port = flow.upper_addr.GetPort(true);
    Integer(t, LPP_FS_full_lower_port, lower_port);
    Integer(t, LPP_FS_full_upper_port, upper_port);
    Integer(t, lower_other ? LPP_FS_full_other_port : LPP_FS_full_local_port, lower_port);
    Integer(t, lower_other ? LPP_FS_full_local_port : LPP_FS_full_other_port, upper_port);

    const int f = t + 2;
    Key(LPP_FS_full_flags);
    lua_createtable(L, 0, 9);
    Boolean(f, LPP_FS_flags_detection_complete, flow.flags.detection_complete);
    Boolean(f, LPP_FS_flags_detection_guessed, flow.flags.detection_guessed);
    Boolean(f, LPP_FS_flags_detection_init, flow.flags.detection_init);
    Boolean(f, LPP_FS_flags_detection_updated, flow.flags.detection_updated);
    Boolean(f, LPP_FS_flags_dhc_hit, flow.flags.dhc_hit);
    Boolean(f, LPP_FS_flags_fhc_hit, flow.flags.fhc_hit);
    Boolean(f, LPP_FS_flags_expiring, flow.flags.expiring);
    Boolean(f, LPP_FS_flags_expired, flow.flags.expired);
    Boolean(f, LPP_FS_flags_soft_dissector, flow.flags.soft_dissector);
    lua_rawset(L, t);

    if (flow.ip_protocol == IPPROTO_TCP) {
        Key(LPP_FS_full_tcp);
        lua_createtable(L, 0, 2);
        Integer(t + 2, LPP_FS_tcp_fin_acks, flow.tcp.fin_acks);
        Integer(t + 2, LPP_FS_tcp_last_seq, flow.tcp.last_seq);
        lua_rawset(L, t);
    }
}

void FloorBuilder::Gtp(int t, vdFlow &flow)
{
    const vdFlow::Gtp &gtp = flow.gtp;
    const bool lower_other = gtp.lower_map == vdFlow::LOWER_OTHER;
    const std::uint16_t lower_port = gtp.lower_addr.GetPort(true);
    const std::uint16_t upper_port = gtp.upper_addr.GetPort(true);
    const int g = t + 2;
    Key(LPP_FS_full_gtp);
    lua_createtable(L, 0, 20);
    Integer(g, LPP_FS_gtp_version, gtp.version);
    Integer(g, LPP_FS_gtp_ip_version, gtp.ip_version);
    Integer(g, LPP_FS_gtp_ip_dscp, gtp.ip_dscp);
    lower = flow.gtp.lower_addr.GetString(vdAddr::MAKE_DEFAULT);
    upper = flow.gtp.upper_addr.GetString(vdAddr::MAKE_DEFAULT);
    String(g, lower_other ? LPP_FS_gtp_other_ip : LPP_FS_gtp_local_ip, lower);
    String(g, lower_other ? LPP_FS_gtp_local_ip : LPP_FS_gtp_other_ip, upper);
    Integer(g, lower_other ? LPP_FS_gtp_other_port : LPP_FS_gtp_local_port, lower_port);
    Integer(g, lower_other ? LPP_FS_gtp_local_port : LPP_FS_gtp_other_port, upper_port);
    Integer(g, lower_other ? LPP_FS_gtp_other_teid : LPP_FS_gtp_local_teid, ntohl(gtp.lower_teid));
    Integer(g, lower_other ? LPP_FS_gtp_local_teid : LPP_FS_gtp_other_teid, ntohl(gtp.upper_teid));
    Fixed(g, LPP_FS_gtp_other_type, GtpOtherTypeName(gtp.other_type));
    Integer(g, LPP_FS_gtp_lower_teid, gtp.lower_teid);
    Integer(g, LPP_FS_gtp_upper_teid, gtp.upper_teid);
    Integer(g, LPP_FS_gtp_lower_type, gtp.lower_type);
    Integer(g, LPP_FS_gtp_upper_type, gtp.upper_type);
    String(g, LPP_FS_gtp_lower_addr, lower);
    String(g, LPP_FS_gtp_upper_addr, upper);
    Integer(g, LPP_FS_gtp_lower_port, lower_port);
    Integer(g, LPP_FS_gtp_upper_port, upper_port);
    Integer(g, LPP_FS_gtp_lower_map, gtp.lower_map);
    Integer(g, LPP_FS_gtp_other_type_id, gtp.other_type);
    lua_rawset(L, t);
}

void FloorBuilder::Tls(int t, vdFlow &flow)
{
    const vdFlow::Tls &tls = flow.tls;
    const bool sni = flow.HasTLSClientSNI();
    const bool ech = flow.HasTLSEncryptedCH();
    char code[8];
    if (!tls.fingerprint.empty()) vd_sha1_to_string(tls.fingerprint, text);

    for (int numeric = 0; numeric < 2; numeric++) {
        const int s = t + 2;
        Key(numeric ? LPP_FS_full_tls : LPP_FS_full_ssl);
        lua_createtable(L, 0, 11);
        if (numeric) {
            Integer(s, LPP_FS_tls_version, tls.version);
            Integer(s, LPP_FS_tls_cipher_suite, tls.cipher_suite);
        } else {
            Key(LPP_FS_ssl_version);
            std::snprintf(code, sizeof(code), "0x%04hx", static_cast<unsigned short>(tls.version));
            lua_pushlstring(L, code, 6);
            lua_rawset(L, s);
            Key(LPP_FS_ssl_cipher_suite);
            std::snprintf(code, sizeof(code), "0x%04hx", static_cast<unsigned short>(tls.cipher_suite));
            lua_pushlstring(L, code, 6);
            lua_rawset(L, s);
        }
        if (sni) String(s, numeric ? LPP_FS_tls_client_sni : LPP_FS_ssl_client_sni, flow.host_server_name);
        if (ech) {
            if (numeric) {
                Key(LPP_FS_tls_encrypted_ch);
                lua_createtable(L, 0, 1);
                Integer(s + 2, LPP_FS_encrypted_ch_version, tls.encrypted_ch_version);
                lua_rawset(L, s);
            } else {
                Key(LPP_FS_ssl_encrypted_ch_version);
                std::snprintf(code, sizeof(code), "0x%04hx",
                    static_cast<unsigned short>(tls.encrypted_ch_version));
                lua_pushlstring(L, code, 6);
                lua_rawset(L, s);
            }
        }
        if (flow.HasTLSServerCN()) String(s, numeric ? LPP_FS_tls_server_cn : LPP_FS_ssl_server_cn, tls.server_cn);
        if (flow.HasTLSIssuerDN()) String(s, numeric ? LPP_FS_tls_issuer_dn : LPP_FS_ssl_issuer_dn, tls.issuer_dn);
        if (flow.HasTLSSubjectDN()) String(s, numeric ? LPP_FS_tls_subject_dn : LPP_FS_ssl_subject_dn, tls.subject_dn);
        if (flow.HasTLSClientJA4()) String(s, numeric ? LPP_FS_tls_client_ja4 : LPP_FS_ssl_client_ja4, tls.client_ja4);
        if (!tls.fingerprint.empty()) String(s, numeric ? LPP_FS_tls_fingerprint : LPP_FS_ssl_fingerprint, text);
        if (!tls.alpn.empty()) Strings(s, numeric ? LPP_FS_tls_alpn_client : LPP_FS_ssl_alpn, tls.alpn);
        if (!tls.alpn_server.empty()) Strings(s, numeric ? LPP_FS_tls_alpn_server : LPP_FS_ssl_alpn_server, tls.alpn_server);
        lua_rawset(L, t);
    }
}

void FloorBuilder::Detection(int t, vdFlow &flow, bool lower_other)
{
    if (flow.tunnel_type == vdFlow::TUNNEL_GTP) Gtp(t, flow);

    String(t, LPP_FS_full_dns_host_name, flow.dns_host_name);
    String(t, LPP_FS_full_host_server_name, flow.host_server_name);
    Integer(t, LPP_FS_full_detected_protocol, flow.detected_protocol);
    Integer(t, LPP_FS_full_detected_application, flow.detected_application);
    if (flow.detected_protocol_name.empty())
        Fixed(t, LPP_FS_full_detected_protocol_name, LPP_FS_text_detected_unknown);
    else
        String(t, LPP_FS_full_detected_protocol_name, flow.detected_protocol_name);
    if (flow.detected_application_name.empty())
        Fixed(t, LPP_FS_full_detected_application_name, LPP_FS_text_detected_unknown);
    else
        String(t, LPP_FS_full_detected_application_name, flow.detected_application_name);

    const int c = t + 2;
    Key(LPP_FS_full_category);
    lua_createtable(L, 0, 8);
    Integer(c, LPP_FS_category_application, flow.category.application);
    Integer(c, LPP_FS_category_protocol, flow.category.protocol);
    Integer(c, LPP_FS_category_domain, flow.category.domain);
    Integer(c, LPP_FS_category_lower_net, flow.category.lower_net);
    Integer(c, LPP_FS_category_upper_net, flow.category.upper_net);
    Integer(c, lower_other ? LPP_FS_category_other_network : LPP_FS_category_local_network, flow.category.lower_net);
    Integer(c, lower_other ? LPP_FS_category_local_network : LPP_FS_category_other_network, flow.category.upper_net);
    Integer(c, LPP_FS_category_overlay, flow.category.overlay);
    lua_rawset(L, t);

    const int sub = t + 2;
    if (flow.HasHttpUserAgent() || flow.HasHttpURL()) {
        Key(LPP_FS_full_http);
        lua_createtable(L, 0, 2);
        if (flow.HasHttpUserAgent()) String(sub, LPP_FS_http_user_agent, flow.http.user_agent);
        if (flow.HasHttpURL()) String(sub, LPP_FS_http_url, flow.http.url);
        lua_rawset(L, t);
    }
    if (flow.HasDhcpFingerprint() || flow.HasDhcpClassIdent()) {
        Key(LPP_FS_full_dhcp);
        lua_createtable(L, 0, 2);
        if (flow.HasDhcpFingerprint()) String(sub, LPP_FS_dhcp_fingerprint, flow.dhcp.fingerprint);
        if (flow.HasDhcpClassIdent()) String(sub, LPP_FS_dhcp_class_ident, flow.dhcp.class_ident);
        lua_rawset(L, t);
    }
    if (flow.HasSSHClientAgent() || flow.HasSSHServerAgent()) {
        Key(LPP_FS_full_ssh);
        lua_createtable(L, 0, 4);
        if (flow.HasSSHClientAgent()) {
            String(sub, LPP_FS_ssh_client, flow.ssh.client_agent);
            String(sub, LPP_FS_ssh_client_agent, flow.ssh.client_agent);
        }
        if (flow.HasSSHServerAgent()) {
            String(sub, LPP_FS_ssh_server, flow.ssh.server_agent);
            String(sub, LPP_FS_ssh_server_agent, flow.ssh.server_agent);
        }
        lua_rawset(L, t);
    }
    if (flow.GetMasterProtocol() == VD_PROTO_TLS || flow.detected_protocol == VD_PROTO_QUIC) Tls(t, flow);
    if (flow.GetMasterProtocol() == VD_PROTO_SMTP) {
        Key(LPP_FS_full_smtp);
        lua_createtable(L, 0, 1);
        Boolean(sub, LPP_FS_smtp_tls, flow.smtp_tls);
        lua_rawset(L, t);
    }
    if (flow.HasBTInfoHash()) {
        vd_sha1_to_string(flow.bt_info_hash, text);
        Key(LPP_FS_full_bt);
        lua_createtable(L, 0, 1);
        String(sub, LPP_FS_bt_info_hash, text);
        lua_rawset(L, t);
    }
    if (flow.HasSSDPUserAgent()) {
        Key(LPP_FS_full_ssdp);
        lua_createtable(L, 0, 1);
        String(sub, LPP_FS_ssdp_user_agent, flow.ssdp_user_agent);
        lua_rawset(L, t);
    }
    if (flow.HasMDNSDomainName()) {
        Key(LPP_FS_full_mdns);
        lua_createtable(L, 0, 2);
        String(sub, LPP_FS_mdns_domain_name, flow.mdns_domain_name);
        String(sub, LPP_FS_mdns_answer, flow.mdns_domain_name);
        lua_rawset(L, t);
    }
    if (flow.HasSTUNAddress()) {
        vdAddr *stun[5] = {&flow.stun.mapped, &flow.stun.peer, &flow.stun.relayed, &flow.stun.response,
            &flow.stun.other};
        const int keys[5] = {LPP_FS_stun_mapped, LPP_FS_stun_peer, LPP_FS_stun_relayed, LPP_FS_stun_response, LPP_FS_stun_other};
        Key(LPP_FS_full_stun);
        lua_createtable(L, 0, 5);
        for (int i = 0; i < 5; i++) {
            if (!stun[i]->IsValid()) continue;
            text = stun[i]->GetString(vdAddr::MAKE_WITH_PORT);
            String(sub, keys[i], text);
        }
        lua_rawset(L, t);
    }
    if (!flow.risk.risks.empty()) {
        const int r = t + 2;
        Key(LPP_FS_full_risk);
        lua_createtable(L, 0, 7);
        Integer(r, LPP_FS_risk_ndpi_score, flow.risk.score);
        Integer(r, LPP_FS_risk_ndpi_score_client, flow.risk.score_client);
        Integer(r, LPP_FS_risk_ndpi_score_server, flow.risk.score_server);
        Integer(r, LPP_FS_risk_ndpi_risk_score, flow.risk.score);
        Integer(r, LPP_FS_risk_ndpi_risk_score_client, flow.risk.score_client);
        Integer(r, LPP_FS_risk_ndpi_risk_score_server, flow.risk.score_server);
        Key(LPP_FS_risk_risks);
        lua_createtable(L, static_cast<int>(flow.risk.risks.size()), 0);
        lua_Integer index = 1;
        for (std::uint32_t code : flow.risk.risks) {
            lua_pushinteger(L, code);
            lua_rawseti(L, -2, index++);
        }
        lua_rawset(L, r);
        Key(LPP_FS_full_risks);
        lua_pushvalue(L, r);
        lua_rawset(L, t);
        lua_rawset(L, t);
    }
    if (!flow.tags.empty()) {
        Key(LPP_FS_full_tags);
        lua_createtable(L, static_cast<int>(flow.tags.size()), 0);
        lua_Integer index = 1;
        for (const std::string &tag : flow.tags) {
            lua_pushlstring(L, tag.data(), tag.size());
            lua_rawseti(L, -2, index++);
        }
        lua_rawset(L, t);
    }
}

}  // namespace lppbench
