// JSON values converted into Lua values.
#include <pthread.h>

#include <functional>

#include "flowtable-fixture.hpp"

namespace lpptest {
namespace {

using JsonToLua = FlowTableTest;

TEST_F(JsonToLua, EveryTypeInAnObject)
{
    json doc = json::parse(R"({"b": true, "f": false, "i": -5, "u": 18446744073709551615,
        "m": 9223372036854775807, "h": 9223372036854775808, "float": 3.0, "int": 3, "half": 0.5,
        "s": "x", "z": null, "1": "one", "e": {}, "a": [],
        "n": {"x": [{"y": [1, {"z": "deep"}]}]}})");
    doc["bin"] = json::binary({1, 2, 3});
    lppLuaRef value = CreateLuaValue(L(), doc);
    EXPECT_EQ(CanonValue(value),
        "{[\"1\"]=\"one\",a={},b=true,e={},f=false,float=3.0,h=-9223372036854775808,half=0.5,i=-5,"
        "int=3,m=9223372036854775807,n={x={[1]={y={[1]=1,[2]={z=\"deep\"}}}}},s=\"x\",u=-1}");
    EXPECT_EQ(lua_gettop(L()), 0);
}

TEST_F(JsonToLua, Scalars)
{
    const std::pair<json, const char *> cases[] = {
        {json(true), "true"},
        {json(-7), "-7"},
        {json(18446744073709551615ULL), "-1"},
        {json(2.5), "2.5"},
        {json(3.0), "3.0"},
        {json(3), "3"},
        {json("text"), "\"text\""},
        {json(), "nil"},
        {json::binary({1}), "nil"},
        {json(json::value_t::discarded), "nil"},
    };
    for (const auto &[doc, expected] : cases) {
        SCOPED_TRACE(doc.type_name());
        lppLuaRef value = CreateLuaValue(L(), doc);
        EXPECT_EQ(CanonValue(value), expected);
    }
}

TEST_F(JsonToLua, StringWithZeroByteKeepsItsLength)
{
    std::string text("a\0b\0", 4);
    lppLuaRef value = CreateLuaValue(L(), json(text));
    Run("function length(s) return #s end");
    EXPECT_EQ(Call("length", value), "4");
    EXPECT_EQ(CanonValue(value), "\"a\\0b\\0\"");

    // The same inside a flow table's member.
    auto flow = PlainTcpFlow();
    lppEvent::Entry entry(flow, json{{"raw", text}});
    lppLuaRef table = runtime.CreateFlowTable(entry, true);
    Run("function raw_length(t) return #t.raw end");
    EXPECT_EQ(Call("raw_length", table), "4");
}

TEST_F(JsonToLua, ArraysKeepHolesAndLengthOfAnUnsizedTable)
{
    Run(R"(
        function built_length(n, present)
          local t = {}
          for i = 1, n do if present[i] then t[i] = i end end
          return #t
        end
        function length(t) return #t end
    )");
    const std::pair<const char *, const char *> cases[] = {
        {"[1, null, 3]", "{[1]=1,[3]=3}"},
        {"[null, 2]", "{[2]=2}"},
        {"[1, 2, null, 4, null, null, 7, 8, 9]", "{[1]=1,[2]=2,[4]=4,[7]=7,[8]=8,[9]=9}"},
        {"[null, null]", "{}"},
    };
    for (const auto &[text, expected] : cases) {
        SCOPED_TRACE(text);
        json doc = json::parse(text);
        lppLuaRef value = CreateLuaValue(L(), doc);
        EXPECT_EQ(CanonValue(value), expected);

        // The length a script sees is the one of the same table grown
        // element by element.
        std::string present = "{";
        for (std::size_t i = 0; i < doc.size(); i++)
            present += doc[i].is_null() ? "false," : "true,";
        Run(("expected_length = built_length(" + std::to_string(doc.size()) + ", " + present + "})").c_str());
        Run("function expected(_) return expected_length end");
        EXPECT_EQ(Call("length", value), Call("expected", value));
    }
    lppLuaRef value = CreateLuaValue(L(), json::parse("[1, null, 3]"));
    EXPECT_EQ(Call("length", value), "1");
}

std::string NestedArrays(int depth)
{
    return std::string(depth, '[') + "\"core\\u0000x\"" + std::string(depth, ']');
}

std::string NestedObjects(int depth)
{
    std::string text;
    for (int i = 0; i < depth; i++) text += (i % 2) ? "{\"k\":" : "{\"a\":[null,";
    text += "\"core\\u0000x\"";
    for (int i = depth - 1; i >= 0; i--) text += (i % 2) ? "}" : "]}";
    return text;
}

// Walks down to the innermost value, counting tables and checking each level.
const char *const kDepthScript = R"(
function depth(v)
  local n = 0
  while type(v) == "table" do
    n = n + 1
    if v.k ~= nil then v = v.k
    elseif v.a ~= nil then
      assert(v.a[1] == nil, "shape")
      v = v.a[2]
      n = n + 1
    else
      v = v[1]
    end
  end
  assert(v == "core\0x" and #v == 6, "innermost value")
  return n
end
)";

// Runs work on a thread with a small stack: conversion must not need C
// stack in proportion to the document's depth.
void OnSmallStack(const std::function<void()> &work)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    pthread_t thread;
    auto *call = new std::function<void()>(work);
    ASSERT_EQ(pthread_create(&thread, &attr,
                  [](void *p) -> void * {
                      auto *f = static_cast<std::function<void()> *>(p);
                      try {
                          (*f)();
                      } catch (const std::exception &e) {
                          ADD_FAILURE() << e.what();
                      }
                      delete f;
                      return nullptr;
                  },
                  call),
        0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

TEST_F(JsonToLua, DeepNestingKeepsItsShape)
{
    Run(kDepthScript);
    const int depth = 10000;
    json arrays = json::parse(NestedArrays(depth));
    json objects = json::parse(NestedObjects(depth));

    // The document is moved, never copied: the JSON library's copy recurses
    // and a debug build's frames would not fit 10,000 levels.
    lppLuaRef a, o, table;
    auto flow = PlainTcpFlow();
    lppEvent::Entry entry(flow);
    entry.doc = json::object();
    entry.doc["k"] = json::parse(NestedObjects(depth));
    OnSmallStack([&] {
        a = CreateLuaValue(L(), arrays);
        o = CreateLuaValue(L(), objects);
        table = runtime.CreateFlowTable(entry, false);
    });
    EXPECT_EQ(Call("depth", a), std::to_string(depth));
    // Each even level is an object holding an array: depth + depth / 2 tables.
    EXPECT_EQ(Call("depth", o), std::to_string(depth + depth / 2));
    Run("function member_depth(t) return depth(t.k) end");
    EXPECT_EQ(Call("member_depth", table), std::to_string(depth + depth / 2));
    EXPECT_EQ(lua_gettop(L()), 0);
}

}  // namespace
}  // namespace lpptest
