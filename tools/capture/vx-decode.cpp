// Decapsulation of captured frames down to the IP packet of a flow.
#include "vx-decode.hpp"

#include <cstring>

#include <pcap/dlt.h>

namespace {

constexpr std::uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr std::uint16_t ETHERTYPE_IPV6 = 0x86dd;
constexpr std::uint16_t ETHERTYPE_VLAN = 0x8100;
constexpr std::uint16_t ETHERTYPE_QINQ = 0x88a8;
constexpr std::uint16_t ETHERTYPE_QINQ_OLD = 0x9100;
constexpr std::uint16_t ETHERTYPE_PPPOE_SESSION = 0x8864;
constexpr std::uint16_t ETHERTYPE_MPLS = 0x8847;
constexpr std::uint16_t ETHERTYPE_MPLS_MULTICAST = 0x8848;
constexpr std::uint16_t PPP_IPV4 = 0x0021;
constexpr std::uint16_t PPP_IPV6 = 0x0057;
constexpr std::uint16_t GTP_U_PORT = 2152;
constexpr std::uint8_t GTP_G_PDU = 0xff;
// Guards against frames built to loop through tags forever.
constexpr int MAX_LAYERS = 16;

std::uint16_t Read16(const std::uint8_t *p) { return std::uint16_t((p[0] << 8) | p[1]); }

std::uint32_t Read32(const std::uint8_t *p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

bool IsIpv6ExtensionHeader(std::uint8_t next)
{
    // Hop-by-hop, routing, fragment, destination options, mobility.
    return next == 0 || next == 43 || next == 44 || next == 60 || next == 135;
}

void ParsePorts(vxIpHeader &ip)
{
    if (ip.l4 == nullptr) return;
    switch (ip.protocol) {
    case 6:  // TCP
    case 17:  // UDP
    case 132:  // SCTP
    case 136:  // UDP-Lite
    case 33:  // DCCP
        if (ip.l4_length >= 4) {
            ip.src_port = Read16(ip.l4);
            ip.dst_port = Read16(ip.l4 + 2);
        }
        break;
    default:
        break;
    }
}

bool ParseIpv4(const std::uint8_t *data, std::size_t length, vxIpHeader &ip)
{
    if (length < 20) return false;
    std::size_t header_length = std::size_t(data[0] & 0x0f) * 4;
    if (header_length < 20 || header_length > length) return false;
    std::size_t total = Read16(data + 2);
    if (total < header_length) return false;
    // A frame captured with a short snap length holds less than the
    // header says; the packet then ends where the capture does.
    if (total > length) total = length;
    ip.version = 4;
    ip.dscp = data[1] >> 2;
    ip.protocol = data[9];
    std::memset(ip.src, 0, sizeof(ip.src));
    std::memset(ip.dst, 0, sizeof(ip.dst));
    std::memcpy(ip.src, data + 12, 4);
    std::memcpy(ip.dst, data + 16, 4);
    ip.packet = data;
    ip.length = total;
    std::uint16_t fragment_offset = Read16(data + 6) & 0x1fff;
    if (fragment_offset == 0) {
        ip.l4 = data + header_length;
        ip.l4_length = total - header_length;
    }
    ParsePorts(ip);
    return true;
}

bool ParseIpv6(const std::uint8_t *data, std::size_t length, vxIpHeader &ip)
{
    if (length < 40) return false;
    std::size_t total = 40 + std::size_t(Read16(data + 4));
    if (total > length) total = length;
    ip.version = 6;
    ip.dscp = std::uint8_t(((Read16(data) >> 4) & 0xff) >> 2);
    std::memcpy(ip.src, data + 8, 16);
    std::memcpy(ip.dst, data + 24, 16);
    ip.packet = data;
    ip.length = total;
    std::uint8_t next = data[6];
    std::size_t offset = 40;
    bool later_fragment = false;
    for (int i = 0; i < MAX_LAYERS && IsIpv6ExtensionHeader(next); ++i) {
        if (offset + 8 > total) {
            ip.protocol = next;
            return true;  // header chain cut short: no transport header
        }
        const std::uint8_t *ext = data + offset;
        std::size_t ext_length = next == 44 ? 8 : (std::size_t(ext[1]) + 1) * 8;
        if (next == 44 && (Read16(ext + 2) & 0xfff8) != 0) later_fragment = true;
        next = ext[0];
        offset += ext_length;
    }
    ip.protocol = next;
    if (offset <= total && !later_fragment && !IsIpv6ExtensionHeader(next)) {
        ip.l4 = data + offset;
        ip.l4_length = total - offset;
    }
    ParsePorts(ip);
    return true;
}

// Reads the TCP header after ip; false when it is cut short.
bool ParseTcp(const vxIpHeader &ip, vxTcpHeader &tcp)
{
    if (ip.protocol != 6 || ip.l4 == nullptr || ip.l4_length < 20) return false;
    std::size_t header_length = std::size_t(ip.l4[12] >> 4) * 4;
    if (header_length < 20 || header_length > ip.l4_length) return false;
    tcp.seq = Read32(ip.l4 + 4);
    tcp.ack = Read32(ip.l4 + 8);
    tcp.flags = ip.l4[13];
    tcp.payload_length = ip.l4_length - header_length;
    return true;
}

// A GTP-U G-PDU in the UDP payload of outer: the inner IP packet.
bool DecapsulateGtp(const vxIpHeader &outer, vxDecodedPacket &out)
{
    if (outer.protocol != 17 || outer.l4 == nullptr || outer.l4_length < 8) return false;
    if (outer.src_port != GTP_U_PORT && outer.dst_port != GTP_U_PORT) return false;
    const std::uint8_t *gtp = outer.l4 + 8;
    std::size_t length = outer.l4_length - 8;
    if (length < 8) return false;
    std::uint8_t flags = gtp[0];
    std::uint8_t version = flags >> 5;
    bool protocol_type_gtp = (flags & 0x10) != 0;
    if (version != 1 || !protocol_type_gtp || gtp[1] != GTP_G_PDU) return false;
    std::size_t offset = 8;
    if (flags & 0x07) {
        // Sequence number, N-PDU number and next extension type.
        if (length < 12) return false;
        offset = 12;
        std::uint8_t next_extension = gtp[11];
        for (int i = 0; i < MAX_LAYERS && next_extension != 0 && (flags & 0x04); ++i) {
            if (offset + 1 > length) return false;
            std::size_t extension_length = std::size_t(gtp[offset]) * 4;
            if (extension_length == 0 || offset + extension_length > length) return false;
            next_extension = gtp[offset + extension_length - 1];
            offset += extension_length;
        }
    }
    vxIpHeader inner;
    if (!vxParseIp(gtp + offset, length - offset, inner)) return false;
    out.tunnelled = true;
    out.gtp.outer = outer;
    out.gtp.version = version;
    std::memcpy(&out.gtp.teid, gtp + 4, 4);
    out.ip = inner;
    return true;
}

void DecodeNetwork(const std::uint8_t *data, std::size_t length, vxDecodedPacket &out)
{
    if (!vxParseIp(data, length, out.ip)) return;
    out.is_ip = true;
    DecapsulateGtp(out.ip, out);
    out.has_tcp = ParseTcp(out.ip, out.tcp);
}

// From an ethertype at data[offset - 2], through tags, to the IP packet.
void DecodeEthertype(std::uint16_t type, const std::uint8_t *data, std::size_t offset, std::size_t caplen,
    vxDecodedPacket &out)
{
    for (int i = 0; i < MAX_LAYERS; ++i) {
        switch (type) {
        case ETHERTYPE_VLAN:
        case ETHERTYPE_QINQ:
        case ETHERTYPE_QINQ_OLD:
            if (offset + 4 > caplen) return;
            out.vlan_id = Read16(data + offset) & 0x0fff;
            type = Read16(data + offset + 2);
            offset += 4;
            continue;
        case ETHERTYPE_PPPOE_SESSION: {
            if (offset + 8 > caplen) return;
            std::uint16_t ppp = Read16(data + offset + 6);
            offset += 8;
            if (ppp == PPP_IPV4 || ppp == PPP_IPV6) {
                DecodeNetwork(data + offset, caplen - offset, out);
            }
            return;
        }
        case ETHERTYPE_MPLS:
        case ETHERTYPE_MPLS_MULTICAST:
            for (int label = 0; label < MAX_LAYERS; ++label) {
                if (offset + 4 > caplen) return;
                bool bottom = (data[offset + 2] & 0x01) != 0;
                offset += 4;
                if (bottom) {
                    DecodeNetwork(data + offset, caplen - offset, out);
                    return;
                }
            }
            return;
        case ETHERTYPE_IPV4:
        case ETHERTYPE_IPV6:
            DecodeNetwork(data + offset, caplen - offset, out);
            return;
        default:
            return;
        }
    }
}

}  // namespace

bool vxParseIp(const std::uint8_t *data, std::size_t length, vxIpHeader &ip)
{
    if (length < 1) return false;
    switch (data[0] >> 4) {
    case 4:
        return ParseIpv4(data, length, ip);
    case 6:
        return ParseIpv6(data, length, ip);
    default:
        return false;
    }
}

bool vxLinkTypeSupported(int dlt)
{
    switch (dlt) {
    case DLT_EN10MB:
    case DLT_LINUX_SLL:
    case DLT_LINUX_SLL2:
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6:
    case DLT_NULL:
    case DLT_LOOP:
        return true;
    default:
        return false;
    }
}

void vxDecodeFrame(int dlt, const std::uint8_t *data, std::size_t caplen, vxDecodedPacket &out)
{
    out = vxDecodedPacket{};
    switch (dlt) {
    case DLT_EN10MB:
        if (caplen < 14) return;
        out.dst_mac = data;
        out.src_mac = data + 6;
        DecodeEthertype(Read16(data + 12), data, 14, caplen, out);
        return;
    case DLT_LINUX_SLL:
        // Packet type, link type, address length, 8 address bytes, protocol.
        if (caplen < 16) return;
        if (Read16(data + 4) == 6) out.src_mac = data + 6;
        DecodeEthertype(Read16(data + 14), data, 16, caplen, out);
        return;
    case DLT_LINUX_SLL2:
        if (caplen < 20) return;
        if (data[11] == 6) out.src_mac = data + 12;
        DecodeEthertype(Read16(data), data, 20, caplen, out);
        return;
    case DLT_NULL:
    case DLT_LOOP:
        // A 4-byte address family in the writer's byte order: the IP
        // version nibble tells what follows.
        if (caplen < 5) return;
        DecodeNetwork(data + 4, caplen - 4, out);
        return;
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6:
        DecodeNetwork(data, caplen, out);
        return;
    default:
        return;
    }
}
