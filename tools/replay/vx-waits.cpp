// Waits built on markers: records the replay queues itself, event 0 for a
// private flow. The worker takes records one at a time in the order they
// were queued and drops event 0 without calling a handler, destroying the
// record and so releasing its share of the flow. When a marker's share comes
// back, every record queued before it has therefore been taken off the queue
// and destroyed (handled, dropped, or discarded by a reload, which releases
// shares too). Each marker share has a control block of its own whose
// deleter raises a signal: the last release, on the worker thread, is what
// the replay waits for, with the synchronisation of a mutex, so everything
// the worker did before (log lines, sink payloads, reading flows) happens
// before what the replay does next.
//
// A marker is queued only when an intake gate lets it through: the
// single-flow overload needs ProcessFlowEvent, the flow-map overload
// ProcessFlowMap or ProcessFlowStats. Right after the intake call the
// marker's use count tells whether it was queued (the record holds a
// second share). Only a script with ProcessAgentEvent alone, or a plugin
// with no handler yet, queues no marker; then the worker thread's own state
// is the signal (WaitIdle).
#include <thread>

#include "vx-waits.hpp"
#include "vx-worker-probe.hpp"

namespace {

constexpr auto poll_interval = std::chrono::milliseconds(10);

}  // namespace

vxWaits::vxWaits(vdPluginProcessor &plugin)
    : plugin(plugin), marker_flow(std::make_shared<vdFlow>()), marker_map(new vdFlowMap(1))
{
    marker_flow->iface = std::make_shared<vdInterface>("eth0", 0);
    marker_flow->flags.detection_init = true;
    // The plugin names worker N's thread "TAG-wN", the tag cut so that the
    // name fits the system's 15 characters.
    for (unsigned number = 2; number <= 64; number++) {
        const std::string suffix = "-w" + std::to_string(number);
        worker_thread_names.push_back(plugin.GetTag().substr(0, 15 - suffix.size()) + suffix);
    }
}

vxWaits::~vxWaits() = default;

std::shared_ptr<vdFlow> vxWaits::NewShare(const std::shared_ptr<Signal> &signal)
{
    return std::shared_ptr<vdFlow>(marker_flow.get(), [signal, keep = marker_flow](vdFlow *) {
        std::lock_guard<std::mutex> guard(signal->mutex);
        signal->returned = true;
        signal->cond.notify_all();
    });
}

bool vxWaits::TrySingleFlow(Marker &marker)
{
    marker.signal = std::make_shared<Signal>();
    std::shared_ptr<vdFlow> share = NewShare(marker.signal);
    plugin.DispatchProcessorEvent(vdPluginProcessor::Event::NONE, share);
    bool queued = share.use_count() > 1;
    // Dropping the replay's share leaves the record's as the last one.
    share.reset();
    return queued;
}

bool vxWaits::TryFlowMap(Marker &marker)
{
    marker.signal = std::make_shared<Signal>();
    std::shared_ptr<vdFlow> share = NewShare(marker.signal);
    vdFlowMap::Bucket &bucket = marker_map->Acquire(0);
    bucket.push_back(share);
    marker_map->Release(0);
    // The map and the replay hold two shares; the record would be a third.
    plugin.DispatchProcessorEvent(vdPluginProcessor::Event::NONE, marker_map.get());
    bool queued = share.use_count() > 2;
    marker_map->Acquire(0).clear();
    marker_map->Release(0);
    share.reset();
    return queued;
}

vxWaits::Marker vxWaits::SendMarker()
{
    Marker marker;
    if (TrySingleFlow(marker) || TryFlowMap(marker)) return marker;
    return Marker{};
}

