// The budget of one Lua state: a counting allocator and an instruction
// hook, which enforce the limits of one call of the script. Part of the
// binding library, so Lua's API only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <lua.hpp>

// The accounting of one Lua state's runtime: its allocator counts every byte
// the state holds, and a count hook counts the instructions of the call in
// progress. It outlives every state it serves (lppLuaState owns it).
//
// Only the worker thread (or the thread that builds or closes the state)
// writes here; memory_used is also read by status readers on other threads.
struct lppLuaBudget {
    std::atomic<std::size_t> memory_used{0};
    std::size_t memory_limit = 0;
    std::uint64_t instruction_limit = 0;

    // Inside a script's call: allocations past memory_limit are refused.
    // Set-up and bookkeeping outside calls are counted, never refused.
    bool enforcing_memory = false;
    // Inside a script's call: the instruction limit is enforced.
    bool in_call = false;
    std::uint64_t instructions = 0;
    // Whether a limit refused something during the current call.
    bool memory_refused = false;
    bool instructions_exceeded = false;
    // The state's main thread, whose hook a call past its limit tightens
    // to every instruction; the next call restores the period.
    lua_State *main_thread = nullptr;
    bool hook_tightened = false;
};

// The allocator of every plugin state (a lua_Alloc); ud is its lppLuaBudget.
// It works on no stack and never raises: Lua turns a refusal into its
// memory error.
void *lppAllocate(void *ud, void *ptr, std::size_t osize, std::size_t nsize);

// Installs (or, without an instruction limit, removes) the count hook on the
// state's main thread, with a period that keeps the count within 1 % of the
// limit. Threads created afterwards inherit it. The hook raises
// lppInstructionLimitText in the running call once the limit is passed.
// [-0, +0, -]
void lppInstallInstructionHook(lua_State *L, const lppLuaBudget &budget);

// One call of the script, counted on its own: the instruction count starts
// at zero and the memory limit is enforced until the scope ends. Scopes
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
    bool outer_memory_refused;
    bool outer_instructions_exceeded;
};

// The error text of a call cut by the instruction limit.
extern const char *const lppInstructionLimitText;
