// The budget: the counting allocator, the instruction hook and the scope of
// one call of the script.
#include <climits>
#include <cstdlib>

#include "lpp-budget.hpp"

const char *const lppInstructionLimitText = "instruction limit exceeded";

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

namespace {

// Each thread (coroutine) counts its own period, so threads made under
// another limit are counted by what they actually ran.
void CountInstructions(lua_State *L, lua_Debug *)
{
    void *ud = nullptr;
    lua_getallocf(L, &ud);
    auto *budget = static_cast<lppLuaBudget *>(ud);
    budget->instructions += static_cast<std::uint64_t>(lua_gethookcount(L));
    if (budget->in_call && budget->instruction_limit != 0 && budget->instructions > budget->instruction_limit) {
        budget->instructions_exceeded = true;
        // From now on every instruction raises again: a script that catches
        // the error in a loop cannot run on, wherever the period would fall.
        if (lua_gethookcount(L) != 1) {
            lua_sethook(L, CountInstructions, LUA_MASKCOUNT, 1);
            budget->hook_tightened = true;
        }
        luaL_error(L, "%s", lppInstructionLimitText);
    }
}

}  // namespace

void lppInstallInstructionHook(lua_State *L, const lppLuaBudget &budget)
{
    if (budget.instruction_limit == 0) {
        lua_sethook(L, nullptr, 0, 0);
        return;
    }
    // The count can run past the limit by at most one period before the
    // hook sees it.
    std::uint64_t period = budget.instruction_limit / 100;
    if (period == 0) period = 1;
    if (period > INT_MAX) period = INT_MAX;
    lua_sethook(L, CountInstructions, LUA_MASKCOUNT, static_cast<int>(period));
}

lppScriptCall::lppScriptCall(lppLuaBudget &budget, bool enforce_memory)
    : budget(budget),
      outer_enforcing(budget.enforcing_memory),
      outer_in_call(budget.in_call),
      outer_instructions(budget.instructions),
      outer_memory_refused(budget.memory_refused),
      outer_instructions_exceeded(budget.instructions_exceeded)
{
    budget.enforcing_memory = enforce_memory && budget.memory_limit != 0;
    budget.in_call = true;
    if (budget.hook_tightened && budget.main_thread != nullptr) {
        lppInstallInstructionHook(budget.main_thread, budget);
        budget.hook_tightened = false;
    }
    budget.instructions = 0;
    budget.memory_refused = false;
    budget.instructions_exceeded = false;
}

lppScriptCall::~lppScriptCall()
{
    budget.enforcing_memory = outer_enforcing;
    budget.in_call = outer_in_call;
    budget.instructions = outer_instructions;
    budget.memory_refused = outer_memory_refused;
    budget.instructions_exceeded = outer_instructions_exceeded;
}
