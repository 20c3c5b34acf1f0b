// Turns packets and the passing of capture time into the events a daemon
// sends a processor plugin: new flows, detection progress, update cycles
// with flow-map snapshots, expiry and purging.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "vx-capture.hpp"
#include "vx-classifier.hpp"
#include "vx-flow-tracker.hpp"

class vxEventScheduler {
public:
    vxEventScheduler(const vxCaptureOptions &options, vxCaptureDriver &driver);

    // Handles one decoded IP packet captured at time_us. Runs the update
    // cycles that fall due before it first.
    void OnPacket(const vxDecodedPacket &packet, std::uint32_t wire_length, std::uint64_t time_us);
    // Capture time has reached time_us (a packet that is no flow's).
    void AdvanceTo(std::uint64_t time_us);
    // End of the capture: a last update cycle, then every flow left ends
    // its detection, expires and is purged.
    void Finish();

    bool Stopped() { return stopped || (stopped = driver.Stopped()); }
    std::uint64_t Flows() const { return flows_created; }
    std::uint64_t Events() const { return events; }
    // Capture time of the next update cycle.
    std::uint64_t NextCycle() const { return next_cycle_us; }

private:
    using Event = vdPluginProcessor::Event;

    void Emit(Event event, vxTrackedFlow &tracked);
    // An update cycle at time_us: idle and closed flows expire, the script
    // sees the map, expired flows are purged, per-cycle counters restart.
    void Cycle(std::uint64_t time_us);
    void Expire(vxTrackedFlow &tracked);
    // Emits the detection events of one step, applying what changed.
    void Report(vxTrackedFlow &tracked, const vxDetectionStep &step);
    void ApplyDetection(vxTrackedFlow &tracked, const vxDetectionFields &fields);
    void LookUpDnsName(vxTrackedFlow &tracked);
    void RememberDnsAnswer(vxTrackedFlow &tracked);

    vxCaptureDriver &driver;
    vxLocalNets local_nets;
    vxClassifier classifier;
    vxFlowTracker tracker;
    std::uint64_t interval_us;
    std::uint64_t idle_us;
    bool started = false;
    std::uint64_t clock_us = 0;  // latest capture time seen
    std::uint64_t next_cycle_us = 0;
    std::uint64_t last_cycle_us = 0;
    // Names DNS answers gave for addresses, for flows to them later.
    std::map<std::string, std::string> dns_names;
    std::uint64_t flows_created = 0;
    std::uint64_t events = 0;
    bool stopped = false;
};
