// The Lua processor plugin: runs a user's Lua script on the daemon's flow
// events, on a worker thread of its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <vessixd.hpp>

#include "lpp-binding.hpp"
#include "lpp-event.hpp"
#include "lpp-limits.hpp"

#define LPP_LIBRARY "vessix-proc-lua"
#define LPP_NAME "Vessix Lua Processor Plugin"
#define LPP_VERSION "1.2.5"
// Version of the binding whose behaviour the binding layer reproduces.
#define LPP_BINDING_VERSION "3.5.0"

// Bits of lppPlugin::handler_mask: which handlers the script defines.
enum : std::uint8_t {
    LPP_HANDLER_AGENT_EVENT = 0x01,
    LPP_HANDLER_FLOW_EVENT = 0x02,
    LPP_HANDLER_FLOW_MAP = 0x04,
    LPP_HANDLER_FLOW_STATS = 0x08,
};

// The script's handlers, as the status document names and counts them.
enum lppHandlerId : int {
    LPP_HANDLER_ID_AGENT_EVENT,
    LPP_HANDLER_ID_FLOW_EVENT,
    LPP_HANDLER_ID_FLOW_MAP,
    LPP_HANDLER_ID_FLOW_STATS,
    LPP_HANDLER_ID_COUNT,
};
extern const char *const lppHandlerNames[LPP_HANDLER_ID_COUNT];

// What one handler has done since the plugin was created. Written by the
// worker alone, read by status readers on the daemon's threads.
struct lppHandlerStats {
    std::atomic<std::uint64_t> calls{0};
    std::atomic<std::uint64_t> errors{0};
    std::atomic<std::uint64_t> instruction_limit{0};
    std::atomic<std::uint64_t> memory_limit{0};
    std::atomic<double> seconds{0};
    std::atomic<double> seconds_max{0};
};

// The queue's counters, guarded by the queue mutex.
struct lppQueueStats {
    std::size_t flows = 0;       // flow entries queued now (a record without flows: 1)
    std::size_t flows_max = 0;   // high-water mark of flows
    std::uint64_t dropped_records = 0;
    std::uint64_t dropped_flows = 0;
    std::uint64_t discarded_records = 0;
    // Set at a refusal, cleared once the queue is below the limit again:
    // one log line per overload.
    bool full_reported = false;
};

// Converts a JSON value into a Lua value and returns a registry reference to
// it (a reference to nil for null, binary and discarded values).
lppLuaRef CreateLuaValue(lua_State *L, const json &value);

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

    // Handler invocations. Worker thread only.
    void ProcessAgentEvent(lppEvent &event);
    void ProcessFlowEvent(lppEvent &event);
    void ProcessFlowMap(lppEvent &event);
    void ProcessFlowStats(lppEvent &event);

    // Builds the flow table of entry (the counters-only form when
    // counters_only is true). Worker thread only.
    lppLuaRef CreateFlowTable(const lppEvent::Entry &entry, bool counters_only);
    // Builds the flow table of entry as CreateFlowTable does and stores it in
    // the table at index array of the build thread (lppPushBuildThread),
    // under index. Worker thread only.
    void AppendFlowTable(
        lua_State *thread, int array, lua_Integer index, const lppEvent::Entry &entry, bool counters_only);

    // Whether the current state defines a callable global name.
    bool ScriptHasFunction(const std::string &name);

    // A record's weight against the queue limit: its flow entries, at least one.
    static std::size_t QueueWeight(const lppEvent &record)
    {
        return record.entries.empty() ? 1 : record.entries.size();
    }

protected:
    // Builds a new runtime from script_path.
    void BuildRuntime();

    // What a handler receives besides its name.
    enum class HandlerArgs {
        EventNumber,          // ProcessAgentEvent(event)
        EventNumberAndFlows,  // ProcessFlowEvent(event, flows)
        Flows,                // ProcessFlowMap(flows), ProcessFlowStats(flows)
    };
    // Calls the script's global name by protected call; a script error is
    // logged, a missing global thrown.
    void InvokeHandler(lppHandlerId handler, lppEvent &event, HandlerArgs args, bool counters_only);
    // Builds the handler's arguments and calls it; returns whether the call
    // failed. Part of InvokeHandler, timed and counted there.
    bool CallHandler(const char *name, lppEvent &event, HandlerArgs args, bool counters_only);

    // Applies the configuration's limits and status switch.
    void ApplyConfigExtensions(const lppConfigExtensions &extensions);

    // Locks the queue mutex. An append or a take holds it for well under a
    // microsecond, so a contended lock is retried for about two microseconds
    // before the thread sleeps on it: a sleep and its wake-up cost a system
    // call on each side, more than the wait they replace.
    std::unique_lock<std::mutex> LockQueue();

    // Worker: waits up to one second for a record and takes it off the
    // queue; nothing when the wait ran out.
    std::optional<lppEvent> TakeRecord();

    lppLuaState lua;
    std::atomic<bool> reload{true};
    std::atomic<std::uint8_t> handler_mask{0};
    std::deque<lppEvent> event_queue;
    std::mutex event_queue_mutex;
    std::condition_variable event_queue_cond;
    std::string script_path;
    // Empty until a script has been accepted.
    std::vector<std::uint8_t> script_digest;

    // Queue limit (0: none) and counters; the counters under the queue mutex.
    std::atomic<std::uint64_t> queue_limit{0};
    lppQueueStats queue_stats;

    // What the status document shows of the runtime.
    std::atomic<bool> status_enabled{false};
    lppHandlerStats handler_stats[LPP_HANDLER_ID_COUNT];
    // The script path accepted last and the limits in force, for status
    // readers; the worker's own copies are script_path and the budget.
    std::mutex status_mutex;
    std::string status_script;
    lppLimits status_limits;

private:
    // Takes the queue's share of a record that is leaving it. Queue mutex held.
    void CountTaken(const lppEvent &record);
    // Whether the queue refuses a record of weight flow entries now, called
    // with queue_lock held. A refusal is counted and releases queue_lock; the
    // first since the queue was below its limit is then logged, outside the
    // mutex.
    bool RefuseRecord(std::unique_lock<std::mutex> &queue_lock, std::size_t weight);

    // Entries of the last flow-map snapshot: the next one reserves as many
    // up front, so that a large map is not copied again and again while its
    // record grows.
    std::atomic<std::size_t> snapshot_size_hint{0};

    // Appends record at the back of the queue and notifies the worker. Queue
    // mutex held.
    void AppendRecord(lppEvent &&record);
    // Appends record unless the queue limit refuses it (then the record is
    // destroyed, its flow shares released, after the queue mutex).
    void QueueRecord(lppEvent &&record);
};
