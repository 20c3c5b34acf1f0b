// Flow fields of a recording line onto a vdFlow, and a vdFlow's fields back
// into a recording line, through one table. Every member is type- and
// range-checked; the checker runs this on scratch flows, so a recording that
// passed the check applies without errors.
#include <arpa/inet.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <utility>
#include <vector>

#include "vx-flow-fields.hpp"

namespace {

using Setter = std::function<void(const json &value, const std::string &member)>;
// The member's value as a recording writes it; a discarded value leaves the
// member out (a port without an address).
using Getter = std::function<json()>;
// A field both ways: what reading a member does, and what writing it gives.
struct Field {
    Setter set;
    Getter get;
};
struct Member {
    const char *name;
    Setter set;
    Getter get;
    Member(const char *name, Field field) : name(name), set(std::move(field.set)), get(std::move(field.get)) {}
};
using Members = std::vector<Member>;

json Omitted() { return json(json::value_t::discarded); }

std::string Names(const Members &members)
{
    std::string names;
    for (const auto &member : members) {
        if (!names.empty()) names += ", ";
        names += member.name;
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
            if (name == candidate.name) {
                candidate.set(value, member);
                known = true;
                break;
            }
        }
        if (!known) throw vxFieldError(member, std::string("a member of ") + what + ": " + Names(members));
    }
}

// The members' values, in the table's order; the inverse of ApplyObject.
json WriteObject(const Members &members)
{
    json object = json::object();
    for (const auto &member : members) {
        json value = member.get();
        if (!value.is_discarded()) object[member.name] = std::move(value);
    }
    return object;
}

