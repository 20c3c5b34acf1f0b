// The configuration file through Reload: any bytes, any nesting, comments.
// Seeds name the scripts of the scratch folder through ${fuzz}; a script
// accepted once is built again by the next input that names it, so the
// runtime build is exercised as often as the parser.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "fuzz-support.hpp"
#include "lpp-plugin.hpp"

namespace {

class FuzzPlugin : public lppPlugin {
public:
    using lppPlugin::lppPlugin;
    using lppPlugin::script_digest;
};

FuzzPlugin *plugin = nullptr;
std::string conf_path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    lppfuzz::SetUpDaemon();
    lppfuzz::WriteFile("handlers.lua",
        "function ProcessFlowEvent(e, f) end\nfunction ProcessAgentEvent(e) end\n");
    lppfuzz::WriteFile("syntax.lua", "function ProcessFlowEvent(e, f)\n");
    lppfuzz::WriteFile("raises.lua", "function ProcessFlowMap(f) end\nerror({})\n");
    lppfuzz::WriteFile("none.lua", "local x = 1\n");
    conf_path = lppfuzz::WriteFile("plugin.json", "{}");
    plugin = new FuzzPlugin("lua-fuzz", {{"conf_filename", conf_path}});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    lppfuzz::WriteFile("plugin.json", std::string(reinterpret_cast<const char *>(data), size));
    plugin->script_digest.clear();
    // Every failure must be the daemon's exception with its message; any
    // other exception ends the run as a finding.
    try {
        plugin->Reload();
    } catch (const vdException &) {
    }
    return 0;
}