// A marker whose share did not show up may have been kept out by a gate,
// refused by a full queue (the plugin's opt-in queue limit), or queued and
// taken before the count was read: it is never taken as handled. Markers
// are sent again every millisecond until one shows up; a worker seen idle
// meanwhile has an empty queue, so a marker that still cannot be queued
// then was kept out by the gates, and the caller falls back on the idle
// worker (an empty result).
vxWaits::Marker vxWaits::QueueMarker()
{
    for (;;) {
        if (plugin.HasEnded()) return Marker{};
        Marker marker = SendMarker();
        if (marker.signal) return marker;
        if (IsIdle()) return SendMarker();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool vxWaits::WaitMarker(const Marker &marker)
{
    std::unique_lock<std::mutex> lock(marker.signal->mutex);
    while (!marker.signal->returned) {
        // A worker whose Entry has returned takes nothing any more; its
        // queue is destroyed only with the plugin.
        if (plugin.HasEnded()) return marker.signal->returned;
        marker.signal->cond.wait_for(lock, poll_interval);
    }
    return true;
}

bool vxWaits::IsIdle()
{
    const long plugin_tid = plugin.GetThreadId();
    if (plugin_tid == 0) return false;
    // Every worker's thread: with the plugin's "workers", each has a queue
    // of its own, and the replay is idle only when all of them are.
    std::vector<long> tids = vxFindThreads(worker_thread_names);
    tids.insert(tids.begin(), plugin_tid);
    std::vector<vxThreadState> before;
    for (long tid : tids) {
        before.push_back(vxProbeThread(tid));
        if (!before.back().known) {
            // No /proc to ask (a restricted system): the best left is to
            // let two of the worker's one-second waits pass, enough for a
            // pass that was waiting to wake up, reload and take what is
            // queued. Output may then depend on timing; the replay at
            // least ends.
            std::this_thread::sleep_for(std::chrono::milliseconds(2100));
            return true;
        }
        if (!before.back().in_condition_wait) return false;
    }
    std::this_thread::sleep_for(settle_window);
    for (std::size_t index = 0; index < tids.size(); index++) {
        vxThreadState after = vxProbeThread(tids[index]);
        // Asleep in the condition-variable wait at both ends of the window
        // and not switched in between: it stayed blocked throughout.
        if (!after.in_condition_wait || after.voluntary_switches != before[index].voluntary_switches ||
            after.involuntary_switches != before[index].involuntary_switches)
            return false;
    }
    return true;
}

// Sound where no marker can be queued. The worker blocks in its
// condition-variable wait only after finding the queue empty under the
// queue mutex, and an intake that queues a record notifies the variable
// under that mutex, which makes a waiting worker runnable before the intake
// call returns. So once the replay has queued its last record, a worker
// seen asleep in that wait has taken every record. The wake-up records
// (event 0 through the event-alone overload, which a ProcessAgentEvent
// script's gate lets through) make a worker that slept through a reload
// request run a pass, and every pass begins with the reload: seen asleep
// again after them, it has reloaded. The settle window guards against a
// reading caught between two passes.
bool vxWaits::WaitIdle(bool wake)
{
    if (wake) plugin.DispatchProcessorEvent(vdPluginProcessor::Event::NONE);
    for (;;) {
        if (plugin.HasEnded()) return false;
        if (IsIdle()) return !plugin.HasEnded();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool vxWaits::WaitNextMarker()
{
    Marker marker = QueueMarker();
    return marker.signal ? WaitMarker(marker) : WaitIdle(true);
}

// Until the first reload has finished, the plugin defines no handler and
// every gate is closed; a build sets the mask and then discards the queue.
// The first marker that gets through therefore comes back either from that
// discard, inside Reload, before the worker clears its reload flag (a
// request made then would be swallowed), or from a later pass, after it.
// A second marker, sent once the first is back, is queued after the
// discard; a pass clears the flag before it takes a record, so when the
// second comes back the first Reload has returned and the flag is clear.
// The worker never sleeps in its condition wait before the first reload
// has run and its flag is cleared, so a worker seen idle is ready too (a
// script with ProcessAgentEvent alone).
bool vxWaits::Ready()
{
    Marker marker = QueueMarker();
    if (!marker.signal) return !plugin.HasEnded();
    return WaitMarker(marker) && WaitNextMarker();
}

bool vxWaits::Settle(const std::shared_ptr<vdFlow> &flow, long owners)
{
    // Shares beyond the replay's own belong to queued records (or the one
    // in hand). A flow no record holds can change at once.
    if (flow.use_count() <= owners) return !plugin.HasEnded();
    return Drain();
}

bool vxWaits::Drain()
{
    Marker marker = QueueMarker();
    if (marker.signal) return WaitMarker(marker);
    return WaitIdle(true);
}

// The reload flag was set before the markers were queued. The pass already
// waiting may take the first marker before it looks at the flag again, but
// the pass after it begins with the reload, so the second marker is taken
// (or discarded) only after Reload has run. When the reload changes the
// gates between the two intake calls, the marker that did get through was
// queued after the flag was set, and it is taken or discarded only by a
// pass that has gone through that reload. The replay drains the queue
// before it raises a reload request, so no reload is running when the flag
// is set and none can absorb the request early.
bool vxWaits::Reloaded()
{
    // Each marker is queued before the next is sent: the second is then
    // behind the first in the queue whatever a queue limit refused.
    Marker first = QueueMarker();
    Marker second = first.signal ? QueueMarker() : Marker{};
    bool ok;
    if (second.signal) {
        ok = WaitMarker(first) && WaitMarker(second);
    } else if (first.signal) {
        // The gate closed between the two: a reload was running or done by
        // then, though the first marker may have been taken before it. A
        // marker that gets through now was queued after the new mask was
        // set, so it comes back after that reload's discard or later.
        ok = WaitMarker(first) && WaitNextMarker();
    } else {
        ok = WaitIdle(true);
    }
    // The last marker may have come back from the reload's discard, before
    // the worker cleared its reload flag: one more, queued after that
    // discard, comes back once the flag is clear, so that a request on the
    // next line is not swallowed.
    if (ok && (first.signal || second.signal)) ok = WaitNextMarker();
    reload_pending = false;
    return ok;
}

// The request of a dispatch_event line may still wait for a pass, or its
// reload may be running: waiting as for a reload line carries it out (and
// lets a failing one end the worker) before the replay terminates the
// plugin, so that the output and the exit status do not depend on timing.
bool vxWaits::Finish() { return reload_pending ? Reloaded() : Drain(); }

void vxWaits::ReloadRequested() { reload_pending = true; }

void vxWaits::Nudge()
{
    Marker marker;
    TrySingleFlow(marker);
    TryFlowMap(marker);
    plugin.DispatchProcessorEvent(vdPluginProcessor::Event::NONE);
}
