// The event queue: records appended by the daemon's threads, taken one at a
// time by the worker, under one mutex, against an optional limit in flow
// entries.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include <vessixd.hpp>

#include "lpp-event.hpp"

// The queue's counters, guarded by the queue mutex. A marker (event 0, which
// the daemon never sends; a caller queues it to learn when the worker has
// taken everything before it) is in none of them: how many markers a wait
// needs depends on timing, and the counters must not.
struct lppQueueStats {
    std::size_t markers = 0;     // markers queued now
    std::size_t flows = 0;       // flow entries queued now (a record without flows: 1)
    std::size_t flows_max = 0;   // high-water mark of flows
    std::uint64_t dropped_records = 0;
    std::uint64_t dropped_flows = 0;
    std::uint64_t discarded_records = 0;
    // Set at a refusal, cleared once the queue is below the limit again:
    // one log line per overload.
    bool full_reported = false;
};

class lppEventQueue {
public:
    // tag begins the log line of an overload.
    explicit lppEventQueue(std::string tag) : tag(std::move(tag)) {}

    // A record's weight against the queue limit: its flow entries, at least one.
    static std::size_t Weight(const lppEvent &record)
    {
        return record.Entries().empty() ? 1 : record.Entries().size();
    }
    // Whether a record of event is a marker, counted nowhere.
    static bool IsMarker(std::uint16_t event) { return event == 0; }

    // Locks the queue mutex. An append or a take holds it for well under a
    // microsecond, so a contended lock is retried for about two microseconds
    // before the thread sleeps on it: a sleep and its wake-up cost a system
    // call on each side, more than the wait they replace.
    std::unique_lock<std::mutex> Lock();

    // Whether the queue refuses a record of event with weight flow entries
    // now, called with held locked. A refusal is counted (a marker's is not)
    // and releases held; the first since the queue was below its limit is
    // then logged, outside the mutex.
    bool Refuse(std::unique_lock<std::mutex> &held, std::size_t weight, std::uint16_t event);
    // Appends record at the back of the queue and notifies the worker; held
    // is the queue mutex's lock.
    void Append(std::unique_lock<std::mutex> &held, lppEvent &&record);
    // Appends a record of event with flow's entry, made in its place in the
    // queue (the counters copied now), as Append does; nothing is appended
    // when making the entry throws.
    void AppendFlow(std::unique_lock<std::mutex> &held, std::uint16_t event, std::shared_ptr<vdFlow> &flow,
        const json &doc);
    // Appends record unless the limit refuses it (then the record is
    // destroyed, its flow shares released, after the queue mutex).
    void Push(lppEvent &&record);

    // Worker: waits up to one second for a record and takes it off the
    // queue; nothing when the wait ran out.
    std::optional<lppEvent> Take();
    // Destroys every queued record, counted as discarded.
    void Discard();

    // Records queued now, markers included.
    std::size_t Records();
    // Calls visit with each queued record, front first, under the mutex.
    template <typename Visit>
    void ForEach(Visit visit)
    {
        std::unique_lock<std::mutex> held = Lock();
        for (const lppEvent &record : records) visit(record);
    }
    // The status document's "queue" member.
    json Status();

    // The limit in flow entries; 0: none.
    void SetLimit(std::uint64_t flows) { limit.store(flows, std::memory_order_relaxed); }
    std::uint64_t Limit() const { return limit.load(std::memory_order_relaxed); }

    // Entries of the last flow-map snapshot: the next one reserves as many
    // up front, so that a large map is not copied again and again while its
    // record grows.
    std::size_t SnapshotSizeHint() const { return snapshot_size_hint.load(std::memory_order_relaxed); }
    void SetSnapshotSizeHint(std::size_t entries) { snapshot_size_hint.store(entries, std::memory_order_relaxed); }

private:
    // Counts the record just appended at the back and notifies the worker.
    void Appended();

    const std::string tag;
    std::deque<lppEvent> records;
    std::mutex mutex;
    std::condition_variable cond;
    // The counters under the mutex; the limit and the hint without it.
    lppQueueStats stats;
    std::atomic<std::uint64_t> limit{0};
    std::atomic<std::size_t> snapshot_size_hint{0};
};
