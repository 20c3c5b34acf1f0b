// A worker: one Lua runtime running the script, the queue of the records
// routed to it, its reload flag, and the thread that hands its records to
// the script. Worker 1 runs on the plugin's own thread (the daemon's Entry);
// with the configuration's "workers", workers 2 and up have threads of
// their own, started and stopped by the plugin around every reload.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <string>
#include <thread>

#include "lpp-queue.hpp"
#include "lpp-runtime.hpp"

class lppWorker {
public:
    // number: 1 to N, the worker's place in the plugin's order.
    lppWorker(const std::string &tag, unsigned number);
    // Stops and joins the worker's own thread, if it runs.
    ~lppWorker();
    lppWorker(const lppWorker &) = delete;
    lppWorker &operator=(const lppWorker &) = delete;

    // One pass of the loop after its reload: a full collection every 100th
    // pass, then one record taken off the queue (waiting up to a second)
    // and handed to the handlers its event reaches.
    void Pass();

    // Starts the worker's own thread, which runs passes until Stop. An
    // exception that leaves a pass ends the thread: it is kept for
    // Failure() and failed() is called on that thread.
    void Start(std::function<void()> failed);
    // Asks the thread to end, wakes it and joins it; nothing when none runs.
    void Stop();
    // What ended the worker's thread, or null.
    std::exception_ptr Failure() const { return failure; }
    // Queues an event-0 record past any queue limit: a pass waiting for a
    // record takes it, drops it and looks at its stop flag.
    void Wake();

    // The name of worker number's thread: the tag (cut to the system's 15
    // characters) and "-w" and the number, as vessix-replay looks for it.
    static std::string ThreadName(const std::string &tag, unsigned number);

    unsigned Number() const { return number; }

    // The order of the members is their lifetime: the Lua state is created
    // first and closed last; the queued records, and the flow shares they
    // hold, are destroyed before it closes.
    lppLuaRuntime runtime;
    std::atomic<bool> reload{true};
    lppEventQueue queue;

private:
    const std::string tag;
    const unsigned number;
    unsigned passes = 0;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::exception_ptr failure;
};
