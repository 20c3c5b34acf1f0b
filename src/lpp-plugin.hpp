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

// One queued daemon event.
class lppEvent {
public:
    // One flow of an event, as the handler will see it.
    class Entry {
    public:
        // Shares flow and snapshots its counters now.
        explicit Entry(std::shared_ptr<vdFlow> &flow);
        Entry(std::shared_ptr<vdFlow> &flow, const json &doc);

        std::shared_ptr<vdFlow> flow;

        // The flow's counters when the entry was made.
        std::uint64_t lower_bytes;
        std::uint64_t upper_bytes;
        std::uint64_t total_bytes;
        std::uint64_t lower_total_bytes;
        std::uint64_t upper_total_bytes;
        std::uint32_t lower_packets;
        std::uint32_t upper_packets;
        std::uint32_t total_packets;
        std::uint32_t lower_total_packets;
        std::uint32_t upper_total_packets;
        std::uint8_t detection_packets;
        float lower_rate;
        float upper_rate;
        std::uint32_t tcp_seq_errors;
        std::uint32_t tcp_resets;
        std::uint32_t tcp_retrans;

        // Null unless the event came with a document.
        json doc;
    };

    explicit lppEvent(std::uint16_t event) : event(event) {}

    void PushFlow(std::shared_ptr<vdFlow> &flow);
    void PushFlow(std::shared_ptr<vdFlow> &flow, const json &doc);

    std::uint16_t event;
    std::vector<Entry> entries;
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
    void InvokeHandler(const char *name, lppEvent &event, HandlerArgs args, bool counters_only);

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

private:
    // Entries of the last flow-map snapshot: the next one reserves as many
    // up front, so that a large map is not copied again and again while its
    // record grows.
    std::atomic<std::size_t> snapshot_size_hint{0};

    // Appends record at the back of the queue and notifies the worker. Queue
    // mutex held.
    void AppendRecord(lppEvent &&record);
};
