// The plugin object: entry point, identity, lifecycle and event intake.
#include <cerrno>
#include <cstring>

#include "lpp-plugin.hpp"

extern "C" vdPlugin *vdPluginInit(
    const std::string &tag, const std::map<std::string, std::string> &params)
{
    auto *plugin = new lppPlugin(tag, params);
    std::uint8_t type = plugin->GetType();
    if (type == vdPlugin::TYPE_PROCESSOR || type == vdPlugin::TYPE_PROCESSOR_ALT) return plugin;
    vd_printf("Invalid plugin type: %s [%u]\n", tag.c_str(), static_cast<unsigned>(type));
    delete static_cast<vdPlugin *>(plugin);
    return nullptr;
}

lppPlugin::lppPlugin(const std::string &tag, const std::map<std::string, std::string> &params)
    : vdPluginProcessor(tag, params), runtime(tag), queue(tag)
{
    if (conf_filename.empty())
        throw vdException("%s: %s: %s", tag.c_str(), "conf_filename", std::strerror(EINVAL));

    vd_dprintf("%s: initialized with sol2 v%s and Lua core v%.02f\n", tag.c_str(),
        LPP_BINDING_VERSION, static_cast<double>(lua_version(runtime.State())) / 100.0);
}

lppPlugin::~lppPlugin()
{
    Join();
    vd_dprintf("%s: destroyed\n", tag.c_str());
}

void lppPlugin::GetLibrary(std::string &library) { library = LPP_LIBRARY; }
void lppPlugin::GetName(std::string &name) { name = LPP_NAME; }
void lppPlugin::GetVersion(std::string &version) { version = LPP_VERSION; }

void lppPlugin::DispatchEvent(vdPlugin::Event event, void *)
{
    if (event == vdPlugin::Event::RELOAD) reload.exchange(true);
}

void lppPlugin::DispatchSinkPayload(const std::string &target,
    const std::set<std::string> &channels, unsigned long length,
    const unsigned char *payload, vdFlags<vdPlugin::DispatchFlags> flags)
{
    vdPlugin::DispatchSinkPayload(target, channels, length, payload, flags);
}

// Event intake, on the daemon's threads. Each overload reads the handler
// mask once, before anything else, and queues nothing when no handler can
// want the event.

void lppPlugin::DispatchProcessorEvent(Event event, vdFlowMap *flow_map)
{
    if ((runtime.HandlerMask() & (LPP_HANDLER_FLOW_MAP | LPP_HANDLER_FLOW_STATS)) == 0) return;
    if (flow_map == nullptr) return;

    lppEvent record(static_cast<std::uint16_t>(event));
    record.entries.reserve(queue.SnapshotSizeHint());
    const std::size_t buckets = flow_map->GetBuckets();
    for (std::size_t index = 0; index < buckets; index++) {
        // The bucket is released on every path, an exception from the copy
        // (out of memory) included; the queue mutex is never held here.
        struct BucketLock {
            vdFlowMap *map;
            std::size_t index;
            ~BucketLock() { map->Release(index); }
        };
        vdFlowMap::Bucket &bucket = flow_map->Acquire(index);
        BucketLock held{flow_map, index};
        for (auto &flow : bucket) {
            if (flow && flow->flags.detection_init && !flow->flags.expired) record.PushFlow(flow);
        }
    }
    queue.SetSnapshotSizeHint(record.entries.size());
    if (record.entries.empty()) return;

    queue.Push(std::move(record));
}

void lppPlugin::DispatchProcessorEvent(Event event, std::shared_ptr<vdFlow> &flow)
{
    // An entry without a document holds a null one.
    json none;
    lppPlugin::DispatchProcessorEvent(event, flow, none);
}

void lppPlugin::DispatchProcessorEvent(Event event, std::shared_ptr<vdFlow> &flow, json &doc)
{
    if ((runtime.HandlerMask() & LPP_HANDLER_FLOW_EVENT) == 0) return;
    // Without a flow there are no counters to copy and nothing for the
    // handler to describe.
    if (!flow) return;

    std::unique_lock<std::mutex> queue_lock = queue.Lock();
    if (queue.Refuse(queue_lock, 1, static_cast<std::uint16_t>(event))) return;
    // Built under the queue mutex: counters are copied in queue order, so a
    // later record of a flow never carries older counters than an earlier one.
    lppEvent record(static_cast<std::uint16_t>(event));
    record.PushFlow(flow, doc);
    queue.Append(queue_lock, std::move(record));
}

void lppPlugin::DispatchProcessorEvent(Event, Interfaces *) {}
void lppPlugin::DispatchProcessorEvent(Event, const std::string &, vdPacketStats *) {}
void lppPlugin::DispatchProcessorEvent(Event, vdPacketStats *) {}

void lppPlugin::DispatchProcessorEvent(Event event, vdInstanceStatus *)
{
    lppPlugin::DispatchProcessorEvent(event);
}

void lppPlugin::DispatchProcessorEvent(Event event)
{
    if ((runtime.HandlerMask() & LPP_HANDLER_AGENT_EVENT) == 0) return;

    queue.Push(lppEvent(static_cast<std::uint16_t>(event)));
}
