// Event records: a flow share, its counters at queue time, and a document.
#include "lpp-event.hpp"

#include <utility>

lppEvent::Entry::Entry(std::shared_ptr<vdFlow> &flow) : Entry(flow, json()) {}

lppEvent::Entry::Entry(std::shared_ptr<vdFlow> &flow, const json &doc)
    : flow(flow), stats(flow->stats), doc(doc)
{
}

void lppEvent::PushFlow(std::shared_ptr<vdFlow> &flow) { Emplace(flow, json()); }

void lppEvent::PushFlow(std::shared_ptr<vdFlow> &flow, const json &doc) { Emplace(flow, doc); }

void lppEvent::PushEntry(Entry &&entry) { Emplace(std::move(entry)); }

template <typename... EntryArgs>
void lppEvent::Emplace(EntryArgs &&...args)
{
    if (!single && many.capacity() == 0) {
        single.emplace(std::forward<EntryArgs>(args)...);
        return;
    }
    if (single) {
        many.reserve(2);
        many.push_back(std::move(*single));
        single.reset();
    }
    many.emplace_back(std::forward<EntryArgs>(args)...);
}
