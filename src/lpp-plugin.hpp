// The Lua processor plugin: runs a user's Lua script on the daemon's flow
// events, on a worker thread of its own. The plugin is the daemon-facing side
// (identity, event intake, the worker's loop, reload, status); it owns the
// Lua runtime (lpp-runtime.hpp) and the event queue (lpp-queue.hpp).
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include <vessixd.hpp>

#include "lpp-limits.hpp"
#include "lpp-queue.hpp"
#include "lpp-runtime.hpp"

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

    // Reads the configuration and rebuilds the Lua runtime when the script's
    // content changed. Worker thread only.
    void Reload();
    // Reloads if a reload was requested, then clears the request: what the
    // worker does at the start of each pass.
    void ServeReload();
    bool ReloadRequested() const { return reload.load(); }

    // The parts, for tests and benchmarks that drive them inside a plugin;
    // the daemon knows the plugin only as a vdPluginProcessor.
    lppLuaRuntime &Runtime() { return runtime; }
    lppEventQueue &Queue() { return queue; }

private:
    // Applies the configuration's limits and status switch.
    void ApplyConfigExtensions(const lppConfigExtensions &extensions);

    // The order of the members is their lifetime: the Lua state is created
    // first and closed last; the queued records, and the flow shares they
    // hold, are destroyed before it closes. The destructor joins the worker
    // before any member is destroyed.
    lppLuaRuntime runtime;
    std::atomic<bool> reload{true};
    lppEventQueue queue;

    // What the status document shows of the configuration: the switch, and
    // for status readers the script path accepted last and the limits in
    // force (the worker's own copies are in the runtime and the queue).
    std::atomic<bool> status_enabled{false};
    std::mutex status_mutex;
    std::string status_script;
    lppLimits status_limits;
};
