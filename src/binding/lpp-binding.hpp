// The binding library's layer over the Lua C API: the owned state with its
// default handlers and budget, registry references, stack balance, protected
// calls, the private thread, the argument conversions and the one wrapper of
// every function that scripts call. The library links Lua only and cannot
// include the plugin's or the daemon's headers (src/binding/CMakeLists.txt).
//
// Debian's Lua is built as C: a Lua error is a longjmp, and a C++ exception
// must never unwind through a Lua frame. Every Lua operation that can raise
// (anything that allocates, calls a metamethod or runs script code) runs
// inside lppProtectedCall, whose body keeps no C++ object with a destructor
// alive across such an operation; errors come back as lppLuaError once the
// protected call has returned. Functions that scripts call go through
// lppLuaFunction, which keeps the same rule the other way round.
//
// Each function states its stack effect as Lua's manual does, [-o, +p, x]:
// o values popped, p pushed; x is - (never raises a Lua error), m (may raise
// a memory error only), e (may raise any error) or v (raises on purpose).
// C++ exceptions are named apart.
#pragma once

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include <lua.hpp>

#include "lpp-budget.hpp"

// The binding's error exception: "lua: error: " and the Lua message.
class lppLuaError : public std::runtime_error {
public:
    static constexpr const char *prefix = "lua: error: ";
    explicit lppLuaError(const std::string &message) : std::runtime_error(prefix + message) {}
};

// Error value text for a panic whose value is not a string.
extern const char *const lppPanicUnexpected;
// Message of the default message handler for an error value that is not a string.
extern const char *const lppUnknownErrorText;

// The default message handler for protected calls: the error value if it is
// a string (otherwise lppUnknownErrorText), followed by Lua's traceback from
// level 1. [-0, +1, m]
int lppDefaultMessageHandler(lua_State *L);

// One owned Lua state with the binding's default handlers installed, whose
// allocations and instructions are counted in its budget. Opening a state
// throws lppLuaError for want of memory.
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

    // Sets the limits of every call from now on (0: none), in the current
    // state too: in its main thread and every thread its script made.
    // [-0, +0, -]
    void SetLimits(std::uint64_t instructions, std::uint64_t memory, double seconds);
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
// names the value. Every check for such a replacement ends here. [-0, +0, v]
int lppRefuseReplaced(lua_State *L, const char *what);

// Checks that the value at index still has type, before a raw operation on
// it; raises through lppRefuseReplaced otherwise. [-0, +0, v]
inline void lppCheckHeld(lua_State *L, int index, int type, const char *what)
{
    if (lua_type(L, index) != type) lppRefuseReplaced(L, what);
}

// Pushes the global table, read raw from the registry: a script can replace
// the registry's entry, and lua_getglobal would take whatever it holds for a
// table. Raises through lppRefuseReplaced if it is not a table. [-0, +1, v]
void lppPushGlobals(lua_State *L);

// Restores the Lua stack top on scope exit. [-?, +?, -]
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
    // Pushes the referenced value (nil for LUA_REFNIL). [-0, +1, -]
    void Push() const { lua_rawgeti(L, LUA_REGISTRYINDEX, ref); }
    // Releases the reference; luaL_unref never raises. [-0, +0, -]
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
    // Where CallBody's lua_pcall runs the body: the state, and the function
    // running there when it was called (null at the base of the stack).
    lua_State *state = nullptr;
    const void *caller = nullptr;
};

// Runs call under lua_pcall through a light C function; needs two free stack
// slots. Returns lua_pcall's status, with the error value on top on failure.
// [-nargs, +(nresults|1), -]
int CallBody(lua_State *L, int nargs, int nresults, ProtectedBody &call) noexcept;

// CallBody, with a failure thrown as lppLuaError or the body's exception.
// [-nargs, +nresults, -]
void ProtectedCall(lua_State *L, int nargs, int nresults, ProtectedBody &call);

template <typename Body>
ProtectedBody MakeProtectedBody(Body &body)
{
    using B = std::remove_reference_t<Body>;
    return ProtectedBody{
        [](lua_State *state, void *p) -> int { return (*static_cast<B *>(p))(state); },
        const_cast<void *>(static_cast<const void *>(&body)), nullptr, false, nullptr, nullptr};
}

