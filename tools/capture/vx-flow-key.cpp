// Flow keys, digests and address kinds of captured packets.
#include "vx-flow-key.hpp"

#include <arpa/inet.h>

#include <cstring>
#include <stdexcept>

#include <xxhash.h>

#include <vessixd.hpp>

namespace {

void Put16(std::string &out, std::uint16_t value)
{
    out.push_back(char(value >> 8));
    out.push_back(char(value & 0xff));
}

bool PrefixMatches(const std::uint8_t *addr, const std::uint8_t *net, unsigned prefix)
{
    unsigned whole = prefix / 8;
    if (std::memcmp(addr, net, whole) != 0) return false;
    unsigned rest = prefix % 8;
    if (rest == 0) return true;
    std::uint8_t mask = std::uint8_t(0xff << (8 - rest));
    return (addr[whole] & mask) == (net[whole] & mask);
}

struct Range {
    std::uint8_t bytes[4];
    unsigned prefix;
};

}  // namespace

bool vxFlowKey::operator==(const vxFlowKey &other) const
{
    return ip_version == other.ip_version && ip_protocol == other.ip_protocol && vlan_id == other.vlan_id &&
        lower_port == other.lower_port && upper_port == other.upper_port &&
        std::memcmp(lower_addr, other.lower_addr, 16) == 0 && std::memcmp(upper_addr, other.upper_addr, 16) == 0;
}

std::size_t vxFlowKeyHash::operator()(const vxFlowKey &key) const
{
    std::uint8_t bytes[4 + 32 + 4];
    bytes[0] = key.ip_version;
    bytes[1] = key.ip_protocol;
    std::memcpy(bytes + 2, &key.vlan_id, 2);
    std::memcpy(bytes + 4, key.lower_addr, 16);
    std::memcpy(bytes + 20, key.upper_addr, 16);
    std::memcpy(bytes + 36, &key.lower_port, 2);
    std::memcpy(bytes + 38, &key.upper_port, 2);
    return std::size_t(XXH64(bytes, sizeof(bytes), 0));
}

vxFlowKey vxMakeFlowKey(const vxIpHeader &ip, std::uint16_t vlan_id, bool &src_is_lower)
{
    vxFlowKey key;
    key.ip_version = ip.version;
    key.ip_protocol = ip.protocol;
    key.vlan_id = vlan_id;
    std::size_t length = ip.AddrLength();
    int order = std::memcmp(ip.src, ip.dst, length);
    src_is_lower = order < 0 || (order == 0 && ip.src_port <= ip.dst_port);
    if (src_is_lower) {
        std::memcpy(key.lower_addr, ip.src, length);
        std::memcpy(key.upper_addr, ip.dst, length);
        key.lower_port = ip.src_port;
        key.upper_port = ip.dst_port;
    } else {
        std::memcpy(key.lower_addr, ip.dst, length);
        std::memcpy(key.upper_addr, ip.src, length);
        key.lower_port = ip.dst_port;
        key.upper_port = ip.src_port;
    }
    return key;
}

std::uint64_t vxDigestLower(const vxFlowKey &key, const std::string &iface)
{
    std::size_t length = key.ip_version == 4 ? 4 : 16;
    std::string bytes;
    bytes.push_back(char(key.ip_version));
    bytes.push_back(char(key.ip_protocol));
    Put16(bytes, key.vlan_id);
    bytes.append(reinterpret_cast<const char *>(key.lower_addr), length);
    bytes.append(reinterpret_cast<const char *>(key.upper_addr), length);
    Put16(bytes, key.lower_port);
    Put16(bytes, key.upper_port);
    bytes.append(iface);
    return XXH64(bytes.data(), bytes.size(), 0);
}

std::uint64_t vxDigestMetadata(std::uint64_t digest_lower, std::uint16_t detected_protocol,
    std::uint16_t detected_application, const std::string &host_server_name)
{
    std::string bytes;
    for (int shift = 56; shift >= 0; shift -= 8) bytes.push_back(char((digest_lower >> shift) & 0xff));
    Put16(bytes, detected_protocol);
    Put16(bytes, detected_application);
    bytes.append(host_server_name);
    return XXH64(bytes.data(), bytes.size(), 0);
}

vxLocalNets::vxLocalNets(const std::vector<std::string> &cidrs)
{
    for (const std::string &text : cidrs) {
        Net net;
        std::string address = text;
        long prefix = -1;
        std::size_t slash = text.find('/');
        if (slash != std::string::npos) {
            address = text.substr(0, slash);
            std::string digits = text.substr(slash + 1);
            if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos) {
                throw std::runtime_error("invalid local network \"" + text + "\": bad prefix length");
            }
            prefix = std::stol(digits);
        }
        if (inet_pton(AF_INET, address.c_str(), net.addr) == 1) {
            net.version = 4;
            if (prefix < 0) prefix = 32;
            if (prefix > 32) throw std::runtime_error("invalid local network \"" + text + "\": prefix above 32");
        } else if (inet_pton(AF_INET6, address.c_str(), net.addr) == 1) {
            net.version = 6;
            if (prefix < 0) prefix = 128;
            if (prefix > 128) throw std::runtime_error("invalid local network \"" + text + "\": prefix above 128");
        } else {
            throw std::runtime_error("invalid local network \"" + text + "\": not an IPv4 or IPv6 address");
        }
        net.prefix = unsigned(prefix);
        nets.push_back(net);
    }
}

