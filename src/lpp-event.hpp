// Event records: one daemon event as the worker will hand it to the script.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include <vessixd.hpp>

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
        vdFlow::Stats stats;

        // Null unless the event came with a document.
        json doc;
    };

    explicit lppEvent(std::uint16_t event) : event(event) {}

    // Appends an entry for flow (with doc).
    void PushFlow(std::shared_ptr<vdFlow> &flow);
    void PushFlow(std::shared_ptr<vdFlow> &flow, const json &doc);
    void PushEntry(Entry &&entry);
    // Makes room for entries: a record that reserves keeps every entry on
    // the heap, as a snapshot does.
    void Reserve(std::size_t entries) { many.reserve(entries); }

    // The entries, in the order pushed.
    std::span<Entry> Entries() { return single ? std::span<Entry>(&*single, 1) : std::span<Entry>(many); }
    std::span<const Entry> Entries() const
    {
        return single ? std::span<const Entry>(&*single, 1) : std::span<const Entry>(many);
    }

    std::uint16_t event;

private:
    // Makes the next entry from args: in the record itself when it is the
    // first and no room was reserved; otherwise on the heap, after the one
    // kept in the record, if any, is moved there.
    template <typename... EntryArgs>
    void Emplace(EntryArgs &&...args);

    // A flow event's one entry is kept in the record itself; more go to
    // the heap. A record is made on the daemon's thread and destroyed on
    // the worker's, and a heap block freed on another thread than the one
    // that allocated it contends for that thread's allocator pool.
    std::optional<Entry> single;
    std::vector<Entry> many;
};
