// Event records: a flow share, its counters at queue time, and a document.
#include "lpp-event.hpp"

lppEvent::Entry::Entry(std::shared_ptr<vdFlow> &flow) : Entry(flow, json()) {}

lppEvent::Entry::Entry(std::shared_ptr<vdFlow> &flow, const json &doc)
    : flow(flow), stats(flow->stats), doc(doc)
{
}

void lppEvent::PushFlow(std::shared_ptr<vdFlow> &flow) { PushEntry(Entry(flow)); }

void lppEvent::PushFlow(std::shared_ptr<vdFlow> &flow, const json &doc) { PushEntry(Entry(flow, doc)); }

void lppEvent::PushEntry(Entry &&entry)
{
    if (!single && many.capacity() == 0) {
        single.emplace(std::move(entry));
        return;
    }
    if (single) {
        many.reserve(2);
        many.push_back(std::move(*single));
        single.reset();
    }
    many.push_back(std::move(entry));
}
