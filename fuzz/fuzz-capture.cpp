// The capture input's packet path, which live traffic reaches unchecked:
// any bytes as frames of each link type the reader accepts, through
// decapsulation, the flow key and the flow tracker.
//
// Input: one byte that picks the link type, then frames, each a 16-bit
// big-endian length and that many bytes (the last one takes what is left).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <pcap/dlt.h>

#include "vx-decode.hpp"
#include "vx-flow-key.hpp"
#include "vx-flow-tracker.hpp"

namespace {

const int link_types[] = {
    DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW, DLT_IPV4, DLT_IPV6, DLT_NULL, DLT_LOOP};

// Local networks of both families, so that every placement is reached.
const vxLocalNets &LocalNets()
{
    static const vxLocalNets nets({"10.0.0.0/8", "192.168.0.0/16", "fd00::/8", "2001:db8::/32"});
    return nets;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0) return 0;
    const int link_type = link_types[data[0] % (sizeof(link_types) / sizeof(link_types[0]))];
    vxFlowTracker tracker(LocalNets(), std::make_shared<vdInterface>("eth0", 0));
    std::size_t at = 1;
    std::uint64_t time_us = 1000000;
    while (at < size) {
        std::size_t length = size - at;
        if (length >= 2) {
            std::size_t declared = (std::size_t(data[at]) << 8) | data[at + 1];
            at += 2;
            length = std::min(declared, size - at);
        }
        // A copy of exactly the frame's bytes, so that a read past its end
        // is caught.
        std::vector<std::uint8_t> frame(data + at, data + at + length);
        at += length;
        time_us += 1000;

        vxDecodedPacket packet;
        vxDecodeFrame(link_type, frame.data(), frame.size(), packet);
        if (!packet.is_ip) continue;
        bool src_is_lower = false;
        vxFlowKey key = vxMakeFlowKey(packet.ip, packet.vlan_id, src_is_lower);
        vxTrackedFlow *tracked = tracker.Find(key);
        if (tracked == nullptr)
            tracked = &tracker.Create(key, src_is_lower, packet, time_us, nullptr);
        else
            vxFlowTracker::Learn(*tracked, src_is_lower, packet);
        vxFlowTracker::Count(*tracked, src_is_lower, packet, std::uint32_t(frame.size()), time_us);
        // A closed connection leaves the lookup; its next packet starts a
        // new flow, as in the scheduler.
        if (tracked->closed) {
            tracker.Retire(*tracked);
            tracker.Sweep();
        }
    }
    return 0;
}
