// The script's hooks and threads under the budget's limits. The debug
// library's sethook and gethook, and the coroutine library's create, wrap and
// resume, are the plugin's own in every state: a script's hook (its function,
// mask and count, per thread, as Lua's manual describes them) runs beside the
// plugin's count hook instead of replacing it, and every thread the script
// makes is known to the plugin, so that a limit set later reaches it at its
// next resume. Part of the binding library: Lua's API only.
#pragma once

#include <lua.hpp>

#include "lpp-budget.hpp"

// Replaces debug.sethook, debug.gethook, coroutine.create, coroutine.wrap and
// coroutine.resume in the loaded libraries (the globals are the same tables)
// and makes the table of the script's threads: weak-keyed, so it never keeps
// a thread alive. Call it once the standard libraries are open, before the
// script runs. [-0, +0, e]
void lppInstallScriptHooks(lua_State *L);

// Gives the main thread L and every thread the script made the hook that the
// budget's limits and the script's own hook of that thread call for: the
// plugin's count hook, the script's hook with the plugin's counting inside
// it, or none. Call it outside any call of the script. [-0, +0, -]
void lppApplyHooks(lua_State *L, const lppLuaBudget &budget);

// The hook of a thread on which the script has set a hook of its own: counts
// for the plugin, then calls the script's function for the events it asked
// for. Lua runs that function with hooks off, so no limit counts it.
void lppDispatchScriptHook(lua_State *L, lua_Debug *ar);

// Sets the count of thread's hook to every instruction, keeping its function
// and mask, if the hook is the plugin's; a hook of a C module's is left
// alone. Safe from another OS thread, as lua_sethook is, while thread is
// alive. [-0, +0, -]
void lppTightenHook(lua_State *thread);
