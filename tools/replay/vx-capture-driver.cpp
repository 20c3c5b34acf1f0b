// Drives the plugin from a packet capture or a live interface: the capture
// input tracks flows and says what the daemon would send; this driver keeps
// the flow map, sends the events and applies the waits.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>

#include <vx-capture.hpp>
#include <vx-pcap-reader.hpp>

#include "vx-capture-driver.hpp"
#include "vx-replayer.hpp"

namespace {

class CaptureDriver : public vxCaptureDriver {
public:
    CaptureDriver(vdPluginProcessor &plugin, vxWaits &waits, vxFlowMap &flows, vxReloadSignal &reloads,
        vxRecordWriter *record)
        : plugin(plugin), waits(waits), flows(flows), reloads(reloads), record(record) {}

    void AddFlow(std::shared_ptr<vdFlow> &flow) override
    {
        flows.Insert(flow);
        if (record) record->AddFlow(*flow);
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
        if (!Check()) return;
        if (record) record->FlowEvent(static_cast<std::uint16_t>(event), *flow);
        plugin.DispatchProcessorEvent(event, flow);
    }

    void FlowMapEvent() override
    {
        if (!Check()) return;
        if (record) record->FlowMapEvent();
        plugin.DispatchProcessorEvent(vdPluginProcessor::Event::FLOW_MAP, flows.Map());
    }

    void AgentEvent(vdPluginProcessor::Event event) override
    {
        if (!Check()) return;
        if (record) record->AgentEvent(static_cast<std::uint16_t>(event));
        plugin.DispatchProcessorEvent(event);
    }

    void PurgeFlow(std::shared_ptr<vdFlow> &flow) override
    {
        if (record) record->PurgeFlow(*flow);
        flows.Remove(flow);
        owners.erase(flow.get());
    }

    // A reload between two frames is one between two recording lines: the
    // recording gets a "reload" line there.
    void Between() override
    {
        while (Check() && reloads.Take()) {
            if (record) record->Reload();
            if (!vxReload(plugin, waits)) stopped = true;
        }
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
    vxReloadSignal &reloads;
    vxRecordWriter *record;
    std::map<const vdFlow *, long> owners;
    bool stopped = false;
};

}  // namespace

namespace {

// Where the signal handler writes; one live capture per process.
int stop_signal_fd = -1;
struct sigaction previous_int, previous_term;

void OnStopSignal(int)
{
    int saved = errno;
    char byte = 0;
    // A full pipe already says "stop".
    [[maybe_unused]] ssize_t ignored = ::write(stop_signal_fd, &byte, 1);
    errno = saved;
}

}  // namespace

vxCaptureInput::vxCaptureInput(const vxReplayOptions &options)
{
    // The record file first: a failure then leaves no signal caught.
    if (!options.record_path.empty()) {
        try {
            record = std::make_unique<vxRecordWriter>(options.record_path);
        } catch (const std::runtime_error &e) {
            throw vxUsageError(e.what());
        }
    }
    OpenInput(options);
}

void vxCaptureInput::OpenInput(const vxReplayOptions &options)
{
    if (options.interface.empty()) {
        name = options.capture_path;
        reader = std::make_unique<vxPcapReader>(options.capture_path);
        try {
            if (options.filter_given) reader->SetFilter(options.filter);
        } catch (const std::runtime_error &e) {
            throw vxUsageError(std::string("--filter: ") + e.what());
        }
        return;
    }
    name = options.interface;
    try {
        reader = vxPcapReader::OpenInterface(options.interface, options.promiscuous);
        if (options.filter_given) reader->SetFilter(options.filter);
    } catch (const std::runtime_error &e) {
        throw vxUsageError("cannot capture on " + options.interface + ": " + e.what());
    }
    if (!reader->Problem().empty())
        std::fprintf(stderr, "vessix-replay: %s: %s\n", name.c_str(), reader->Problem().c_str());
    CatchStopSignals();
}

vxCaptureInput::~vxCaptureInput()
{
    RestoreSignals();
    if (stop_read >= 0) ::close(stop_read);
    if (stop_write >= 0) ::close(stop_write);
}

// The handler only writes to a pipe that the capture waits on, whichever
// thread the signal interrupts. A second signal ends the program as if none
// had been caught, for a script that keeps the last cycle from ending.
void vxCaptureInput::CatchStopSignals()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
    stop_read = fds[0];
    stop_write = fds[1];
    stop_signal_fd = stop_write;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    ::sigaction(SIGINT, &action, &previous_int);
    ::sigaction(SIGTERM, &action, &previous_term);
    signals_caught = true;
}

void vxCaptureInput::RestoreSignals()
{
    if (!signals_caught) return;
    ::sigaction(SIGINT, &previous_int, nullptr);
    ::sigaction(SIGTERM, &previous_term, nullptr);
    signals_caught = false;
}

int vxCaptureInput::Run(vdPluginProcessor &plugin, vxWaits &waits, vxFlowMap &flows, const vxReplayOptions &options,
    vxReloadSignal &reloads)
{
    const bool live = reader->Live();
    vxCaptureOptions capture;
    capture.local_nets = options.local_nets;
    capture.update_interval = options.update_interval;
    capture.idle_timeout = options.idle_timeout;
    capture.progress = !live && ::isatty(STDERR_FILENO) == 1;
    capture.duration = options.duration;
    capture.stop_fd = stop_read;
    capture.wake_fd = reloads.WakeFd();
    // Flows of a live capture are on the interface they were captured on.
    if (live) capture.iface = options.interface;
    CaptureDriver driver(plugin, waits, flows, reloads, record.get());
    // A SIGHUP that came before the plugin was ready is served first.
    driver.Between();
    vxCaptureSummary summary;
    try {
        summary = vxRunCapture(*reader, capture, driver);
    } catch (const std::runtime_error &e) {
        std::fprintf(stderr, "vessix-replay: %s\n", e.what());
        if (!waits.Ended()) waits.Drain();
        return waits.Ended() ? VX_EXIT_WORKER_ENDED : VX_EXIT_USAGE;
    }
    if (summary.failed)
        std::fprintf(stderr, "vessix-replay: cannot capture on %s: %s\n", name.c_str(), summary.warning.c_str());
    else if (!summary.warning.empty())
        std::fprintf(stderr, "vessix-replay: %s: %s\n", name.c_str(), summary.warning.c_str());
    if (summary.dropped > 0)
        std::fprintf(stderr, "vessix-replay: %s: %llu frames dropped\n", name.c_str(),
            static_cast<unsigned long long>(summary.dropped));
    if (driver.Stopped() || !waits.Drain()) return VX_EXIT_WORKER_ENDED;
    return summary.failed ? VX_EXIT_USAGE : VX_EXIT_OK;
}
