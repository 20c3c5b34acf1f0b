// Events from packets and capture time: new flows, detection, update
// cycles, expiry and purging.
#include "vx-event-scheduler.hpp"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <stdexcept>

namespace {

constexpr std::size_t MAX_DNS_NAMES = 65536;

std::uint64_t Microseconds(double seconds, const char *what)
{
    if (!(seconds > 0) || !std::isfinite(seconds) || seconds > 1e9) {
        throw std::runtime_error(std::string("capture: ") + what + " must be a positive number of seconds");
    }
    return std::max<std::uint64_t>(1, std::uint64_t(std::llround(seconds * 1e6)));
}

std::string AddressKey(std::uint8_t version, const std::uint8_t *addr)
{
    std::string key(1, char(version));
    key.append(reinterpret_cast<const char *>(addr), version == 4 ? 4 : 16);
    return key;
}

}  // namespace

vxEventScheduler::vxEventScheduler(const vxCaptureOptions &options, vxCaptureDriver &driver)
    : driver(driver),
      local_nets(options.local_nets),
      tracker(local_nets, std::make_shared<vdInterface>(options.iface, options.iface_role)),
      interval_us(Microseconds(options.update_interval, "the update interval")),
      idle_us(Microseconds(options.idle_timeout, "the idle timeout"))
{
}

void vxEventScheduler::Emit(Event event, vxTrackedFlow &tracked)
{
    driver.FlowEvent(event, tracked.flow);
    ++events;
}

void vxEventScheduler::AdvanceTo(std::uint64_t time_us)
{
    if (!started) {
        started = true;
        clock_us = time_us;
        last_cycle_us = time_us;
        next_cycle_us = time_us + interval_us;
        return;
    }
    if (time_us > clock_us) clock_us = time_us;
    if (clock_us < next_cycle_us) return;
    Cycle(next_cycle_us);
    // After a long silence one more cycle, at the last boundary before now,
    // expires what went idle meanwhile; the empty cycles between are left out.
    std::uint64_t skipped = (clock_us - next_cycle_us) / interval_us;
    if (skipped > 0 && !Stopped()) {
        next_cycle_us += skipped * interval_us;
        Cycle(next_cycle_us);
    }
    next_cycle_us += interval_us;
}

void vxEventScheduler::OnPacket(const vxDecodedPacket &packet, std::uint32_t wire_length, std::uint64_t time_us)
{
    AdvanceTo(time_us);
    if (Stopped()) return;
    bool src_is_lower = false;
    vxFlowKey key = vxMakeFlowKey(packet.ip, packet.vlan_id, src_is_lower);
    vxTrackedFlow *tracked = tracker.Find(key);
    bool created = tracked == nullptr;
    if (created) {
        // Complete with its first packet before the driver sees it.
        tracked = &tracker.Create(key, src_is_lower, packet, time_us, classifier.NewDetection());
        LookUpDnsName(*tracked);
    } else {
        driver.BeforeChange(tracked->flow);
        vxFlowTracker::Learn(*tracked, src_is_lower, packet);
    }
    vdFlow &flow = *tracked->flow;
    vxFlowTracker::Count(*tracked, src_is_lower, packet, wire_length, time_us);

    vxDetection &detection = *tracked->detection;
    bool detecting = !detection.Complete();
    vxDetectionStep step;
    if (detecting) {
        std::uint32_t packets = flow.stats.lower_total_packets + flow.stats.upper_total_packets;
        step = detection.Process(packet.ip, time_us / 1000, packets);
        if (flow.stats.detection_packets < 0xff) ++flow.stats.detection_packets;
    }
    if (!flow.flags.detection_init) {
        std::lock_guard<std::recursive_mutex> hold(flow.lock);
        flow.flags.detection_init = true;
    }
    if (created) {
        driver.AddFlow(tracked->flow);
        ++flows_created;
        Emit(Event::FLOW_NEW, *tracked);
    }
    if (detecting) Report(*tracked, step);
}

void vxEventScheduler::Report(vxTrackedFlow &tracked, const vxDetectionStep &step)
{
    vxDetection &detection = *tracked.detection;
    if (!detection.Known()) return;
    vdFlow &flow = *tracked.flow;
    vxDetectionFields fields = detection.Extract();
    bool changed = !(fields == tracked.applied);
    if (step.first_result) {
        driver.BeforeChange(tracked.flow);
        ApplyDetection(tracked, fields);
        Emit(Event::DPI_NEW, tracked);
    } else if (changed) {
        driver.BeforeChange(tracked.flow);
        ApplyDetection(tracked, fields);
        {
            std::lock_guard<std::recursive_mutex> hold(flow.lock);
            flow.flags.detection_updated = true;
        }
        if (!step.completed) Emit(Event::DPI_UPDATE, tracked);
    }
    if (step.completed) {
        driver.BeforeChange(tracked.flow);
        {
            std::lock_guard<std::recursive_mutex> hold(flow.lock);
            flow.flags.detection_complete = true;
        }
        Emit(Event::DPI_COMPLETE, tracked);
        RememberDnsAnswer(tracked);
    }
}

