// The flows of a capture: creation from a packet's key, live counters and
// TCP state, in order of creation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <vessixd.hpp>

#include "vx-classifier.hpp"
#include "vx-decode.hpp"
#include "vx-flow-key.hpp"

// Sequence tracking of one side of a TCP connection.
struct vxTcpSide {
    bool seen = false;
    std::uint32_t next_seq = 0;  // the byte after the highest one sent
    bool fin = false;
};

struct vxTrackedFlow {
    std::shared_ptr<vdFlow> flow;
    vxFlowKey key;
    std::unique_ptr<vxDetection> detection;
    vxDetectionFields applied;  // what the flow holds from detection
    std::uint64_t last_seen_us = 0;
    vxTcpSide tcp_lower, tcp_upper;
    bool closed = false;  // TCP: FIN both ways, or a reset
    bool expired = false;
};

class vxFlowTracker {
public:
    vxFlowTracker(const vxLocalNets &local_nets, std::shared_ptr<vdInterface> iface);

    // The live flow of packet's key, or null.
    vxTrackedFlow *Find(const vxFlowKey &key);

    // A new flow from its first packet, with identity, placement, tunnel and
    // addresses set; not yet counted.
    vxTrackedFlow &Create(const vxFlowKey &key, bool src_is_lower, const vxDecodedPacket &packet,
        std::uint64_t time_us, std::unique_ptr<vxDetection> detection);

    // Adds packet to the flow's counters, seen times and TCP state. The
    // caller has told the driver the flow is about to change.
    static void Count(vxTrackedFlow &tracked, bool src_is_lower, const vxDecodedPacket &packet,
        std::uint32_t wire_length, std::uint64_t time_us);
    // Fills what a later packet reveals of the tunnel and link (the other
    // side's MAC and tunnel endpoint id). Takes the flow's lock.
    static void Learn(vxTrackedFlow &tracked, bool src_is_lower, const vxDecodedPacket &packet);

    // Takes the flow out of the key lookup: later packets start a new flow.
    void Retire(vxTrackedFlow &tracked);
    // Forgets retired flows once the driver has purged them.
    void Sweep();

    std::vector<std::unique_ptr<vxTrackedFlow>> &Flows() { return flows; }

private:
    const vxLocalNets &local_nets;
    std::shared_ptr<vdInterface> iface;
    std::unordered_map<vxFlowKey, vxTrackedFlow *, vxFlowKeyHash> by_key;
    std::vector<std::unique_ptr<vxTrackedFlow>> flows;
};
