// The event queue: append and refusal on the daemon's threads, take on the
// worker, discard at a rebuild, counters for the status document.
#include <chrono>

#include "lpp-queue.hpp"

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

std::unique_lock<std::mutex> lppEventQueue::Lock()
{
    for (int attempt = 0; attempt < 64; attempt++) {
        if (mutex.try_lock()) return std::unique_lock<std::mutex>(mutex, std::adopt_lock);
        CpuRelax();
    }
    return std::unique_lock<std::mutex>(mutex);
}

void lppEventQueue::Append(std::unique_lock<std::mutex> &, lppEvent &&record)
{
    records.push_back(std::move(record));
    Appended();
}

void lppEventQueue::AppendFlow(
    std::unique_lock<std::mutex> &, std::uint16_t event, std::shared_ptr<vdFlow> &flow, const json &doc)
{
    lppEvent &record = records.emplace_back(event);
    try {
        record.PushFlow(flow, doc);
    } catch (...) {
        records.pop_back();
        throw;
    }
    Appended();
}

void lppEventQueue::Appended()
{
    const lppEvent &record = records.back();
    if (IsMarker(record.event)) {
        stats.markers++;
        cond.notify_one();
        return;
    }
    stats.flows += Weight(record);
    if (stats.flows > stats.flows_max) stats.flows_max = stats.flows;
    // Below the limit again: the next refusal is a new overload.
    stats.full_reported = false;
    cond.notify_one();
}

bool lppEventQueue::Refuse(std::unique_lock<std::mutex> &held, std::size_t weight, std::uint16_t event)
{
    const std::uint64_t flows_limit = limit.load(std::memory_order_relaxed);
    if (flows_limit == 0 || stats.flows < flows_limit) return false;
    if (!IsMarker(event)) {
        stats.dropped_records++;
        stats.dropped_flows += weight;
    }
    const bool first = !stats.full_reported;
    stats.full_reported = true;
    const std::size_t waiting = stats.flows;
    held.unlock();
    if (first) vd_dprintf("%s: queue full (%zu flows waiting), dropping events\n", tag.c_str(), waiting);
    return true;
}

void lppEventQueue::Push(lppEvent &&record)
{
    std::unique_lock<std::mutex> held = Lock();
    // A refused record goes out of scope in the caller, with its shares.
    if (!Refuse(held, Weight(record), record.event)) Append(held, std::move(record));
}

std::optional<lppEvent> lppEventQueue::Take()
{
    std::unique_lock<std::mutex> held = Lock();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    cond.wait_until(held, deadline, [this] { return !records.empty(); });
    if (records.empty()) return std::nullopt;

    std::optional<lppEvent> record(std::move(records.front()));
    records.pop_front();
    if (IsMarker(record->event))
        stats.markers--;
    else
        stats.flows -= Weight(*record);
    return record;
}

void lppEventQueue::Discard()
{
    std::unique_lock<std::mutex> held = Lock();
    stats.discarded_records += records.size() - stats.markers;
    stats.markers = 0;
    stats.flows = 0;
    while (!records.empty()) records.pop_front();
}

std::size_t lppEventQueue::Records()
{
    std::unique_lock<std::mutex> held = Lock();
    return records.size();
}

json lppEventQueue::Status()
{
    std::unique_lock<std::mutex> held = Lock();
    return json{
        {"records", records.size() - stats.markers},
        {"flows", stats.flows},
        {"flows_max", stats.flows_max},
        {"dropped_records", stats.dropped_records},
        {"dropped_flows", stats.dropped_flows},
        {"discarded_records", stats.discarded_records},
    };
}