void vxEventScheduler::ApplyDetection(vxTrackedFlow &tracked, const vxDetectionFields &fields)
{
    vdFlow &flow = *tracked.flow;
    std::lock_guard<std::recursive_mutex> hold(flow.lock);
    fields.Apply(flow);
    std::uint64_t digest = vxDigestMetadata(
        flow.digest_lower, fields.detected_protocol, fields.detected_application, fields.host_server_name);
    if (flow.digest_mdata.empty() || flow.digest_mdata.back() != digest) flow.digest_mdata.push_back(digest);
    tracked.applied = fields;
}

void vxEventScheduler::LookUpDnsName(vxTrackedFlow &tracked)
{
    if (dns_names.empty()) return;
    const vxFlowKey &key = tracked.key;
    vdFlow &flow = *tracked.flow;
    bool lower_is_other = flow.lower_map == vdFlow::LOWER_OTHER;
    const std::uint8_t *other = lower_is_other ? key.lower_addr : key.upper_addr;
    const std::uint8_t *local = lower_is_other ? key.upper_addr : key.lower_addr;
    for (const std::uint8_t *addr : {other, local}) {
        auto found = dns_names.find(AddressKey(key.ip_version, addr));
        if (found == dns_names.end()) continue;
        std::lock_guard<std::recursive_mutex> hold(flow.lock);
        flow.dns_host_name = found->second;
        flow.flags.dhc_hit = true;
        return;
    }
}

void vxEventScheduler::RememberDnsAnswer(vxTrackedFlow &tracked)
{
    vxDnsAnswer answer;
    if (!tracked.detection->DnsAnswer(answer)) return;
    // A bound on memory for long captures: a full cache starts afresh.
    if (dns_names.size() >= MAX_DNS_NAMES) dns_names.clear();
    dns_names[AddressKey(answer.version, answer.addr)] = answer.name;
}

void vxEventScheduler::Expire(vxTrackedFlow &tracked)
{
    vxDetection &detection = *tracked.detection;
    if (!detection.Complete()) Report(tracked, detection.GiveUp());
    vdFlow &flow = *tracked.flow;
    driver.BeforeChange(tracked.flow);
    flow.flags.expiring = true;
    Emit(Event::FLOW_EXPIRING, tracked);
    driver.BeforeChange(tracked.flow);
    flow.flags.expired = true;
    Emit(Event::FLOW_EXPIRED, tracked);
    tracker.Retire(tracked);
}

void vxEventScheduler::Cycle(std::uint64_t time_us)
{
    auto &flows = tracker.Flows();
    for (auto &tracked : flows) {
        if (Stopped()) return;
        if (tracked->expired) continue;
        bool idle = time_us > tracked->last_seen_us && time_us - tracked->last_seen_us >= idle_us;
        if (idle || tracked->closed) Expire(*tracked);
    }
    // Rates over the cycle that ends now, in bytes per second.
    double seconds = double(time_us > last_cycle_us ? time_us - last_cycle_us : interval_us) / 1e6;
    for (auto &tracked : flows) {
        if (Stopped()) return;
        vdFlow::Stats &stats = tracked->flow->stats;
        float lower_rate = float(double(stats.lower_bytes) / seconds);
        float upper_rate = float(double(stats.upper_bytes) / seconds);
        if (lower_rate == stats.lower_rate && upper_rate == stats.upper_rate) continue;
        driver.BeforeChange(tracked->flow);
        stats.lower_rate = lower_rate;
        stats.upper_rate = upper_rate;
    }
    if (Stopped()) return;
    driver.AgentEvent(Event::UPDATE_INIT);
    driver.FlowMapEvent();
    driver.AgentEvent(Event::UPDATE_COMPLETE);
    events += 3;
    for (auto &tracked : flows) {
        if (tracked->expired) driver.PurgeFlow(tracked->flow);
    }
    tracker.Sweep();
    // The per-cycle counters start again; the totals go on.
    for (auto &tracked : flows) {
        if (Stopped()) return;
        vdFlow::Stats &stats = tracked->flow->stats;
        if (stats.total_packets == 0) continue;
        driver.BeforeChange(tracked->flow);
        stats.lower_bytes = stats.upper_bytes = stats.total_bytes = 0;
        stats.lower_packets = stats.upper_packets = stats.total_packets = 0;
    }
    last_cycle_us = time_us;
}

void vxEventScheduler::Finish()
{
    if (!started || Stopped()) return;
    // A last cycle shows the script every flow with its final counters;
    // then whatever is left expires with the capture.
    Cycle(clock_us);
    auto &flows = tracker.Flows();
    for (auto &tracked : flows) {
        if (Stopped()) return;
        if (!tracked->expired) Expire(*tracked);
    }
    for (auto &tracked : flows) driver.PurgeFlow(tracked->flow);
    tracker.Sweep();
}
