// The budget: the counting allocator, the instruction and time check of the
// count hook, and the scope of one call of the script.
#include <climits>
#include <cstdlib>
#include <utility>

#include "lpp-budget.hpp"
#include "lpp-script-hooks.hpp"

const char *const lppInstructionLimitText = "instruction limit exceeded";
const char *const lppTimeLimitText = "time limit exceeded";

// As Lua's own allocator (realloc and free), counting. Growth is refused past
// the limit only inside a script's call; Lua then collects and tries once
// more before it raises "not enough memory". Shrinking and freeing never
// fail. Only the state's own thread allocates, so the counter needs no
// read-modify-write; it is atomic for the status readers.
void *lppAllocate(void *ud, void *ptr, std::size_t osize, std::size_t nsize)
{
    auto *budget = static_cast<lppLuaBudget *>(ud);
    // Without a block, osize names the kind of object instead of a size.
    const std::size_t old_size = (ptr != nullptr) ? osize : 0;
    const std::size_t used = budget->memory_used.load(std::memory_order_relaxed);
    if (nsize == 0) {
        std::free(ptr);
        budget->memory_used.store(used - old_size, std::memory_order_relaxed);
        return nullptr;
    }
    if (budget->enforcing_memory && nsize > old_size &&
        used - old_size + nsize > budget->memory_limit) {
        budget->memory_refused = true;
        return nullptr;
    }
    void *block = std::realloc(ptr, nsize);
    if (block != nullptr) budget->memory_used.store(used - old_size + nsize, std::memory_order_relaxed);
    return block;
}

lppLuaBudget::lppLuaBudget() = default;

lppLuaBudget::~lppLuaBudget() = default;

lppLuaBudget *lppBudgetOf(lua_State *L)
{
    void *ud = nullptr;
    return (lua_getallocf(L, &ud) == lppAllocate) ? static_cast<lppLuaBudget *>(ud) : nullptr;
}

void lppSetCallLimits(lppLuaBudget &budget, std::uint64_t instructions, double seconds)
{
    budget.instruction_limit = instructions;
    // Far beyond any call: a limit of centuries stays a limit, not an
    // overflow.
    constexpr double longest = 1e9;
    const double clamped = (seconds > longest) ? longest : seconds;
    const auto nanoseconds = static_cast<std::int64_t>(clamped * 1e9);
    budget.time_limit.store((seconds > 0 && nanoseconds == 0) ? 1 : nanoseconds, std::memory_order_relaxed);

    // The count can run past the instruction limit by at most one period
    // before the hook sees it. A time limit alone needs a period only for
    // threads the deadline timer cannot see (it tightens the running one):
    // a long one costs nothing.
    std::uint64_t period = 0;
    if (instructions != 0) {
        period = instructions / 100;
        if (period == 0) period = 1;
        if (period > INT_MAX) period = INT_MAX;
    } else if (budget.time_limit.load(std::memory_order_relaxed) != 0) {
        period = 1 << 20;
    }
    budget.hook_period = static_cast<int>(period);

    if (budget.time_limit.load(std::memory_order_relaxed) == 0)
        budget.timer.reset();
    else if (!budget.timer)
        budget.timer = std::make_unique<lppDeadlineTimer>(budget);
}

void lppCountHook(lua_State *L, lua_Debug *)
{
    lppLuaBudget *budget = lppBudgetOf(L);
    if (budget != nullptr) lppCountInstructions(L, *budget, lua_gethookcount(L));
}

// Each thread (coroutine) counts its own period, so threads made under
// another limit are counted by what they actually ran.
void lppCountInstructions(lua_State *L, lppLuaBudget &budget, int period)
{
    budget.instructions += static_cast<std::uint64_t>(period);
    if (!budget.in_call) return;
    const char *exceeded = nullptr;
    if (budget.instruction_limit != 0 && budget.instructions > budget.instruction_limit) {
        budget.instructions_exceeded = true;
        exceeded = lppInstructionLimitText;
    } else {
        const std::int64_t deadline = budget.deadline.load(std::memory_order_relaxed);
        if (deadline != 0 && lppSteadyNanoseconds() >= deadline) {
            budget.time_exceeded = true;
            exceeded = lppTimeLimitText;
        }
    }
    if (exceeded == nullptr) {
        if (period != budget.hook_period && lua_gethook(L) == lppCountHook) {
            if (budget.hook_period == 0)
                lua_sethook(L, nullptr, 0, 0);
            else
                lua_sethook(L, lppCountHook, LUA_MASKCOUNT, budget.hook_period);
        }
        return;
    }
    // From now on every instruction raises again: a script that catches
    // the error in a loop cannot run on, wherever the period would fall.
    if (period != 1) lppTightenHook(L);
    luaL_error(L, "%s", exceeded);
}

lua_State *lppEnterThread(lppLuaBudget &budget, lua_State *thread)
{
    std::lock_guard<std::mutex> lock(budget.thread_mutex);
    return std::exchange(budget.running, thread);
}

void lppLeaveThread(lppLuaBudget &budget, lua_State *outer)
{
    std::lock_guard<std::mutex> lock(budget.thread_mutex);
    budget.running = outer;
}

lppScriptCall::lppScriptCall(lppLuaBudget &budget, bool enforce_memory)
    : budget(budget),
      outer_enforcing(budget.enforcing_memory),
      outer_in_call(budget.in_call),
      outer_instructions(budget.instructions),
      outer_deadline(budget.deadline.load(std::memory_order_relaxed)),
      outer_memory_refused(budget.memory_refused),
      outer_instructions_exceeded(budget.instructions_exceeded),
      outer_time_exceeded(budget.time_exceeded)
{
    budget.enforcing_memory = enforce_memory && budget.memory_limit != 0;
    budget.in_call = true;
    budget.instructions = 0;
    const std::int64_t time_limit = budget.time_limit.load(std::memory_order_relaxed);
    budget.deadline.store(time_limit != 0 ? lppSteadyNanoseconds() + time_limit : 0, std::memory_order_relaxed);
    budget.memory_refused = false;
    budget.instructions_exceeded = false;
    budget.time_exceeded = false;
}

lppScriptCall::~lppScriptCall()
{
    budget.enforcing_memory = outer_enforcing;
    budget.in_call = outer_in_call;
    budget.instructions = outer_instructions;
    budget.deadline.store(outer_deadline, std::memory_order_relaxed);
    budget.memory_refused = outer_memory_refused;
    budget.instructions_exceeded = outer_instructions_exceeded;
    budget.time_exceeded = outer_time_exceeded;
}
