// JSON documents through the flow-table conversion: any JSON, nested as deep
// as the parser allows (seeds reach 10,000 levels). A document that is not an
// object is wrapped in one, so that every value goes through the converter.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "fuzz-support.hpp"
#include "lpp-runtime.hpp"

namespace {

lppLuaRuntime *runtime = nullptr;
std::shared_ptr<vdFlow> flow;
unsigned inputs = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    lppfuzz::SetUpDaemon();
    std::string script = lppfuzz::WriteFile("flows.lua", "function ProcessFlowEvent(e, f) end\n");
    runtime = new lppLuaRuntime("lua-fuzz");
    runtime->Build(script, {});
    flow = std::make_shared<vdFlow>();
    flow->iface = std::make_shared<vdInterface>("fuzz0", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    json doc = json::parse(data, data + size, nullptr, false);
    if (doc.is_discarded()) return 0;
    if (!doc.is_object()) doc = json{{"value", std::move(doc)}};

    lppEvent::Entry entry(flow, doc);
    {
        lppLuaRef table = runtime->CreateFlowTable(entry, false);
    }
    // The worker collects every 100 passes; so does the harness.
    if (++inputs % 100 == 0) lua_gc(runtime->State(), LUA_GCCOLLECT);
    return 0;
}
