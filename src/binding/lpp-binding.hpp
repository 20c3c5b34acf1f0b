// The binding library's layer over the Lua C API: the owned state with its
// default handlers and budget, registry references, stack balance, protected
// calls, the private thread and the argument conversions. The library links
// Lua only and cannot include the plugin's or the daemon's headers
// (src/binding/CMakeLists.txt).
//
// Debian's Lua is built as C: a Lua error is a longjmp, and a C++ exception
// must never unwind through a Lua frame. Every Lua operation that can raise
// (anything that allocates, calls a metamethod or runs script code) runs
// inside lppProtectedCall, whose body keeps no C++ object with a destructor
// alive across such an operation; errors come back as lppLuaError once the
// protected call has returned.
#pragma once

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include <lua.hpp>

#include "lpp-budget.hpp"

// The binding's error exception: "lua: error: " and the Lua message.
class lppLuaError : public std::runtime_error {
public:
    explicit lppLuaError(const std::string &message) : std::runtime_error("lua: error: " + message) {}
};

// Error value text for a panic whose value is not a string.
extern const char *const lppPanicUnexpected;
// Message of the default message handler for an error value that is not a string.
extern const char *const lppUnknownErrorText;

// The default message handler for protected calls: the error value if it is
// a string (otherwise lppUnknownErrorText), followed by Lua's traceback from
// level 1.
int lppDefaultMessageHandler(lua_State *L);

// One owned Lua state with the binding's default handlers installed, whose
// allocations and instructions are counted in its budget.
class lppLuaState {
public:
    lppLuaState();
    ~lppLuaState();
    lppLuaState(const lppLuaState &) = delete;
    lppLuaState &operator=(const lppLuaState &) = delete;

    // Closes the current state and opens a new one in its place.
    void Reset();

    lua_State *Get() const { return L; }
    operator lua_State *() const { return L; }

    // Sets the limits of every call from now on, in the current state too.
    void SetLimits(std::uint64_t instructions, std::uint64_t memory);
    lppLuaBudget &Budget() { return budget; }
    const lppLuaBudget &Budget() const { return budget; }

private:
    lua_State *Open();
    void Close();
    // Declared before L: the state's blocks are counted here until it closes.
    lppLuaBudget budget;
    lua_State *L = nullptr;
};

// Raises the Lua error for a value of the plugin's that script code replaced
// (through the debug library) while the plugin held it in a call frame: what
// names the value. Every check for such a replacement ends here.
int lppRefuseReplaced(lua_State *L, const char *what);

// Checks that the value at index still has type, before a raw operation on
// it; raises through lppRefuseReplaced otherwise.
inline void lppCheckHeld(lua_State *L, int index, int type, const char *what)
{
    if (lua_type(L, index) != type) lppRefuseReplaced(L, what);
}

// Pushes the global table, read raw from the registry: a script can replace
// the registry's entry, and lua_getglobal would take whatever it holds for a
// table. Raises through lppRefuseReplaced if it is not a table.
void lppPushGlobals(lua_State *L);

// Restores the Lua stack top on scope exit.
class lppStackGuard {
public:
    explicit lppStackGuard(lua_State *L) : L(L), top(lua_gettop(L)) {}
    ~lppStackGuard() { lua_settop(L, top); }
    lppStackGuard(const lppStackGuard &) = delete;
    lppStackGuard &operator=(const lppStackGuard &) = delete;

private:
    lua_State *L;
    int top;
};

// A reference in the registry, released with its holder. Taking one can
// raise (the registry grows), so Take runs inside a protected call.
class lppLuaRef {
public:
    lppLuaRef() = default;
    // Adopts a reference made with luaL_ref on L's registry.
    lppLuaRef(lua_State *L, int ref) : L(L), ref(ref) {}
    ~lppLuaRef() { Release(); }
    lppLuaRef(lppLuaRef &&other) noexcept : L(other.L), ref(std::exchange(other.ref, LUA_NOREF)) {}
    lppLuaRef &operator=(lppLuaRef &&other) noexcept {
        if (this != &other) {
            Release();
            L = other.L;
            ref = std::exchange(other.ref, LUA_NOREF);
        }
        return *this;
    }
    lppLuaRef(const lppLuaRef &) = delete;
    lppLuaRef &operator=(const lppLuaRef &) = delete;

