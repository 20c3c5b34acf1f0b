// The plugin object: entry point, identity, lifecycle and event intake.
#include <cerrno>
#include <cstring>

#include "lpp-plugin.hpp"
#include "lpp-routes.hpp"

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
    workers[0] = std::make_unique<lppWorker>(tag, 1);
    if (conf_filename.empty())
        throw vdException("%s: %s: %s", tag.c_str(), "conf_filename", std::strerror(EINVAL));

    vd_dprintf("%s: initialized with sol2 v%s and Lua core v%.02f\n", tag.c_str(),
        LPP_BINDING_VERSION, static_cast<double>(lua_version(Runtime().State())) / 100.0);
}

lppPlugin::~lppPlugin()
{
    // Entry stops the other workers as it returns; this covers a plugin
    // whose Entry never ran them to an end.
    Join();
    StopWorkers();
    vd_dprintf("%s: destroyed\n", tag.c_str());
}

void lppPlugin::GetLibrary(std::string &library) { library = LPP_LIBRARY; }
void lppPlugin::GetName(std::string &name) { name = LPP_NAME; }
void lppPlugin::GetVersion(std::string &version) { version = LPP_VERSION; }

void lppPlugin::DispatchEvent(vdPlugin::Event event, void *)
{
    // The plugin's thread reads the configuration once for every worker.
    if (event == vdPlugin::Event::RELOAD) first().reload.exchange(true);
}

void lppPlugin::DispatchSinkPayload(const std::string &target,
    const std::set<std::string> &channels, unsigned long length,
    const unsigned char *payload, vdFlags<vdPlugin::DispatchFlags> flags)
{
    vdPlugin::DispatchSinkPayload(target, channels, length, payload, flags);
}

// Event intake, on the daemon's threads. Each overload reads the handler
// mask once, before anything else, and queues nothing when no handler can
// want the event. Every worker's state defines the same handlers, so worker
// 1's mask is every worker's gate.
//
// Routing: a flow's records go to the worker of its digest_lower; a
// flow-map snapshot is split by the same rule; agent events and event 0 go
// to every worker. With one worker everything goes to worker 1, without the
// routing lock.

unsigned lppPlugin::WorkerOf(const vdFlow &flow, unsigned count) const
{
    if (count == 1 || flow.digest_lower == 0) return 0;
    // The digest's high bits, mixed: the same worker on every run.
    const std::uint64_t mixed = flow.digest_lower * 0x9E3779B97F4A7C15ull;
    return static_cast<unsigned>((mixed >> 32) % count);
}

void lppPlugin::DispatchProcessorEvent(Event event, vdFlowMap *flow_map)
{
    if ((Runtime().HandlerMask() & lppHandlersOf(lppIntake::FLOW_MAP)) == 0) return;
    if (flow_map == nullptr) return;

    lppEvent record(static_cast<std::uint16_t>(event));
    record.Reserve(Queue().SnapshotSizeHint());
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
    Queue().SetSnapshotSizeHint(record.Entries().size());
    if (record.Entries().empty()) return;

    if (active.load(std::memory_order_acquire) == 1) {
        Queue().Push(std::move(record));
        return;
    }
    std::shared_lock<std::shared_mutex> routing(routing_mutex);
    const unsigned count = active.load(std::memory_order_relaxed);
    const lppIntake intake = lppIntakeOf(record.event);
    if (intake == lppIntake::NONE || intake == lppIntake::AGENT) {
        QueueEverywhere(count, record);
        return;
    }
    // Each worker's share keeps the snapshot's order.
    std::vector<lppEvent> shares(count, lppEvent(record.event));
    for (auto &entry : record.Entries()) shares[WorkerOf(*entry.flow, count)].PushEntry(std::move(entry));
    for (unsigned index = 0; index < count; index++) {
        if (!shares[index].Entries().empty()) workers[index]->queue.Push(std::move(shares[index]));
    }
}

