// The flow map.
#include <stdexcept>

#include "vd-flow.hpp"

vdFlowMap::vdFlowMap(std::size_t count)
    : buckets(count), locks(new std::mutex[count > 0 ? count : 1])
{
}

vdFlowMap::~vdFlowMap() = default;

vdFlowMap::Bucket &vdFlowMap::Acquire(std::size_t index)
{
    // Indexing past the bucket count is a caller's fault; the daemon refuses
    // it rather than lock memory that is not a mutex.
    if (index >= buckets.size()) throw std::out_of_range("vdFlowMap::Acquire: bucket index");
    locks[index].lock();
    return buckets[index];
}

void vdFlowMap::Release(std::size_t index)
{
    if (index < buckets.size()) locks[index].unlock();
}
