// Packet-capture input of vessix-replay: reads a capture file or a live
// interface, tracks flows, classifies them, and reports what a
// flow-inspection daemon would send to a processor plugin, in capture time
// (the wall clock for an interface).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <vessixd.hpp>

struct vxCaptureOptions {
    // Networks whose addresses count as local, e.g. "192.168.0.0/16".
    std::vector<std::string> local_nets;
    // Seconds of capture time between two update cycles.
    double update_interval = 15;
    // Seconds of capture time after which an idle flow expires.
    double idle_timeout = 30;
    // Files: keep a progress line on standard error (a terminal) up to date.
    bool progress = false;
    // Live: seconds to capture; 0 captures until stop_fd is readable.
    double duration = 0;
    // Live: a descriptor that becomes readable when the capture should end
    // (-1: none).
    int stop_fd = -1;
    // Live: a descriptor that becomes readable when the driver has work of
    // its own (vxCaptureDriver::Between) while no frame comes (-1: none).
    int wake_fd = -1;
    // The interface every flow of the capture is given.
    std::string iface = "eth0";
    std::uint8_t iface_role = 0;
};

// What the capture reader asks of the program that drives the plugin.
class vxCaptureDriver {
public:
    virtual ~vxCaptureDriver() = default;

    // A new flow: put it into the daemon's flow map.
    virtual void AddFlow(std::shared_ptr<vdFlow> &flow) = 0;
    // Called before the reader changes any field of flow, so that every
    // record queued earlier for it can be handled first.
    virtual void BeforeChange(std::shared_ptr<vdFlow> &flow) = 0;
    // DispatchProcessorEvent(event, flow).
    virtual void FlowEvent(vdPluginProcessor::Event event, std::shared_ptr<vdFlow> &flow) = 0;
    // DispatchProcessorEvent(event, &flow_map) with the whole map.
    virtual void FlowMapEvent() = 0;
    // DispatchProcessorEvent(event) for UPDATE_INIT and UPDATE_COMPLETE.
    virtual void AgentEvent(vdPluginProcessor::Event event) = 0;
    // Removes flow from the flow map.
    virtual void PurgeFlow(std::shared_ptr<vdFlow> &flow) = 0;
    // Called between frames, where the driver may send events of its own
    // (a reload request that came in).
    virtual void Between() {}
    // Whether the driver has stopped (the plugin's worker ended): the reader
    // then returns at once.
    virtual bool Stopped() = 0;
};

struct vxCaptureSummary {
    std::uint64_t packets = 0;
    std::uint64_t flows = 0;
    std::uint64_t events = 0;
    // Packets that belonged to a flow (IP packets).
    std::uint64_t flow_packets = 0;
    // Why the capture ended early (a file cut short mid-record), or empty.
    std::string warning;
    // The driver stopped the replay before the end of the capture.
    bool stopped = false;
    // Live: the interface failed (the reason is in warning); the flows
    // captured until then were finished as at a normal end.
    bool failed = false;
    // Live: frames the kernel or the interface dropped.
    std::uint64_t dropped = 0;
};

class vxPcapReader;

// Replays what reader reads through driver: a file to its end, an interface
// until options.duration has passed or options.stop_fd is readable. Then a
// last update cycle runs and every flow left expires.
vxCaptureSummary vxRunCapture(vxPcapReader &reader, const vxCaptureOptions &options, vxCaptureDriver &driver);

// Replays the capture at path through driver. Throws std::runtime_error with
// a clear message for a file that cannot be opened or read as a capture; a
// capture truncated mid-packet ends cleanly at the last whole packet.
vxCaptureSummary vxReplayCapture(
    const std::string &path, const vxCaptureOptions &options, vxCaptureDriver &driver);
