// Event records: one daemon event as the worker will hand it to the script.
#pragma once

#include <cstdint>
#include <memory>
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

    void PushFlow(std::shared_ptr<vdFlow> &flow);
    void PushFlow(std::shared_ptr<vdFlow> &flow, const json &doc);

    std::uint16_t event;
    std::vector<Entry> entries;
};
