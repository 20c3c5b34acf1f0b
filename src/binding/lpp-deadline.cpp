// The deadline timer: tightens the running Lua thread's count hook once the
// call in progress has passed its deadline.
#include <algorithm>
#include <chrono>

#include "lpp-budget.hpp"
#include "lpp-script-hooks.hpp"

std::int64_t lppSteadyNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count();
}

lppDeadlineTimer::lppDeadlineTimer(lppLuaBudget &budget) : budget(budget), thread([this] { Run(); }) {}

lppDeadlineTimer::~lppDeadlineTimer()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    thread.join();
}

// The worker never wakes the timer: a call only publishes its deadline. The
// timer looks again at least every time limit (within 1 ms and 100 ms), so it
// is asleep until the deadline of any call that began since, and costs the
// worker nothing per call. Past the deadline it tightens the running thread
// at every look: a hook that the worker set again in between (a coroutine
// resumed, a script's debug.sethook) is tightened once more, until the call
// ends.
void lppDeadlineTimer::Run()
{
    using namespace std::chrono;
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        const std::int64_t now = lppSteadyNanoseconds();
        const std::int64_t deadline = budget.deadline.load(std::memory_order_relaxed);
        const std::int64_t look = std::clamp<std::int64_t>(
            budget.time_limit.load(std::memory_order_relaxed), 1'000'000, 100'000'000);
        std::int64_t next = now + look;
        if (deadline != 0 && now >= deadline) {
            std::lock_guard<std::mutex> threads(budget.thread_mutex);
            lua_State *running = (budget.running != nullptr) ? budget.running : budget.main_thread;
            if (running != nullptr) lppTightenHook(running);
        } else if (deadline != 0) {
            next = std::min(next, deadline);
        }
        wake.wait_until(lock, steady_clock::time_point(duration_cast<steady_clock::duration>(nanoseconds(next))));
    }
}
