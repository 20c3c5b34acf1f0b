// The thread probe that the idle fallback rests on: a thread asleep in a
// condition-variable wait with a deadline is told apart from one blocked on
// a mutex and from one that runs.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "lpp-test-support.hpp"
#include "vx-worker-probe.hpp"

namespace {

long ThisThreadId() { return static_cast<long>(::syscall(SYS_gettid)); }

TEST(WorkerProbe, SeesAConditionWaitWithADeadline)
{
    std::mutex mutex;
    std::condition_variable cond;
    bool done = false;
    std::atomic<long> tid{0};
    std::thread waiter([&] {
        tid = ThisThreadId();
        std::unique_lock<std::mutex> lock(mutex);
        while (!done) cond.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::seconds(1));
    });
    EXPECT_TRUE(lpptest::WaitFor([&] { return vxProbeThread(tid).in_condition_wait; }));
    vxThreadState state = vxProbeThread(tid);
    EXPECT_TRUE(state.known);
    {
        std::lock_guard<std::mutex> guard(mutex);
        done = true;
    }
    cond.notify_one();
    waiter.join();
}

TEST(WorkerProbe, AMutexWaitOrARunningThreadIsNotIdle)
{
    std::mutex mutex;
    std::atomic<long> tid{0};
    std::atomic<bool> stop{false};
    std::unique_lock<std::mutex> held(mutex);
    std::thread blocked([&] {
        tid = ThisThreadId();
        std::lock_guard<std::mutex> guard(mutex);
    });
    // Give the thread time to block on the mutex, then check it repeatedly.
    ASSERT_TRUE(lpptest::WaitFor([&] { return tid != 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (int i = 0; i < 20; i++) EXPECT_FALSE(vxProbeThread(tid).in_condition_wait);
    held.unlock();
    blocked.join();

    std::atomic<long> busy_tid{0};
    std::thread busy([&] {
        busy_tid = ThisThreadId();
        while (!stop) {
        }
    });
    ASSERT_TRUE(lpptest::WaitFor([&] { return busy_tid != 0; }));
    for (int i = 0; i < 20; i++) EXPECT_FALSE(vxProbeThread(busy_tid).in_condition_wait);
    stop = true;
    busy.join();
}

TEST(WorkerProbe, UnknownThreadIsNotKnown)
{
    EXPECT_FALSE(vxProbeThread(0).known);
    EXPECT_FALSE(vxProbeThread(-5).in_condition_wait);
}

}  // namespace
