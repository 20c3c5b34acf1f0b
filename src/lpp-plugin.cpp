// The plugin object: entry point, identity, lifecycle and event intake.
#include <cerrno>
#include <cstring>

#include "lpp-plugin.hpp"

namespace {

// Tells the core it is spinning: cheaper for a sibling thread, and no
// penalty for leaving the loop.
inline void CpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    __asm__ __volatile__("yield");
#endif
}

}  // namespace

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
    : vdPluginProcessor(tag, params)
{
    if (conf_filename.empty())
        throw vdException("%s: %s: %s", tag.c_str(), "conf_filename", std::strerror(EINVAL));

    vd_dprintf("%s: initialized with sol2 v%s and Lua core v%.02f\n", tag.c_str(),
        LPP_BINDING_VERSION, static_cast<double>(lua_version(lua)) / 100.0);
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

std::unique_lock<std::mutex> lppPlugin::LockQueue()
{
    for (int attempt = 0; attempt < 64; attempt++) {
        if (event_queue_mutex.try_lock()) return std::unique_lock<std::mutex>(event_queue_mutex, std::adopt_lock);
        CpuRelax();
    }
    return std::unique_lock<std::mutex>(event_queue_mutex);
}

void lppPlugin::AppendRecord(lppEvent &&record)
{
    const std::size_t weight = QueueWeight(record);
    event_queue.push_back(std::move(record));
    queue_stats.flows += weight;
    if (queue_stats.flows > queue_stats.flows_max) queue_stats.flows_max = queue_stats.flows;
    // Below the limit again: the next refusal is a new overload.
    queue_stats.full_reported = false;
    event_queue_cond.notify_one();
}

void lppPlugin::CountTaken(const lppEvent &record) { queue_stats.flows -= QueueWeight(record); }

bool lppPlugin::RefuseRecord(std::unique_lock<std::mutex> &queue_lock, std::size_t weight)
{
    const std::uint64_t limit = queue_limit.load(std::memory_order_relaxed);
    if (limit == 0 || queue_stats.flows < limit) return false;
    queue_stats.dropped_records++;
    queue_stats.dropped_flows += weight;
    const bool first = !queue_stats.full_reported;
    queue_stats.full_reported = true;
    const std::size_t waiting = queue_stats.flows;
    queue_lock.unlock();
    if (first) vd_dprintf("%s: queue full (%zu flows waiting), dropping events\n", tag.c_str(), waiting);
    return true;
}

void lppPlugin::QueueRecord(lppEvent &&record)
{
    std::unique_lock<std::mutex> queue_lock = LockQueue();
    // A refused record goes out of scope in the caller, with its shares.
    if (!RefuseRecord(queue_lock, QueueWeight(record))) AppendRecord(std::move(record));
}

// Event intake, on the daemon's threads. Each overload reads handler_mask
// once, before anything else, and queues nothing when no handler can want
// the event.

void lppPlugin::DispatchProcessorEvent(Event event, vdFlowMap *flow_map)
{
    if ((handler_mask.load() & (LPP_HANDLER_FLOW_MAP | LPP_HANDLER_FLOW_STATS)) == 0) return;
    if (flow_map == nullptr) return;

    lppEvent record(static_cast<std::uint16_t>(event));
    record.entries.reserve(snapshot_size_hint.load(std::memory_order_relaxed));
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
    snapshot_size_hint.store(record.entries.size(), std::memory_order_relaxed);
    if (record.entries.empty()) return;

    QueueRecord(std::move(record));
}

void lppPlugin::DispatchProcessorEvent(Event event, std::shared_ptr<vdFlow> &flow)
{
    if ((handler_mask.load() & LPP_HANDLER_FLOW_EVENT) == 0) return;
    // Without a flow there are no counters to copy and nothing for the
    // handler to describe.
    if (!flow) return;

    std::unique_lock<std::mutex> queue_lock = LockQueue();
    if (RefuseRecord(queue_lock, 1)) return;
    // Built under the queue mutex: counters are copied in queue order, so a
    // later record of a flow never carries older counters than an earlier one.
    lppEvent record(static_cast<std::uint16_t>(event));
    record.PushFlow(flow);
    AppendRecord(std::move(record));
}

void lppPlugin::DispatchProcessorEvent(Event event, std::shared_ptr<vdFlow> &flow, json &doc)
{
    if ((handler_mask.load() & LPP_HANDLER_FLOW_EVENT) == 0) return;
    // Without a flow there are no counters to copy and nothing for the
    // handler to describe.
    if (!flow) return;

    std::unique_lock<std::mutex> queue_lock = LockQueue();
    if (RefuseRecord(queue_lock, 1)) return;
    lppEvent record(static_cast<std::uint16_t>(event));
    record.PushFlow(flow, doc);
    AppendRecord(std::move(record));
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
    if ((handler_mask.load() & LPP_HANDLER_AGENT_EVENT) == 0) return;

    QueueRecord(lppEvent(static_cast<std::uint16_t>(event)));
}
