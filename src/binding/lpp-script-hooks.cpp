// The script's hooks and threads: the debug library's sethook and gethook and
// the coroutine library's create, wrap and resume of every plugin state.
#include <algorithm>
#include <climits>
#include <cstring>

#include "lpp-script-hooks.hpp"

namespace {

// The registry key of the table of the script's threads: thread -> the
// record of the script's hook on it ({function, mask, count, remaining}), or
// true for a thread without one.
const char threads_key = 0;

enum Record : int { RECORD_FUNCTION = 1, RECORD_MASK, RECORD_COUNT, RECORD_REMAINING };

constexpr int script_masks = LUA_MASKCALL | LUA_MASKRET | LUA_MASKLINE | LUA_MASKCOUNT;

// The script's hook of one thread, as debug.sethook was given it; remaining
// is what its count has left until the next count event.
struct ScriptHook {
    int mask = 0;
    int count = 0;
    int remaining = 0;
};

int ClampedInt(lua_Integer value)
{
    return static_cast<int>(std::clamp<lua_Integer>(value, INT_MIN, INT_MAX));
}

// Reads the record at index into hook; false for anything that is not a
// record as debug.sethook makes them. [-0, +0, -]
bool ReadRecord(lua_State *L, int index, ScriptHook &hook)
{
    if (lua_type(L, index) != LUA_TTABLE) return false;
    index = lua_absindex(L, index);
    lua_Integer values[3] = {};
    for (int field = RECORD_MASK; field <= RECORD_REMAINING; field++) {
        lua_rawgeti(L, index, field);
        int is_integer = 0;
        values[field - RECORD_MASK] = lua_tointegerx(L, -1, &is_integer);
        lua_pop(L, 1);
        if (!is_integer) return false;
    }
    hook.mask = static_cast<int>(values[0]) & script_masks;
    hook.count = ClampedInt(values[1]);
    hook.remaining = ClampedInt(values[2]);
    return true;
}

// Pushes the table of the script's threads, or nil if the registry no longer
// holds one. [-0, +1, -]
bool PushThreads(lua_State *L)
{
    if (lua_rawgetp(L, LUA_REGISTRYINDEX, &threads_key) == LUA_TTABLE) return true;
    lua_pop(L, 1);
    lua_pushnil(L);
    return false;
}

bool IsPluginHook(lua_Hook hook) { return hook == lppCountHook || hook == lppDispatchScriptHook; }

// The count that thread's hook fires at: the plugin's period, or sooner when
// the script's count falls due first. Lua counts the instructions of a hook
// function too, and a count that falls due inside one is lost (hooks are off
// there): a script's call, return or line hook, which may run at every
// instruction, would starve the plugin's count of its events. Beside one,
// the plugin counts every instruction.
int HookCount(const ScriptHook &hook, int period)
{
    if (period == 0) return hook.count;
    if (hook.mask & (LUA_MASKCALL | LUA_MASKRET | LUA_MASKLINE)) return 1;
    return std::clamp(hook.remaining, 1, period);
}

// Gives thread the hook that period (the plugin's, 0 for none) and the
// script's hook (nullptr or a zero mask for none) call for. [-0, +0, -]
void SetThreadHook(lua_State *thread, int period, const ScriptHook *hook)
{
    if (hook == nullptr || hook->mask == 0) {
        if (period != 0)
            lua_sethook(thread, lppCountHook, LUA_MASKCOUNT, period);
        else
            lua_sethook(thread, nullptr, 0, 0);
        return;
    }
    const int mask = hook->mask | (period != 0 ? LUA_MASKCOUNT : 0);
    lua_sethook(thread, lppDispatchScriptHook, mask, HookCount(*hook, period));
}

int PeriodOf(lua_State *L)
{
    const lppLuaBudget *budget = lppBudgetOf(L);
    return (budget != nullptr) ? budget->hook_period : 0;
}

// Pushes thread onto L (thread's own stack needs one free slot, as Lua's
// debug library does it). [-0, +1, e]
void PushThread(lua_State *L, lua_State *thread)
{
    if (thread == L) {
        lua_pushthread(L);
        return;
    }
    if (!lua_checkstack(thread, 1)) luaL_error(L, "stack overflow");
    lua_pushthread(thread);
    lua_xmove(thread, L, 1);
}

// Records value (at index) as thread's entry in the table of the script's
// threads. [-0, +0, e]
void SetThreadEntry(lua_State *L, lua_State *thread, int value)
{
    value = lua_absindex(L, value);
    luaL_checkstack(L, 3, nullptr);
    if (!PushThreads(L)) luaL_error(L, "the plugin's table of threads is gone");
    PushThread(L, thread);
    lua_pushvalue(L, value);
    lua_rawset(L, -3);
    lua_pop(L, 1);
}

// Debug library's optional first argument: a thread, or the running one.
lua_State *ThreadArgument(lua_State *L, int &arg)
{
    if (lua_isthread(L, 1)) {
        arg = 1;
        return lua_tothread(L, 1);
    }
    arg = 0;
    return L;
}

// debug.sethook([thread,] hook, mask [, count]) as Lua's manual has it; the
// hook is kept in the thread's record and runs beside the plugin's counting.
int SetHook(lua_State *L)
{
    int arg = 0;
    lua_State *thread = ThreadArgument(L, arg);
    ScriptHook hook;
    if (lua_isnoneornil(L, arg + 1)) {
        lua_settop(L, arg + 1);
        lua_pushboolean(L, 1);
    } else {
        const char *mask = luaL_checkstring(L, arg + 2);
        luaL_checktype(L, arg + 1, LUA_TFUNCTION);
        hook.count = static_cast<int>(luaL_optinteger(L, arg + 3, 0));
        if (std::strchr(mask, 'c') != nullptr) hook.mask |= LUA_MASKCALL;
        if (std::strchr(mask, 'r') != nullptr) hook.mask |= LUA_MASKRET;
        if (std::strchr(mask, 'l') != nullptr) hook.mask |= LUA_MASKLINE;
        if (hook.count > 0) hook.mask |= LUA_MASKCOUNT;
        hook.remaining = hook.count;
        lua_createtable(L, 4, 0);
        lua_pushvalue(L, arg + 1);
        lua_rawseti(L, -2, RECORD_FUNCTION);
        lua_pushinteger(L, hook.mask);
        lua_rawseti(L, -2, RECORD_MASK);
        lua_pushinteger(L, hook.count);
        lua_rawseti(L, -2, RECORD_COUNT);
        lua_pushinteger(L, hook.remaining);
        lua_rawseti(L, -2, RECORD_REMAINING);
    }
    SetThreadEntry(L, thread, -1);
    SetThreadHook(thread, PeriodOf(L), &hook);
    return 0;
}

// debug.gethook([thread]): the script's own hook, mask and count; a C
// module's hook is an "external hook", and the plugin's counting no hook.
int GetHook(lua_State *L)
{
    int arg = 0;
    lua_State *thread = ThreadArgument(L, arg);
    const lua_Hook installed = lua_gethook(thread);
    int mask = lua_gethookmask(thread);
    lua_Integer count = lua_gethookcount(thread);
    luaL_checkstack(L, 4, nullptr);
    if (installed == lppDispatchScriptHook) {
        PushThreads(L);
        PushThread(L, thread);
        const int type = lua_istable(L, -2) ? lua_rawget(L, -2) : LUA_TNIL;
        ScriptHook hook;
        if (type != LUA_TTABLE || !ReadRecord(L, -1, hook) || hook.mask == 0) {
            luaL_pushfail(L);
            return 1;
        }
        lua_rawgeti(L, -1, RECORD_FUNCTION);
        mask = hook.mask;
        count = hook.count;
    } else if (installed == nullptr || installed == lppCountHook) {
        luaL_pushfail(L);
        return 1;
    } else {
        lua_pushliteral(L, "external hook");
    }
    char text[4];
    int length = 0;
    if (mask & LUA_MASKCALL) text[length++] = 'c';
    if (mask & LUA_MASKRET) text[length++] = 'r';
    if (mask & LUA_MASKLINE) text[length++] = 'l';
    lua_pushlstring(L, text, static_cast<std::size_t>(length));
    lua_pushinteger(L, count);
    return 3;
}

// Makes a thread for the function at index 1 and tracks it; its hook is the
// one the limits call for, not a copy of its creator's (whose script hook is
// the creator's alone, as in Lua's debug library). [-0, +1, e]
lua_State *NewScriptThread(lua_State *L)
{
    luaL_checktype(L, 1, LUA_TFUNCTION);
    lua_State *thread = lua_newthread(L);
    lua_pushvalue(L, 1);
    lua_xmove(L, thread, 1);
    lua_pushboolean(L, 1);
    SetThreadEntry(L, thread, -1);
    lua_pop(L, 1);
    if (IsPluginHook(lua_gethook(thread))) SetThreadHook(thread, PeriodOf(L), nullptr);
    return thread;
}

int Create(lua_State *L)
{
    NewScriptThread(L);
    return 1;
}

// Lua's resume of a coroutine with narg arguments from L's top, the thread
// published as the running one for the deadline timer while it runs.
// Returns the number of results moved to L, or -1 with the error on top.
int ResumeCounted(lua_State *L, lua_State *co, int narg)
{
    if (!lua_checkstack(co, narg)) {
        lua_pushliteral(L, "too many arguments to resume");
        return -1;
    }
    lua_xmove(L, co, narg);
    lppLuaBudget *budget = lppBudgetOf(L);
    lua_State *outer = (budget != nullptr) ? lppEnterThread(*budget, co) : nullptr;
    int results = 0;
    const int status = lua_resume(co, L, narg, &results);
    if (budget != nullptr) lppLeaveThread(*budget, outer);
    if (status == LUA_OK || status == LUA_YIELD) {
        if (!lua_checkstack(L, results + 1)) {
            lua_pop(co, results);
            lua_pushliteral(L, "too many results to resume");
            return -1;
        }
        lua_xmove(co, L, results);
        return results;
    }
    lua_xmove(co, L, 1);
    return -1;
}

int Resume(lua_State *L)
{
    lua_State *co = lua_tothread(L, 1);
    luaL_argexpected(L, co != nullptr, 1, "thread");
    const int results = ResumeCounted(L, co, lua_gettop(L) - 1);
    if (results < 0) {
        lua_pushboolean(L, 0);
        lua_insert(L, -2);
        return 2;
    }
    lua_pushboolean(L, 1);
    lua_insert(L, -(results + 1));
    return results + 1;
}

// The function that coroutine.wrap returns; its first upvalue is the thread.
int ResumeWrapped(lua_State *L)
{
    lua_State *co = lua_tothread(L, lua_upvalueindex(1));
    luaL_argexpected(L, co != nullptr, 1, "thread");
    const int results = ResumeCounted(L, co, lua_gettop(L));
    if (results >= 0) return results;
    int status = lua_status(co);
    if (status != LUA_OK && status != LUA_YIELD) {
        // The coroutine died: its to-be-closed variables are closed, and
        // its error becomes the caller's.
#if LUA_VERSION_RELEASE_NUM >= 50406
        status = lua_closethread(co, L);
#else
        status = lua_resetthread(co);
#endif
        lua_xmove(co, L, 1);
    }
    if (status != LUA_ERRMEM && lua_type(L, -1) == LUA_TSTRING) {
        luaL_where(L, 1);
        lua_insert(L, -2);
        lua_concat(L, 2);
    }
    return lua_error(L);
}

int Wrap(lua_State *L)
{
    NewScriptThread(L);
    lua_pushcclosure(L, ResumeWrapped, 1);
    return 1;
}

// Sets name in the loaded library lib to function. [-0, +0, e]
void Replace(lua_State *L, int loaded, const char *lib, const char *name, lua_CFunction function)
{
    if (lua_getfield(L, loaded, lib) == LUA_TTABLE) {
        lua_pushcfunction(L, function);
        lua_setfield(L, -2, name);
    }
    lua_pop(L, 1);
}

}  // namespace