void lppPlugin::DispatchProcessorEvent(Event event, std::shared_ptr<vdFlow> &flow)
{
    // An entry without a document holds a null one.
    json none;
    lppPlugin::DispatchProcessorEvent(event, flow, none);
}

void lppPlugin::DispatchProcessorEvent(Event event, std::shared_ptr<vdFlow> &flow, json &doc)
{
    if ((Runtime().HandlerMask() & lppHandlersOf(lppIntake::FLOW)) == 0) return;
    // Without a flow there are no counters to copy and nothing for the
    // handler to describe.
    if (!flow) return;

    if (active.load(std::memory_order_acquire) == 1) {
        QueueFlow(first(), event, flow, doc);
        return;
    }
    std::shared_lock<std::shared_mutex> routing(routing_mutex);
    const unsigned count = active.load(std::memory_order_relaxed);
    const lppIntake intake = lppIntakeOf(static_cast<std::uint16_t>(event));
    if (intake == lppIntake::NONE || intake == lppIntake::AGENT) {
        lppEvent record(static_cast<std::uint16_t>(event));
        record.PushFlow(flow, doc);
        QueueEverywhere(count, record);
        return;
    }
    QueueFlow(*workers[WorkerOf(*flow, count)], event, flow, doc);
}

void lppPlugin::QueueFlow(lppWorker &worker, Event event, std::shared_ptr<vdFlow> &flow, const json &doc)
{
    std::unique_lock<std::mutex> queue_lock = worker.queue.Lock();
    if (worker.queue.Refuse(queue_lock, 1, static_cast<std::uint16_t>(event))) return;
    // Made under the queue mutex: counters are copied in queue order, so a
    // later record of a flow never carries older counters than an earlier one.
    worker.queue.AppendFlow(queue_lock, static_cast<std::uint16_t>(event), flow, doc);
}

void lppPlugin::QueueEverywhere(unsigned count, const lppEvent &record)
{
    // Without a queue limit no queue can refuse its copy: the queues are
    // taken hand over hand in worker order (the next locked before the last
    // is released), so two callers' events reach every queue in the same
    // order while a caller holds at most two queue locks. A limit that a
    // reload sets meanwhile lets at most this one record past it.
    if (workers[0]->queue.Limit() == 0) {
        std::unique_lock<std::mutex> held = workers[0]->queue.Lock();
        workers[0]->queue.Append(held, lppEvent(record));
        for (unsigned index = 1; index < count; index++) {
            std::unique_lock<std::mutex> next = workers[index]->queue.Lock();
            workers[index]->queue.Append(next, lppEvent(record));
            held = std::move(next);
        }
        return;
    }
    // Under a limit the event reaches every worker or none: every queue is
    // locked, in worker order as every caller does, so two callers never
    // wait on each other's locks.
    std::vector<std::unique_lock<std::mutex>> locks;
    locks.reserve(count);
    const std::size_t weight = lppEventQueue::Weight(record);
    for (unsigned index = 0; index < count; index++) {
        locks.push_back(workers[index]->queue.Lock());
        // A queue that refuses its copy refuses the event for every worker:
        // the refusal is counted there, and the locks taken are released.
        if (workers[index]->queue.Refuse(locks.back(), weight, record.event)) return;
    }
    for (unsigned index = 0; index < count; index++) workers[index]->queue.Append(locks[index], lppEvent(record));
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
    if ((Runtime().HandlerMask() & lppHandlersOf(lppIntake::AGENT)) == 0) return;

    if (active.load(std::memory_order_acquire) == 1) {
        Queue().Push(lppEvent(static_cast<std::uint16_t>(event)));
        return;
    }
    std::shared_lock<std::shared_mutex> routing(routing_mutex);
    QueueEverywhere(active.load(std::memory_order_relaxed), lppEvent(static_cast<std::uint16_t>(event)));
}