    bool Valid() const { return ref != LUA_NOREF && ref != LUA_REFNIL; }
    int Get() const { return ref; }
    lua_State *State() const { return L; }
    // Pushes the referenced value (nil for LUA_REFNIL); never raises.
    void Push() const { lua_rawgeti(L, LUA_REGISTRYINDEX, ref); }
    // Releases the reference; luaL_unref never raises.
    void Release() {
        if (L != nullptr && ref != LUA_NOREF && ref != LUA_REFNIL) luaL_unref(L, LUA_REGISTRYINDEX, ref);
        ref = LUA_NOREF;
    }

private:
    lua_State *L = nullptr;
    int ref = LUA_NOREF;
};

namespace lpp_detail {

struct ProtectedBody {
    int (*invoke)(lua_State *L, void *body);
    void *body;
    std::exception_ptr exception;
    bool started = false;
};

// Runs call under lua_pcall through a light C function.
void ProtectedCall(lua_State *L, int nargs, int nresults, ProtectedBody &call);

template <typename Body>
ProtectedBody MakeProtectedBody(Body &body)
{
    using B = std::remove_reference_t<Body>;
    return ProtectedBody{
        [](lua_State *state, void *p) -> int { return (*static_cast<B *>(p))(state); },
        const_cast<void *>(static_cast<const void *>(&body)), nullptr, false};
}

}  // namespace lpp_detail

// Runs body(L) as a Lua C function under lua_pcall. The body sees the nargs
// values pushed before the call as its arguments and returns how many results
// it leaves (nresults are kept on the caller's stack, as lua_pcall does; the
// arguments are consumed on every path, as lua_pcall consumes them).
// A Lua error raised in the body becomes lppLuaError ("lua: error: " and the
// message, or lppPanicUnexpected when the error value is not a string); a C++
// exception thrown by the body is rethrown unchanged. The body itself must not
// hold C++ objects with destructors across Lua calls that may raise.
template <typename Body>
void lppProtectedCall(lua_State *L, int nargs, int nresults, Body &&body)
{
    lpp_detail::ProtectedBody call = lpp_detail::MakeProtectedBody(body);
    lpp_detail::ProtectedCall(L, nargs, nresults, call);
}

// A thread of the plugin's own that never runs a function. Values on its
// stack lie below every call frame, where the debug library cannot reach
// them (it walks call frames only); values the plugin builds there or keeps
// there stay as the plugin left them while script code (a finaliser run by an
// allocation) runs. The thread is kept in the registry under key, with the
// base values that fill pushes (their number is base_values) and a sentinel
// above them.
//
// lppPushPrivateThread pushes the thread onto L, which anchors it while the
// caller uses it; call it outside any Lua call, so that the anchor lies below
// every frame too. The thread is checked first, as a script may have replaced
// the registry entry, or reached the thread (it is the running thread of a
// finaliser that its allocation ran) and resumed or closed it: anything but a
// thread holding exactly its base values and the sentinel, with no call frame,
// is dropped and a new one made. Its stack above the sentinel is the caller's
// work area; the caller leaves it empty, or the next check drops the thread.
// Making one raises a memory error as lppLuaError.
lua_State *lppPushPrivateThread(lua_State *L, const void *key, int base_values, void (*fill)(lua_State *thread));

// Argument conversions of plugin functions. Neither allocates nor runs
// anything in Lua, so no finaliser can run between reading an argument and
// using it: a string's bytes stay where its slot pointed.
//
// String: a string as it is (embedded zero bytes included), a number as its
// Lua string form (written into number, Lua's own format), anything else as
// the empty string.
struct lppNumberText {
    char text[64];
};
const char *lppArgString(lua_State *L, int index, std::size_t *length, lppNumberText &number);
// Unsigned integer: a Lua integer as it is; anything else converted to a
// number (a numeric string by its value, other values as 0) and rounded to
// the nearest integer, halves away from zero; NaN, infinities and values
// outside the 64-bit range give 0. The result is cut to 32 bits.
std::uint32_t lppArgUnsigned(lua_State *L, int index);