void lppInstallScriptHooks(lua_State *L)
{
    luaL_checkstack(L, 4, nullptr);
    lua_newtable(L);
    lua_createtable(L, 0, 1);
    lua_pushliteral(L, "k");
    lua_setfield(L, -2, "__mode");
    lua_setmetatable(L, -2);
    lua_rawsetp(L, LUA_REGISTRYINDEX, &threads_key);

    luaL_getsubtable(L, LUA_REGISTRYINDEX, LUA_LOADED_TABLE);
    const int loaded = lua_gettop(L);
    Replace(L, loaded, LUA_DBLIBNAME, "sethook", SetHook);
    Replace(L, loaded, LUA_DBLIBNAME, "gethook", GetHook);
    Replace(L, loaded, LUA_COLIBNAME, "create", Create);
    Replace(L, loaded, LUA_COLIBNAME, "wrap", Wrap);
    Replace(L, loaded, LUA_COLIBNAME, "resume", Resume);
    lua_pop(L, 1);
}

void lppApplyHooks(lua_State *L, const lppLuaBudget &budget)
{
    const int period = budget.hook_period;
    if (!lua_checkstack(L, 4)) {
        SetThreadHook(L, period, nullptr);
        return;
    }
    const bool tracking = PushThreads(L);
    const int threads = lua_gettop(L);
    ScriptHook hook;
    if (tracking) {
        lua_pushthread(L);
        lua_rawget(L, threads);
    } else {
        lua_pushnil(L);
    }
    SetThreadHook(L, period, ReadRecord(L, -1, hook) ? &hook : nullptr);
    lua_pop(L, 1);
    if (tracking) {
        // Raw traversal allocates nothing and runs nothing.
        lua_pushnil(L);
        while (lua_next(L, threads) != 0) {
            lua_State *thread = lua_tothread(L, -2);
            // A C module's hook on a thread stays as it is.
            if (thread != nullptr && (IsPluginHook(lua_gethook(thread)) || lua_gethook(thread) == nullptr)) {
                hook = ScriptHook{};
                SetThreadHook(thread, period, ReadRecord(L, -1, hook) ? &hook : nullptr);
            }
            lua_pop(L, 1);
        }
    }
    lua_pop(L, 1);
}

