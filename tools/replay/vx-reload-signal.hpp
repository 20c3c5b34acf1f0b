// SIGHUP asks the plugin to reload, as it does a daemon. The signal is
// blocked in every thread and taken by a thread of its own that waits for
// it (never in a signal handler); the replay serves each request at its
// next safe point, where it can wait as for a "reload" line.
#pragma once

#include <atomic>
#include <thread>

class vxReloadSignal {
public:
    // Blocks SIGHUP in the calling thread, so that every thread started
    // after it inherits the block, and starts the thread that takes it.
    // Construct it before any other thread is started.
    vxReloadSignal();
    ~vxReloadSignal();
    vxReloadSignal(const vxReloadSignal &) = delete;
    vxReloadSignal &operator=(const vxReloadSignal &) = delete;

    // Takes one request that came in; false when none is pending.
    bool Take();
    // Readable while a request is pending: a capture waiting for frames
    // wakes up on it.
    int WakeFd() const { return wake_read; }

private:
    void Run();

    std::atomic<unsigned> pending{0};
    std::atomic<bool> stopping{false};
    int wake_read = -1, wake_write = -1;
    std::thread taker;
};
