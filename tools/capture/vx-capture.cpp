// The capture input: frames in, plugin events out, in capture time.
#include "vx-capture.hpp"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "vx-decode.hpp"
#include "vx-event-scheduler.hpp"
#include "vx-pcap-reader.hpp"

namespace {

// One line on a terminal, rewritten at most twice a second and only once a
// capture has taken longer than that; erased at the end.
class vxProgress {
public:
    explicit vxProgress(bool enabled) : enabled(enabled), last(Clock::now()) {}

    void Tick(const vxCaptureSummary &summary, std::uint64_t flows, const vxPcapReader &reader)
    {
        if (!enabled || (summary.packets & 0xff) != 0) return;
        auto now = Clock::now();
        if (now - last < std::chrono::milliseconds(500)) return;
        last = now;
        shown = true;
        // The cursor is left at the start of the line, so that a log line
        // written meanwhile replaces the progress rather than follows it.
        std::fprintf(stderr, "\033[K%llu packets, %llu flows, %.0f%% of the capture read\r",
            static_cast<unsigned long long>(summary.packets), static_cast<unsigned long long>(flows),
            std::floor(reader.ShareRead() * 100));
        std::fflush(stderr);
    }

    void Done()
    {
        if (!shown) return;
        std::fputs("\033[K", stderr);
        std::fflush(stderr);
    }

private:
    using Clock = std::chrono::steady_clock;
    bool enabled;
    bool shown = false;
    Clock::time_point last;
};

void OnFrame(vxEventScheduler &scheduler, vxCaptureSummary &summary, int link_type, const vxFrame &frame)
{
    ++summary.packets;
    vxDecodedPacket packet;
    vxDecodeFrame(link_type, frame.data, frame.captured_length, packet);
    if (packet.is_ip) {
        ++summary.flow_packets;
        scheduler.OnPacket(packet, frame.wire_length, frame.time_us);
    } else {
        scheduler.AdvanceTo(frame.time_us);
    }
}

void Finish(vxEventScheduler &scheduler, vxCaptureSummary &summary)
{
    scheduler.Finish();
    summary.stopped = scheduler.Stopped();
    summary.flows = scheduler.Flows();
    summary.events = scheduler.Events();
}

vxCaptureSummary ReplayFile(vxPcapReader &reader, const vxCaptureOptions &options, vxCaptureDriver &driver)
{
    vxEventScheduler scheduler(options, driver);
    vxCaptureSummary summary;
    vxProgress progress(options.progress);
    vxFrame frame;
    for (;;) {
        if (scheduler.Stopped()) break;
        vxPcapReader::Status status = reader.Next(frame);
        if (status == vxPcapReader::Status::END) break;
        if (status == vxPcapReader::Status::TRUNCATED) {
            summary.warning = reader.Problem();
            break;
        }
        OnFrame(scheduler, summary, reader.LinkType(), frame);
        driver.Between();
        progress.Tick(summary, scheduler.Flows(), reader);
    }
    progress.Done();
    Finish(scheduler, summary);
    return summary;
}

// Live frames carry the kernel's wall-clock time; update cycles follow the
// same clock.
std::uint64_t WallClockMicros()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return std::uint64_t(now.tv_sec) * 1000000u + std::uint64_t(now.tv_nsec / 1000);
}

bool Readable(int fd)
{
    if (fd < 0) return false;
    pollfd wait = {fd, POLLIN, 0};
    return ::poll(&wait, 1, 0) > 0;
}

vxCaptureSummary CaptureLive(vxPcapReader &reader, const vxCaptureOptions &options, vxCaptureDriver &driver)
{
    using Clock = std::chrono::steady_clock;
    vxEventScheduler scheduler(options, driver);
    vxCaptureSummary summary;
    const bool timed = options.duration > 0;
    const Clock::time_point end = Clock::now() +
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timed ? options.duration : 0));
    // The first cycle is one interval after the start, not after the
    // first frame.
    scheduler.AdvanceTo(WallClockMicros());
    vxFrame frame;
    for (;;) {
        // A bounded batch, so that a busy interface still lets the clock,
        // the deadline and a stop request through.
        bool idle = false;
        for (int batch = 0; batch < 256 && !scheduler.Stopped(); ++batch) {
            vxPcapReader::Status status = reader.Next(frame);
            if (status == vxPcapReader::Status::IDLE) {
                idle = true;
                break;
            }
            if (status != vxPcapReader::Status::FRAME) {
                summary.warning = reader.Problem();
                summary.failed = true;
                break;
            }
            OnFrame(scheduler, summary, reader.LinkType(), frame);
        }
        scheduler.AdvanceTo(WallClockMicros());
        driver.Between();
        if (summary.failed || scheduler.Stopped() || Readable(options.stop_fd)) break;
        Clock::time_point now = Clock::now();
        if (timed && now >= end) break;
        if (!idle) continue;

        // Sleep until a frame, a stop request, the next update cycle or
        // the end, and at most a second (the wall clock may jump).
        std::uint64_t wall = WallClockMicros();
        std::uint64_t until_cycle = scheduler.NextCycle() > wall ? scheduler.NextCycle() - wall : 0;
        long long wait_ms = std::min<long long>(1000, (until_cycle + 999) / 1000);
        if (timed) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
            wait_ms = std::min<long long>(wait_ms, left);
        }
        pollfd fds[3] = {{reader.SelectableFd(), POLLIN, 0}, {options.stop_fd, POLLIN, 0},
            {options.wake_fd, POLLIN, 0}};
        // A negative descriptor is left out of the poll.
        const nfds_t count = 3;
        if (::poll(fds, count, int(std::max<long long>(wait_ms, 0))) < 0 && errno != EINTR) {
            summary.warning = std::string("cannot wait for frames: ") + std::strerror(errno);
            summary.failed = true;
            break;
        }
    }
    summary.dropped = reader.Dropped();
    if (!scheduler.Stopped()) scheduler.AdvanceTo(WallClockMicros());
    Finish(scheduler, summary);
    return summary;
}

}  // namespace

vxCaptureSummary vxRunCapture(vxPcapReader &reader, const vxCaptureOptions &options, vxCaptureDriver &driver)
{
    return reader.Live() ? CaptureLive(reader, options, driver) : ReplayFile(reader, options, driver);
}

vxCaptureSummary vxReplayCapture(const std::string &path, const vxCaptureOptions &options, vxCaptureDriver &driver)
{
    vxPcapReader reader(path);
    return vxRunCapture(reader, options, driver);
}
