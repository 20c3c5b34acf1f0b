// The stand-in's flow map: one lock per bucket.
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "lpp-test-support.hpp"

TEST(StandinFlowMap, EachBucketHasALockOfItsOwn)
{
    vdFlowMap map(3);
    ASSERT_EQ(map.GetBuckets(), 3u);

    auto flow = lpptest::MakeFlow();
    map.Acquire(1).push_back(flow);
    map.Release(1);

    // Bucket 0 held here: another thread can still use bucket 1, but waits
    // for bucket 0 until it is released.
    vdFlowMap::Bucket &held = map.Acquire(0);
    EXPECT_TRUE(held.empty());
    std::atomic<bool> other_bucket{false}, same_bucket{false};
    std::size_t seen_in_1 = 0;
    std::thread other([&] {
        seen_in_1 = map.Acquire(1).size();
        map.Release(1);
        other_bucket = true;
        map.Acquire(0);
        same_bucket = true;
        map.Release(0);
    });
    ASSERT_TRUE(lpptest::WaitFor([&] { return other_bucket.load(); }));
    EXPECT_EQ(seen_in_1, 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(same_bucket);
    map.Release(0);
    EXPECT_TRUE(lpptest::WaitFor([&] { return same_bucket.load(); }));
    other.join();
}

TEST(StandinFlowMap, BucketIndexPastTheCountIsRefused)
{
    vdFlowMap empty(0);
    EXPECT_EQ(empty.GetBuckets(), 0u);
    EXPECT_THROW(empty.Acquire(0), std::out_of_range);

    vdFlowMap map(2);
    EXPECT_THROW(map.Acquire(2), std::out_of_range);
    // The refused call left every bucket free.
    map.Acquire(0);
    map.Release(0);
    map.Acquire(1);
    map.Release(1);
}
