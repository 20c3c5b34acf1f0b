// lpp.print, lpp.debug and lpp.dispatch as scripts call them, and the
// argument conversions and the wrapper they rely on.
#include <cmath>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime-fixture.hpp"

namespace lpptest {
namespace {

class ScriptTest : public RuntimeTest {
protected:
    // Runs body as the top level of a script that builds.
    void Run(const std::string &body) { Load(std::string(kHandler) + body); }

    PayloadCapture payloads;
};

TEST_F(ScriptTest, PrintConvertsItsArgument)
{
    vd_standin_set_debug(false);
    log.Clear();
    Run(R"(
        lpp.print(42)
        lpp.print(1.5)
        lpp.print()
        lpp.print(nil)
        lpp.print({})
        lpp.print(true)
        lpp.print('text', 'ignored')
    )");
    EXPECT_EQ(log.Lines(),
        (std::vector<std::string>{"lua-test: 42\n", "lua-test: 1.5\n", "lua-test: \n",
            "lua-test: \n", "lua-test: \n", "lua-test: \n", "lua-test: text\n"}));
}

TEST_F(ScriptTest, FunctionsReturnNothing)
{
    Run(R"(
        Counts = select('#', lpp.print('a')) .. select('#', lpp.debug('b')) ..
                 select('#', lpp.dispatch('t', {}, 'x', 0, 0))
    )");
    EXPECT_EQ(Global("Counts"), "000");
}

// print and debug hold the plugin in a userdata whose finalizer releases
// nothing; the debug library refuses to reach it, and a script that reaches
// it all the same (Lua's own debug library, loaded as native code) cannot
// turn it into a crash.
TEST_F(ScriptTest, PluginReferenceOfPrintAndDebug)
{
    Run(R"(
        Refused = select(2, pcall(debug.getupvalue, lpp.print, 1))
        local unguarded = )" + kUnguardedDebug + R"(
        local _, reference = unguarded.getupvalue(lpp.print, 1)
        Kind = type(reference)
        getmetatable(reference).__gc(reference)
        lpp.print('after finalizer')
        Plain = select('#', unguarded.getupvalue(lpp.dispatch, 1))
        unguarded.setupvalue(lpp.debug, 1, io.stdout)
        local ok, message = pcall(lpp.debug, 'lost')
        Lost = tostring(ok) .. ' ' .. message
    )");
    EXPECT_EQ(Global("Refused"), "debug.getupvalue: upvalues of C functions are not accessible");
    EXPECT_EQ(Global("Kind"), "userdata");
    EXPECT_EQ(log.Matching("after finalizer"), std::vector<std::string>{"lua-test: after finalizer\n"});
    EXPECT_EQ(Global("Plain"), "0");
    EXPECT_EQ(Global("Lost"), "false plugin reference lost");
    EXPECT_TRUE(log.Matching("lost").empty());
}

TEST_F(ScriptTest, DebugLinesOnlyInDebugMode)
{
    vd_standin_set_debug(false);
    Run("lpp.debug('quiet')\nlpp.print('loud')\n");
    EXPECT_TRUE(log.Matching("quiet").empty());
    EXPECT_EQ(log.Matching("loud"), std::vector<std::string>{"lua-test: loud\n"});

    vd_standin_set_debug(true);
    Run("lpp.debug('now heard')\n");
    EXPECT_EQ(log.Matching("now heard"), std::vector<std::string>{"lua-test: now heard\n"});
}

TEST_F(ScriptTest, DispatchChannelsAreSortedValues)
{
    Run(R"(
        lpp.dispatch('t1', { 'beta', 'alpha', 'beta' }, 'x', LPP_FORMAT_RAW, LPP_COMPRESSOR_NONE)
        lpp.dispatch('t2', { first = 10, second = 2.5, third = 10 }, 'x', 0, 0)
        lpp.dispatch('t3', {}, 'x', 0, 0)
        lpp.dispatch('t4', { true, {}, 'z' }, 'x', 0, 0)
        lpp.dispatch('t5', { 1, 1.0, -0.0, 2^63 }, 'x', 0, 0)
        lpp.dispatch('t6', { 'a\0b', 'a' }, 'x', 0, 0)
    )");
    auto sent = payloads.Payloads();
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(sent[0].target, "t1");
    EXPECT_EQ(sent[0].channels, (std::set<std::string>{"alpha", "beta"}));
    EXPECT_EQ(sent[1].channels, (std::set<std::string>{"10", "2.5"}));
    EXPECT_TRUE(sent[2].channels.empty());
    EXPECT_EQ(sent[3].channels, (std::set<std::string>{"", "z"}));
    // Each number keeps its own Lua text, integer or float.
    EXPECT_EQ(sent[4].channels, (std::set<std::string>{"1", "1.0", "-0.0", "9.2233720368548e+18"}));
    // A zero byte is part of the name.
    EXPECT_EQ(sent[5].channels, (std::set<std::string>{"a", std::string("a\0b", 3)}));
}

TEST_F(ScriptTest, DispatchPassesTargetAndPayloadBytes)
{
    Run(R"(
        lpp.dispatch('sink', { 'c' }, 'a\0b\0', 0, 0)
        lpp.dispatch(5, { 'c' }, 12.5, 0, 0)
        lpp.dispatch(nil, { 'c' }, nil, 0, 0)
    )");
    auto sent = payloads.Payloads();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].target, "sink");
    EXPECT_EQ(sent[0].bytes, std::string("a\0b\0", 4));
    EXPECT_EQ(sent[1].target, "5");
    EXPECT_EQ(sent[1].bytes, "12.5");
    EXPECT_EQ(sent[2].target, "");
    EXPECT_EQ(sent[2].bytes, "");
}

