// The configuration file through Reload: any bytes, any nesting, comments.
// Seeds name the scripts of the scratch folder through ${fuzz}; a script
// accepted once is built again by the next input that names it (each input
// rewrites the scripts with a new last line, so that their digests change),
// so the runtime build is exercised as often as the parser.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "fuzz-support.hpp"
#include "lpp-plugin.hpp"

namespace {

lppPlugin *plugin = nullptr;
std::string conf_path;
unsigned inputs = 0;

void WriteScripts()
{
    const std::string last = "-- input " + std::to_string(inputs++) + "\n";
    lppfuzz::WriteFile("handlers.lua",
        "function ProcessFlowEvent(e, f) end\nfunction ProcessAgentEvent(e) end\n" + last);
    lppfuzz::WriteFile("syntax.lua", "function ProcessFlowEvent(e, f)\n" + last);
    lppfuzz::WriteFile("raises.lua", "function ProcessFlowMap(f) end\nerror({})\n" + last);
    lppfuzz::WriteFile("none.lua", "local x = 1\n" + last);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    lppfuzz::SetUpDaemon();
    WriteScripts();
    conf_path = lppfuzz::WriteFile("plugin.json", "{}");
    plugin = new lppPlugin("lua-fuzz", {{"conf_filename", conf_path}});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    lppfuzz::WriteFile("plugin.json", std::string(reinterpret_cast<const char *>(data), size));
    WriteScripts();
    // Every failure must be the daemon's exception with its message; any
    // other exception ends the run as a finding.
    try {
        plugin->Reload();
    } catch (const vdException &) {
    }
    return 0;
}
