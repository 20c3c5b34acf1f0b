// The binding library's layer: state, handlers, protected calls, the
// wrapper of functions that scripts call, private threads, conversions.
#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>

#include "lpp-binding.hpp"
#include "lpp-script-hooks.hpp"

const char *const lppPanicUnexpected = "An unexpected error occurred and panic has been invoked";
const char *const lppUnknownErrorText = "An unknown error has triggered the default error handler";

int lppDefaultMessageHandler(lua_State *L)
{
    // Only a real string counts as a message; a number does not.
    const char *message =
        (lua_type(L, 1) == LUA_TSTRING) ? lua_tostring(L, 1) : lppUnknownErrorText;
    luaL_traceback(L, L, message, 1);
    return 1;
}

namespace {

// Every Lua operation of the plugin runs under a protected call, so this is
// never reached in practice. Throwing from here would unwind through C
// frames, so it reports the error and lets Lua end the process as it does
// for any unprotected error.
int Panic(lua_State *L)
{
    const char *message =
        (lua_type(L, -1) == LUA_TSTRING) ? lua_tostring(L, -1) : lppPanicUnexpected;
    lua_writestringerror("lua: error: %s\n", message);
    return 0;
}

}  // namespace

lppLuaState::lppLuaState() : L(Open()) {}

lppLuaState::~lppLuaState() { Close(); }

lua_State *lppLuaState::Open()
{
    lua_State *state = luaL_newstate();
    if (state == nullptr) throw lppLuaError("not enough memory");
    lua_atpanic(state, Panic);
    // The auxiliary library's state keeps its warning function; only the
    // allocator changes, to one that counts. What the state holds so far
    // came from the same malloc family, and Lua's own count says how much.
    budget.memory_used.store(static_cast<std::size_t>(lua_gc(state, LUA_GCCOUNT, 0)) * 1024 +
            static_cast<std::size_t>(lua_gc(state, LUA_GCCOUNTB, 0)),
        std::memory_order_relaxed);
    lua_setallocf(state, lppAllocate, &budget);
    lppApplyHooks(state, budget);
    std::lock_guard<std::mutex> lock(budget.thread_mutex);
    budget.main_thread = state;
    budget.running = nullptr;
    return state;
}

void lppLuaState::Close()
{
    if (L == nullptr) return;
    // The finalizers that closing runs are one call of the script; the
    // memory they free is never refused.
    lppScriptCall finalizers(budget, false);
    {
        // The deadline timer lets go of the state's threads before they go.
        std::lock_guard<std::mutex> lock(budget.thread_mutex);
        budget.main_thread = nullptr;
        budget.running = nullptr;
    }
    lua_close(L);
    L = nullptr;
}

void lppLuaState::Reset()
{
    // The old state is closed before the new one exists, so a failure to
    // open leaves no state rather than the old one.
    Close();
    L = Open();
}

void lppLuaState::SetLimits(std::uint64_t instructions, std::uint64_t memory, double seconds)
{
    lppSetCallLimits(budget, instructions, seconds);
    budget.memory_limit = static_cast<std::size_t>(
        std::min<std::uint64_t>(memory, std::numeric_limits<std::size_t>::max()));
    if (L != nullptr) lppApplyHooks(L, budget);
}

