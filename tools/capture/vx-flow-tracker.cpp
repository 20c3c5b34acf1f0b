// The flows of a capture, their counters and TCP state.
#include "vx-flow-tracker.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>

namespace {

void SetAddress(vdAddr &addr, std::uint8_t version, const std::uint8_t *bytes, std::uint16_t port)
{
    if (version == 4) {
        in_addr v4;
        std::memcpy(&v4, bytes, 4);
        addr.SetIPv4(v4);
    } else {
        in6_addr v6;
        std::memcpy(&v6, bytes, 16);
        addr.SetIPv6(v6);
    }
    addr.SetPort(port);
}

template <typename T>
void AddSaturated(T &counter, std::uint64_t amount)
{
    std::uint64_t sum = std::uint64_t(counter) + amount;
    std::uint64_t limit = std::numeric_limits<T>::max();
    counter = T(std::min(sum, limit));
}

// Sequence analysis of one segment sent by side.
void TrackSequence(vdFlow::Stats &stats, vxTcpSide &side, const vxTcpHeader &tcp)
{
    std::uint32_t length = std::uint32_t(tcp.payload_length) + ((tcp.flags & VX_TCP_SYN) ? 1 : 0) +
        ((tcp.flags & VX_TCP_FIN) ? 1 : 0);
    std::uint32_t end = tcp.seq + length;
    if (!side.seen) {
        side.seen = true;
        side.next_seq = end;
        return;
    }
    if (length == 0) return;
    auto diff = std::int32_t(tcp.seq - side.next_seq);
    if (diff < 0) {
        // Bytes sent before: a retransmission (or a segment overtaken by a
        // later one, which a passive observer cannot tell apart).
        AddSaturated(stats.tcp_retrans, 1);
        if (std::int32_t(end - side.next_seq) > 0) side.next_seq = end;
    } else {
        // A gap: bytes in between were never seen.
        if (diff > 0) AddSaturated(stats.tcp_seq_errors, 1);
        side.next_seq = end;
    }
}

}  // namespace

vxFlowTracker::vxFlowTracker(const vxLocalNets &local_nets, std::shared_ptr<vdInterface> iface)
    : local_nets(local_nets), iface(std::move(iface))
{
}

vxTrackedFlow *vxFlowTracker::Find(const vxFlowKey &key)
{
    auto found = by_key.find(key);
    return found == by_key.end() ? nullptr : found->second;
}

vxTrackedFlow &vxFlowTracker::Create(const vxFlowKey &key, bool src_is_lower, const vxDecodedPacket &packet,
    std::uint64_t time_us, std::unique_ptr<vxDetection> detection)
{
    auto tracked = std::make_unique<vxTrackedFlow>();
    tracked->key = key;
    tracked->detection = std::move(detection);
    tracked->last_seen_us = time_us;
    tracked->flow = std::make_shared<vdFlow>();
    vdFlow &flow = *tracked->flow;
    const vxIpHeader &ip = packet.ip;

    flow.iface = iface;
    flow.digest_lower = vxDigestLower(key, iface->ifname);
    flow.digest_mdata.push_back(vxDigestMetadata(flow.digest_lower, 0, 0, std::string()));
    flow.ip_version = key.ip_version;
    flow.ip_dscp = ip.dscp;
    flow.ip_protocol = key.ip_protocol;
    flow.vlan_id = key.vlan_id;
    flow.first_seen_at = time_us / 1000;
    flow.last_seen_at = flow.first_seen_at;
    vxFlowPlacement placement = local_nets.Place(key.ip_version, key.lower_addr, key.upper_addr);
    flow.lower_map = placement.lower_map;
    flow.other_type = placement.other_type;
    flow.origin = src_is_lower ? vdFlow::ORIGIN_LOWER : vdFlow::ORIGIN_UPPER;
    SetAddress(flow.lower_addr, key.ip_version, key.lower_addr, key.lower_port);
    SetAddress(flow.upper_addr, key.ip_version, key.upper_addr, key.upper_port);

    if (packet.tunnelled) {
        const vxIpHeader &outer = packet.gtp.outer;
        bool outer_src_is_lower = false;
        vxFlowKey tunnel = vxMakeFlowKey(outer, 0, outer_src_is_lower);
        flow.tunnel_type = vdFlow::TUNNEL_GTP;
        flow.gtp.version = packet.gtp.version;
        flow.gtp.ip_version = outer.version;
        flow.gtp.ip_dscp = outer.dscp;
        SetAddress(flow.gtp.lower_addr, outer.version, tunnel.lower_addr, tunnel.lower_port);
        SetAddress(flow.gtp.upper_addr, outer.version, tunnel.upper_addr, tunnel.upper_port);
        flow.gtp.lower_type = local_nets.AddressType(outer.version, tunnel.lower_addr);
        flow.gtp.upper_type = local_nets.AddressType(outer.version, tunnel.upper_addr);
        vxFlowPlacement tunnel_placement = local_nets.Place(outer.version, tunnel.lower_addr, tunnel.upper_addr);
        flow.gtp.lower_map = tunnel_placement.lower_map;
        // Tunnel endpoints are local or remote; anything else is not a
        // tunnel placement the daemon reports.
        flow.gtp.other_type = tunnel_placement.other_type == vdFlow::OTHER_LOCAL ||
                tunnel_placement.other_type == vdFlow::OTHER_REMOTE
            ? tunnel_placement.other_type
            : std::uint8_t{vdFlow::OTHER_UNSUPPORTED};
    }
    Learn(*tracked, src_is_lower, packet);

    vxTrackedFlow &result = *tracked;
    by_key[key] = tracked.get();
    flows.push_back(std::move(tracked));
    return result;
}

