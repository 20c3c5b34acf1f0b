// The flow table's schema: every key of a flow table and of each of its
// sub-tables, table by table, in the order the builder stores them. From this
// one list come the key strings on the build thread, the index of each there
// (lppFlowString) and each table's size hint (lppFlowKeys): adding a key is
// one row here plus the line of the builder that fills it.
#pragma once

#include <iterator>
#include <string_view>

// Rows, per table:
//   K(table, key)          the key "key".
//   S(table, prefix, key)  a pair "<prefix>local_<key>", "<prefix>other_<key>"
//                          (two keys): a value of the flow's local side is
//                          stored under the first, one of its other side under
//                          the second.
//   T(ssl_key, tls_key)    a key of ssl and its twin in tls, which hold the
//                          same connection (codes as text in ssl, numbers in
//                          tls).
// "flow" holds the keys of every flow table, "full" those of the full form
// only; a sub-table is named by its key, "tcp_stats" being stats.tcp.
#define LPP_FLOW_SCHEMA(K, S, T) \
    K(flow, iface) K(flow, digest_lower) K(flow, digest_mdata) K(flow, digest) K(flow, digest_prev) \
    K(flow, stats) \
    K(iface, name) K(iface, role) \
    K(stats, lower_bytes) K(stats, upper_bytes) K(stats, total_bytes) K(stats, lower_packets) \
    K(stats, upper_packets) K(stats, total_packets) K(stats, detection_packets) S(stats, , bytes) \
    S(stats, total_, bytes) S(stats, , packets) S(stats, total_, packets) K(stats, lower_rate) \
    K(stats, upper_rate) K(stats, tcp_seq_errors) K(stats, tcp_resets) K(stats, tcp_retrans) \
    S(stats, , rate) K(stats, tcp) \
    K(tcp_stats, seq_errors) K(tcp_stats, resets) K(tcp_stats, retrans) \
    K(full, ip_version) K(full, ip_dscp) K(full, ip_protocol) K(full, vlan_id) K(full, first_seen_at) \
    K(full, last_seen_at) K(full, lower_map) K(full, other_type) K(full, other_type_name) \
    K(full, other_type_str) K(full, tunnel_type) K(full, origin) K(full, privacy_mask) \
    K(full, local_origin) K(full, lower_mac) K(full, upper_mac) S(full, , mac) K(full, lower_addr) \
    K(full, upper_addr) S(full, , ip) K(full, lower_port) K(full, upper_port) S(full, , port) \
    K(full, flags) K(full, tcp) K(full, gtp) K(full, dns_host_name) K(full, host_server_name) \
    K(full, detected_protocol) K(full, detected_application) K(full, detected_protocol_name) \
    K(full, detected_application_name) K(full, category) K(full, http) K(full, dhcp) K(full, ssh) \
    K(full, ssl) K(full, tls) K(full, smtp) K(full, bt) K(full, ssdp) K(full, mdns) K(full, stun) \
    K(full, risks) K(full, risk) K(full, tags) \
    K(flags, detection_complete) K(flags, detection_guessed) K(flags, detection_init) \
    K(flags, detection_updated) K(flags, dhc_hit) K(flags, fhc_hit) K(flags, expiring) \
    K(flags, expired) K(flags, soft_dissector) \
    K(tcp, fin_acks) K(tcp, last_seq) \
    K(gtp, version) K(gtp, ip_version) K(gtp, ip_dscp) S(gtp, , ip) S(gtp, , port) S(gtp, , teid) \
    K(gtp, other_type) K(gtp, lower_teid) K(gtp, upper_teid) K(gtp, lower_type) K(gtp, upper_type) \
    K(gtp, lower_addr) K(gtp, upper_addr) K(gtp, lower_port) K(gtp, upper_port) K(gtp, lower_map) \
    K(gtp, other_type_id) \
    K(category, application) K(category, protocol) K(category, domain) K(category, lower_net) \
    K(category, upper_net) S(category, , network) K(category, overlay) \
    K(http, user_agent) K(http, url) \
    K(dhcp, fingerprint) K(dhcp, class_ident) \
    K(ssh, client) K(ssh, client_agent) K(ssh, server) K(ssh, server_agent) \
    T(version, version) T(cipher_suite, cipher_suite) T(client_sni, client_sni) \
    T(encrypted_ch_version, encrypted_ch) T(server_cn, server_cn) T(issuer_dn, issuer_dn) \
    T(subject_dn, subject_dn) T(client_ja4, client_ja4) T(fingerprint, fingerprint) \
    T(alpn, alpn_client) T(alpn_server, alpn_server) \
    K(encrypted_ch, version) \
    K(smtp, tls) \
    K(bt, info_hash) \
    K(ssdp, user_agent) \
    K(mdns, domain_name) K(mdns, answer) \
    K(stun, mapped) K(stun, peer) K(stun, relayed) K(stun, response) K(stun, other) \
    K(risk, ndpi_score) K(risk, ndpi_score_client) K(risk, ndpi_score_server) K(risk, ndpi_risk_score) \
    K(risk, ndpi_risk_score_client) K(risk, ndpi_risk_score_server) K(risk, risks)

