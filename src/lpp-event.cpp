// Event records: a flow share, its counters at queue time, and a document.
#include "lpp-event.hpp"

lppEvent::Entry::Entry(std::shared_ptr<vdFlow> &flow) : Entry(flow, json()) {}

lppEvent::Entry::Entry(std::shared_ptr<vdFlow> &flow, const json &doc)
    : flow(flow), stats(flow->stats), doc(doc)
{
}

void lppEvent::PushFlow(std::shared_ptr<vdFlow> &flow) { entries.emplace_back(flow); }

void lppEvent::PushFlow(std::shared_ptr<vdFlow> &flow, const json &doc)
{
    entries.emplace_back(flow, doc);
}
