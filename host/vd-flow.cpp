// The flow map.
#include "vd-flow.hpp"

vdFlowMap::vdFlowMap(std::size_t count)
    : buckets(count), locks(new std::mutex[count > 0 ? count : 1])
{
}

vdFlowMap::~vdFlowMap() = default;

vdFlowMap::Bucket &vdFlowMap::Acquire(std::size_t index)
{
    locks[index].lock();
    return buckets[index];
}

void vdFlowMap::Release(std::size_t index) { locks[index].unlock(); }
