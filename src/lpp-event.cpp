// Event records: a flow share, its counters at queue time, and a document.
#include "lpp-event.hpp"

lppEvent::Entry::Entry(std::shared_ptr<vdFlow> &flow) : Entry(flow, json()) {}

lppEvent::Entry::Entry(std::shared_ptr<vdFlow> &flow, const json &doc)
    : flow(flow), stats(flow->stats), doc(doc)
{
}

void lppEvent::PushFlow(std::shared_ptr<vdFlow> &flow) { PushFlow(flow, json()); }

void lppEvent::PushFlow(std::shared_ptr<vdFlow> &flow, const json &doc)
{
    if (KeepsInline()) {
        single.emplace(flow, doc);
        return;
    }
    SpillSingle();
    many.emplace_back(flow, doc);
}

void lppEvent::PushEntry(Entry &&entry)
{
    if (KeepsInline()) {
        single.emplace(std::move(entry));
        return;
    }
    SpillSingle();
    many.push_back(std::move(entry));
}

void lppEvent::SpillSingle()
{
    if (!single) return;
    many.reserve(2);
    many.push_back(std::move(*single));
    single.reset();
}