TEST_F(ScriptTest, DispatchFlagsFromFormatAndCompressor)
{
    Run(R"(
        local cases = {
            { LPP_FORMAT_MSGPACK, LPP_COMPRESSOR_GZIP },
            { LPP_FORMAT_RAW, LPP_COMPRESSOR_NONE },
            { LPP_FORMAT_JSON, LPP_COMPRESSOR_NONE },
            { 7, 0 },
            { 1.5, 0 },
            { 4294967297, 0 },
            { '2', '1' },
            { nil, nil },
            { 0, 2 },
            { 0.5, 0.49 },
            { -0.5, 0 },
            { 0 / 0, math.huge },
            { -math.huge, 1e300 },
            { 2^63, -2^63 },
            { '9007199254740993', 0 },
        }
        for _, case in ipairs(cases) do
            lpp.dispatch('t', {}, 'x', case[1], case[2])
        end
    )");
    const std::vector<unsigned> expected = {
        0x24, 0x00, 0x01, 0x00, 0x04, 0x01, 0x24, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
        // A numeric string beyond 2^53 converts through a float: 2^53 cut
        // to 32 bits is 0, where the integer 2^53 + 1 would select JSON.
        0x00};
    auto sent = payloads.Payloads();
    ASSERT_EQ(sent.size(), expected.size());
    for (std::size_t index = 0; index < expected.size(); index++)
        EXPECT_EQ(sent[index].flags, expected[index]) << "case " << index + 1;
}

TEST_F(ScriptTest, HostFailureBecomesLuaError)
{
    payloads.FailWith("sink unavailable");
    Run(R"(
        Ok, Message = pcall(lpp.dispatch, 't', { 'c' }, 'x', 0, 0)
        Ok = tostring(Ok)
    )");
    EXPECT_EQ(Global("Ok"), "false");
    EXPECT_EQ(Global("Message"), "lua: error: dispatch exception: sink unavailable");

    std::string message = LoadFailure(std::string(kHandler) + "lpp.dispatch('t', {}, 'x', 0, 0)\n");
    EXPECT_NE(message.find(": initialization: Runtime Error: lua: error: dispatch exception: "
                           "sink unavailable\nstack traceback:"),
        std::string::npos)
        << message;
}

TEST_F(ScriptTest, NonStandardHostFailureIsCaughtToo)
{
    vd_standin_set_payload_sink([](const std::string &, const std::set<std::string> &,
                                    unsigned long, const unsigned char *, std::uint8_t) { throw 7; });
    Run(R"(
        Ok, Message = pcall(lpp.dispatch, 't', { 'c' }, 'x', 0, 0)
        Ok = tostring(Ok)
    )");
    EXPECT_EQ(Global("Ok"), "false");
    EXPECT_EQ(Global("Message"), "caught (...) exception");
}

