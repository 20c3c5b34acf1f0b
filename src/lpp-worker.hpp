// A worker: one Lua runtime running the script, the queue of the records
// routed to it, its reload flag, and the thread that hands its records to
// the script. Worker 1 runs on the plugin's own thread (the daemon's Entry);
// with the configuration's "workers", workers 2 and up have threads of
// their own, parked by the plugin around every reload.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

    // The worker's own thread (workers 2 and up). Started once, it lives as
    // long as the worker, parked whenever it is not told to run: the
    // allocator gives each thread a pool of its own, and a state built and
    // run on one thread keeps its memory out of other workers' pools (a
    // state built on another thread cost every event a quarter more with two
    // workers, its frees contending with that thread's). An exception that
    // leaves a pass ends the thread: it is kept for Failure() and failed()
    // is called on that thread.
    void Start(std::function<void()> failed);
    // Lets the parked thread run passes until Park or Stop.
    void Run();
    // Tells the thread to park after its pass and waits until it has (or
    // has ended); nothing when no thread runs.
    void Park();
    // Builds the runtime from the script at path: on the worker's parked
    // thread, waiting for it, when it has one; otherwise on this thread.
    // Throws what the build threw.
    void Build(const std::string &path, const std::vector<std::uint8_t> &digest);
    // Ends the thread, wakes it and joins it; nothing when none runs.
    void Stop();
    // What ended the worker's thread, or null.
    std::exception_ptr Failure() const { return failure; }
    // Queues an event-0 record past any queue limit: a pass waiting for a
    // record takes it, drops it and looks at its order.
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
    // What the plugin's thread has told the worker's thread to do.
    enum class Order {
        PARK,   // wait for the next order
        RUN,    // run passes
        BUILD,  // build the runtime from build_path, then park
        STOP,   // end the thread
    };
    // The thread's body: waits for orders and serves them.
    void Serve(const std::function<void()> &failed);
    // Waits, holding control_mutex, until the thread is parked or has ended.
    void AwaitParked(std::unique_lock<std::mutex> &held);

    const std::string tag;
    const unsigned number;
    unsigned passes = 0;
    std::thread thread;
    // The order, and the thread's answers, under control_mutex; the order
    // is also read without it at every pass.
    std::mutex control_mutex;
    std::condition_variable control_changed;
    std::atomic<Order> order{Order::PARK};
    bool parked = false;
    bool ended = false;
    const std::string *build_path = nullptr;
    const std::vector<std::uint8_t> *build_digest = nullptr;
    std::exception_ptr build_failure;
    std::exception_ptr failure;
};