void lppTightenHook(lua_State *thread)
{
    const lua_Hook hook = lua_gethook(thread);
    if (IsPluginHook(hook)) lua_sethook(thread, hook, lua_gethookmask(thread) | LUA_MASKCOUNT, 1);
}

void lppDispatchScriptHook(lua_State *L, lua_Debug *ar)
{
    static const char *const event_names[] = {"call", "return", "line", "count", "tail call"};
    lppLuaBudget *budget = lppBudgetOf(L);
    const int period = (budget != nullptr) ? budget->hook_period : 0;
    const int count = lua_gethookcount(L);
    const bool count_event = ar->event == LUA_HOOKCOUNT;
    if (count_event && period != 0) lppCountInstructions(L, *budget, count);

    // Lua leaves a hook at least LUA_MINSTACK free slots.
    PushThreads(L);
    lua_pushthread(L);
    const int type = lua_istable(L, -2) ? lua_rawget(L, -2) : LUA_TNIL;
    ScriptHook hook;
    if (type != LUA_TTABLE || !ReadRecord(L, -1, hook)) {
        // A thread that inherited the hook from its creator has no script
        // hook of its own.
        lua_pop(L, 2);
        SetThreadHook(L, period, nullptr);
        return;
    }
    bool due = false;
    if (count_event) {
        if (hook.mask & LUA_MASKCOUNT) {
            hook.remaining -= count;
            if (hook.remaining <= 0) {
                due = true;
                hook.remaining = hook.count;
            }
            lua_pushinteger(L, hook.remaining);
            lua_rawseti(L, -2, RECORD_REMAINING);
        }
        const int mask = hook.mask | (period != 0 ? LUA_MASKCOUNT : 0);
        if (HookCount(hook, period) != count || lua_gethookmask(L) != mask) SetThreadHook(L, period, &hook);
    } else {
        const int wanted = (ar->event == LUA_HOOKRET) ? LUA_MASKRET
            : (ar->event == LUA_HOOKLINE)             ? LUA_MASKLINE
                                                      : LUA_MASKCALL;
        due = (hook.mask & wanted) != 0;
    }
    if (!due || lua_rawgeti(L, -1, RECORD_FUNCTION) != LUA_TFUNCTION) {
        lua_settop(L, lua_gettop(L) - (due ? 3 : 2));
        return;
    }
    lua_replace(L, -3);
    lua_pop(L, 1);
    lua_pushstring(L, event_names[ar->event]);
    if (ar->currentline >= 0)
        lua_pushinteger(L, ar->currentline);
    else
        lua_pushnil(L);
    lua_call(L, 2, 0);
    // The count starts afresh after the script's function, whose own
    // instructions Lua counted: they are not the call's.
    if (period != 0 && lua_gethook(L) == lppDispatchScriptHook)
        lua_sethook(L, lppDispatchScriptHook, lua_gethookmask(L), lua_gethookcount(L));
}
