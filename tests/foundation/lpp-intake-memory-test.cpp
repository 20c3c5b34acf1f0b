// The intake when memory runs out part-way: the exception reaches the
// daemon's thread, every lock is free again and the queue is as it was.
//
// The program's own operator new fails the n-th allocation made by the
// calling thread once armed; the plugin's code, linked in, allocates through
// it like everything else.
#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <thread>

#include <gtest/gtest.h>

#include "lpp-plugin.hpp"
#include "lpp-test-support.hpp"

namespace {

// Allocations left before the failing one; 0 when disarmed.
thread_local long fail_countdown = 0;

void *Allocate(std::size_t size)
{
    if (fail_countdown > 0 && --fail_countdown == 0) throw std::bad_alloc();
    if (void *block = std::malloc(size > 0 ? size : 1)) return block;
    throw std::bad_alloc();
}

}  // namespace

void *operator new(std::size_t size) { return Allocate(size); }
void *operator new[](std::size_t size) { return Allocate(size); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    try {
        return Allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void *operator new[](std::size_t size, const std::nothrow_t &tag) noexcept
{
    return operator new(size, tag);
}
void operator delete(void *block) noexcept { std::free(block); }
void operator delete[](void *block) noexcept { std::free(block); }
void operator delete(void *block, std::size_t) noexcept { std::free(block); }
void operator delete[](void *block, std::size_t) noexcept { std::free(block); }
void operator delete(void *block, const std::nothrow_t &) noexcept { std::free(block); }
void operator delete[](void *block, const std::nothrow_t &) noexcept { std::free(block); }

namespace {

using Event = vdPluginProcessor::Event;

// Whether take, run on another thread, finishes: what it locks is free. A
// thread that stays blocked is left behind.
bool FreeForAnotherThread(const std::function<void()> &take)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread other([take, done] {
        take();
        *done = true;
    });
    const bool free = lpptest::WaitFor([&] { return done->load(); });
    if (free)
        other.join();
    else
        other.detach();
    return free;
}

// Every bucket of map can be taken by another thread.
bool BucketsFree(vdFlowMap &map)
{
    return FreeForAnotherThread([&map] {
        for (std::size_t b = 0; b < map.GetBuckets(); b++) {
            map.Acquire(b);
            map.Release(b);
        }
    });
}

// What the queue holds: the event number and flows of each record.
std::vector<std::pair<unsigned, std::vector<vdFlow *>>> QueueContents(lppPlugin &plugin)
{
    std::vector<std::pair<unsigned, std::vector<vdFlow *>>> contents;
    plugin.Queue().ForEach([&contents](const lppEvent &record) {
        std::vector<vdFlow *> flows;
        for (const auto &entry : record.Entries()) flows.push_back(entry.flow.get());
        contents.emplace_back(record.event, flows);
    });
    return contents;
}

// Calls intake with the n-th allocation failing, for n = 1, 2, ... until a
// call gets through; after each failure checks that the queue and the
// flows' shares are as they were and that the queue mutex is free. Returns
// how many calls failed.
template <typename Intake>
int FailEachAllocation(lppPlugin &plugin,
    const std::vector<std::shared_ptr<vdFlow>> &flows, Intake intake,
    const std::function<void()> &check = [] {})
{
    const auto queue_before = QueueContents(plugin);
    std::vector<long> uses_before;
    for (const auto &flow : flows) uses_before.push_back(flow.use_count());

    int failures = 0;
    for (long n = 1; n < 1000; n++) {
        bool failed = false;
        fail_countdown = n;
        try {
            intake();
        } catch (const std::bad_alloc &) {
            failed = true;
        }
        fail_countdown = 0;
        if (!failed) return failures;
        failures++;
        check();

        EXPECT_EQ(QueueContents(plugin), queue_before) << "allocation " << n;
        for (std::size_t k = 0; k < flows.size(); k++)
            EXPECT_EQ(flows[k].use_count(), uses_before[k]) << "allocation " << n << ", flow " << k;
        // QueueContents locked the mutex above, so it was not left held by
        // another thread; another thread checks it is free right now as well.
        EXPECT_TRUE(FreeForAnotherThread([&plugin] { plugin.Queue().Lock(); })) << "allocation " << n;
    }
    ADD_FAILURE() << "the intake never got through";
    return failures;
}

}  // namespace

TEST(PluginIntakeMemory, FlowMapSnapshotLeavesQueueAndBucketsAsTheyWere)
{
    lppPlugin plugin("lua", {{"conf_filename", "lua.json"}});
    plugin.Runtime().SetHandlerMask(0x0f);
    // Records already queued, enough that the next append needs a new block
    // of the queue's storage as well.
    for (int i = 0; i < 31; i++) plugin.DispatchProcessorEvent(Event::UPDATE_INIT);

    vdFlowMap map(3);
    std::vector<std::shared_ptr<vdFlow>> flows;
    for (int k = 0; k < 9; k++) {
        auto flow = lpptest::MakeFlow();
        flow->flags.detection_init = true;
        flows.push_back(flow);
        map.Acquire(k % 3).push_back(flow);
        map.Release(k % 3);
    }

    const int failures = FailEachAllocation(
        plugin, flows, [&] { plugin.DispatchProcessorEvent(Event::FLOW_MAP, &map); },
        [&] { EXPECT_TRUE(BucketsFree(map)); });
    // Failures came from the walk (the record's entries) and from the append.
    EXPECT_GE(failures, 2);
    EXPECT_TRUE(BucketsFree(map));
    EXPECT_EQ(plugin.Queue().Records(), 32u);
    for (const auto &flow : flows) EXPECT_EQ(flow.use_count(), 3);
}

TEST(PluginIntakeMemory, SingleFlowWithDocumentLeavesQueueAsItWas)
{
    lppPlugin plugin("lua", {{"conf_filename", "lua.json"}});
    plugin.Runtime().SetHandlerMask(0x0f);
    auto flow = lpptest::MakeFlow();
    for (int i = 0; i < 15; i++) plugin.DispatchProcessorEvent(Event::FLOW_NEW, flow);

    json doc = {{"list", {1, 2, 3}}, {"name", std::string(100, 'n')}, {"nested", {{"a", {true, nullptr}}}}};
    const int failures = FailEachAllocation(plugin, {flow}, [&] {
        plugin.DispatchProcessorEvent(Event::FLOW_INTEL, flow, doc);
    });
    EXPECT_GE(failures, 3);
    EXPECT_EQ(plugin.Queue().Records(), 16u);
    EXPECT_EQ(flow.use_count(), 17);
}

TEST(PluginIntakeMemory, AgentEventLeavesQueueAsItWas)
{
    lppPlugin plugin("lua", {{"conf_filename", "lua.json"}});
    plugin.Runtime().SetHandlerMask(0x01);
    for (int i = 0; i < 15; i++) plugin.DispatchProcessorEvent(Event::UPDATE_INIT);
    vdInstanceStatus status;
    // Only an append that starts a new block of the queue allocates: one of
    // 32 in a row does, whatever the size of a block.
    int failures = 0;
    for (int i = 0; i < 32; i++) {
        failures += FailEachAllocation(
            plugin, {}, [&] { plugin.DispatchProcessorEvent(Event::UPDATE_COMPLETE, &status); });
    }
    EXPECT_GE(failures, 1);
    EXPECT_EQ(plugin.Queue().Records(), 15u + 32u);
}
