// Flow fields of a recording line onto a vdFlow. Every member is type- and
// range-checked; the checker runs this on scratch flows, so a recording that
// passed the check applies without errors.
#include <arpa/inet.h>

#include <cfloat>
#include <cmath>
#include <functional>
#include <limits>
#include <utility>
#include <vector>

#include "vx-flow-fields.hpp"

namespace {

using Setter = std::function<void(const json &value, const std::string &member)>;
using Members = std::vector<std::pair<const char *, Setter>>;

std::string Names(const Members &members)
{
    std::string names;
    for (const auto &member : members) {
        if (!names.empty()) names += ", ";
        names += member.first;
    }
    return names;
}

// Applies each member of object through its setter; an unknown member is an
// error, never ignored.
void ApplyObject(const json &object, const std::string &path, const Members &members,
    const char *what)
{
    if (!object.is_object()) throw vxFieldError(path, std::string("an object (") + what + ")");
    for (const auto &[name, value] : object.items()) {
        const std::string member = path + "." + name;
        bool known = false;
        for (const auto &candidate : members) {
            if (name == candidate.first) {
                candidate.second(value, member);
                known = true;
                break;
            }
        }
        if (!known) throw vxFieldError(member, std::string("a member of ") + what + ": " + Names(members));
    }
}

std::uint64_t Unsigned(const json &value, const std::string &member, std::uint64_t max)
{
    const std::string expected = "an integer from 0 to " + std::to_string(max);
    if (value.is_number_unsigned()) {
        std::uint64_t n = value.get<std::uint64_t>();
        if (n > max) throw vxFieldError(member, expected);
        return n;
    }
    if (value.is_number_integer()) {
        std::int64_t n = value.get<std::int64_t>();
        if (n < 0 || static_cast<std::uint64_t>(n) > max) throw vxFieldError(member, expected);
        return static_cast<std::uint64_t>(n);
    }
    if (value.is_number_float()) {
        // 5.0 is an integer written as a float; 5.5 is not. Only values a
        // double holds exactly are taken.
        double d = value.get<double>();
        if (std::isfinite(d) && d >= 0 && std::floor(d) == d && d <= 9007199254740992.0 &&
            static_cast<std::uint64_t>(d) <= max)
            return static_cast<std::uint64_t>(d);
    }
    throw vxFieldError(member, expected);
}

template <typename T>
void SetUnsigned(T &field, const json &value, const std::string &member)
{
    field = static_cast<T>(Unsigned(value, member, std::numeric_limits<T>::max()));
}

template <typename T>
Setter UnsignedField(T &field)
{
    return [&field](const json &value, const std::string &member) { SetUnsigned(field, value, member); };
}

std::uint64_t Digest(const json &value, const std::string &member)
{
    const char *expected = "a 64-bit digest: an integer from 0 to 18446744073709551615 "
        "or a string of 1 to 16 hex digits";
    if (value.is_string()) {
        const std::string &text = value.get_ref<const std::string &>();
        if (text.empty() || text.size() > 16 ||
            text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            throw vxFieldError(member, expected);
        return std::stoull(text, nullptr, 16);
    }
    if (!value.is_number()) throw vxFieldError(member, expected);
    try {
        return Unsigned(value, member, std::numeric_limits<std::uint64_t>::max());
    } catch (const vxFieldError &) {
        throw vxFieldError(member, expected);
    }
}

Setter StringField(std::string &field)
{
    return [&field](const json &value, const std::string &member) {
        if (!value.is_string()) throw vxFieldError(member, "a string");
        field = value.get<std::string>();
    };
}

Setter BoolField(bool &field)
{
    return [&field](const json &value, const std::string &member) {
        if (!value.is_boolean()) throw vxFieldError(member, "true or false");
        field = value.get<bool>();
    };
}

Setter FloatField(float &field)
{
    return [&field](const json &value, const std::string &member) {
        const char *expected = "a number within the range of a 32-bit float";
        if (!value.is_number()) throw vxFieldError(member, expected);
        double d = value.get<double>();
        if (!std::isfinite(d) || std::fabs(d) > FLT_MAX) throw vxFieldError(member, expected);
        field = static_cast<float>(d);
    };
}

std::vector<std::string> StringArray(const json &value, const std::string &member)
{
    if (!value.is_array()) throw vxFieldError(member, "an array of strings");
    std::vector<std::string> strings;
    for (std::size_t i = 0; i < value.size(); i++) {
        if (!value[i].is_string())
            throw vxFieldError(member + "[" + std::to_string(i) + "]", "a string");
        strings.push_back(value[i].get<std::string>());
    }
    return strings;
}

std::vector<std::uint8_t> HexBytes(const json &value, const std::string &member)
{
    const char *expected = "a string of hex digits, two per byte";
    if (!value.is_string()) throw vxFieldError(member, expected);
    const std::string &text = value.get_ref<const std::string &>();
    if (text.size() % 2 != 0 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        throw vxFieldError(member, expected);
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

bool IsIpText(const std::string &text)
{
    in_addr v4;
    in6_addr v6;
    return inet_pton(AF_INET, text.c_str(), &v4) == 1 || inet_pton(AF_INET6, text.c_str(), &v6) == 1;
}

// An IP address: IPv4 or IPv6 text, or null for none. The port an address
// already carries is kept.
Setter IpAddressField(vdAddr &addr)
{
    return [&addr](const json &value, const std::string &member) {
        const char *expected = "an IPv4 or IPv6 address as text, or null";
        if (value.is_null()) {
            addr.Clear();
            return;
        }
        if (!value.is_string() || !IsIpText(value.get_ref<const std::string &>()))
            throw vxFieldError(member, expected);
        addr.SetFromString(value.get<std::string>());
    };
}

Setter MacAddressField(vdAddr &addr)
{
    return [&addr](const json &value, const std::string &member) {
        const char *expected = "a MAC address \"aa:bb:cc:dd:ee:ff\", or null";
        if (value.is_null()) {
            addr.Clear();
            return;
        }
        if (!value.is_string()) throw vxFieldError(member, expected);
        const std::string &text = value.get_ref<const std::string &>();
        bool valid = text.size() == 17;
        for (std::size_t i = 0; valid && i < text.size(); i++) {
            valid = (i % 3 == 2) ? text[i] == ':' : std::isxdigit(static_cast<unsigned char>(text[i])) != 0;
        }
        if (!valid) throw vxFieldError(member, expected);
        addr.SetFromString(text);
    };
}

// A port belongs to an IP address: the stand-in's address keeps no port
// without one, so a port given to an address-less side would be lost
// silently. That is reported instead.
Setter PortField(vdAddr &addr, const char *address_member)
{
    return [&addr, address_member](const json &value, const std::string &member) {
        std::uint16_t port = 0;
        SetUnsigned(port, value, member);
        int family = addr.GetFamily();
        if (family != AF_INET && family != AF_INET6)
            throw vxFieldError(member, std::string("a flow that has an IP address in \"") +
                address_member + "\" (give the address first, or in the same line)");
        addr.SetPort(port);
    };
}

// "1.2.3.4:3478" or "[2001:db8::1]:3478", or null for none.
Setter StunAddressField(vdAddr &addr)
{
    return [&addr](const json &value, const std::string &member) {
        const char *expected = "an address with its port: \"1.2.3.4:3478\" or \"[2001:db8::1]:3478\", or null";
        if (value.is_null()) {
            addr.Clear();
            return;
        }
        if (!value.is_string()) throw vxFieldError(member, expected);
        const std::string &text = value.get_ref<const std::string &>();
        std::string host, port;
        if (!text.empty() && text[0] == '[') {
            std::size_t close = text.find("]:");
            if (close == std::string::npos) throw vxFieldError(member, expected);
            host = text.substr(1, close - 1);
            port = text.substr(close + 2);
            in6_addr v6;
            if (inet_pton(AF_INET6, host.c_str(), &v6) != 1) throw vxFieldError(member, expected);
        } else {
            std::size_t colon = text.rfind(':');
            if (colon == std::string::npos) throw vxFieldError(member, expected);
            host = text.substr(0, colon);
            port = text.substr(colon + 1);
            in_addr v4;
            if (inet_pton(AF_INET, host.c_str(), &v4) != 1) throw vxFieldError(member, expected);
        }
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(port) > 65535)
            throw vxFieldError(member, expected);
        addr.SetFromString(host);
        addr.SetPort(static_cast<std::uint16_t>(std::stoul(port)));
    };
}

// A TEID n is stored as the tunnel header carries it: the 4 bytes of n in
// network order.
Setter TeidField(std::uint32_t &field)
{
    return [&field](const json &value, const std::string &member) {
        std::uint32_t n = 0;
        SetUnsigned(n, value, member);
        field = htonl(n);
    };
}

void ApplyIface(vdFlow &flow, const json &value, const std::string &member)
{
    // A copy, so that a record holding the old interface object (the
    // previous state of the flow) never sees it change.
    std::string name = flow.iface ? flow.iface->ifname : "eth0";
    std::uint8_t role = flow.iface ? flow.iface->role : 0;
    ApplyObject(value, member,
        {{"name", StringField(name)}, {"role", UnsignedField(role)}}, "iface");
    flow.iface = std::make_shared<vdInterface>(name, role);
}

}  // namespace

void vxInitFlow(vdFlow &flow) { flow.iface = std::make_shared<vdInterface>("eth0", 0); }

void vxApplyFlowFields(vdFlow &flow, const json &set, const std::string &path)
{
    // Addresses go before their ports, whatever the order of the members.
    if (set.is_object()) {
        for (const char *name : {"lower_addr", "upper_addr"}) {
            auto it = set.find(name);
            if (it != set.end())
                IpAddressField(name[0] == 'l' ? flow.lower_addr : flow.upper_addr)(*it, path + "." + name);
        }
        auto gtp = set.find("gtp");
        if (gtp != set.end() && gtp->is_object()) {
            for (const char *name : {"lower_addr", "upper_addr"}) {
                auto it = gtp->find(name);
                if (it != gtp->end())
                    IpAddressField(name[0] == 'l' ? flow.gtp.lower_addr : flow.gtp.upper_addr)(
                        *it, path + ".gtp." + name);
            }
        }
    }

    auto skip = [](const json &, const std::string &) {};
    auto &s = flow.stats;
    auto &g = flow.gtp;
    auto &c = flow.category;
    auto &t = flow.tls;
    auto &r = flow.risk;

    const Members members = {
        {"iface", [&](const json &v, const std::string &m) { ApplyIface(flow, v, m); }},
        {"digest_lower", [&](const json &v, const std::string &m) { flow.digest_lower = Digest(v, m); }},
        {"digest_mdata", [&](const json &v, const std::string &m) {
             if (!v.is_array()) throw vxFieldError(m, "an array of 64-bit digests");
             std::vector<std::uint64_t> digests;
             for (std::size_t i = 0; i < v.size(); i++)
                 digests.push_back(Digest(v[i], m + "[" + std::to_string(i) + "]"));
             flow.digest_mdata = std::move(digests);
         }},
        {"ip_version", UnsignedField(flow.ip_version)},
        {"ip_dscp", UnsignedField(flow.ip_dscp)},
        {"ip_protocol", UnsignedField(flow.ip_protocol)},
        {"vlan_id", UnsignedField(flow.vlan_id)},
        {"first_seen_at", UnsignedField(flow.first_seen_at)},
        {"last_seen_at", UnsignedField(flow.last_seen_at)},
        {"lower_map", UnsignedField(flow.lower_map)},
        {"other_type", UnsignedField(flow.other_type)},
        {"tunnel_type", UnsignedField(flow.tunnel_type)},
        {"origin", UnsignedField(flow.origin)},
        {"privacy_mask", UnsignedField(flow.privacy_mask)},
        {"lower_mac", MacAddressField(flow.lower_mac)},
        {"upper_mac", MacAddressField(flow.upper_mac)},
        {"lower_addr", skip},
        {"upper_addr", skip},
        {"lower_port", PortField(flow.lower_addr, "lower_addr")},
        {"upper_port", PortField(flow.upper_addr, "upper_addr")},
        {"flags", [&](const json &v, const std::string &m) {
             auto &f = flow.flags;
             ApplyObject(v, m, {
                 {"detection_complete", BoolField(f.detection_complete)},
                 {"detection_guessed", BoolField(f.detection_guessed)},
                 {"detection_init", BoolField(f.detection_init)},
                 {"detection_updated", BoolField(f.detection_updated)},
                 {"dhc_hit", BoolField(f.dhc_hit)},
                 {"fhc_hit", BoolField(f.fhc_hit)},
                 {"expiring", BoolField(f.expiring)},
                 {"expired", BoolField(f.expired)},
                 {"soft_dissector", BoolField(f.soft_dissector)},
             }, "flags");
         }},
        {"tcp", [&](const json &v, const std::string &m) {
             ApplyObject(v, m, {{"fin_acks", UnsignedField(flow.tcp.fin_acks)},
                                   {"last_seq", UnsignedField(flow.tcp.last_seq)}}, "tcp");
         }},
        {"stats", [&](const json &v, const std::string &m) {
             ApplyObject(v, m, {
                 {"lower_bytes", UnsignedField(s.lower_bytes)},
                 {"upper_bytes", UnsignedField(s.upper_bytes)},
                 {"total_bytes", UnsignedField(s.total_bytes)},
                 {"lower_total_bytes", UnsignedField(s.lower_total_bytes)},
                 {"upper_total_bytes", UnsignedField(s.upper_total_bytes)},
                 {"lower_packets", UnsignedField(s.lower_packets)},
                 {"upper_packets", UnsignedField(s.upper_packets)},
                 {"total_packets", UnsignedField(s.total_packets)},
                 {"lower_total_packets", UnsignedField(s.lower_total_packets)},
                 {"upper_total_packets", UnsignedField(s.upper_total_packets)},
                 {"detection_packets", UnsignedField(s.detection_packets)},
                 {"lower_rate", FloatField(s.lower_rate)},
                 {"upper_rate", FloatField(s.upper_rate)},
                 {"tcp_seq_errors", UnsignedField(s.tcp_seq_errors)},
                 {"tcp_resets", UnsignedField(s.tcp_resets)},
                 {"tcp_retrans", UnsignedField(s.tcp_retrans)},
             }, "stats");
         }},
        {"gtp", [&](const json &v, const std::string &m) {
             ApplyObject(v, m, {
                 {"version", UnsignedField(g.version)},
                 {"ip_version", UnsignedField(g.ip_version)},
                 {"ip_dscp", UnsignedField(g.ip_dscp)},
                 {"lower_addr", skip},
                 {"upper_addr", skip},
                 {"lower_port", PortField(g.lower_addr, "gtp.lower_addr")},
                 {"upper_port", PortField(g.upper_addr, "gtp.upper_addr")},
                 {"lower_teid", TeidField(g.lower_teid)},
                 {"upper_teid", TeidField(g.upper_teid)},
                 {"lower_type", UnsignedField(g.lower_type)},
                 {"upper_type", UnsignedField(g.upper_type)},
                 {"lower_map", UnsignedField(g.lower_map)},
                 {"other_type", UnsignedField(g.other_type)},
             }, "gtp");
         }},
        {"dns_host_name", StringField(flow.dns_host_name)},
        {"host_server_name", StringField(flow.host_server_name)},
        {"detected_protocol", UnsignedField(flow.detected_protocol)},
        {"detected_application", UnsignedField(flow.detected_application)},
        {"master_protocol", UnsignedField(flow.master_protocol)},
        {"detected_protocol_name", StringField(flow.detected_protocol_name)},
        {"detected_application_name", StringField(flow.detected_application_name)},
        {"category", [&](const json &v, const std::string &m) {
             ApplyObject(v, m, {
                 {"application", UnsignedField(c.application)},
                 {"protocol", UnsignedField(c.protocol)},
                 {"domain", UnsignedField(c.domain)},
                 {"lower_net", UnsignedField(c.lower_net)},
                 {"upper_net", UnsignedField(c.upper_net)},
                 {"overlay", UnsignedField(c.overlay)},
             }, "category");
         }},
        {"http", [&](const json &v, const std::string &m) {
             ApplyObject(v, m, {{"user_agent", StringField(flow.http.user_agent)},
                                   {"url", StringField(flow.http.url)}}, "http");
         }},
        {"dhcp", [&](const json &v, const std::string &m) {
             ApplyObject(v, m, {{"fingerprint", StringField(flow.dhcp.fingerprint)},
                                   {"class_ident", StringField(flow.dhcp.class_ident)}}, "dhcp");
         }},
        {"ssh", [&](const json &v, const std::string &m) {
             ApplyObject(v, m, {{"client_agent", StringField(flow.ssh.client_agent)},
                                   {"server_agent", StringField(flow.ssh.server_agent)}}, "ssh");
         }},
        {"tls", [&](const json &v, const std::string &m) {
             ApplyObject(v, m, {
                 {"version", UnsignedField(t.version)},
                 {"cipher_suite", UnsignedField(t.cipher_suite)},
                 {"encrypted_ch_version", UnsignedField(t.encrypted_ch_version)},
                 {"server_cn", StringField(t.server_cn)},
                 {"issuer_dn", StringField(t.issuer_dn)},
                 {"subject_dn", StringField(t.subject_dn)},
                 {"client_ja4", StringField(t.client_ja4)},
                 {"fingerprint", [&](const json &fv, const std::string &fm) { t.fingerprint = HexBytes(fv, fm); }},
                 {"alpn", [&](const json &av, const std::string &am) { t.alpn = StringArray(av, am); }},
                 {"alpn_server", [&](const json &av, const std::string &am) { t.alpn_server = StringArray(av, am); }},
             }, "tls");
         }},
        {"smtp_tls", BoolField(flow.smtp_tls)},
        {"bt_info_hash", [&](const json &v, const std::string &m) { flow.bt_info_hash = HexBytes(v, m); }},
        {"ssdp_user_agent", StringField(flow.ssdp_user_agent)},
        {"mdns_domain_name", StringField(flow.mdns_domain_name)},
        {"stun", [&](const json &v, const std::string &m) {
             auto &st = flow.stun;
             ApplyObject(v, m, {
                 {"mapped", StunAddressField(st.mapped)},
                 {"peer", StunAddressField(st.peer)},
                 {"relayed", StunAddressField(st.relayed)},
                 {"response", StunAddressField(st.response)},
                 {"other", StunAddressField(st.other)},
             }, "stun");
         }},
        {"risk", [&](const json &v, const std::string &m) {
             ApplyObject(v, m, {
                 {"score", UnsignedField(r.score)},
                 {"score_client", UnsignedField(r.score_client)},
                 {"score_server", UnsignedField(r.score_server)},
                 {"risks", [&](const json &rv, const std::string &rm) {
                      if (!rv.is_array()) throw vxFieldError(rm, "an array of risk codes (integers)");
                      std::set<std::uint32_t> risks;
                      for (std::size_t i = 0; i < rv.size(); i++) {
                          std::uint32_t code = 0;
                          SetUnsigned(code, rv[i], rm + "[" + std::to_string(i) + "]");
                          risks.insert(code);
                      }
                      r.risks = std::move(risks);
                  }},
             }, "risk");
         }},
        {"tags", [&](const json &v, const std::string &m) {
             auto strings = StringArray(v, m);
             flow.tags = std::set<std::string>(strings.begin(), strings.end());
         }},
    };
    ApplyObject(set, path, members, "the flow fields");
}
