#include "vx-capture.hpp"

#include <chrono>
#include <cstdio>

#include "vx-decode.hpp"
#include "vx-event-scheduler.hpp"
#include "vx-pcap-reader.hpp"

namespace {

// Writes a progress line at most once a second, and only for captures that
// take longer than that.
class vxProgress {
public:
    explicit vxProgress(bool enabled) : enabled(enabled), start(Clock::now()), last(start) {}

    void Tick(const vxCaptureSummary &summary, std::uint64_t flows, std::uint64_t events)
    {
        if (!enabled || (summary.packets & 0x3ff) != 0) return;
        auto now = Clock::now();
        if (now - last < std::chrono::seconds(1)) return;
        last = now;
        Print(summary.packets, flows, events, now);
    }

    void Done(const vxCaptureSummary &summary)
    {
        if (enabled && last != start) Print(summary.packets, summary.flows, summary.events, Clock::now());
    }

private:
    using Clock = std::chrono::steady_clock;

    void Print(std::uint64_t packets, std::uint64_t flows, std::uint64_t events, Clock::time_point now)
    {
        double seconds = std::chrono::duration<double>(now - start).count();
        std::fprintf(stderr, "capture: %llu packets, %llu flows, %llu events, %.0f packets/s\n",
            static_cast<unsigned long long>(packets), static_cast<unsigned long long>(flows),
            static_cast<unsigned long long>(events), seconds > 0 ? double(packets) / seconds : 0.0);
    }

    bool enabled;
    Clock::time_point start;
    Clock::time_point last;
};

}  // namespace

vxCaptureSummary vxReplayCapture(const std::string &path, const vxCaptureOptions &options, vxCaptureDriver &driver)
{
    vxPcapReader reader(path);
    vxEventScheduler scheduler(options, driver);
    vxCaptureSummary summary;
    vxProgress progress(options.progress);
    vxFrame frame;
    vxDecodedPacket packet;
    for (;;) {
        if (scheduler.Stopped()) break;
        vxPcapReader::Status status = reader.Next(frame);
        if (status == vxPcapReader::Status::END) break;
        if (status == vxPcapReader::Status::TRUNCATED) {
            summary.warning = reader.Problem();
            break;
        }
        ++summary.packets;
        vxDecodeFrame(reader.LinkType(), frame.data, frame.captured_length, packet);
        if (packet.is_ip) {
            ++summary.flow_packets;
            scheduler.OnPacket(packet, frame.wire_length, frame.time_us);
        } else {
            scheduler.AdvanceTo(frame.time_us);
        }
        progress.Tick(summary, scheduler.Flows(), scheduler.Events());
    }
    scheduler.Finish();
    summary.stopped = scheduler.Stopped();
    summary.flows = scheduler.Flows();
    summary.events = scheduler.Events();
    progress.Done(summary);
    return summary;
}
