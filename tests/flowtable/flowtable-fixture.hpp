// A Lua runtime with the standard libraries opened on its state, and a
// canonical text of Lua values to compare whole tables with what is expected.
#pragma once

#include <map>
#include <string>

#include <gtest/gtest.h>

#include "lpp-runtime.hpp"
#include "lpp-test-support.hpp"

namespace lpptest {

// Expected top-level entries of a table: key to canonical value text.
using Entries = std::map<std::string, std::string>;

// The canonical text of a table with these entries, as Canon gives it.
std::string Join(const Entries &entries);

class FlowTableTest : public ::testing::Test {
public:
    FlowTableTest();

    lua_State *L() const { return runtime.State(); }

    // One line "key = value" per top-level entry, keys sorted. Values are
    // written compactly: tables as {k=v,...} with sorted keys, integers as
    // digits, floats always with a point or an exponent, strings with %q,
    // and a table met a second time as @ and the path where it was first met.
    std::string Canon(const lppLuaRef &ref);
    // The canonical text of one value ("nil" for nil).
    std::string CanonValue(const lppLuaRef &ref);
    // Calls the global Lua function name with the referenced value and
    // returns its result converted with tostring.
    std::string Call(const char *name, const lppLuaRef &ref);
    // Number of tables held by the registry (a released reference leaves an
    // integer in its slot, so counting entries would not do).
    std::size_t RegistryTables() const;
    // Runs a chunk of Lua in the runtime's state.
    void Run(const char *chunk);

    std::string FlowCanon(const std::shared_ptr<vdFlow> &flow, bool counters_only = false,
        const json &doc = json());

    lppLuaRuntime runtime{"lua"};
};

// A plain IPv4 TCP flow whose lower side is local, with counters, MAC
// addresses, two metadata digests and a detected protocol.
std::shared_ptr<vdFlow> PlainTcpFlow();
// Its full flow table.
Entries PlainTcpEntries();

}  // namespace lpptest