void vxFlowTracker::Learn(vxTrackedFlow &tracked, bool src_is_lower, const vxDecodedPacket &packet)
{
    vdFlow &flow = *tracked.flow;
    vdAddr &src_mac = src_is_lower ? flow.lower_mac : flow.upper_mac;
    vdAddr &dst_mac = src_is_lower ? flow.upper_mac : flow.lower_mac;
    if (packet.src_mac != nullptr && !src_mac.IsValid()) src_mac.SetMAC(packet.src_mac);
    if (packet.dst_mac != nullptr && !dst_mac.IsValid()) dst_mac.SetMAC(packet.dst_mac);
    if (packet.tunnelled && flow.tunnel_type == vdFlow::TUNNEL_GTP) {
        // A G-PDU carries the endpoint id of the tunnel end it is sent to.
        bool outer_src_is_lower = false;
        vxMakeFlowKey(packet.gtp.outer, 0, outer_src_is_lower);
        std::lock_guard<std::recursive_mutex> hold(flow.lock);
        std::uint32_t &teid = outer_src_is_lower ? flow.gtp.upper_teid : flow.gtp.lower_teid;
        if (teid == 0) teid = packet.gtp.teid;
    }
}

void vxFlowTracker::Count(vxTrackedFlow &tracked, bool src_is_lower, const vxDecodedPacket &packet,
    std::uint32_t wire_length, std::uint64_t time_us)
{
    vdFlow &flow = *tracked.flow;
    vdFlow::Stats &stats = flow.stats;
    if (src_is_lower) {
        AddSaturated(stats.lower_bytes, wire_length);
        AddSaturated(stats.lower_total_bytes, wire_length);
        AddSaturated(stats.lower_packets, 1);
        AddSaturated(stats.lower_total_packets, 1);
    } else {
        AddSaturated(stats.upper_bytes, wire_length);
        AddSaturated(stats.upper_total_bytes, wire_length);
        AddSaturated(stats.upper_packets, 1);
        AddSaturated(stats.upper_total_packets, 1);
    }
    AddSaturated(stats.total_bytes, wire_length);
    AddSaturated(stats.total_packets, 1);
    // Capture files are not always in time order: seen times never go back.
    tracked.last_seen_us = std::max(tracked.last_seen_us, time_us);
    flow.last_seen_at = std::max<std::uint64_t>(flow.last_seen_at, time_us / 1000);

    if (!packet.has_tcp) return;
    const vxTcpHeader &tcp = packet.tcp;
    flow.tcp.last_seq = tcp.seq;
    if ((tcp.flags & (VX_TCP_FIN | VX_TCP_ACK)) == (VX_TCP_FIN | VX_TCP_ACK)) AddSaturated(flow.tcp.fin_acks, 1);
    if (tcp.flags & VX_TCP_RST) {
        AddSaturated(stats.tcp_resets, 1);
        tracked.closed = true;
    }
    vxTcpSide &side = src_is_lower ? tracked.tcp_lower : tracked.tcp_upper;
    if (!(tcp.flags & VX_TCP_RST)) TrackSequence(stats, side, tcp);
    if (tcp.flags & VX_TCP_FIN) side.fin = true;
    if (tracked.tcp_lower.fin && tracked.tcp_upper.fin) tracked.closed = true;
}

void vxFlowTracker::Retire(vxTrackedFlow &tracked)
{
    tracked.expired = true;
    auto found = by_key.find(tracked.key);
    if (found != by_key.end() && found->second == &tracked) by_key.erase(found);
}

void vxFlowTracker::Sweep()
{
    flows.erase(std::remove_if(flows.begin(), flows.end(),
                    [](const std::unique_ptr<vxTrackedFlow> &tracked) { return tracked->expired; }),
        flows.end());
}
