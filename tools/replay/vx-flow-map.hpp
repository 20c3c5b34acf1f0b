// The replay's flows: named by recording ids, kept in the daemon's flow map.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>

#include <vessixd.hpp>

class vxFlowMap {
public:
    explicit vxFlowMap(std::size_t buckets);

    vdFlowMap *Map() { return &map; }

    // Flow number k (counted from 0 in order of insertion) goes to the back
    // of bucket k mod N.
    void Insert(const std::shared_ptr<vdFlow> &flow);
    // Takes flow out of its bucket; records that hold it keep it alive.
    void Remove(const std::shared_ptr<vdFlow> &flow);

    // The flow named id, created (every field zero or empty, interface eth0)
    // and inserted when it is new. The reference is the replay's own share,
    // valid until Purge(id): no extra share is made.
    std::shared_ptr<vdFlow> &Get(const std::string &id);
    // The replay's share of the flow named id, or null when there is none.
    std::shared_ptr<vdFlow> *Find(const std::string &id);
    // Removes the flow named id; a later Get creates a new one.
    void Purge(const std::string &id);

    // Shares of a named flow that the replay holds: the flow map's and the
    // name's.
    static constexpr long named_owners = 2;

    // The interfaces of the flows in the map, and eth0.
    vdPluginProcessor::Interfaces Interfaces();

private:
    vdFlowMap map;
    std::size_t inserted = 0;
    std::map<const vdFlow *, std::size_t> bucket_of;
    std::map<std::string, std::shared_ptr<vdFlow>> named;
};
