// Building blocks of flow tables that run inside a protected call: the JSON
// converter that fills Lua tables without recursing on the C stack, and the
// per-state build thread that holds the key strings and the tables under
// construction.
#pragma once

#include <cstddef>
#include <vector>

#include <lua.hpp>

#include <vessixd.hpp>

// One container being converted: the JSON node and how far it has been walked.
struct lppJsonFrame {
    const json *node;
    std::size_t index;                          // arrays: elements stored so far
    json::object_t::const_iterator member;      // objects: next member
};

// Scratch of the converter, owned outside the protected call so that nothing
// with a destructor lives in the protected body.
using lppJsonFrames = std::vector<lppJsonFrame>;

// Pushes value converted to Lua. Protected body only; frames is scratch (its
// growth may throw std::bad_alloc, which the protected call carries out).
void lppPushJsonValue(lua_State *L, const json &value, lppJsonFrames &frames);

// Stores each member of the JSON object doc in the table on top of the stack,
// converted as lppPushJsonValue does; a document that is not an object adds
// nothing. The table stays on top. Protected body only.
void lppStoreJsonMembers(lua_State *L, const json &doc, lppJsonFrames &frames);

// Every string a flow table uses as a key or a fixed value, made once per Lua
// state.
#define LPP_FLOWTABLE_STRINGS(X) \
    X(iface, "iface") X(name, "name") X(role, "role") \
    X(digest_lower, "digest_lower") X(digest_mdata, "digest_mdata") X(digest, "digest") \
    X(digest_prev, "digest_prev") \
    X(stats, "stats") X(lower_bytes, "lower_bytes") X(upper_bytes, "upper_bytes") \
    X(total_bytes, "total_bytes") X(lower_packets, "lower_packets") \
    X(upper_packets, "upper_packets") X(total_packets, "total_packets") \
    X(detection_packets, "detection_packets") X(local_bytes, "local_bytes") \
    X(other_bytes, "other_bytes") X(total_local_bytes, "total_local_bytes") \
    X(total_other_bytes, "total_other_bytes") X(local_packets, "local_packets") \
    X(other_packets, "other_packets") X(total_local_packets, "total_local_packets") \
    X(total_other_packets, "total_other_packets") X(lower_rate, "lower_rate") \
    X(upper_rate, "upper_rate") X(tcp_seq_errors, "tcp_seq_errors") \
    X(tcp_resets, "tcp_resets") X(tcp_retrans, "tcp_retrans") X(local_rate, "local_rate") \
    X(other_rate, "other_rate") X(tcp, "tcp") X(seq_errors, "seq_errors") \
    X(resets, "resets") X(retrans, "retrans") \
    X(ip_version, "ip_version") X(ip_dscp, "ip_dscp") X(ip_protocol, "ip_protocol") \
    X(vlan_id, "vlan_id") X(first_seen_at, "first_seen_at") X(last_seen_at, "last_seen_at") \
    X(lower_map, "lower_map") X(other_type, "other_type") X(other_type_name, "other_type_name") \
    X(other_type_str, "other_type_str") X(tunnel_type, "tunnel_type") X(origin, "origin") \
    X(privacy_mask, "privacy_mask") X(local_origin, "local_origin") \
    X(lower_mac, "lower_mac") X(upper_mac, "upper_mac") X(local_mac, "local_mac") \
    X(other_mac, "other_mac") X(lower_addr, "lower_addr") X(upper_addr, "upper_addr") \
    X(local_ip, "local_ip") X(other_ip, "other_ip") X(lower_port, "lower_port") \
    X(upper_port, "upper_port") X(local_port, "local_port") X(other_port, "other_port") \
    X(flags, "flags") X(detection_complete, "detection_complete") \
    X(detection_guessed, "detection_guessed") X(detection_init, "detection_init") \
    X(detection_updated, "detection_updated") X(dhc_hit, "dhc_hit") X(fhc_hit, "fhc_hit") \
    X(expiring, "expiring") X(expired, "expired") X(soft_dissector, "soft_dissector") \
    X(fin_acks, "fin_acks") X(last_seq, "last_seq") \
    X(gtp, "gtp") X(version, "version") X(local_teid, "local_teid") X(other_teid, "other_teid") \
    X(lower_teid, "lower_teid") X(upper_teid, "upper_teid") X(lower_type, "lower_type") \
    X(upper_type, "upper_type") X(other_type_id, "other_type_id") \
    X(dns_host_name, "dns_host_name") X(host_server_name, "host_server_name") \
    X(detected_protocol, "detected_protocol") X(detected_application, "detected_application") \
    X(detected_protocol_name, "detected_protocol_name") \
    X(detected_application_name, "detected_application_name") \
    X(category, "category") X(application, "application") X(protocol, "protocol") \
    X(domain, "domain") X(lower_net, "lower_net") X(upper_net, "upper_net") \
    X(local_network, "local_network") X(other_network, "other_network") X(overlay, "overlay") \
    X(http, "http") X(user_agent, "user_agent") X(url, "url") \
    X(dhcp, "dhcp") X(fingerprint, "fingerprint") X(class_ident, "class_ident") \
    X(ssh, "ssh") X(client, "client") X(client_agent, "client_agent") X(server, "server") \
    X(server_agent, "server_agent") \
    X(ssl, "ssl") X(tls, "tls") X(cipher_suite, "cipher_suite") X(client_sni, "client_sni") \
    X(encrypted_ch_version, "encrypted_ch_version") X(encrypted_ch, "encrypted_ch") \
    X(server_cn, "server_cn") X(issuer_dn, "issuer_dn") X(subject_dn, "subject_dn") \
    X(client_ja4, "client_ja4") X(alpn, "alpn") X(alpn_client, "alpn_client") \
    X(alpn_server, "alpn_server") \
    X(smtp, "smtp") X(bt, "bt") X(info_hash, "info_hash") X(ssdp, "ssdp") X(mdns, "mdns") \
    X(domain_name, "domain_name") X(answer, "answer") \
    X(stun, "stun") X(mapped, "mapped") X(peer, "peer") X(relayed, "relayed") \
    X(response, "response") X(other, "other") \
    X(risk, "risk") X(ndpi_score, "ndpi_score") X(ndpi_score_client, "ndpi_score_client") \
    X(ndpi_score_server, "ndpi_score_server") X(ndpi_risk_score, "ndpi_risk_score") \
    X(ndpi_risk_score_client, "ndpi_risk_score_client") \
    X(ndpi_risk_score_server, "ndpi_risk_score_server") X(risks, "risks") X(tags, "tags") \
    X(text_unknown, "unknown") X(text_unsupported, "unsupported") X(text_local, "local") \
    X(text_multicast, "multicast") X(text_broadcast, "broadcast") X(text_remote, "remote") \
    X(text_error, "error") X(text_detected_unknown, "Unknown") \
    X(text_mac_none, "00:00:00:00:00:00") X(text_mac_masked_lower, "00:52:14:00:00:00") \
    X(text_mac_masked_upper, "00:52:ff:00:00:00") \
    X(text_ip4_masked_lower, "127.255.0.253") X(text_ip4_masked_upper, "127.255.0.254") \
    X(text_ip6_masked_lower, "fe:80::ffff:7fff:fd") X(text_ip6_masked_upper, "fe:80::ffff:7fff:fe")

// Stack index of each string on the build thread.
enum lppFlowString : int {
    LPP_FS_NONE = 0,
#define LPP_FS_ENUM(id, text) LPP_FS_##id,
    LPP_FLOWTABLE_STRINGS(LPP_FS_ENUM)
#undef LPP_FS_ENUM
    LPP_FS_COUNT
};

// Pushes onto L, outside any Lua call, L's build thread and returns it: a
// private thread (lppPushPrivateThread) whose stack holds the string of
// lppFlowString i at index i. Flow tables and JSON values are built on its
// stack above them, where neither they nor the strings can be reached by a
// script's finaliser that the building runs; the finished value is moved off
// before anything else allocates. A memory error throws lppLuaError.
lua_State *lppPushBuildThread(lua_State *L);
