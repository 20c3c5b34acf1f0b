// The deadline timer of a state's time limit: a thread that, once the call
// in progress has run past its deadline, tightens the count hook of the Lua
// thread that runs it to every instruction, so that a call whose time goes
// to C calls a few instructions apart is cut at its next instruction instead
// of at the end of an instruction period. Standard C++ threads only.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

struct lppLuaBudget;

// Nanoseconds of the steady clock, the time base of deadlines and of the
// status document's running times.
std::int64_t lppSteadyNanoseconds();

class lppDeadlineTimer {
public:
    // Starts the thread, which serves budget until the timer is destroyed.
    explicit lppDeadlineTimer(lppLuaBudget &budget);
    ~lppDeadlineTimer();
    lppDeadlineTimer(const lppDeadlineTimer &) = delete;
    lppDeadlineTimer &operator=(const lppDeadlineTimer &) = delete;

private:
    void Run();

    lppLuaBudget &budget;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;
};
