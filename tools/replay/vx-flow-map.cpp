// The flow map is shared with the worker's flow-map intake, which walks it
// bucket by bucket under the bucket locks; the replay changes a bucket only
// while holding its lock.
#include <algorithm>

#include "vx-flow-fields.hpp"
#include "vx-flow-map.hpp"

vxFlowMap::vxFlowMap(std::size_t buckets) : map(buckets) {}

void vxFlowMap::Insert(const std::shared_ptr<vdFlow> &flow)
{
    std::size_t index = inserted++ % map.GetBuckets();
    vdFlowMap::Bucket &bucket = map.Acquire(index);
    bucket.push_back(flow);
    map.Release(index);
    bucket_of[flow.get()] = index;
}

void vxFlowMap::Remove(const std::shared_ptr<vdFlow> &flow)
{
    auto it = bucket_of.find(flow.get());
    if (it == bucket_of.end()) return;
    vdFlowMap::Bucket &bucket = map.Acquire(it->second);
    auto found = std::find(bucket.begin(), bucket.end(), flow);
    if (found != bucket.end()) bucket.erase(found);
    map.Release(it->second);
    bucket_of.erase(it);
}

std::shared_ptr<vdFlow> &vxFlowMap::Get(const std::string &id)
{
    auto &flow = named[id];
    if (!flow) {
        flow = std::make_shared<vdFlow>();
        vxInitFlow(*flow);
        Insert(flow);
    }
    return flow;
}

std::shared_ptr<vdFlow> *vxFlowMap::Find(const std::string &id)
{
    auto it = named.find(id);
    return it == named.end() ? nullptr : &it->second;
}

void vxFlowMap::Purge(const std::string &id)
{
    auto it = named.find(id);
    if (it == named.end()) return;
    Remove(it->second);
    named.erase(it);
}

vdPluginProcessor::Interfaces vxFlowMap::Interfaces()
{
    vdPluginProcessor::Interfaces interfaces;
    interfaces["eth0"] = std::make_shared<vdInterface>("eth0", 0);
    for (std::size_t index = 0; index < map.GetBuckets(); index++) {
        vdFlowMap::Bucket &bucket = map.Acquire(index);
        for (const auto &flow : bucket)
            if (flow->iface) interfaces[flow->iface->ifname] = flow->iface;
        map.Release(index);
    }
    return interfaces;
}
