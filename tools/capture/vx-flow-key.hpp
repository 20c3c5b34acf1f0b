// Flow identity: the key a packet belongs to, its digests, and where its
// addresses are (local networks, multicast, broadcast).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vx-decode.hpp"

// Addresses are stored in 16 bytes; IPv4 uses the first 4, the rest zero.
// Lower is the endpoint whose (address, port) compares smaller.
struct vxFlowKey {
    std::uint8_t ip_version = 0;
    std::uint8_t ip_protocol = 0;
    std::uint16_t vlan_id = 0;
    std::uint8_t lower_addr[16] = {};
    std::uint8_t upper_addr[16] = {};
    std::uint16_t lower_port = 0;
    std::uint16_t upper_port = 0;

    bool operator==(const vxFlowKey &other) const;
};

struct vxFlowKeyHash {
    std::size_t operator()(const vxFlowKey &key) const;
};

// The key of ip's flow; src_is_lower tells which side sent it.
vxFlowKey vxMakeFlowKey(const vxIpHeader &ip, std::uint16_t vlan_id, bool &src_is_lower);

// xxHash64 (seed 0) over: IP version (1 byte), IP protocol (1), VLAN id (2,
// big-endian), lower address (4 or 16), upper address (4 or 16), lower port
// (2, big-endian), upper port (2, big-endian), interface name bytes.
std::uint64_t vxDigestLower(const vxFlowKey &key, const std::string &iface);

// xxHash64 (seed 0) over: the lower digest (8 bytes, big-endian), detected
// protocol (2, big-endian), detected application (2, big-endian), host
// server name bytes.
std::uint64_t vxDigestMetadata(std::uint64_t digest_lower, std::uint16_t detected_protocol,
    std::uint16_t detected_application, const std::string &host_server_name);

// Where a flow stands relative to the local networks.
struct vxFlowPlacement {
    std::uint8_t lower_map = 0;  // vdFlow::LowerMap
    std::uint8_t other_type = 0;  // vdFlow::OtherType
};

class vxLocalNets {
public:
    // Parses "ADDRESS/PREFIX" (or a bare address); throws
    // std::runtime_error naming the text when it is neither.
    explicit vxLocalNets(const std::vector<std::string> &cidrs);

    bool IsLocal(std::uint8_t version, const std::uint8_t *addr) const;
    bool IsMulticast(std::uint8_t version, const std::uint8_t *addr) const;
    // The limited broadcast, or the directed broadcast of a local IPv4 net.
    bool IsBroadcast(std::uint8_t version, const std::uint8_t *addr) const;
    bool IsReserved(std::uint8_t version, const std::uint8_t *addr) const;

    // vdAddr::Type of an address.
    std::uint8_t AddressType(std::uint8_t version, const std::uint8_t *addr) const;

    // A multicast or broadcast side makes the other side the local one;
    // otherwise the side in a local network is local, and the other side is
    // local or remote. With neither side local, both stay unknown.
    vxFlowPlacement Place(std::uint8_t version, const std::uint8_t *lower, const std::uint8_t *upper) const;

private:
    struct Net {
        std::uint8_t version = 0;
        std::uint8_t addr[16] = {};
        unsigned prefix = 0;
    };
    static bool Contains(const Net &net, std::uint8_t version, const std::uint8_t *addr);

    std::vector<Net> nets;
};
