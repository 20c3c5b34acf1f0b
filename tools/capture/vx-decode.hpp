// Decapsulation of captured frames down to the IP packet that makes a flow:
// link layers, VLAN tags, PPPoE, MPLS and GTP-U tunnels.
#pragma once

#include <cstddef>
#include <cstdint>

// One IP endpoint pair with its transport ports, as read from a header.
struct vxIpHeader {
    std::uint8_t version = 0;  // 4 or 6
    std::uint8_t dscp = 0;
    std::uint8_t protocol = 0;  // final next header for IPv6
    std::uint8_t src[16] = {};
    std::uint8_t dst[16] = {};
    std::uint16_t src_port = 0;  // host byte order; 0 without ports
    std::uint16_t dst_port = 0;
    const std::uint8_t *packet = nullptr;  // start of the IP header
    std::size_t length = 0;  // IP packet length, clipped to the captured bytes
    const std::uint8_t *l4 = nullptr;  // transport header, null for a later fragment
    std::size_t l4_length = 0;

    std::size_t AddrLength() const { return version == 4 ? 4 : 16; }
};

struct vxTcpHeader {
    std::uint8_t flags = 0;
    std::uint32_t seq = 0;
    std::uint32_t ack = 0;
    std::size_t payload_length = 0;
};

enum : std::uint8_t {
    VX_TCP_FIN = 0x01,
    VX_TCP_SYN = 0x02,
    VX_TCP_RST = 0x04,
    VX_TCP_ACK = 0x10,
};

// GTP-U tunnel a packet arrived through.
struct vxGtpTunnel {
    vxIpHeader outer;
    std::uint8_t version = 0;
    std::uint32_t teid = 0;  // as on the wire (network byte order)
};

// What decapsulation found in one frame.
struct vxDecodedPacket {
    bool is_ip = false;
    std::uint16_t vlan_id = 0;  // innermost tag
    const std::uint8_t *src_mac = nullptr;  // null when the link has none
    const std::uint8_t *dst_mac = nullptr;
    vxIpHeader ip;  // the flow's packet (inner packet of a tunnel)
    bool has_tcp = false;
    vxTcpHeader tcp;
    bool tunnelled = false;
    vxGtpTunnel gtp;
};

// Link types the reader accepts (pcap DLT numbers).
bool vxLinkTypeSupported(int dlt);

// Decodes one captured frame of link type dlt. Never reads past
// data + caplen; a frame that is not IP, or is cut short, leaves is_ip false.
void vxDecodeFrame(int dlt, const std::uint8_t *data, std::size_t caplen, vxDecodedPacket &out);

// Parses an IP packet (v4 or v6) at data; false when it is not one.
bool vxParseIp(const std::uint8_t *data, std::size_t length, vxIpHeader &ip);
