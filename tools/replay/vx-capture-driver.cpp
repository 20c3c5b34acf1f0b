// Drives the plugin from a packet capture: the capture reader tracks flows
// and says what the daemon would send; this driver keeps the flow map, sends
// the events and applies the waits.
#include <cstdio>
#include <map>
#include <stdexcept>

#include <vx-capture.hpp>

#include "vx-capture-driver.hpp"
#include "vx-replayer.hpp"

namespace {

class CaptureDriver : public vxCaptureDriver {
public:
    CaptureDriver(vdPluginProcessor &plugin, vxWaits &waits, vxFlowMap &flows)
        : plugin(plugin), waits(waits), flows(flows) {}

    void AddFlow(std::shared_ptr<vdFlow> &flow) override
    {
        flows.Insert(flow);
        // No record can hold a flow that is new: every share it has now is
        // the map's or the reader's.
        owners[flow.get()] = flow.use_count();
    }

    // A packet changes its flow: wait only when records still hold the
    // flow (more shares than the map's and the reader's), so that a flow
    // no event is waiting for costs no marker.
    void BeforeChange(std::shared_ptr<vdFlow> &flow) override
    {
        if (stopped) return;
        auto known = owners.find(flow.get());
        long count = known == owners.end() ? 1 : known->second;
        if (!waits.Settle(flow, count)) stopped = true;
    }

    void FlowEvent(vdPluginProcessor::Event event, std::shared_ptr<vdFlow> &flow) override
    {
        if (Check()) plugin.DispatchProcessorEvent(event, flow);
    }

    void FlowMapEvent() override
    {
        if (Check()) plugin.DispatchProcessorEvent(vdPluginProcessor::Event::FLOW_MAP, flows.Map());
    }

    void AgentEvent(vdPluginProcessor::Event event) override
    {
        if (Check()) plugin.DispatchProcessorEvent(event);
    }

    void PurgeFlow(std::shared_ptr<vdFlow> &flow) override
    {
        flows.Remove(flow);
        owners.erase(flow.get());
    }

    bool Stopped() override { return !Check(); }

private:
    bool Check()
    {
        if (waits.Ended()) stopped = true;
        return !stopped;
    }

    vdPluginProcessor &plugin;
    vxWaits &waits;
    vxFlowMap &flows;
    std::map<const vdFlow *, long> owners;
    bool stopped = false;
};

}  // namespace

int vxRunCapture(vdPluginProcessor &plugin, vxWaits &waits, vxFlowMap &flows,
    const vxReplayOptions &options)
{
    vxCaptureOptions capture;
    capture.local_nets = options.local_nets;
    capture.update_interval = options.update_interval;
    capture.idle_timeout = options.idle_timeout;
    CaptureDriver driver(plugin, waits, flows);
    try {
        vxCaptureSummary summary = vxReplayCapture(options.capture_path, capture, driver);
        if (!summary.warning.empty())
            std::fprintf(stderr, "vessix-replay: %s: %s\n", options.capture_path.c_str(), summary.warning.c_str());
    } catch (const std::runtime_error &e) {
        std::fprintf(stderr, "vessix-replay: %s\n", e.what());
        if (!waits.Ended()) waits.Drain();
        return waits.Ended() ? VX_EXIT_WORKER_ENDED : VX_EXIT_USAGE;
    }
    if (driver.Stopped() || !waits.Drain()) return VX_EXIT_WORKER_ENDED;
    return VX_EXIT_OK;
}