namespace lpp_detail {

namespace {

// The body of the innermost protected call on this thread. RunBody can be
// reached by a script: through the debug library while a body runs script
// code (a metamethod, a finaliser), and with its very arguments from a call
// hook, which runs as lua_pcall calls it and before it starts. It therefore
// runs only this body, once, and only when called from where CallBody
// called it; it refuses anything else it is handed, which it never
// dereferences.
thread_local ProtectedBody *running_body = nullptr;

// The function running at level of state's stack (0: the running one);
// null when there is no such level. Needs one free stack slot. [-0, +0, -]
const void *FunctionAt(lua_State *state, int level)
{
    lua_Debug frame;
    if (lua_getstack(state, level, &frame) == 0) return nullptr;
    lua_getinfo(state, "f", &frame);
    const void *function = lua_topointer(state, -1);
    lua_pop(state, 1);
    return function;
}

// Runs the body whose ProtectedBody is the first argument, with the other
// arguments; a C++ exception is kept for ProtectedCall to rethrow once the
// protected call has returned, and never crosses a Lua frame. Called from
// anywhere but CallBody's frame (a script's hook or function calling it),
// the body would run on the script's arguments, in the plugin's place.
int RunBody(lua_State *state)
{
    ProtectedBody *body = running_body;
    // A C function starts with LUA_MINSTACK free slots: FunctionAt has its one.
    if (body == nullptr || lua_touserdata(state, 1) != body || body->started || state != body->state ||
        FunctionAt(state, 1) != body->caller)
        return luaL_error(state, "protected body called out of turn");
    body->started = true;
    if (lua_gettop(state) == 1)
        lua_settop(state, 0);
    else
        lua_remove(state, 1);
    int results = -1;
    try {
        results = body->invoke(state, body->body);
    } catch (...) {
        body->exception = std::current_exception();
    }
    if (results < 0) {
        lua_pushliteral(state, "C++ exception");
        return lua_error(state);
    }
    return results;
}

}  // namespace

int CallBody(lua_State *L, int nargs, int nresults, ProtectedBody &call) noexcept
{
    // A light C function and a light userdata: pushing them allocates
    // nothing, so nothing here can raise outside the protected call.
    call.state = L;
    call.caller = FunctionAt(L, 0);
    lua_pushcfunction(L, RunBody);
    lua_pushlightuserdata(L, &call);
    // Function and body below the arguments, in one move.
    if (nargs > 0) lua_rotate(L, -(nargs + 2), 2);
    ProtectedBody *outer = running_body;
    running_body = &call;
    int status = lua_pcall(L, nargs + 1, nresults, 0);
    running_body = outer;
    return status;
}

void ProtectedCall(lua_State *L, int nargs, int nresults, ProtectedBody &call)
{
    if (!lua_checkstack(L, 2)) {
        // As lua_pcall would have: the arguments are gone.
        lua_pop(L, nargs);
        throw lppLuaError("stack overflow");
    }
    if (CallBody(L, nargs, nresults, call) == LUA_OK) return;

    if (call.exception) {
        lua_pop(L, 1);
        std::rethrow_exception(call.exception);
    }
    std::size_t length = 0;
    const char *text = (lua_type(L, -1) == LUA_TSTRING) ? lua_tolstring(L, -1, &length) : nullptr;
    std::string message = (text != nullptr) ? std::string(text, length) : lppPanicUnexpected;
    lua_pop(L, 1);
    throw lppLuaError(message);
}

bool WorkFailed(lua_State *L, void (*work)(lua_State *, const void *, const char *&), const void *args) noexcept
{
    const int top = lua_gettop(L);
    const char *step = nullptr;
    // Called from a catch handler, which a Lua error must not unwind: the
    // text is made in a protected call, whose failure for want of memory
    // leaves Lua's memory error message in its place.
    auto push_failure = [L, top](const char *failed_step, const char *what) {
        lua_settop(L, top);
        auto push = [failed_step, what](lua_State *S) -> int {
            if (failed_step == nullptr) lua_pushstring(S, what);
            else lua_pushfstring(S, "%s%s: %s", lppLuaError::prefix, failed_step, what);
            return 1;
        };
        ProtectedBody call = MakeProtectedBody(push);
        CallBody(L, 0, 1, call);
    };
    try {
        work(L, args, step);
        return false;
    } catch (const std::exception &e) {
        push_failure(step, e.what());
    } catch (...) {
        push_failure(nullptr, "caught (...) exception");
    }
    return true;
}

}  // namespace lpp_detail

int lppRefuseReplaced(lua_State *L, const char *what)
{
    return luaL_error(L, "%s was replaced while the plugin held it", what);
}

void lppPushGlobals(lua_State *L)
{
    lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS);
    lppCheckHeld(L, -1, LUA_TTABLE, "the global table");
}

