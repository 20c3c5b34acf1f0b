// The waits that make a replay deterministic: each ends when the plugin's
// worker has handled what the replay needs handled, or early when the
// worker's Entry has returned (every wait then returns false).
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <vessixd.hpp>

class vxWaits {
public:
    explicit vxWaits(vdPluginProcessor &plugin);
    ~vxWaits();
    vxWaits(const vxWaits &) = delete;
    vxWaits &operator=(const vxWaits &) = delete;

    // After Create: until the worker's first Reload has returned and its
    // reload flag is clear.
    bool Ready();
    // Before flow changes: until no record queued earlier holds flow.
    // owners is the number of shares the replay itself holds.
    bool Settle(const std::shared_ptr<vdFlow> &flow, long owners);
    // Until every record queued so far has been handled.
    bool Drain();
    // After DispatchEvent(0): until the worker has run Reload on it.
    bool Reloaded();
    // At the end of a recording: Drain, and until a reload requested by a
    // dispatch_event line has run.
    bool Finish();
    // A reload request the replay does not wait for: Finish waits for it.
    void ReloadRequested();

    // Queues event-0 records through every overload whose gate is open,
    // without waiting: wakes a worker asleep in its wait, so that it sees a
    // terminate request at the end of that pass instead of a second later.
    void Nudge();

    bool Ended() const { return plugin.HasEnded(); }

    // Length of the window over which an idle worker must stay blocked.
    static constexpr std::chrono::milliseconds settle_window{25};

private:
    // A share of the private flow that the replay queued; returned is set
    // by the share's deleter, on whichever thread drops the last share.
    struct Signal {
        std::mutex mutex;
        std::condition_variable cond;
        bool returned = false;
    };
    struct Marker {
        std::shared_ptr<Signal> signal;
    };

    // Sends one marker; an empty result when it did not show up as queued.
    Marker SendMarker();
    // Sends markers until one is queued; an empty result when the worker
    // was seen idle with every gate closed.
    Marker QueueMarker();
    bool TrySingleFlow(Marker &marker);
    bool TryFlowMap(Marker &marker);
    std::shared_ptr<vdFlow> NewShare(const std::shared_ptr<Signal> &signal);
    bool WaitMarker(const Marker &marker);
    // Queues a marker after every marker sent so far has come back, and
    // waits for it (or for the idle worker where none can be queued).
    bool WaitNextMarker();
    // The worker's own state, where no marker can be queued.
    bool WaitIdle(bool wake);
    // Whether the plugin's thread and every thread of its other workers
    // stayed blocked in their waits over the settle window.
    bool IsIdle();

    vdPluginProcessor &plugin;
    // The private flow: in no flow map of the replay, detection initialised
    // and not expired, so that the flow-map intake takes it. Each marker is
    // a share of it with a control block of its own, which keeps it alive
    // (records may outlive this object until the plugin is destroyed).
    std::shared_ptr<vdFlow> marker_flow;
    std::unique_ptr<vdFlowMap> marker_map;
    bool reload_pending = false;
    // The names the plugin gives the threads of its workers 2 and up.
    std::vector<std::string> worker_thread_names;
};