bool vxLocalNets::Contains(const Net &net, std::uint8_t version, const std::uint8_t *addr)
{
    return net.version == version && PrefixMatches(addr, net.addr, net.prefix);
}

bool vxLocalNets::IsLocal(std::uint8_t version, const std::uint8_t *addr) const
{
    for (const Net &net : nets) {
        if (Contains(net, version, addr)) return true;
    }
    return false;
}

bool vxLocalNets::IsMulticast(std::uint8_t version, const std::uint8_t *addr) const
{
    return version == 4 ? (addr[0] & 0xf0) == 0xe0 : addr[0] == 0xff;
}

bool vxLocalNets::IsBroadcast(std::uint8_t version, const std::uint8_t *addr) const
{
    if (version != 4) return false;
    static const std::uint8_t all_ones[4] = {0xff, 0xff, 0xff, 0xff};
    if (std::memcmp(addr, all_ones, 4) == 0) return true;
    for (const Net &net : nets) {
        // /31 and /32 networks have no broadcast address.
        if (net.version != 4 || net.prefix >= 31 || !Contains(net, 4, addr)) continue;
        std::uint32_t host_mask = 0xffffffffu >> net.prefix;
        std::uint32_t value = (std::uint32_t(addr[0]) << 24) | (std::uint32_t(addr[1]) << 16) |
            (std::uint32_t(addr[2]) << 8) | addr[3];
        if ((value & host_mask) == host_mask) return true;
    }
    return false;
}

bool vxLocalNets::IsReserved(std::uint8_t version, const std::uint8_t *addr) const
{
    if (version == 4) {
        static const Range ranges[] = {
            {{0, 0, 0, 0}, 8}, {{10, 0, 0, 0}, 8}, {{100, 64, 0, 0}, 10}, {{127, 0, 0, 0}, 8},
            {{169, 254, 0, 0}, 16}, {{172, 16, 0, 0}, 12}, {{192, 168, 0, 0}, 16}, {{240, 0, 0, 0}, 4},
        };
        for (const Range &range : ranges) {
            if (PrefixMatches(addr, range.bytes, range.prefix)) return true;
        }
        return false;
    }
    static const std::uint8_t zero[16] = {};
    // Unspecified and loopback, link-local fe80::/10, unique local fc00::/7.
    if (std::memcmp(addr, zero, 15) == 0 && addr[15] <= 1) return true;
    if (addr[0] == 0xfe && (addr[1] & 0xc0) == 0x80) return true;
    return (addr[0] & 0xfe) == 0xfc;
}

std::uint8_t vxLocalNets::AddressType(std::uint8_t version, const std::uint8_t *addr) const
{
    if (IsMulticast(version, addr)) return vdAddr::TYPE_MULTICAST;
    if (IsBroadcast(version, addr)) return vdAddr::TYPE_BROADCAST;
    if (IsLocal(version, addr)) return vdAddr::TYPE_LOCALNET;
    if (IsReserved(version, addr)) return vdAddr::TYPE_RESERVED;
    return vdAddr::TYPE_OTHER;
}

vxFlowPlacement vxLocalNets::Place(std::uint8_t version, const std::uint8_t *lower, const std::uint8_t *upper) const
{
    auto special = [&](const std::uint8_t *addr) -> std::uint8_t {
        if (IsMulticast(version, addr)) return vdFlow::OTHER_MULTICAST;
        if (IsBroadcast(version, addr)) return vdFlow::OTHER_BROADCAST;
        return vdFlow::OTHER_UNKNOWN;
    };
    vxFlowPlacement placement;
    if (std::uint8_t type = special(upper); type != vdFlow::OTHER_UNKNOWN) {
        placement.lower_map = vdFlow::LOWER_LOCAL;
        placement.other_type = type;
    } else if (std::uint8_t type = special(lower); type != vdFlow::OTHER_UNKNOWN) {
        placement.lower_map = vdFlow::LOWER_OTHER;
        placement.other_type = type;
    } else if (IsLocal(version, lower)) {
        placement.lower_map = vdFlow::LOWER_LOCAL;
        placement.other_type = IsLocal(version, upper) ? vdFlow::OTHER_LOCAL : vdFlow::OTHER_REMOTE;
    } else if (IsLocal(version, upper)) {
        placement.lower_map = vdFlow::LOWER_OTHER;
        placement.other_type = vdFlow::OTHER_REMOTE;
    } else {
        placement.lower_map = vdFlow::LOWER_UNKNOWN;
        placement.other_type = vdFlow::OTHER_UNKNOWN;
    }
    return placement;
}