// The fixed texts a flow table holds as values.
#define LPP_FLOW_TEXTS(X) \
    X(text_unknown, "unknown") X(text_unsupported, "unsupported") X(text_local, "local") \
    X(text_multicast, "multicast") X(text_broadcast, "broadcast") X(text_remote, "remote") \
    X(text_error, "error") X(text_detected_unknown, "Unknown") \
    X(text_mac_none, "00:00:00:00:00:00") X(text_mac_masked_lower, "00:52:14:00:00:00") \
    X(text_mac_masked_upper, "00:52:ff:00:00:00") \
    X(text_ip4_masked_lower, "127.255.0.253") X(text_ip4_masked_upper, "127.255.0.254") \
    X(text_ip6_masked_lower, "fe:80::ffff:7fff:fd") X(text_ip6_masked_upper, "fe:80::ffff:7fff:fe")

// Index of each string on the build thread: LPP_FS_<table>_<key> for the
// keys, then LPP_FS_<id> for the fixed texts. A pair's two keys and a twin's
// two keys are adjacent, the first one first (see lppFlowPick).
enum lppFlowString : int {
    LPP_FS_NONE = 0,
#define LPP_FS_KEY(table, key) LPP_FS_##table##_##key,
#define LPP_FS_PAIR(table, prefix, key) LPP_FS_##table##_##prefix##local_##key, LPP_FS_##table##_##prefix##other_##key,
#define LPP_FS_TWIN(ssl_key, tls_key) LPP_FS_ssl_##ssl_key, LPP_FS_tls_##tls_key,
#define LPP_FS_TEXT(id, text) LPP_FS_##id,
    LPP_FLOW_SCHEMA(LPP_FS_KEY, LPP_FS_PAIR, LPP_FS_TWIN) LPP_FLOW_TEXTS(LPP_FS_TEXT)
#undef LPP_FS_KEY
#undef LPP_FS_PAIR
#undef LPP_FS_TWIN
#undef LPP_FS_TEXT
    LPP_FS_COUNT
};

// The string of each lppFlowString from 1 on.
inline constexpr const char *lppFlowTexts[] = {
#define LPP_FS_KEY(table, key) #key,
#define LPP_FS_PAIR(table, prefix, key) #prefix "local_" #key, #prefix "other_" #key,
#define LPP_FS_TWIN(ssl_key, tls_key) #ssl_key, #tls_key,
#define LPP_FS_TEXT(id, text) text,
    LPP_FLOW_SCHEMA(LPP_FS_KEY, LPP_FS_PAIR, LPP_FS_TWIN) LPP_FLOW_TEXTS(LPP_FS_TEXT)
#undef LPP_FS_KEY
#undef LPP_FS_PAIR
#undef LPP_FS_TWIN
#undef LPP_FS_TEXT
};
static_assert(std::size(lppFlowTexts) == LPP_FS_COUNT - 1);

// The second of a pair or twin when second is true, else first.
constexpr lppFlowString lppFlowPick(lppFlowString first, bool second)
{
    return static_cast<lppFlowString>(first + (second ? 1 : 0));
}

struct lppFlowRow {
    std::string_view table;
    int keys;
};

inline constexpr lppFlowRow lppFlowRows[] = {
#define LPP_FS_KEY(table, key) {#table, 1},
#define LPP_FS_PAIR(table, prefix, key) {#table, 2},
#define LPP_FS_TWIN(ssl_key, tls_key) {"ssl", 1}, {"tls", 1},
    LPP_FLOW_SCHEMA(LPP_FS_KEY, LPP_FS_PAIR, LPP_FS_TWIN)
#undef LPP_FS_KEY
#undef LPP_FS_PAIR
#undef LPP_FS_TWIN
};

// The number of keys of table, its size hint for lua_createtable; of every
// table together when table is empty. A name the schema lacks does not
// compile.
consteval int lppFlowKeys(std::string_view table = {})
{
    int keys = 0;
    for (const lppFlowRow &row : lppFlowRows)
        if (table.empty() || row.table == table) keys += row.keys;
    if (keys == 0) throw "not a table of the flow-table schema";
    return keys;
}
