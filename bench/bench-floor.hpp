// The floor the plugin's flow tables are measured against: the same table,
// built the fastest way the Lua C API allows (sized tables, every key string
// made once and kept on the Lua stack, no protected call, no registry
// reference), from the same flow through the same daemon accessors.
#pragma once

#include <string>
#include <vector>

#include <lua.hpp>

#include "lpp-plugin.hpp"

namespace lppbench {

class FloorBuilder {
public:
    // Pushes every key string onto L's stack, where they stay until Close:
    // nothing may pop past them meanwhile.
    void Open(lua_State *L);
    // Pops the key strings and everything above them.
    void Close();

    // Pushes the flow table of entry, in full or counters-only form. The
    // entry must carry no JSON document (the benchmarks send none). Nothing
    // protects the Lua calls of Open and Build: a caller that does not run
    // them under a protected call accepts that a Lua error (out of memory)
    // ends the process. No object with a destructor is alive in these frames
    // while Lua may raise, so running them under one is safe.
    void Build(const lppEvent::Entry &entry, bool counters_only);

private:
    void Key(int id) { lua_pushvalue(L, base + id); }
    void Integer(int table, int key, lua_Integer value);
    void Counter(int table, int key, std::uint64_t value);
    void Number(int table, int key, lua_Number value);
    void Boolean(int table, int key, bool value);
    void String(int table, int key, const std::string &value);
    void Fixed(int table, int key, int value);
    void Strings(int table, int key, const std::vector<std::string> &values);

    void Counters(int t, const lppEvent::Entry &entry, vdFlow &flow, bool lower_other);
    void Identity(int t, vdFlow &flow, bool lower_other);
    void Detection(int t, vdFlow &flow, bool lower_other);
    void Gtp(int t, vdFlow &flow);
    void Tls(int t, vdFlow &flow);

    lua_State *L = nullptr;
    int base = 0;
    // Scratch reused from table to table.
    std::string text, lower, upper;
    std::vector<std::string> digests;
};

}  // namespace lppbench
