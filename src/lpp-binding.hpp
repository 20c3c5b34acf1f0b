// A small binding layer over the Lua C API: the owned state with its default
// handlers, registry references, stack balance, protected calls, and the
// argument conversions of plugin functions.
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

// One owned Lua state with the binding's default handlers installed.
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

private:
    static lua_State *Open();
    lua_State *L = nullptr;
};

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

// Runs call under lua_pcall: through a light C function, or through the
// closure made by lppPushProtectedClosure that lies below the nargs
// arguments when in_closure is true.
void ProtectedCall(lua_State *L, int nargs, int nresults, ProtectedBody &call, bool in_closure);

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
    lpp_detail::ProtectedCall(L, nargs, nresults, call, false);
}

// Pushes a function that runs protected bodies as lppProtectedCall does,
// made as a closure over the n values on top of the stack (which it pops):
// bodies run through it read them as lua_upvalueindex(1) to (n), n at most
// 255. Values a body reads often are cheaper there than in a table. Raises on
// a memory error: call it inside a protected call.
void lppPushProtectedClosure(lua_State *L, int n);

// As lppProtectedCall, with the body run by the closure of
// lppPushProtectedClosure that the caller pushed before the nargs arguments;
// the call consumes the closure.
template <typename Body>
void lppProtectedCallClosure(lua_State *L, int nargs, int nresults, Body &&body)
{
    lpp_detail::ProtectedBody call = lpp_detail::MakeProtectedBody(body);
    lpp_detail::ProtectedCall(L, nargs, nresults, call, true);
}

// Argument conversions of plugin functions.
//
// String: a string as it is (embedded zero bytes included), a number as its
// Lua string form (converted in place on the stack, which may raise a memory
// error), anything else as the empty string.
const char *lppArgString(lua_State *L, int index, std::size_t *length);
// Unsigned integer: a Lua integer as it is; anything else converted to a
// number (a numeric string by its value, other values as 0) and rounded to
// the nearest integer, halves away from zero; NaN, infinities and values
// outside the 64-bit range give 0. The result is cut to 32 bits.
std::uint32_t lppArgUnsigned(lua_State *L, int index);