namespace {

// The content of a private thread's sentinel. No script can write into a
// userdata, nor reach this one to pass it on, so a thread whose top is a
// userdata with this content for its key is one that lppPushPrivateThread
// made.
struct Sentinel {
    const void *mark[3];
};

const char lppSentinelMark = 0;

Sentinel SentinelFor(const void *key) { return Sentinel{{&lppSentinelMark, key, &lppSentinelMark}}; }

// Checked on every use, so kept to the cheapest reads.
bool IsIntact(lua_State *thread, const void *key, int base_values)
{
    lua_Debug frame;
    if (lua_status(thread) != LUA_OK || lua_gettop(thread) != base_values + 1 ||
        lua_type(thread, -1) != LUA_TUSERDATA || lua_rawlen(thread, -1) != sizeof(Sentinel) ||
        lua_getstack(thread, 0, &frame) != 0)
        return false;
    const Sentinel *sentinel = static_cast<const Sentinel *>(lua_touserdata(thread, -1));
    return sentinel->mark[0] == &lppSentinelMark && sentinel->mark[1] == key && sentinel->mark[2] == &lppSentinelMark;
}

}  // namespace

lua_State *lppPushPrivateThread(lua_State *L, const void *key, int base_values, void (*fill)(lua_State *thread))
{
    if (!lua_checkstack(L, 1)) throw lppLuaError("stack overflow");
    if (lua_rawgetp(L, LUA_REGISTRYINDEX, key) == LUA_TTHREAD) {
        lua_State *thread = lua_tothread(L, -1);
        if (IsIntact(thread, key, base_values)) return thread;
    }
    lua_pop(L, 1);

    // lua_newthread runs its collector step before the thread exists, and
    // nothing allocates between there and the return: the thread comes back
    // to L as made, anchored below every frame before anything fills it.
    lua_State *thread = nullptr;
    lppProtectedCall(L, 0, 1, [&thread, key](lua_State *S) -> int {
        thread = lua_newthread(S);
        lua_pushvalue(S, -1);
        lua_rawsetp(S, LUA_REGISTRYINDEX, key);
        return 1;
    });
    try {
        lppProtectedCall(L, 0, 0, [thread, key, base_values, fill](lua_State *S) -> int {
            if (!lua_checkstack(thread, base_values + 1)) return luaL_error(S, "stack overflow");
            fill(thread);
            const Sentinel sentinel = SentinelFor(key);
            std::memcpy(lua_newuserdatauv(thread, sizeof(Sentinel), 0), &sentinel, sizeof(Sentinel));
            return 0;
        });
    } catch (...) {
        lua_pop(L, 1);
        throw;
    }
    return thread;
}

const char *lppArgString(lua_State *L, int index, std::size_t *length, lppNumberText &number)
{
    switch (lua_type(L, index)) {
    case LUA_TSTRING:
        return lua_tolstring(L, index, length);
    case LUA_TNUMBER: {
        // Lua's own conversion would make a string on the stack, and with it
        // a collector step that may run a finaliser; Lua's format, applied
        // here, gives the same text.
        int size = 0;
        if (lua_isinteger(L, index)) {
            size = lua_integer2str(number.text, sizeof(number.text), lua_tointeger(L, index));
        } else {
            size = lua_number2str(number.text, sizeof(number.text), lua_tonumber(L, index));
            // A float that reads like an integer gets a decimal point and a 0.
            if (number.text[std::strspn(number.text, "-0123456789")] == '\0') {
                number.text[size++] = lua_getlocaledecpoint();
                number.text[size++] = '0';
                number.text[size] = '\0';
            }
        }
        *length = static_cast<std::size_t>(size);
        return number.text;
    }
    default:
        *length = 0;
        return "";
    }
}

std::uint32_t lppArgUnsigned(lua_State *L, int index)
{
    if (lua_isinteger(L, index))
        return static_cast<std::uint32_t>(static_cast<std::uint64_t>(lua_tointeger(L, index)));
    lua_Number value = lua_tonumberx(L, index, nullptr);
    // Beyond what a 64-bit integer holds the conversion has no meaning.
    if (!std::isfinite(value) || value >= 9223372036854775808.0 || value < -9223372036854775808.0)
        return 0;
    long long rounded = std::llround(value);
    return static_cast<std::uint32_t>(static_cast<unsigned long long>(rounded));
}