// A nested object: read member by member, written whole.
template <typename MakeMembers>
Field ObjectField(MakeMembers make_members, const char *what)
{
    return {[make_members, what](const json &v, const std::string &m) { ApplyObject(v, m, make_members(), what); },
        [make_members] { return WriteObject(make_members()); }};
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
Field UnsignedField(T &field)
{
    return {[&field](const json &value, const std::string &member) { SetUnsigned(field, value, member); },
        [&field] { return json(static_cast<std::uint64_t>(field)); }};
}

// Written as 16 hex digits, as the daemon prints a digest.
std::string DigestText(std::uint64_t digest)
{
    char text[17];
    std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(digest));
    return text;
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

Field StringField(std::string &field)
{
    return {[&field](const json &value, const std::string &member) {
                if (!value.is_string()) throw vxFieldError(member, "a string");
                field = value.get<std::string>();
            },
        [&field] { return json(field); }};
}

Field BoolField(bool &field)
{
    return {[&field](const json &value, const std::string &member) {
                if (!value.is_boolean()) throw vxFieldError(member, "true or false");
                field = value.get<bool>();
            },
        [&field] { return json(field); }};
}

// A float converts to a double exactly, and back to the same float.
Field FloatField(float &field)
{
    return {[&field](const json &value, const std::string &member) {
                const char *expected = "a number within the range of a 32-bit float";
                if (!value.is_number()) throw vxFieldError(member, expected);
                double d = value.get<double>();
                if (!std::isfinite(d) || std::fabs(d) > FLT_MAX) throw vxFieldError(member, expected);
                field = static_cast<float>(d);
            },
        [&field] { return json(static_cast<double>(field)); }};
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

std::string HexText(const std::vector<std::uint8_t> &bytes)
{
    std::string text;
    char pair[3];
    for (std::uint8_t byte : bytes) {
        std::snprintf(pair, sizeof(pair), "%02x", byte);
        text += pair;
    }
    return text;
}

Field HexBytesField(std::vector<std::uint8_t> &field)
{
    return {[&field](const json &v, const std::string &m) { field = HexBytes(v, m); },
        [&field] { return json(HexText(field)); }};
}

Field StringArrayField(std::vector<std::string> &field)
{
    return {[&field](const json &v, const std::string &m) { field = StringArray(v, m); },
        [&field] { return json(field); }};
}

// An address as the daemon prints it, or null when it is not set. The text
// is made on a copy: the flow's own cache is left alone.
json AddressText(const vdAddr &addr, std::uint8_t flags = vdAddr::MAKE_DEFAULT)
{
    if (!addr.IsValid()) return json(nullptr);
    vdAddr copy(addr);
    return json(copy.GetString(flags));
}

bool IsIpText(const std::string &text)
{
    in_addr v4;
    in6_addr v6;
    return inet_pton(AF_INET, text.c_str(), &v4) == 1 || inet_pton(AF_INET6, text.c_str(), &v6) == 1;
}

// An IP address: IPv4 or IPv6 text, or null for none. The port an address
// already carries is kept.
Setter SetIpAddress(vdAddr &addr)
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

// Read before every other member (a port needs its address first); the
// table's entry only writes it.
Field IpAddressField(vdAddr &addr)
{
    return {[](const json &, const std::string &) {}, [&addr] { return AddressText(addr); }};
}

Field MacAddressField(vdAddr &addr)
{
    return {[&addr](const json &value, const std::string &member) {
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
    }, [&addr] { return AddressText(addr); }};
}

// A port belongs to an IP address: the stand-in's address keeps no port
// without one, so a port given to an address-less side would be lost
// silently. That is reported instead.
Field PortField(vdAddr &addr, const char *address_member)
{
    return {[&addr, address_member](const json &value, const std::string &member) {
        std::uint16_t port = 0;
        SetUnsigned(port, value, member);
        int family = addr.GetFamily();
        if (family != AF_INET && family != AF_INET6)
            throw vxFieldError(member, std::string("a flow that has an IP address in \"") +
                address_member + "\" (give the address first, or in the same line)");
        addr.SetPort(port);
    }, [&addr] {
        int family = addr.GetFamily();
        return family == AF_INET || family == AF_INET6 ? json(addr.GetPort()) : Omitted();
    }};
}

// "1.2.3.4:3478" or "[2001:db8::1]:3478", or null for none.
Field StunAddressField(vdAddr &addr)
{
    return {[&addr](const json &value, const std::string &member) {
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
    }, [&addr] { return AddressText(addr, vdAddr::MAKE_WITH_PORT); }};
}

// A TEID n is stored as the tunnel header carries it: the 4 bytes of n in
// network order.
Field TeidField(std::uint32_t &field)
{
    return {[&field](const json &value, const std::string &member) {
                std::uint32_t n = 0;
                SetUnsigned(n, value, member);
                field = htonl(n);
            },
        [&field] { return json(ntohl(field)); }};
}

Field IfaceField(vdFlow &flow)
{
    return {[&flow](const json &value, const std::string &member) {
                // A copy, so that a record holding the old interface object
                // (the previous state of the flow) never sees it change.
                std::string name = flow.iface ? flow.iface->ifname : "eth0";
                std::uint8_t role = flow.iface ? flow.iface->role : 0;
                ApplyObject(value, member, {{"name", StringField(name)}, {"role", UnsignedField(role)}}, "iface");
                flow.iface = std::make_shared<vdInterface>(name, role);
            },
        [&flow] {
            std::string name = flow.iface ? flow.iface->ifname : "eth0";
            std::uint64_t role = flow.iface ? flow.iface->role : 0;
            return json{{"name", name}, {"role", role}};
        }};
}

Field DigestListField(std::vector<std::uint64_t> &field)
{
    return {[&field](const json &v, const std::string &m) {
                if (!v.is_array()) throw vxFieldError(m, "an array of 64-bit digests");
                std::vector<std::uint64_t> digests;
                for (std::size_t i = 0; i < v.size(); i++)
                    digests.push_back(Digest(v[i], m + "[" + std::to_string(i) + "]"));
                field = std::move(digests);
            },
        [&field] {
            json list = json::array();
            for (std::uint64_t digest : field) list.push_back(DigestText(digest));
            return list;
        }};
}

// Every flow field, both ways.
Members FlowMembers(vdFlow &flow);

}  // namespace

void vxInitFlow(vdFlow &flow) { flow.iface = std::make_shared<vdInterface>("eth0", 0); }

void vxApplyFlowFields(vdFlow &flow, const json &set, const std::string &path)
{
    // Addresses go before their ports, whatever the order of the members.
    if (set.is_object()) {
        for (const char *name : {"lower_addr", "upper_addr"}) {
            auto it = set.find(name);
            if (it != set.end())
                SetIpAddress(name[0] == 'l' ? flow.lower_addr : flow.upper_addr)(*it, path + "." + name);
        }
        auto gtp = set.find("gtp");
        if (gtp != set.end() && gtp->is_object()) {
            for (const char *name : {"lower_addr", "upper_addr"}) {
                auto it = gtp->find(name);
                if (it != gtp->end())
                    SetIpAddress(name[0] == 'l' ? flow.gtp.lower_addr : flow.gtp.upper_addr)(
                        *it, path + ".gtp." + name);
            }
        }
    }
    ApplyObject(set, path, FlowMembers(flow), "the flow fields");
}

json vxFlowFieldsOf(const vdFlow &flow)
{
    // The table's getters only read; the flow is not changed.
    return WriteObject(FlowMembers(const_cast<vdFlow &>(flow)));
}

json vxFlowFieldsDelta(const json &before, const json &after)
{
    json delta = json::object();
    for (const auto &[name, value] : after.items()) {
        auto old = before.find(name);
        if (old != before.end() && *old == value) continue;
        // Nested objects merge member by member when read: only what
        // changed needs writing.
        if (old != before.end() && old->is_object() && value.is_object())
            delta[name] = vxFlowFieldsDelta(*old, value);
        else
            delta[name] = value;
    }
    return delta;
}

namespace {

Members FlowMembers(vdFlow &flow)
{
    auto &f = flow.flags;
    auto &s = flow.stats;
    auto &g = flow.gtp;
    auto &c = flow.category;
    auto &t = flow.tls;
    auto &r = flow.risk;
    auto &st = flow.stun;

    return {
        {"iface", IfaceField(flow)},
        {"digest_lower", Field{[&](const json &v, const std::string &m) { flow.digest_lower = Digest(v, m); },
                             [&] { return json(DigestText(flow.digest_lower)); }}},
        {"digest_mdata", DigestListField(flow.digest_mdata)},
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
        {"lower_addr", IpAddressField(flow.lower_addr)},
        {"upper_addr", IpAddressField(flow.upper_addr)},
        {"lower_port", PortField(flow.lower_addr, "lower_addr")},
        {"upper_port", PortField(flow.upper_addr, "upper_addr")},
        {"flags", ObjectField([&f]() -> Members {
             return {
                 {"detection_complete", BoolField(f.detection_complete)},
                 {"detection_guessed", BoolField(f.detection_guessed)},
                 {"detection_init", BoolField(f.detection_init)},
                 {"detection_updated", BoolField(f.detection_updated)},
                 {"dhc_hit", BoolField(f.dhc_hit)},
                 {"fhc_hit", BoolField(f.fhc_hit)},
                 {"expiring", BoolField(f.expiring)},
                 {"expired", BoolField(f.expired)},
                 {"soft_dissector", BoolField(f.soft_dissector)},
             };
         }, "flags")},
        {"tcp", ObjectField([&flow]() -> Members {
             return {{"fin_acks", UnsignedField(flow.tcp.fin_acks)}, {"last_seq", UnsignedField(flow.tcp.last_seq)}};
         }, "tcp")},
        {"stats", ObjectField([&s]() -> Members {
             return {
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
             };
         }, "stats")},
        {"gtp", ObjectField([&g]() -> Members {
             return {
                 {"version", UnsignedField(g.version)},
                 {"ip_version", UnsignedField(g.ip_version)},
                 {"ip_dscp", UnsignedField(g.ip_dscp)},
                 {"lower_addr", IpAddressField(g.lower_addr)},
                 {"upper_addr", IpAddressField(g.upper_addr)},
                 {"lower_port", PortField(g.lower_addr, "gtp.lower_addr")},
                 {"upper_port", PortField(g.upper_addr, "gtp.upper_addr")},
                 {"lower_teid", TeidField(g.lower_teid)},
                 {"upper_teid", TeidField(g.upper_teid)},
                 {"lower_type", UnsignedField(g.lower_type)},
                 {"upper_type", UnsignedField(g.upper_type)},
                 {"lower_map", UnsignedField(g.lower_map)},
                 {"other_type", UnsignedField(g.other_type)},
             };
         }, "gtp")},
        {"dns_host_name", StringField(flow.dns_host_name)},
        {"host_server_name", StringField(flow.host_server_name)},
        {"detected_protocol", UnsignedField(flow.detected_protocol)},
        {"detected_application", UnsignedField(flow.detected_application)},
        {"master_protocol", UnsignedField(flow.master_protocol)},
        {"detected_protocol_name", StringField(flow.detected_protocol_name)},
        {"detected_application_name", StringField(flow.detected_application_name)},
        {"category", ObjectField([&c]() -> Members {
             return {
                 {"application", UnsignedField(c.application)},
                 {"protocol", UnsignedField(c.protocol)},
                 {"domain", UnsignedField(c.domain)},
                 {"lower_net", UnsignedField(c.lower_net)},
                 {"upper_net", UnsignedField(c.upper_net)},
                 {"overlay", UnsignedField(c.overlay)},
             };
         }, "category")},
        {"http", ObjectField([&flow]() -> Members {
             return {{"user_agent", StringField(flow.http.user_agent)}, {"url", StringField(flow.http.url)}};
         }, "http")},
        {"dhcp", ObjectField([&flow]() -> Members {
             return {{"fingerprint", StringField(flow.dhcp.fingerprint)},
                 {"class_ident", StringField(flow.dhcp.class_ident)}};
         }, "dhcp")},
        {"ssh", ObjectField([&flow]() -> Members {
             return {{"client_agent", StringField(flow.ssh.client_agent)},
                 {"server_agent", StringField(flow.ssh.server_agent)}};
         }, "ssh")},
        {"tls", ObjectField([&t]() -> Members {
             return {
                 {"version", UnsignedField(t.version)},
                 {"cipher_suite", UnsignedField(t.cipher_suite)},
                 {"encrypted_ch_version", UnsignedField(t.encrypted_ch_version)},
                 {"server_cn", StringField(t.server_cn)},
                 {"issuer_dn", StringField(t.issuer_dn)},
                 {"subject_dn", StringField(t.subject_dn)},
                 {"client_ja4", StringField(t.client_ja4)},
                 {"fingerprint", HexBytesField(t.fingerprint)},
                 {"alpn", StringArrayField(t.alpn)},
                 {"alpn_server", StringArrayField(t.alpn_server)},
             };
         }, "tls")},
        {"smtp_tls", BoolField(flow.smtp_tls)},
        {"bt_info_hash", HexBytesField(flow.bt_info_hash)},
        {"ssdp_user_agent", StringField(flow.ssdp_user_agent)},
        {"mdns_domain_name", StringField(flow.mdns_domain_name)},
        {"stun", ObjectField([&st]() -> Members {
             return {
                 {"mapped", StunAddressField(st.mapped)},
                 {"peer", StunAddressField(st.peer)},
                 {"relayed", StunAddressField(st.relayed)},
                 {"response", StunAddressField(st.response)},
                 {"other", StunAddressField(st.other)},
             };
         }, "stun")},
        {"risk", ObjectField([&r]() -> Members {
             return {
                 {"score", UnsignedField(r.score)},
                 {"score_client", UnsignedField(r.score_client)},
                 {"score_server", UnsignedField(r.score_server)},
                 {"risks", Field{[&r](const json &rv, const std::string &rm) {
                                     if (!rv.is_array()) throw vxFieldError(rm, "an array of risk codes (integers)");
                                     std::set<std::uint32_t> risks;
                                     for (std::size_t i = 0; i < rv.size(); i++) {
                                         std::uint32_t code = 0;
                                         SetUnsigned(code, rv[i], rm + "[" + std::to_string(i) + "]");
                                         risks.insert(code);
                                     }
                                     r.risks = std::move(risks);
                                 },
                               [&r] { return json(r.risks); }}},
             };
         }, "risk")},
        {"tags", Field{[&flow](const json &v, const std::string &m) {
                           auto strings = StringArray(v, m);
                           flow.tags = std::set<std::string>(strings.begin(), strings.end());
                       },
                     [&flow] { return json(flow.tags); }}},
    };
}

}  // namespace
