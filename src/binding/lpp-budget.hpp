// The budget of one Lua state: a counting allocator, an instruction hook
// and a deadline, which enforce the limits of one call of the script. Part of
// the binding library: Lua's API and standard C++ only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include <lua.hpp>

#include "lpp-deadline.hpp"

// The accounting of one Lua state's runtime: its allocator counts every byte
// the state holds, a count hook counts the instructions of the call in
// progress and checks its deadline, and a deadline timer cuts a call whose
// time goes to C calls. It outlives every state it serves (lppLuaState owns
// it).
//
// Only the worker thread (or the thread that builds or closes the state)
// writes here, except where a member says otherwise; memory_used is also read
// by status readers on other threads.
struct lppLuaBudget {
    lppLuaBudget();
    ~lppLuaBudget();
    lppLuaBudget(const lppLuaBudget &) = delete;
    lppLuaBudget &operator=(const lppLuaBudget &) = delete;

    std::atomic<std::size_t> memory_used{0};
    std::size_t memory_limit = 0;
    std::uint64_t instruction_limit = 0;
    // The most steady-clock nanoseconds one call may take (0: no limit);
    // the deadline timer reads it.
    std::atomic<std::int64_t> time_limit{0};
    // The count hook's period: 0 when neither an instruction nor a time
    // limit is in force (no hook of the plugin's then).
    int hook_period = 0;

    // Inside a script's call: allocations past memory_limit are refused.
    // Set-up and bookkeeping outside calls are counted, never refused.
    bool enforcing_memory = false;
    // Inside a script's call: the instruction and time limits are enforced.
    bool in_call = false;
    std::uint64_t instructions = 0;
    // The steady-clock deadline of the call in progress (0: none); the
    // deadline timer reads it.
    std::atomic<std::int64_t> deadline{0};
    // Whether a limit refused something during the current call.
    bool memory_refused = false;
    bool instructions_exceeded = false;
    bool time_exceeded = false;

    // The Lua threads the deadline timer may tighten: the state's main
    // thread, and the thread running now (the main thread, or the coroutine
    // that the script's resume runs). The timer holds thread_mutex while it
    // touches one, and each is cleared under it before it can be freed.
    std::mutex thread_mutex;
    lua_State *main_thread = nullptr;
    lua_State *running = nullptr;
    // Runs while a time limit is set.
    std::unique_ptr<lppDeadlineTimer> timer;
};

// The budget of the state that L belongs to; nullptr for a state whose
// allocator is not lppAllocate. [-0, +0, -]
lppLuaBudget *lppBudgetOf(lua_State *L);

// The allocator of every plugin state (a lua_Alloc); ud is its lppLuaBudget.
// It works on no stack and never raises: Lua turns a refusal into its
// memory error.
void *lppAllocate(void *ud, void *ptr, std::size_t osize, std::size_t nsize);

// Sets the limits of every call from now on: the instruction and time
// limits decide the count hook's period (lppApplyHooks installs it), and a
// time limit starts the deadline timer (none stops it). [-0, +0, -]
void lppSetCallLimits(lppLuaBudget &budget, std::uint64_t instructions, double seconds);

// The plugin's count hook, on every thread while an instruction or time
// limit is in force and the script has set no hook of its own there.
void lppCountHook(lua_State *L, lua_Debug *ar);

// Adds period instructions to the call's count, then checks the call's
// limits: past one, the hook of L is tightened to every instruction and
// the limit's error raised, and raised again at every instruction after.
// A count hook tightened while the call is within its limits (by the
// deadline timer, or in an earlier call) goes back to the budget's period.
// [-0, +0, v]
void lppCountInstructions(lua_State *L, lppLuaBudget &budget, int period);

// Makes thread the one the deadline timer tightens, returning the one it
// replaces for lppLeaveThread. thread stays referenced (it is being resumed)
// until lppLeaveThread. [-0, +0, -]
lua_State *lppEnterThread(lppLuaBudget &budget, lua_State *thread);
void lppLeaveThread(lppLuaBudget &budget, lua_State *outer);

// One call of the script, counted on its own: the instruction count starts
// at zero, the deadline is the time limit from now, and the memory limit is
// enforced until the scope ends. Scopes
// nest (a collection run inside a call belongs to that call). Touches no
// stack and never raises.
class lppScriptCall {
public:
    explicit lppScriptCall(lppLuaBudget &budget, bool enforce_memory = true);
    ~lppScriptCall();
    lppScriptCall(const lppScriptCall &) = delete;
    lppScriptCall &operator=(const lppScriptCall &) = delete;

private:
    lppLuaBudget &budget;
    bool outer_enforcing;
    bool outer_in_call;
    std::uint64_t outer_instructions;
    std::int64_t outer_deadline;
    bool outer_memory_refused;
    bool outer_instructions_exceeded;
    bool outer_time_exceeded;
};

// The error texts of a call cut by the instruction or the time limit.
extern const char *const lppInstructionLimitText;
extern const char *const lppTimeLimitText;
