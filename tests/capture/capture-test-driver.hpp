// A capture driver for tests: logs every call with the flow's state at that
// moment, and keeps every flow it was given.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <vx-capture.hpp>

// Lowercase hex of bytes.
std::string Hex(const std::vector<std::uint8_t> &bytes);

class RecordingDriver : public vxCaptureDriver {
public:
    struct Record {
        std::string call;  // "add", "change", "flow", "flow_map", "agent", "purge"
        int event = 0;
        int flow = -1;  // index into flows
        std::vector<int> map;  // flow_map: the flows a plugin would take
        // flow_map: each flow's per-cycle and total packet counts.
        std::vector<std::pair<std::uint32_t, std::uint32_t>> packets;
    };

    void AddFlow(std::shared_ptr<vdFlow> &flow) override;
    void BeforeChange(std::shared_ptr<vdFlow> &flow) override;
    void FlowEvent(vdPluginProcessor::Event event, std::shared_ptr<vdFlow> &flow) override;
    void FlowMapEvent() override;
    void AgentEvent(vdPluginProcessor::Event event) override;
    void PurgeFlow(std::shared_ptr<vdFlow> &flow) override;
    bool Stopped() override;

    // Stops after this many event calls (0: never).
    std::uint64_t stop_after_events = 0;

    std::vector<std::shared_ptr<vdFlow>> flows;  // in order of creation
    std::vector<bool> in_map;
    std::vector<Record> records;
    // One line per call, with the flow's fields: compared across runs.
    std::vector<std::string> log;
    // Calls that broke the driver contract (unknown flow, double add...).
    std::vector<std::string> faults;

    std::size_t FlowsInMap() const;
    // The flows of one event number, in order.
    std::vector<int> FlowsWithEvent(int event) const;

private:
    int IndexOf(const std::shared_ptr<vdFlow> &flow, const char *call);
    void Log(const std::string &call, int event, int index);
    // A flow seen by a plugin must not change until BeforeChange announces
    // it: checks that, then takes the flow's state as seen.
    void Observe(int index, const char *call, bool announce);

    std::vector<std::string> last_seen;  // state at the last observation
    std::vector<bool> announced;  // BeforeChange since then

    std::map<const vdFlow *, int> index_of;
    std::uint64_t event_calls = 0;
};

// Text of a flow's identity and detection state, for logs and messages.
std::string DescribeFlow(vdFlow &flow);

// "TCP 1.2.3.4:80 <-> 5.6.7.8:1234" style names of both endpoints, lower first.
std::string Endpoints(vdFlow &flow);