// Runs the work of a function that scripts call (its arguments erased),
// catching every exception. On failure it restores the stack top, pushes the
// error text (see lppLuaFunction) and returns true; the caller has three
// free stack slots. [-0, +(0|1), -]
bool WorkFailed(lua_State *L, void (*work)(lua_State *, const void *, const char *&), const void *args) noexcept;

}  // namespace lpp_detail

// Runs body(L) as a Lua C function under lua_pcall. The body sees the nargs
// values pushed before the call as its arguments and returns how many results
// it leaves (nresults are kept on the caller's stack, as lua_pcall does; the
// arguments are consumed on every path, as lua_pcall consumes them).
// A Lua error raised in the body becomes lppLuaError ("lua: error: " and the
// message, or lppPanicUnexpected when the error value is not a string); a C++
// exception thrown by the body is rethrown unchanged. The body itself must not
// hold C++ objects with destructors across Lua calls that may raise.
// [-nargs, +nresults, -], failures thrown
template <typename Body>
void lppProtectedCall(lua_State *L, int nargs, int nresults, Body &&body)
{
    lpp_detail::ProtectedBody call = lpp_detail::MakeProtectedBody(body);
    lpp_detail::ProtectedCall(L, nargs, nresults, call);
}

// The one wrapper of every function that scripts call: no Lua error skips a
// C++ destructor, no C++ exception crosses a Lua frame. In order:
//   Read(L, args)        the Lua side: checks the arguments and converts them
//                        into args, which has nothing to destroy. It may
//                        raise, as nothing with a destructor is alive yet.
//   Work(L, args, step)  the C++ work, with three free stack slots; it raises
//                        no Lua error. Every exception is caught: a
//                        std::exception gives its what(), anything else
//                        "caught (...) exception". A std::exception thrown
//                        while step names a part of the work (the work sets
//                        it) reads as lppLuaError writes it: "lua: error:
//                        <step>: <what>".
//   lua_error            raises that text from this frame, where nothing has
//                        a destructor. The text was copied into Lua in the
//                        catch handler, in a protected call: for want of
//                        memory, Lua's own "not enough memory" takes its place.
// Results: none. [-0, +0, v]
template <typename Args, void (*Read)(lua_State *L, Args &args),
    void (*Work)(lua_State *L, const Args &args, const char *&step)>
int lppLuaFunction(lua_State *L)
{
    static_assert(std::is_trivially_destructible_v<Args>, "a Lua error would skip its destructor");
    Args args{};
    Read(L, args);
    // Three free slots for the work and the error text, taken while raising
    // is still harmless; growing the stack runs no finaliser.
    luaL_checkstack(L, 3, nullptr);
    const bool failed = lpp_detail::WorkFailed(L, [](lua_State *S, const void *held, const char *&step) {
        Work(S, *static_cast<const Args *>(held), step);
    }, &args);
    return failed ? lua_error(L) : 0;
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
// Making one throws a memory error as lppLuaError. [-0, +1, -]
lua_State *lppPushPrivateThread(lua_State *L, const void *key, int base_values, void (*fill)(lua_State *thread));

// Argument conversions of plugin functions. Neither allocates nor runs
// anything in Lua, so no finaliser can run between reading an argument and
// using it: a string's bytes stay where its slot pointed.
//
// String: a string as it is (embedded zero bytes included), a number as its
// Lua string form (written into number, Lua's own format), anything else as
// the empty string. [-0, +0, -]
struct lppNumberText {
    char text[64];
};
const char *lppArgString(lua_State *L, int index, std::size_t *length, lppNumberText &number);
// Unsigned integer: a Lua integer as it is; anything else converted to a
// number (a numeric string by its value, other values as 0) and rounded to
// the nearest integer, halves away from zero; NaN, infinities and values
// outside the 64-bit range give 0. The result is cut to 32 bits. [-0, +0, -]
std::uint32_t lppArgUnsigned(lua_State *L, int index);
