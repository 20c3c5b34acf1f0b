// The Lua processor plugin: runs a user's Lua script on the daemon's flow
// events. The plugin is the daemon-facing side (identity, event intake and
// its routing, reload, status); the workers (lpp-worker.hpp) each own a Lua
// runtime and an event queue. Without the configuration's "workers" there
// is one, whose loop runs on the plugin's own thread.
#pragma once

#include <array>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include <vessixd.hpp>

#include "lpp-config.hpp"
#include "lpp-queue.hpp"
#include "lpp-runtime.hpp"
#include "lpp-worker.hpp"

#define LPP_LIBRARY "vessix-proc-lua"
#define LPP_NAME "Vessix Lua Processor Plugin"
#define LPP_VERSION "1.2.5"
// Version of the binding whose behaviour the binding layer reproduces.
#define LPP_BINDING_VERSION "3.5.0"

class lppPlugin : public vdPluginProcessor {
public:
    lppPlugin(const std::string &tag, const std::map<std::string, std::string> &params);
    ~lppPlugin() override;

    void *Entry() override;

    void GetLibrary(std::string &library) override;
    void GetName(std::string &name) override;
    void GetVersion(std::string &version) override;
    void GetStatus(json &status) override;
    void DisplayStatus(const json &status) override;
    void DispatchEvent(vdPlugin::Event event, void *param = nullptr) override;

    void DispatchProcessorEvent(Event event, vdFlowMap *flow_map) override;
    void DispatchProcessorEvent(Event event, std::shared_ptr<vdFlow> &flow) override;
    void DispatchProcessorEvent(Event event, std::shared_ptr<vdFlow> &flow, json &doc) override;
    void DispatchProcessorEvent(Event event, Interfaces *interfaces) override;
    void DispatchProcessorEvent(Event event, const std::string &iface, vdPacketStats *stats) override;
    void DispatchProcessorEvent(Event event, vdPacketStats *stats) override;
    void DispatchProcessorEvent(Event event, vdInstanceStatus *status) override;
    void DispatchProcessorEvent(Event event) override;

    void DispatchSinkPayload(const std::string &target, const std::set<std::string> &channels,
        unsigned long length, const unsigned char *payload,
        vdFlags<vdPlugin::DispatchFlags> flags) override;

    // Reads the configuration once and rebuilds every worker's Lua runtime
    // when the script's content or the workers changed. The plugin's thread
    // only; the other workers' threads are parked meanwhile.
    void Reload();
    // Reloads if a reload was requested, then clears the request: what the
    // plugin's thread does at the start of each pass.
    void ServeReload();
    bool ReloadRequested() const { return first().reload.load(); }

    // Worker 1's parts, for tests and benchmarks that drive them inside a
    // plugin; the daemon knows the plugin only as a vdPluginProcessor.
    lppLuaRuntime &Runtime() { return first().runtime; }
    lppEventQueue &Queue() { return first().queue; }

private:
    lppWorker &first() const { return *workers[0]; }

    // Applies the configuration's limits and status switch to every worker.
    void ApplyConfig(const lppConfig &config);
    // Makes count workers, under the routing lock: new ones get the limits
    // in force, those beyond count are destroyed with their queues.
    void ResizeWorkers(unsigned count);
    // Builds every worker's state from the script at path, in worker order.
    void BuildWorkers(const std::string &path, const std::vector<std::uint8_t> &digest);
    // Lets the threads of workers 2 and up run passes, parks them, or ends
    // them.
    void StartWorkers();
    void ParkWorkers();
    void StopWorkers();
    // Called on a worker's thread that an exception ended.
    void WorkerFailed();
    // Rethrows what ended a worker's thread, the first in worker order,
    // after stopping the others.
    void RethrowWorkerFailure();

    // Routing: which worker a flow's records go to, and the queueing of a
    // record of one flow (counters copied under that queue's mutex) or of
    // every worker's copy of an event (all or none, under every queue's
    // mutex, so that a marker is never queued to some workers only).
    unsigned WorkerOf(const vdFlow &flow, unsigned count) const;
    void QueueFlow(lppWorker &worker, Event event, std::shared_ptr<vdFlow> &flow, const json &doc);
    void QueueEverywhere(unsigned count, const lppEvent &record);

    // Worker slots: worker 1 is made with the plugin and lives as long; the
    // others exist while the configuration asks for them. The intake reads
    // the slots below active under routing_mutex (shared), except that with
    // one active worker it goes to worker 1 without it; the plugin's thread
    // changes them holding it exclusively. The destructor stops every
    // thread before any member is destroyed.
    std::array<std::unique_ptr<lppWorker>, lppWorkersMax> workers;
    std::atomic<unsigned> active{1};
    mutable std::shared_mutex routing_mutex;
    // The configuration's "workers" in force (0: absent).
    std::atomic<unsigned> workers_configured{0};
    // Raised by a worker's thread that ended by an exception.
    std::atomic<bool> worker_failed{false};

    // What the status document shows of the configuration: the switch, and
    // for status readers the script path accepted last and the limits in
    // force (the workers' own copies are in their runtimes and queues).
    std::atomic<bool> status_enabled{false};
    std::mutex status_mutex;
    std::string status_script;
    lppLimits status_limits;
};