TEST_F(ScriptTest, ChannelsThatAreNotATableRaiseAnArgumentError)
{
    Run(R"(
        local results = {}
        for _, channels in ipairs({ 'nil', 'text', 'number' }) do
            local value = ({ ['nil'] = nil, text = 'a', number = 3 })[channels]
            local ok, message = pcall(function() lpp.dispatch('t', value, 'x', 0, 0) end)
            results[#results + 1] = tostring(ok) .. ' ' .. message
        end
        Results = table.concat(results, '\n')
    )");
    const std::string where = "false " + runtime.ScriptPath() + ":6: bad argument #2 to 'dispatch' ";
    EXPECT_EQ(Global("Results"), where + "(table expected, got nil)\n" + where +
                                     "(table expected, got string)\n" + where +
                                     "(table expected, got number)");
    EXPECT_TRUE(payloads.Payloads().empty());
}

// The conversions themselves, for values a script cannot easily form.
class ConversionTest : public ::testing::Test {
protected:
    ConversionTest() : L(luaL_newstate()) {}
    ~ConversionTest() override { lua_close(L); }

    std::uint32_t Unsigned(lua_Number value)
    {
        lua_settop(L, 0);
        lua_pushnumber(L, value);
        return lppArgUnsigned(L, 1);
    }

    lua_State *L;
};

TEST_F(ConversionTest, UnsignedRoundsHalfAwayAndCutsTo32Bits)
{
    EXPECT_EQ(Unsigned(2.5), 3u);
    EXPECT_EQ(Unsigned(2.4999), 2u);
    EXPECT_EQ(Unsigned(-2.5), static_cast<std::uint32_t>(-3));
    EXPECT_EQ(Unsigned(4294967296.0), 0u);
    EXPECT_EQ(Unsigned(4294967298.5), 3u);
    EXPECT_EQ(Unsigned(9.0e18), static_cast<std::uint32_t>(9000000000000000000ULL));

    lua_settop(L, 0);
    lua_pushinteger(L, -1);
    lua_pushliteral(L, "  0x10  ");
    lua_pushliteral(L, "1.5");
    lua_pushliteral(L, "many");
    lua_pushboolean(L, 1);
    EXPECT_EQ(lppArgUnsigned(L, 1), 0xFFFFFFFFu);
    EXPECT_EQ(lppArgUnsigned(L, 2), 16u);
    EXPECT_EQ(lppArgUnsigned(L, 3), 2u);
    EXPECT_EQ(lppArgUnsigned(L, 4), 0u);
    EXPECT_EQ(lppArgUnsigned(L, 5), 0u);
    EXPECT_EQ(lppArgUnsigned(L, 6), 0u);
}

// Converting these to an integer has no defined result in C++; they give 0.
TEST_F(ConversionTest, UnsignedOfUnrepresentableFloatIsZero)
{
    EXPECT_EQ(Unsigned(std::numeric_limits<lua_Number>::quiet_NaN()), 0u);
    EXPECT_EQ(Unsigned(std::numeric_limits<lua_Number>::infinity()), 0u);
    EXPECT_EQ(Unsigned(-std::numeric_limits<lua_Number>::infinity()), 0u);
    EXPECT_EQ(Unsigned(9223372036854775808.0), 0u);
    EXPECT_EQ(Unsigned(-9223372036854777856.0), 0u);
    EXPECT_EQ(Unsigned(1e300), 0u);
}

TEST_F(ConversionTest, StringKeepsBytesAndFormsNumbers)
{
    lua_pushlstring(L, "a\0b", 3);
    lua_pushinteger(L, 42);
    lua_pushnumber(L, 0.25);
    lua_pushnil(L);
    lua_newtable(L);
    auto text = [this](int index) {
        std::size_t length = 99;
        lppNumberText number;
        const char *data = lppArgString(L, index, &length, number);
        return std::string(data, length);
    };
    EXPECT_EQ(text(1), std::string("a\0b", 3));
    EXPECT_EQ(text(2), "42");
    EXPECT_EQ(text(3), "0.25");
    EXPECT_EQ(text(4), "");
    EXPECT_EQ(text(5), "");
    EXPECT_EQ(text(7), "");

    // Numbers are written without Lua's help, in Lua's own form.
    lua_settop(L, 0);
    const lua_Number floats[] = {1.0, -0.0, 0.1, 9223372036854775808.0, 1e100, -1e-300,
        std::numeric_limits<lua_Number>::infinity(), -std::numeric_limits<lua_Number>::infinity(),
        std::numeric_limits<lua_Number>::quiet_NaN()};
    for (lua_Number value : floats) lua_pushnumber(L, value);
    lua_pushinteger(L, std::numeric_limits<lua_Integer>::min());
    for (int index = 1; index <= lua_gettop(L); index++) {
        lua_pushvalue(L, index);
        std::string lua_form = lua_tostring(L, -1);
        lua_pop(L, 1);
        EXPECT_EQ(text(index), lua_form);
    }
}

}  // namespace
// A function made with the binding's wrapper: its argument selects the path.
struct WrappedArgs {
    lua_Integer path;
};
lua_Integer wrapped_done = 0;
void ReadWrapped(lua_State *L, WrappedArgs &args) { args.path = luaL_checkinteger(L, 1); }
void Wrapped(lua_State *, const WrappedArgs &args, const char *&step)
{
    const std::string alive = "with a destructor";  // must be destroyed on every path
    if (args.path == 1) throw std::runtime_error("failed " + alive);
    if (args.path == 2) {
        step = "named step";
        throw std::runtime_error("failed");
    }
    if (args.path == 3) throw 3;
    wrapped_done = args.path;
}

TEST_F(ConversionTest, WrapperRaisesConversionErrorsAndCaughtExceptions)
{
    luaL_openlibs(L);
    lua_pushcfunction(L, (lppLuaFunction<WrappedArgs, ReadWrapped, Wrapped>));
    lua_setglobal(L, "f");
    const struct {
        const char *argument;
        const char *result;
    } cases[] = {
        {"'x'", "false bad argument #1 to 'f' (number expected, got string)"},
        {"1", "false failed with a destructor"},
        {"2", "false lua: error: named step: failed"},
        {"3", "false caught (...) exception"},
        {"4", "true nil"},
    };
    for (const auto &c : cases) {
        const std::string chunk =
            std::string("local ok, e = pcall(f, ") + c.argument + ") return tostring(ok) .. ' ' .. tostring(e)";
        ASSERT_EQ(luaL_dostring(L, chunk.c_str()), LUA_OK) << c.argument;
        EXPECT_EQ(std::string(lua_tostring(L, -1)), c.result) << c.argument;
        lua_settop(L, 0);
    }
    EXPECT_EQ(wrapped_done, 4);
}

}  // namespace lpptest
