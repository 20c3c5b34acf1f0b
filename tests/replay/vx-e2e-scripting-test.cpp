// What a script author counts on: Debian's Lua modules load in the plugin.
#include "vx-e2e-support.hpp"

namespace {

using Scripting = vxReplayTest;

TEST_F(Scripting, DebianLuaModulesLoadWhateverTheDaemonLoadedThePluginWith)
{
    // vessix-replay loads the plugin RTLD_LOCAL, as a daemon may; the C
    // modules are not linked against the Lua library.
    auto run = RunScript(R"(
local cjson = require "cjson"
local zlib = require "zlib"
function ProcessAgentEvent(event)
    local text = cjson.encode({ event = event })
    local packed = zlib.deflate()(text, "finish")
    lpp.print(text .. " " .. zlib.inflate()(packed) .. " " .. packed:byte(1))
end
)",
        "{\"op\":\"agent\",\"event\":\"update_init\"}\n");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(LinesWith(run.out, "lua: {"), std::vector<std::string>{"\"event\":12} {\"event\":12} 120"}) << run.out;
}

}  // namespace
